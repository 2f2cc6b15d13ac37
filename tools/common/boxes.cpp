#include "common/boxes.h"

#include <algorithm>
#include <utility>

namespace {

const wchar_t kBoxClass[] = L"#32770";
const wchar_t kCaption[] = L"TARNWELL Setup";

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, &text[0], length + 1)));
  return text;
}

bool IsClass(HWND window, const wchar_t* name) {
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  return _wcsicmp(className, name) == 0;
}

struct Found {
  std::vector<std::pair<LONG, int>> buttons;  // left edge, id
  HWND icon = nullptr;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter) {
  Found& found = *reinterpret_cast<Found*>(parameter);
  if (!IsWindowVisible(child)) return TRUE;
  RECT rect = {};
  GetWindowRect(child, &rect);
  if (IsClass(child, L"Button")) found.buttons.push_back({rect.left, GetDlgCtrlID(child)});
  const LONG style = GetWindowLongW(child, GWL_STYLE);
  if (IsClass(child, L"Static") && (style & SS_TYPEMASK) == SS_ICON) found.icon = child;
  return TRUE;
}

}  // namespace

HWND FindHelperBox(const std::function<bool(DWORD)>& accept) {
  HWND box = nullptr;
  while ((box = FindWindowExW(nullptr, box, kBoxClass, kCaption)) != nullptr) {
    DWORD processId = 0;
    GetWindowThreadProcessId(box, &processId);
    if (IsWindowVisible(box) && accept(processId)) return box;
  }
  return nullptr;
}

std::wstring BoxText(HWND box) {
  HWND text = GetDlgItem(box, 0xFFFF);
  if (text == nullptr) text = GetDlgItem(box, 100);
  return text != nullptr ? WindowText(text) : L"";
}

BoxControls ReadControls(HWND box) {
  Found found;
  EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&found));
  std::sort(found.buttons.begin(), found.buttons.end());
  BoxControls controls;
  for (const auto& button : found.buttons) controls.buttons.push_back(button.second);
  controls.icon = found.icon;
  return controls;
}

bool PressButton(HWND box, int button) {
  // A press posted while the box is still starting up can get lost: post again until it
  // has gone.
  for (int waited = 0; IsWindow(box) && IsWindowVisible(box) && waited < 500; ++waited) {
    if (waited % 50 == 0) PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    Sleep(20);
  }
  return !IsWindow(box) || !IsWindowVisible(box);
}

bool HasButton(const std::vector<int>& buttons, int button) {
  return std::find(buttons.begin(), buttons.end(), button) != buttons.end();
}

int StopButton(const std::vector<int>& buttons) {
  for (int button : {IDABORT, IDCANCEL, IDOK}) {
    if (HasButton(buttons, button)) return button;
  }
  return IDCANCEL;
}

std::string ButtonName(int button) {
  switch (button) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    case IDYES: return "Yes";
    case IDNO: return "No";
    default: return std::to_string(button);
  }
}

std::string ButtonNames(const std::vector<int>& buttons) {
  std::string names;
  for (int button : buttons) names += (names.empty() ? "" : "/") + ButtonName(button);
  return names;
}
