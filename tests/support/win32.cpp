#include "support/win32.h"

#include <algorithm>
#include <cstdio>

#include "programs/test_component.h"

namespace {

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Calls visit for every entry of dir but "." and "..", in the order the platform lists them.
void ForEachEntry(const std::wstring& dir, const std::function<void(const WIN32_FIND_DATAW&)>& visit) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((Verbatim(dir) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") visit(data);
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

// Removes the link itself, never what it points to. Wine removes a Linux link neither as a
// folder nor as a file (RemoveDirectoryW removes an empty folder it points to instead): the
// Linux side does (rm without -r). True when it is gone.
bool RemoveLink(const std::wstring& link) {
  const std::wstring usual = link.rfind(L"\\\\?\\", 0) == 0 ? link.substr(4) : link;
  RunLinux(L"\\\\?\\unix\\bin\\rm", L"rm -f \"" + LinuxPath(usual) + L"\"");
  return WaitUntil([&link] { return !Exists(link); });
}

}  // namespace

std::wstring UniqueTestFolder(const std::wstring& root) {
  static int counter = 0;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "test";
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '<' || c == '>' || c == '|') c = '_';
  }
  CreateDirectoryW(root.c_str(), nullptr);
  const std::wstring path = root + L"\\" + std::wstring(name.begin(), name.end()) + L"." +
                            std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
  // What a killed run of an earlier process with the same id left.
  RemoveTree(path);
  return path;
}

TempDir::TempDir(const std::wstring& root) : TempDir(Exactly{UniqueTestFolder(root)}) {}

TempDir::TempDir(const Exactly& exactly) : path_(exactly.path) {
  EXPECT_TRUE(CreateDirectoryW(path_.c_str(), nullptr)) << Narrow(path_);
}

TempDir::~TempDir() { RemoveTree(path_); }

