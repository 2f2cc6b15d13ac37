#include "support/components.h"

#include "tasks/enginetransaction.h"

namespace {

void CopyOrFail(const std::wstring& from, const std::wstring& to) {
  EXPECT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << Narrow(from) << " -> " << Narrow(to);
}

// "_<test name>_<n>": the same for no two installations of one process, nor of two tests.
std::wstring NextTag() {
  static int counter = 0;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = test != nullptr ? test->name() : "test";
  std::wstring tag = L"_";
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    tag += plain ? static_cast<wchar_t>(c) : L'_';
  }
  return tag + L"_" + std::to_wstring(++counter);
}

}  // namespace

ProcessRecorder::ProcessRecorder()
    : create_(Platform().CreateProcessW,
              [this](LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                     LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                     LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
                StartedProcess process;
                process.application = application != nullptr ? application : L"";
                process.commandLine = commandLine != nullptr ? commandLine : L"";
                process.currentDirectory = CurrentDirectoryPath();
                if (beforeStart) beforeStart();
                process.created = create_.original()(application, commandLine, processAttributes, threadAttributes,
                                                     inherit, flags, environment, directory, startup, information);
                const DWORD error = GetLastError();
                if (process.created && information != nullptr) process.handles = *information;
                started.push_back(process);
                SetLastError(error);
                return process.created;
              }),
      close_(Platform().CloseHandle, [this](HANDLE handle) {
        closed.push_back(handle);
        return close_.original()(handle);
      }) {}

bool ProcessRecorder::HandlesClosed(const StartedProcess& process) const {
  bool processClosed = false;
  bool threadClosed = false;
  for (HANDLE handle : closed) {
    processClosed = processClosed || handle == process.handles.hProcess;
    threadClosed = threadClosed || handle == process.handles.hThread;
  }
  return processClosed && threadClosed;
}

NoProcessStarts::NoProcessStarts()
    : create_(Platform().CreateProcessW,
              [](LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                 LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
                ADD_FAILURE() << "a process was started: application <"
                              << Narrow(application != nullptr ? application : L"") << ">, command line <"
                              << Narrow(commandLine != nullptr ? commandLine : L"") << ">";
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
              }) {}

std::wstring GoodComponent() { return TestArtifact(L"qel_component.dll"); }
std::wstring FailingComponent() { return TestArtifact(L"qel_component_failing.dll"); }

RegistrationCleanup::~RegistrationCleanup() {
  for (const std::wstring& library : libraries_) ForgetRegistration(library);
}

std::wstring RegistrationCleanup::Watch(const std::wstring& library) {
  libraries_.push_back(library);
  return library;
}

Installation::Installation(const InstallationOptions& options) : tag_(NextTag()) {
  dir_.MakeDir(L"VBAEngine\\Windows64");
  const std::wstring control = options.failingControl ? FailingComponent() : GoodComponent();
  if (options.control) CopyOrFail(control, registrations.Watch(Control()));
  if (options.companion) dir_.MakeFile(L"VBAEngine\\Windows64\\" + CompanionName(), "license\r\n");
  if (options.library) CopyOrFail(GoodComponent(), registrations.Watch(Library()));
  if (!options.extensionFolder) return;
  dir_.MakeDir(L"AMD64");
  const std::wstring extension = options.failingExtension ? FailingComponent() : GoodComponent();
  if (options.extension) CopyOrFail(extension, registrations.Watch(Extension()));
}

namespace {

// This process's turn at the system directory, kept until it ends.
bool TakeSystemDirTurn() {
  static const HANDLE lock = CreateMutexW(nullptr, FALSE, L"QelTests.EngineInSystemDir");  // abandoned at the end
  const DWORD waited = WaitForSingleObject(lock, 300000);
  EXPECT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << "the system directory stayed in use";
  return true;
}

}  // namespace

EngineInSystemDir::EngineInSystemDir(const Installation& installation)
    : turn_(TakeSystemDirTurn()),
      dir_(SystemDir()),
      names_{installation.ControlName(), installation.CompanionName(), installation.LibraryName()} {
  EngineTransaction plan;
  PathBuffer names[kEngineFileCount] = {};
  for (int i = 0; i < kEngineFileCount; ++i) names_[i].copy(names[i], names_[i].size());
  EXPECT_TRUE(PlanEngineTransaction(plan, dir_.c_str(), names));
  stem_ = plan.stem;
  Remove();
}

int EngineInSystemDir::Present() const {
  int present = 0;
  for (const std::wstring& name : names_) present += Exists(dir_ + L"\\" + name) ? 1 : 0;
  return present;
}

std::vector<std::wstring> EngineInSystemDir::Leftovers() const {
  std::vector<std::wstring> found;
  for (const std::wstring& name : ListNames(dir_)) {
    if ((dir_ + L"\\" + name).rfind(stem_, 0) == 0) found.push_back(dir_ + L"\\" + name);
  }
  return found;
}

// Only the tagged names of this installation: nothing else in the system directory is touched.
void EngineInSystemDir::Remove() const {
  for (const std::wstring& leftover : Leftovers()) RemoveTree(leftover);
  for (const std::wstring& name : names_) {
    const std::wstring path = dir_ + L"\\" + name;
    ForgetRegistration(path);
    SetSharedCount(path, -1);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    EXPECT_FALSE(Exists(path)) << "left in the system directory: " << Narrow(path);
  }
}
