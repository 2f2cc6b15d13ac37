#include "acceptance/support.h"

namespace {

void CopyOrFail(const std::wstring& from, const std::wstring& to) {
  EXPECT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << Narrow(from) << " -> " << Narrow(to);
}

std::wstring PictureFolder() {
  std::wstring path = L"C:\\Program Files\\Tarnwell";
  for (int n = 2; Exists(path); ++n) path = L"C:\\Program Files\\Tarnwell " + std::to_wstring(n);
  return path;
}

// The test program lives in the tests folder of the build tree.
std::wstring InBuildTree(const std::wstring& relative) {
  const std::wstring tests = TestArtifact(L"");
  return tests.substr(0, tests.find_last_of(L'\\', tests.size() - 2)) + L"\\" + relative;
}

}  // namespace

std::wstring HelperExe() { return InBuildTree(L"QelInstallHelper.exe"); }
std::wstring TraceTool() { return InBuildTree(L"tools\\qel_trace.exe"); }

bool PictureMode() { return GetEnvironmentVariableW(L"QEL_SHOTS", nullptr, 0) > 0; }

// The pictures show the folders that a real installation would use.
TestDir::TestDir() : TempDir(Exactly{PictureMode() ? PictureFolder() : UniqueTestFolder(L"C:\\qelacceptance")}) {}

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
  HKEY key = OpenProductKey(view, KEY_ALL_ACCESS, true);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

bool ProductKey::Has(KeyView view, const std::wstring& name) const {
  HKEY key = OpenProductKey(view, KEY_READ, false);
  if (key == nullptr) return false;
  const bool found = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return found;
}

std::wstring ProductKey::Get(KeyView view, const std::wstring& name) const {
  HKEY key = OpenProductKey(view, KEY_READ, false);
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

DWORD RegSvr(const std::wstring& library, bool registering) {
  std::wstring command = L"\"" + SystemDir() + L"\\regsvr32.exe\" /s " + (registering ? L"" : L"/u ") + L"\"" +
                         library + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!StartDespiteWineRefusals(command.c_str(), [&] {
        return CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
      })) {
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

std::wstring GoodComponent() { return TestArtifact(L"qel_component.dll"); }
std::wstring FailingComponent() { return TestArtifact(L"qel_component_failing.dll"); }

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

// With the files go their counts and the product's reference to them.
void Installation::ForgetSystemDirFiles() const {
  for (const std::wstring& name : {names_.control, names_.companion, names_.library}) {
    ForgetRegistration(InSystemDir(name));
    RemoveTree(InSystemDir(name));
    SetSharedCount(InSystemDir(name), -1);
  }
  for (const wchar_t* path : kProductKeyPaths) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, path, L"ENGINE");
}