std::wstring TempDir::MakeDir(const std::wstring& relative) const {
  std::wstring full = path_;
  size_t start = 0;
  while (start <= relative.size()) {
    const size_t end = relative.find(L'\\', start);
    full += L"\\" + relative.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    CreateDirectoryW(Verbatim(full).c_str(), nullptr);
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return full;
}

std::wstring TempDir::MakeFile(const std::wstring& relative, const std::string& content) const {
  const size_t slash = relative.rfind(L'\\');
  if (slash != std::wstring::npos) MakeDir(relative.substr(0, slash));
  const std::wstring full = *this / relative;
  HANDLE file =
      CreateFileW(Verbatim(full).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool Exists(const std::wstring& path) { return GetFileAttributesW(Verbatim(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

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

bool SameContent(const std::wstring& a, const std::wstring& b) {
  return Exists(a) && Exists(b) && ReadAll(a) == ReadAll(b);
}

std::wstring Verbatim(const std::wstring& path) {
  const bool drive = path.size() > 2 && path[1] == L':' && path[2] == L'\\';
  return drive ? L"\\\\?\\" + path : path;
}

void RemoveTree(const std::wstring& path) {
  const std::wstring whole = Verbatim(path);
  const DWORD attributes = GetFileAttributesW(whole.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(whole.c_str(), attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
  if (IsLink(attributes)) {
    RemoveLink(whole);
  } else if (!IsFolder(attributes)) {
    DeleteFileW(whole.c_str());
  } else {
    // An explicit stack keeps deep test trees from exhausting the stack.
    std::vector<std::wstring> pending{whole};
    std::vector<std::wstring> emptied;
    while (!pending.empty()) {
      const std::wstring dir = pending.back();
      pending.pop_back();
      emptied.push_back(dir);
      ForEachEntry(dir, [&dir, &pending](const WIN32_FIND_DATAW& entry) {
        const std::wstring child = dir + L"\\" + entry.cFileName;
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (IsLink(entry.dwFileAttributes)) {
          RemoveLink(child);
        } else if (IsFolder(entry.dwFileAttributes)) {
          pending.push_back(child);
        } else {
          DeleteFileW(child.c_str());
        }
      });
    }
    for (auto dir = emptied.rbegin(); dir != emptied.rend(); ++dir) RemoveDirectoryW(dir->c_str());
  }
}

std::vector<std::wstring> ListNames(const std::wstring& dir) {
  std::vector<std::wstring> names;
  ForEachEntry(dir, [&names](const WIN32_FIND_DATAW& entry) { names.push_back(entry.cFileName); });
  return names;
}

std::vector<std::wstring> TreeEntries(const std::wstring& dir) {
  std::vector<std::wstring> entries;
  std::vector<std::wstring> pending{L""};
  while (!pending.empty()) {
    const std::wstring relative = pending.back();
    pending.pop_back();
    const std::wstring folder = relative.empty() ? dir : dir + L"\\" + relative;
    ForEachEntry(folder, [&](const WIN32_FIND_DATAW& entry) {
      const std::wstring child = relative.empty() ? entry.cFileName : relative + L"\\" + entry.cFileName;
      entries.push_back(child);
      if (IsFolder(entry.dwFileAttributes) && !IsLink(entry.dwFileAttributes)) pending.push_back(child);
    });
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
  if (path.size() == 2 && path[1] == L':') {
    return std::wstring(prefix, length) + L"/dosdevices/" + static_cast<wchar_t>(towlower(path[0])) + L":";
  }
  EXPECT_TRUE(path.size() >= 3 && (path[0] == L'C' || path[0] == L'c') && path.compare(1, 2, L":\\") == 0)
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
  const BOOL started = StartDespiteWineRefusals(commandLine.c_str(), [&] {
    return CreateProcessW(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  });
  ASSERT_TRUE(started) << Narrow(commandLine) << " error " << GetLastError();
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

BOOL StartDespiteWineRefusals(const wchar_t* commandLine, const std::function<BOOL()>& start) {
  for (int attempt = 1;; ++attempt) {
    if (start()) return TRUE;
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 5) return FALSE;
    std::fprintf(stderr, "Wine refused to start %ls (1359); starting it again\n", commandLine != nullptr ? commandLine : L"a program");
    Sleep(200);
  }
}

bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds) {
  for (DWORD waited = 0; waited < milliseconds; waited += 50) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}

LinuxLink::LinuxLink(const std::wstring& link, const std::wstring& target) : link_(link) {
  RunLinux(L"\\\\?\\unix\\bin\\ln", L"ln -s \"" + LinuxPath(target) + L"\" \"" + LinuxPath(link) + L"\"");
  EXPECT_TRUE(WaitUntil([this] { return Exists(link_); })) << "no link made at " << Narrow(link_);
}

LinuxLink::~LinuxLink() { EXPECT_TRUE(RemoveLink(link_)) << "link not removed: " << Narrow(link_); }

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
  return narrow;
}

bool IsRegistered(const std::wstring& library) {
  wchar_t classKey[kComponentKeyChars] = {};
  ComponentClassKey(library.c_str(), classKey);
  wchar_t server[MAX_PATH * 4] = {};
  DWORD bytes = sizeof(server) - sizeof(wchar_t);
  const std::wstring serverKey = std::wstring(classKey) + L"\\InprocServer32";
  if (RegGetValueW(HKEY_LOCAL_MACHINE, serverKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, server, &bytes) !=
      ERROR_SUCCESS) {
    return false;
  }
  return _wcsicmp(server, library.c_str()) == 0;
}

void ForgetRegistration(const std::wstring& library) {
  wchar_t classKey[kComponentKeyChars] = {};
  ComponentClassKey(library.c_str(), classKey);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey);
}

const wchar_t kSharedDlls[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

long long SharedCount(const std::wstring& file) {
  DWORD type = REG_NONE;
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kSharedDlls, file.c_str(), RRF_RT_ANY, &type, &value, &bytes);
  if (status == ERROR_FILE_NOT_FOUND) return -1;
  return status == ERROR_SUCCESS && type == REG_DWORD ? static_cast<long long>(value) : -2;
}

void SetSharedCount(const std::wstring& file, long long count) {
  const DWORD value = static_cast<DWORD>(count);
  const LSTATUS status =
      count == -1  ? RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, file.c_str())
      : count < -1 ? RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, file.c_str(), REG_SZ, L"12", 6)
                   : RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, file.c_str(), REG_DWORD, &value, sizeof(value));
  EXPECT_TRUE(status == ERROR_SUCCESS || (count < 0 && status == ERROR_FILE_NOT_FOUND)) << Narrow(file);
}

std::wstring SystemDir() {
  wchar_t dir[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(dir, MAX_PATH);
  EXPECT_TRUE(length > 0 && length < MAX_PATH);
  return dir;
}

const wchar_t* const kProductKeyPaths[2] = {L"Software\\Helvane\\BRAVIK\\2020",
                                            L"Software\\Wow6432Node\\Helvane\\BRAVIK\\2020"};

HKEY OpenProductKey(KeyView view, REGSAM access, bool create) {
  // The 32-bit view is written the way a 32-bit installer writes it, through the view flag;
  // it lands below Software\Wow6432Node (seen under Wine, as on Windows).
  const REGSAM viewFlag = view == KeyView::Native ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  const wchar_t* const path = kProductKeyPaths[0];
  HKEY key = nullptr;
  const LSTATUS status =
      create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access | viewFlag, nullptr, &key, nullptr)
             : RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access | viewFlag, &key);
  return status == ERROR_SUCCESS ? key : nullptr;
}
