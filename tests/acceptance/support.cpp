#include "acceptance/support.h"

#include <algorithm>

#include "programs/test_component.h"

// Wine removes a Linux link neither as a folder nor as a file: the Linux side does.
void RemoveLink(const std::wstring& link);

namespace {

std::wstring ModuleFolder() {
  wchar_t self[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  std::wstring folder(self, length);
  return folder.substr(0, folder.find_last_of(L'\\'));
}

void ListInto(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& entries) {
  WIN32_FIND_DATAW data;
  const std::wstring dir = relative.empty() ? root : root + L"\\" + relative;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    entries.push_back(child);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      ListInto(root, child, entries);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

const wchar_t kProductKey[] = L"Software\\Helvane\\BRAVIK\\2020";
const wchar_t* const kProductKeyPaths[] = {L"Software\\Helvane\\BRAVIK\\2020",
                                           L"Software\\Wow6432Node\\Helvane\\BRAVIK\\2020"};

// The 32-bit view is written as a 32-bit installer writes it, through the view flag.
REGSAM ViewFlag(KeyView view) { return view == KeyView::Native ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

HKEY OpenProduct(KeyView view, REGSAM access, bool create) {
  HKEY key = nullptr;
  const LSTATUS status =
      create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, access | ViewFlag(view), nullptr,
                               &key, nullptr)
             : RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, access | ViewFlag(view), &key);
  return status == ERROR_SUCCESS ? key : nullptr;
}

void CopyOrFail(const std::wstring& from, const std::wstring& to) {
  EXPECT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << Narrow(from) << " -> " << Narrow(to);
}

}  // namespace

std::wstring BesideTests(const std::wstring& name) { return ModuleFolder() + L"\\" + name; }

std::wstring HelperExe() {
  // The test program lives in the tests folder of the build tree, the helper one above.
  const std::wstring folder = ModuleFolder();
  return folder.substr(0, folder.find_last_of(L'\\')) + L"\\QelInstallHelper.exe";
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
  return narrow;
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

bool SameContent(const std::wstring& a, const std::wstring& b) {
  return Exists(a) && Exists(b) && ReadAll(a) == ReadAll(b);
}

void RemoveTree(const std::wstring& path) {
  // Through the "\\?\" form, so that names the usual form cannot reach ("dir.") go too.
  const std::wstring whole = Verbatim(path);
  const DWORD attributes = GetFileAttributesW(whole.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(whole.c_str(), FILE_ATTRIBUTE_NORMAL);
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (link) {
    RemoveLink(path);
    return;
  }
  if (!directory) {
    DeleteFileW(whole.c_str());
    return;
  }
  std::vector<std::wstring> entries;
  ListInto(whole, L"", entries);
  // Deepest first, so every folder is empty when its turn comes.
  std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) { return a > b; });
  for (const std::wstring& entry : entries) {
    const std::wstring full = whole + L"\\" + entry;
    const DWORD entryAttributes = GetFileAttributesW(full.c_str());
    if (entryAttributes != INVALID_FILE_ATTRIBUTES && (entryAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      RemoveLink(path + L"\\" + entry);
      continue;
    }
    SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (entryAttributes != INVALID_FILE_ATTRIBUTES && (entryAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      RemoveDirectoryW(full.c_str());
    } else {
      DeleteFileW(full.c_str());
    }
  }
  RemoveDirectoryW(whole.c_str());
}

std::wstring Verbatim(const std::wstring& path) {
  return path.rfind(L"\\\\", 0) == 0 ? path : L"\\\\?\\" + path;
}

std::string UnixPath(const std::wstring& path) {
  // C:\ is the prefix's drive_c folder; only paths on C: are asked for.
  char prefix[MAX_PATH * 4] = {};
  GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix));
  std::string unix = std::string(prefix) + "/drive_c";
  for (wchar_t c : path.substr(2)) unix += c == L'\\' ? '/' : static_cast<char>(c);
  return unix;
}

void RunUnix(const std::wstring& tool, const std::string& commandLine) {
  std::wstring command(commandLine.begin(), commandLine.end());
  const std::wstring application = L"\\\\?\\unix\\bin\\" + tool;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(application.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "cannot run " << commandLine << ", error " << GetLastError();
    return;
  }
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

void MakeLink(const std::wstring& link, const std::string& target) {
  RunUnix(L"ln", "ln -s " + target + " " + UnixPath(link));
  for (int waited = 0; waited < 100 && !Exists(link); ++waited) Sleep(50);
  EXPECT_NE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "no link " << Narrow(link);
}

void RemoveLink(const std::wstring& link) {
  RunUnix(L"rm", "rm -f " + UnixPath(link));
  for (int waited = 0; waited < 100 && Exists(link); ++waited) Sleep(50);
}

bool PictureMode() { return GetEnvironmentVariableW(L"QEL_SHOTS", nullptr, 0) > 0; }

TestDir::TestDir() {
  if (PictureMode()) {
    // The pictures show the folders that a real installation would use.
    path_ = L"C:\\Program Files\\Tarnwell";
    for (int n = 2; Exists(path_); ++n) path_ = L"C:\\Program Files\\Tarnwell " + std::to_wstring(n);
  } else {
    static int counter = 0;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "test";
    for (char& c : name) {
      if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '<' || c == '>' || c == '|') c = '_';
    }
    CreateDirectoryW(L"C:\\qelacceptance", nullptr);
    path_ = L"C:\\qelacceptance\\" + std::wstring(name.begin(), name.end()) + L"." +
            std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
    RemoveTree(path_);
  }
  EXPECT_TRUE(CreateDirectoryW(path_.c_str(), nullptr)) << Narrow(path_);
}

TestDir::~TestDir() { RemoveTree(path_); }

std::wstring TestDir::MakeDir(const std::wstring& relative) const {
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

std::wstring TestDir::MakeFile(const std::wstring& relative, const std::string& content) const {
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

std::vector<std::wstring> TestDir::List() const {
  std::vector<std::wstring> entries;
  ListInto(path_, L"", entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

FileLock::FileLock(const std::wstring& path)
    : handle_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
  EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << "cannot hold " << Narrow(path) << " open";
}

void FileLock::Release() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

ProductKey::ProductKey() : lock_(CreateMutexW(nullptr, FALSE, L"QelAcceptance.ProductKey")) {
  const DWORD waited = WaitForSingleObject(lock_, 120000);
  EXPECT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << "the product key stayed in use";
  Clear();
}

ProductKey::~ProductKey() {
  Clear();
  ReleaseMutex(lock_);
  CloseHandle(lock_);
}

void ProductKey::Set(KeyView view, const std::wstring& name, const std::wstring& text) const {
  HKEY key = OpenProduct(view, KEY_ALL_ACCESS, true);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

bool ProductKey::Has(KeyView view, const std::wstring& name) const {
  HKEY key = OpenProduct(view, KEY_READ, false);
  if (key == nullptr) return false;
  const bool found = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return found;
}

std::wstring ProductKey::Get(KeyView view, const std::wstring& name) const {
  HKEY key = OpenProduct(view, KEY_READ, false);
  if (key == nullptr) return L"<no key>";
  wchar_t text[MAX_PATH * 4] = {};
  DWORD bytes = sizeof(text) - sizeof(wchar_t);
  DWORD type = REG_NONE;
  const LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return L"<absent>";
  return type == REG_SZ ? std::wstring(text) : L"<not a string>";
}

void ProductKey::Clear() const {
  for (const wchar_t* path : kProductKeyPaths) {
    const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << Narrow(path) << ": " << status;
  }
  // The vendor's keys above it go too, where nothing else is left in them.
  for (const wchar_t* path : {L"Software\\Helvane\\BRAVIK", L"Software\\Helvane", L"Software\\Wow6432Node\\Helvane\\BRAVIK",
                              L"Software\\Wow6432Node\\Helvane"}) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
  }
}

std::wstring SystemDir() {
  wchar_t dir[MAX_PATH] = {};
  GetSystemDirectoryW(dir, MAX_PATH);
  return dir;
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

DWORD RegSvr(const std::wstring& library, bool registering) {
  std::wstring command = L"\"" + SystemDir() + L"\\regsvr32.exe\" /s " + (registering ? L"" : L"/u ") + L"\"" +
                         library + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot run " << Narrow(command);
    return 1;
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

std::wstring GoodComponent() { return BesideTests(L"qel_component.dll"); }
std::wstring FailingComponent() { return BesideTests(L"qel_component_failing.dll"); }

EngineNames TestEngineNames() {
  const std::wstring tag = PictureMode() ? L"X" : L"T" + std::to_wstring(GetCurrentProcessId());
  return {L"wbent" + tag + L".ocx", L"wbent" + tag + L".lic", L"wb64" + tag + L".dll"};
}

Installation::Installation(const InstallationOptions& options) : names_(TestEngineNames()) {
  ForgetSystemDirFiles();
  folder_.MakeDir(L"VBAEngine\\Windows64");
  if (options.control) CopyOrFail(options.failingControl ? FailingComponent() : GoodComponent(), Engine(names_.control));
  if (options.companion) folder_.MakeFile(L"VBAEngine\\Windows64\\" + names_.companion, "license\r\n");
  if (options.library) CopyOrFail(GoodComponent(), Engine(names_.library));
  if (!options.extensionFolder) return;
  folder_.MakeDir(L"AMD64");
  if (options.extension) CopyOrFail(options.failingExtension ? FailingComponent() : GoodComponent(), Extension());
}

Installation::~Installation() {
  ForgetSystemDirFiles();
  ForgetRegistration(Extension());
  for (const std::wstring& name : {names_.control, names_.library}) ForgetRegistration(Engine(name));
}

void Installation::ForgetSystemDirFiles() const {
  for (const std::wstring& name : {names_.control, names_.companion, names_.library}) {
    ForgetRegistration(InSystemDir(name));
    RemoveTree(InSystemDir(name));
  }
}
