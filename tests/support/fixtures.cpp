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
  ADD_FAILURE() << "a question nobody answered: " << Narrow(boxes.back().text);
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

TempDir::TempDir() {
  static int counter = 0;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "test";
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '<' || c == '>' || c == '|') c = '_';
  }
  CreateDirectoryW(L"C:\\qeltests", nullptr);
  path_ = L"C:\\qeltests\\" + std::wstring(name.begin(), name.end()) + L"." +
          std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
  RemoveTree(path_);
  EXPECT_TRUE(CreateDirectoryW(path_.c_str(), nullptr)) << Narrow(path_);
}

TempDir::~TempDir() { RemoveTree(path_); }

std::wstring TempDir::MakeDir(const std::wstring& relative) const {
  std::wstring full = path_;
  size_t start = 0;
  while (start <= relative.size()) {
    const size_t end = relative.find(L'\\', start);
    full += L"\\" + relative.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    CreateDirectoryW(full.c_str(), nullptr);
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return full;
}

std::wstring TempDir::MakeFile(const std::wstring& relative, const std::string& content) const {
  const size_t slash = relative.rfind(L'\\');
  if (slash != std::wstring::npos) MakeDir(relative.substr(0, slash));
  const std::wstring full = *this / relative;
  HANDLE file = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << Narrow(full);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
  }
  return full;
}

std::wstring TestArtifact(const std::wstring& name) {
  wchar_t self[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  std::wstring folder(self, length);
  folder.resize(folder.find_last_of(L'\\') + 1);
  return folder + name;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadAll(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string content;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) content.append(chunk, read);
  CloseHandle(file);
  return content;
}

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
  const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (isDirectory && !isLink) {
    // An explicit stack keeps deep test trees from exhausting the stack.
    std::vector<std::wstring> pending{path};
    std::vector<std::wstring> emptied;
    while (!pending.empty()) {
      const std::wstring dir = pending.back();
      pending.pop_back();
      emptied.push_back(dir);
      WIN32_FIND_DATAW data;
      HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
      if (find == INVALID_HANDLE_VALUE) continue;
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = dir + L"\\" + name;
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        const bool childIsDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool childIsLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (childIsDirectory && !childIsLink) {
          pending.push_back(child);
        } else if (childIsDirectory) {
          RemoveDirectoryW(child.c_str());
        } else {
          DeleteFileW(child.c_str());
        }
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    for (auto dir = emptied.rbegin(); dir != emptied.rend(); ++dir) RemoveDirectoryW(dir->c_str());
  } else if (isDirectory) {
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
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

int RunHelper(std::vector<std::wstring> arguments) {
  arguments.insert(arguments.begin(), L"C:\\Setup\\QelInstallHelper.exe");
  std::vector<wchar_t*> argv;
  for (std::wstring& argument : arguments) argv.push_back(&argument[0]);
  return qel_tmain(static_cast<int>(argv.size()), argv.data());
}

std::vector<std::wstring> ListNames(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((dir + L"\\*.*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

std::vector<std::wstring> TreeEntries(const std::wstring& dir) {
  std::vector<std::wstring> entries;
  std::vector<std::wstring> pending{L""};
  while (!pending.empty()) {
    const std::wstring relative = pending.back();
    pending.pop_back();
    const std::wstring folder = relative.empty() ? dir : dir + L"\\" + relative;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*.*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
      entries.push_back(child);
      const DWORD attributes = data.dwFileAttributes;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        pending.push_back(child);
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

LockedFile::LockedFile(const std::wstring& path)
    : handle_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          nullptr)) {
  EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << Narrow(path);
}

void LockedFile::Release() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

std::wstring LinuxPath(const std::wstring& path) {
  wchar_t prefix[MAX_PATH * 4] = {};
  const DWORD length = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH * 4);
  EXPECT_TRUE(length > 0 && length < MAX_PATH * 4) << "WINEPREFIX is not set";
  EXPECT_TRUE(path.size() > 3 && (path[0] == L'C' || path[0] == L'c') && path.compare(1, 2, L":\\") == 0)
      << Narrow(path);
  std::wstring linuxPath = std::wstring(prefix, length) + L"/drive_c/" + path.substr(3);
  for (wchar_t& c : linuxPath) {
    if (c == L'\\') c = L'/';
  }
  return linuxPath;
}

void RunLinux(const wchar_t* program, std::wstring commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const BOOL started =
      CreateProcessW(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  ASSERT_TRUE(started) << Narrow(commandLine) << " error " << GetLastError();
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

bool WaitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 100; ++i) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}

LinuxLink::LinuxLink(const std::wstring& link, const std::wstring& target) : link_(link) {
  RunLinux(L"\\\\?\\unix\\bin\\ln", L"ln -s \"" + LinuxPath(target) + L"\" \"" + LinuxPath(link) + L"\"");
  EXPECT_TRUE(WaitUntil([this] { return Exists(link_); })) << "no link made at " << Narrow(link_);
}

LinuxLink::~LinuxLink() {
  // rm without -r removes the link itself and can never remove what it points to.
  RunLinux(L"\\\\?\\unix\\bin\\rm", L"rm -f \"" + LinuxPath(link_) + L"\"");
  EXPECT_TRUE(WaitUntil([this] { return !Exists(link_); })) << "link not removed: " << Narrow(link_);
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
  return narrow;
}
