#include "support/fixtures.h"

#include <algorithm>
#include <fstream>

#include "front/main.h"

namespace {

UINT Buttons(UINT style) { return style & MB_TYPEMASK; }

int StopAnswer(UINT style) { return Buttons(style) == MB_ABORTRETRYIGNORE ? IDABORT : IDCANCEL; }

}  // namespace

BoxRecorder::BoxRecorder()
    : override_(Platform().MessageBoxW,
                [this](HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
                  return Show(owner, text, caption, style);
                }) {}

int BoxRecorder::Show(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  boxes.push_back({text != nullptr ? text : L"", caption != nullptr ? caption : L"", style, owner != nullptr});
  if (next_ < answers_.size()) return answers_[next_++];
  if (Buttons(style) == MB_OK) return IDOK;
  if (unscriptedIsFailure) ADD_FAILURE() << "a question nobody answered: " << Narrow(boxes.back().text);
  return StopAnswer(style);
}

TraceRecorder::TraceRecorder()
    : override_(Platform().OutputDebugStringW, [this](LPCWSTR text) { lines.push_back(text != nullptr ? text : L""); }) {}

std::vector<std::wstring> TraceRecorder::Functions() const {
  static const std::wstring kMarker = L", function: <";
  std::vector<std::wstring> functions;
  for (const std::wstring& line : lines) {
    if (line.rfind(L"PID: ", 0) != 0) continue;
    const size_t start = line.find(kMarker);
    if (start == std::wstring::npos || line.empty() || line.back() != L'>') continue;
    functions.push_back(line.substr(start + kMarker.size(), line.size() - start - kMarker.size() - 1));
  }
  return functions;
}

bool TraceRecorder::Contains(const std::wstring& text) const {
  for (const std::wstring& line : lines) {
    if (line.find(text) != std::wstring::npos) return true;
  }
  return false;
}

std::wstring CurrentDirectoryPath() {
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH * 4, path);
  EXPECT_TRUE(length > 0 && length < MAX_PATH * 4);
  return path;
}

CurrentDirectory::CurrentDirectory(const std::wstring& path) : saved_(CurrentDirectoryPath()) {
  EXPECT_TRUE(SetCurrentDirectoryW(path.c_str())) << Narrow(path);
}

CurrentDirectory::~CurrentDirectory() { SetCurrentDirectoryW(saved_.c_str()); }

std::wstring PathOfHandle(HANDLE handle) {
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = GetFinalPathNameByHandleW(handle, path, MAX_PATH * 4, 0);
  const std::wstring named(path, length < MAX_PATH * 4 ? length : 0);
  return named.rfind(L"\\\\?\\", 0) == 0 ? named.substr(4) : named;
}

std::wstring ObjectNameOf(const OBJECT_ATTRIBUTES* object) {
  return std::wstring(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t));
}

bool IsListing(FILE_INFO_BY_HANDLE_CLASS kind) {
  return kind == FileIdBothDirectoryInfo || kind == FileIdBothDirectoryRestartInfo;
}

RefusedListing::RefusedListing(std::function<bool(const std::wstring&)> refuse, DWORD error)
    : override_(Platform().GetFileInformationByHandleEx,
                [this, refuse, error](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size) {
                  if (IsListing(kind) && refuse(PathOfHandle(file))) {
                    SetLastError(error);
                    return FALSE;
                  }
                  return override_.original()(file, kind, data, size);
                }) {}

int RunHelper(std::vector<std::wstring> arguments) {
  arguments.insert(arguments.begin(), L"C:\\Setup\\QelInstallHelper.exe");
  std::vector<wchar_t*> argv;
  for (std::wstring& argument : arguments) argv.push_back(&argument[0]);
  return qel_tmain(static_cast<int>(argv.size()), argv.data());
}
