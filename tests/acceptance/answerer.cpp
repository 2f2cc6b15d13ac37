#include "acceptance/answerer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "acceptance/support.h"

namespace {

struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<DWORD> bits;  // top-down, 0x00RRGGBB
};

// A 32-bit top-down bitmap selected into a memory device context for the scope.
class Canvas {
 public:
  Canvas(int width, int height) : dc_(CreateCompatibleDC(nullptr)) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
    old_ = SelectObject(dc_, bitmap_);
    pixels_.width = width;
    pixels_.height = height;
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  HDC dc() const { return dc_; }
  void Fill(DWORD color) { std::fill(bits_, bits_ + pixels_.width * pixels_.height, color); }
  Pixels Take() {
    GdiFlush();
    pixels_.bits.assign(bits_, bits_ + pixels_.width * pixels_.height);
    for (DWORD& pixel : pixels_.bits) pixel &= 0x00FFFFFF;
    return pixels_;
  }

 private:
  HDC dc_;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  DWORD* bits_ = nullptr;
  Pixels pixels_;
};

Pixels FromScreen(const RECT& rect) {
  Canvas canvas(rect.right - rect.left, rect.bottom - rect.top);
  HDC screen = GetDC(nullptr);
  BitBlt(canvas.dc(), 0, 0, rect.right - rect.left, rect.bottom - rect.top, screen, rect.left, rect.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  return canvas.Take();
}

Pixels SystemIcon(LPCWSTR id, DWORD background, int width, int height) {
  Canvas canvas(width, height);
  canvas.Fill(background);
  DrawIconEx(canvas.dc(), 0, 0, LoadIconW(nullptr, id), width, height, 0, nullptr, DI_NORMAL);
  return canvas.Take();
}

size_t Differences(const Pixels& a, const Pixels& b) {
  size_t different = 0;
  for (size_t i = 0; i < a.bits.size() && i < b.bits.size(); ++i) different += a.bits[i] != b.bits[i];
  return different;
}

// A box taller or wider than the screen may have its icon outside it: the box is moved so
// that the icon shows.
void BringIntoView(HWND box, HWND part) {
  RECT rect = {};
  GetWindowRect(part, &rect);
  const LONG width = GetSystemMetrics(SM_CXSCREEN);
  const LONG height = GetSystemMetrics(SM_CYSCREEN);
  const LONG dx = rect.left < 0 ? -rect.left : rect.right > width ? width - rect.right : 0;
  const LONG dy = rect.top < 0 ? -rect.top : rect.bottom > height ? height - rect.bottom : 0;
  if (dx == 0 && dy == 0) return;
  RECT boxRect = {};
  GetWindowRect(box, &boxRect);
  SetWindowPos(box, nullptr, boxRect.left + dx, boxRect.top + dy, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Sleep(300);
}

// A box's icon handle means nothing in another process, so the icon is told apart by
// comparing what the screen shows with each system icon drawn on the same background.
BoxIcon RecognizeIcon(HWND box, HWND iconControl) {
  BringIntoView(box, iconControl);
  RECT rect = {};
  GetWindowRect(iconControl, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return BoxIcon::Unknown;
  const Pixels shown = FromScreen(rect);
  const DWORD background = shown.bits.front();
  const std::pair<LPCWSTR, BoxIcon> candidates[] = {{IDI_ERROR, BoxIcon::Error},
                                                    {IDI_WARNING, BoxIcon::Warning},
                                                    {IDI_INFORMATION, BoxIcon::Information},
                                                    {IDI_QUESTION, BoxIcon::Question}};
  BoxIcon best = BoxIcon::Unknown;
  size_t fewest = shown.bits.size() / 10;  // more differences than this: none of them
  for (const auto& candidate : candidates) {
    const size_t different = Differences(shown, SystemIcon(candidate.first, background, width, height));
    if (different <= fewest) {
      fewest = different;
      best = candidate.second;
    }
  }
  return best;
}

// With QEL_SHOTS naming a folder, every box is photographed before it is answered: a request
// file there gives the box's place on the screen, and the picture script outside removes it
// once the picture is taken.
void AwaitPicture(const SeenBox& seen) {
  wchar_t folder[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"QEL_SHOTS", folder, MAX_PATH) == 0) return;
  const KnownMessage* known = IdentifyMessage(seen.text);
  const std::string name = known != nullptr ? known->name : "UnknownMessage";
  const std::wstring request = std::wstring(folder) + L"\\" + std::wstring(name.begin(), name.end()) + L".request";
  const std::string place = std::to_string(seen.rect.left) + " " + std::to_string(seen.rect.top) + " " +
                            std::to_string(seen.rect.right - seen.rect.left) + " " +
                            std::to_string(seen.rect.bottom - seen.rect.top) + "\n";
  HANDLE file = CreateFileW(request.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, place.data(), static_cast<DWORD>(place.size()), &written, nullptr);
  CloseHandle(file);
  for (int waited = 0; waited < 600 && Exists(request); ++waited) Sleep(100);
}

}  // namespace

SeenBox ReadBox(HWND box) {
  SeenBox seen;
  GetWindowThreadProcessId(box, &seen.processId);
  seen.text = BoxText(box);
  const BoxControls controls = ReadControls(box);
  seen.buttons = controls.buttons;
  seen.icon = controls.icon != nullptr ? RecognizeIcon(box, controls.icon) : BoxIcon::None;
  GetWindowRect(box, &seen.rect);
  return seen;
}

Answerer::Answerer(std::function<bool(DWORD)> accept, std::vector<Press> presses)
    : accept_(std::move(accept)), presses_(std::move(presses)), thread_([this] { Run(); }) {}

Answerer::~Answerer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<SeenBox> Answerer::Finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> guard(mutex_);
  if (next_ < presses_.size()) {
    problems_.push_back(std::to_string(presses_.size() - next_) + " scripted answer(s) left unused");
  }
  return boxes_;
}

std::vector<std::string> Answerer::Problems() {
  std::lock_guard<std::mutex> guard(mutex_);
  return problems_;
}

void Answerer::Run() {
  while (!stop_) {
    HWND box = FindHelperBox(accept_);
    if (box != nullptr) {
      Answer(box);
    } else {
      Sleep(20);
    }
  }
}

void Answerer::Answer(HWND box) {
  // Shown is not yet painted: give it a moment before its pixels are read.
  Sleep(150);
  SeenBox seen = ReadBox(box);
  AwaitPicture(seen);

  std::lock_guard<std::mutex> guard(mutex_);
  int button = 0;
  if (next_ < presses_.size()) {
    const Press& press = presses_[next_++];
    if (press.before) press.before();
    button = press.button;
    if (!HasButton(seen.buttons, button)) {
      problems_.push_back("scripted " + ButtonNames({button}) + " for a box with " + ButtonNames(seen.buttons) +
                          ": " + Narrow(seen.text));
      button = StopButton(seen.buttons);
    }
  } else if (seen.buttons == std::vector<int>{IDOK}) {
    button = IDOK;
  } else {
    problems_.push_back("a question nobody answered: " + Narrow(seen.text));
    button = StopButton(seen.buttons);
  }
  seen.pressed = button;
  boxes_.push_back(seen);
  if (!PressButton(box, button)) problems_.push_back("a box did not go away: " + Narrow(seen.text));
}
