// Every platform call of a run fails in turn. A clean run of a scenario counts its calls; then
// one run per call that can fail makes exactly that call fail, each from a freshly prepared
// state, and checks what must hold after any run: a result of 0 or 1, no failure reported as
// success, no file changed outside the scenario's own, every handle, listing and key closed
// once, the current directory back, and no box while quiet mode is on.

#include <cstdio>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "base/messages.h"
#include "base/text.h"
#include "front/main.h"
#include "support/components.h"
#include "support/productkey.h"

namespace {

template <class T>
struct Fail {
  T value;
  DWORD error;
};
struct Never {};  // releases, the last error and the debugger output: counted, never failed

// Every entry of the seam, with the value and the last error it fails with.
template <class Visit>
void VisitEntries(PlatformCalls& p, Visit visit) {
  static_assert(sizeof(PlatformCalls) == 49 * sizeof(std::function<void()>), "an entry is missing here");
  visit("FindFirstFileW", p.FindFirstFileW, Fail<HANDLE>{INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED});
  visit("FindNextFileW", p.FindNextFileW, Fail<BOOL>{FALSE, ERROR_NETNAME_DELETED});
  visit("FindClose", p.FindClose, Never{});
  visit("GetFileAttributesW", p.GetFileAttributesW, Fail<DWORD>{INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED});
  visit("SetFileAttributesW", p.SetFileAttributesW, Fail<BOOL>{FALSE, ERROR_ACCESS_DENIED});
  visit("CopyFileW", p.CopyFileW, Fail<BOOL>{FALSE, ERROR_DISK_FULL});
  visit("DeleteFileW", p.DeleteFileW, Fail<BOOL>{FALSE, ERROR_SHARING_VIOLATION});
  visit("RemoveDirectoryW", p.RemoveDirectoryW, Fail<BOOL>{FALSE, ERROR_SHARING_VIOLATION});
  visit("GetCurrentDirectoryW", p.GetCurrentDirectoryW, Fail<DWORD>{0, ERROR_NOT_ENOUGH_MEMORY});
  visit("SetCurrentDirectoryW", p.SetCurrentDirectoryW, Fail<BOOL>{FALSE, ERROR_ACCESS_DENIED});
  visit("GetFullPathNameW", p.GetFullPathNameW, Fail<DWORD>{0, ERROR_NOT_ENOUGH_MEMORY});
  visit("CreateFileW", p.CreateFileW, Fail<HANDLE>{INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED});
  visit("GetFileInformationByHandle", p.GetFileInformationByHandle, Fail<BOOL>{FALSE, ERROR_INVALID_FUNCTION});
  visit("GetLastError", p.GetLastError, Never{});
  visit("SetLastError", p.SetLastError, Never{});
  visit("GetFileVersionInfoSizeW", p.GetFileVersionInfoSizeW, Fail<DWORD>{0, ERROR_RESOURCE_TYPE_NOT_FOUND});
  visit("GetFileVersionInfoW", p.GetFileVersionInfoW, Fail<BOOL>{FALSE, ERROR_NOT_ENOUGH_MEMORY});
  visit("VerQueryValueW", p.VerQueryValueW, Fail<BOOL>{FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND});
  visit("CreateProcessW", p.CreateProcessW, Fail<BOOL>{FALSE, ERROR_FILE_NOT_FOUND});
  visit("GetStartupInfoW", p.GetStartupInfoW, Never{});
  visit("WaitForSingleObject", p.WaitForSingleObject, Fail<DWORD>{WAIT_FAILED, ERROR_INVALID_HANDLE});
  visit("GetExitCodeProcess", p.GetExitCodeProcess, Fail<BOOL>{FALSE, ERROR_ACCESS_DENIED});
  visit("TerminateProcess", p.TerminateProcess, Fail<BOOL>{FALSE, ERROR_ACCESS_DENIED});
  visit("CloseHandle", p.CloseHandle, Never{});
  visit("GetModuleFileNameW", p.GetModuleFileNameW, Fail<DWORD>{0, ERROR_NOT_ENOUGH_MEMORY});
  visit("GetCurrentProcessId", p.GetCurrentProcessId, Never{});
  visit("ShellExecuteExW", p.ShellExecuteExW, Fail<BOOL>{FALSE, ERROR_CANCELLED});
  visit("GetNativeSystemInfo", p.GetNativeSystemInfo, Never{});
  visit("VerifyVersionInfoW", p.VerifyVersionInfoW, Fail<BOOL>{FALSE, ERROR_OLD_WIN_VERSION});
  visit("VerSetConditionMask", p.VerSetConditionMask, Never{});
  visit("SHGetSpecialFolderPathW", p.SHGetSpecialFolderPathW, Fail<BOOL>{FALSE, ERROR_FILE_NOT_FOUND});
  visit("GetProfilesDirectoryW", p.GetProfilesDirectoryW, Fail<BOOL>{FALSE, ERROR_FILE_NOT_FOUND});
  visit("GetCurrentProcess", p.GetCurrentProcess, Never{});
  visit("OpenProcessToken", p.OpenProcessToken, Fail<BOOL>{FALSE, ERROR_ACCESS_DENIED});
  visit("GetTokenInformation", p.GetTokenInformation, Fail<BOOL>{FALSE, ERROR_ACCESS_DENIED});
  visit("RegOpenKeyExW", p.RegOpenKeyExW, Fail<LSTATUS>{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED});
  visit("RegQueryValueExW", p.RegQueryValueExW, Fail<LSTATUS>{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED});
  visit("RegDeleteValueW", p.RegDeleteValueW, Fail<LSTATUS>{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED});
  visit("RegCloseKey", p.RegCloseKey, Never{});
  visit("MessageBoxW", p.MessageBoxW, Fail<int>{0, ERROR_NOT_ENOUGH_MEMORY});
  visit("GetCommandLineW", p.GetCommandLineW, Never{});
  visit("CommandLineToArgvW", p.CommandLineToArgvW, Fail<LPWSTR*>{nullptr, ERROR_NOT_ENOUGH_MEMORY});
  visit("CoInitializeEx", p.CoInitializeEx, Fail<HRESULT>{E_OUTOFMEMORY, ERROR_NOT_ENOUGH_MEMORY});
  visit("CoUninitialize", p.CoUninitialize, Never{});
  visit("OutputDebugStringW", p.OutputDebugStringW, Never{});
  visit("MultiByteToWideChar", p.MultiByteToWideChar, Never{});
  visit("GetSystemDirectoryW", p.GetSystemDirectoryW, Fail<UINT>{0, ERROR_NOT_ENOUGH_MEMORY});
  visit("SetDefaultDllDirectories", p.SetDefaultDllDirectories, Fail<BOOL>{FALSE, ERROR_PROC_NOT_FOUND});
  visit("SetDllDirectoryW", p.SetDllDirectoryW, Fail<BOOL>{FALSE, ERROR_ACCESS_DENIED});
}

bool CanFail(const std::string& entry) {
  bool can = false;
  PlatformCalls calls;
  VisitEntries(calls, [&](const char* name, auto&, auto failure) {
    can = can || (entry == name && !std::is_same_v<decltype(failure), Never>);
  });
  return can;
}

// For the time of one run: what was opened and not yet closed, which files were changed, and
// what went against the rules; then, over it, the layer that counts every call and fails one.
class FaultLayer {
 public:
  explicit FaultLayer(size_t failAt) : saved_(Platform()) {
    PlatformCalls& p = Platform();
    Track(p.FindFirstFileW, [](auto&, HANDLE result, LPCWSTR, auto) { return result; });
    Track(p.CreateFileW, [](auto&, HANDLE result, auto...) { return result; });
    Track(p.OpenProcessToken, [](auto&, BOOL ok, HANDLE, DWORD, PHANDLE token) { return ok ? *token : nullptr; });
    Track(p.RegOpenKeyExW, [](auto&, LSTATUS status, HKEY, LPCWSTR, DWORD, REGSAM, PHKEY key) {
      return status == ERROR_SUCCESS ? static_cast<HANDLE>(*key) : nullptr;
    });
    Track(p.ShellExecuteExW, [](auto&, BOOL ok, SHELLEXECUTEINFOW* info) { return ok ? info->hProcess : nullptr; });
    Track(p.CreateProcessW, [](FaultLayer& self, BOOL ok, auto... args) {
      const PROCESS_INFORMATION* process = std::get<9>(std::make_tuple(args...));
      if (ok) self.Opened(process->hThread);
      return ok ? process->hProcess : nullptr;
    });
    for (auto* close : {&p.FindClose, &p.CloseHandle}) Before(*close, [this](HANDLE handle) { Closed(handle); });
    Before(p.RegCloseKey, [this](HKEY key) { Closed(key); });
    for (auto* change : {&p.DeleteFileW, &p.RemoveDirectoryW}) {
      Before(*change, [this](LPCWSTR path) { changed.push_back(path); });
    }
    Before(p.SetFileAttributesW, [this](LPCWSTR path, DWORD) { changed.push_back(path); });
    Before(p.CopyFileW, [this](LPCWSTR, LPCWSTR dst, BOOL) { changed.push_back(dst); });
    Before(p.MessageBoxW, [this](HWND, LPCWSTR, LPCWSTR, UINT) {
      if (QuietMode) problems.push_back("a box in quiet mode");
    });
    VisitEntries(p, [this, failAt](const char* name, auto& entry, auto failure) {
      entry = LayerOver(entry, [this, failAt, name, failure](const auto& below, auto... args) {
        using Result = decltype(below(args...));
        calls.push_back(name);
        if constexpr (!std::is_same_v<decltype(failure), Never>) {
          if (calls.size() == failAt) {
            failed = name;
            ::SetLastError(failure.error);
            return static_cast<Result>(failure.value);
          }
        }
        return below(args...);
      });
    });
  }
  ~FaultLayer() { Platform() = saved_; }
  FaultLayer(const FaultLayer&) = delete;
  FaultLayer& operator=(const FaultLayer&) = delete;

  std::vector<const char*> calls;  // the entry of each call, in order
  std::string failed;              // the entry whose call failed
  std::map<HANDLE, int> open;      // times opened less times closed
  std::vector<std::wstring> changed;
  std::vector<std::string> problems;

 private:
  void Opened(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ++open[handle];
  }
  void Closed(void* handle) {
    if (--open[handle] < 0) problems.push_back("closed a handle that was not open");
  }
  // Notes the handle that find(*this, result, arguments...) finds in a call's outcome.
  template <class R, class... A, class Find>
  void Track(std::function<R(A...)>& entry, Find find) {
    entry = LayerOver(entry, [this, find](const std::function<R(A...)>& below, A... args) {
      const R result = below(args...);
      Opened(find(*this, result, args...));
      return result;
    });
  }
  // Looks at each call's arguments before it is made.
  template <class R, class... A, class Look>
  static void Before(std::function<R(A...)>& entry, Look look) {
    entry = LayerOver(entry, [look](const std::function<R(A...)>& below, A... args) {
      look(args...);
      return below(args...);
    });
  }
  PlatformCalls saved_;
};

// One scenario. Made afresh for every run; Check tells what no run may report as success.
struct Scenario {
  virtual ~Scenario() = default;
  virtual int Run() = 0;
  virtual void Check(int result, const std::string& failed, const std::vector<Box>& boxes) = 0;
  virtual bool Done() = 0;  // the scenario's work is done
  std::vector<int> answers;           // the user's answers; later questions end their loop
  std::vector<std::wstring> mayChange;  // what the run may change: these and what lies below them
};

struct CopyScenario : Scenario {
  explicit CopyScenario(bool quiet) : quiet(quiet) {
    if (quiet) CopyFileW(FailingComponent().c_str(), system.Control().c_str(), FALSE);  // an earlier control
    mayChange = {inst.path(), system.Control(), system.Companion(), system.Library()};
  }
  int Run() override { return RunHelper(quiet ? std::vector<std::wstring>{L"copy", inst.path(), L"quiet"}
                                               : std::vector<std::wstring>{L"copy", inst.path()}); }
  bool Done() override {
    return SameContent(system.Control(), inst.Control()) && SameContent(system.Companion(), inst.Companion()) &&
           SameContent(system.Library(), inst.Library()) && IsRegistered(system.Control());
  }
  void Check(int result, const std::string&, const std::vector<Box>&) override {
    EXPECT_TRUE(result != 0 || Done()) << "installed and registered";
  }
  bool quiet;
  Installation inst;
  EngineInSystemDir system{inst};
};

struct CleanScenario : Scenario {
  CleanScenario() {
    answers = {IDYES};
    SetFileAttributesW(tree.MakeFile(L"inst\\a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(tree.MakeFile(L"inst\\sub\\b.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW(tree.MakeDir(L"inst\\sub\\deeper").c_str(), FILE_ATTRIBUTE_READONLY);
    mayChange = {tree / L"inst"};
  }
  int Run() override { return RunHelper({L"clean", tree / L"inst"}); }
  bool Done() override { return TreeEntries(tree / L"inst").empty(); }
  void Check(int result, const std::string&, const std::vector<Box>& boxes) override {
    const bool yes = !boxes.empty() && boxes[0].text.rfind(L"The installation directory is not empty", 0) == 0;
    EXPECT_TRUE(result != 0 || !yes || Done()) << "the user never chose Ignore";
  }
  TempDir tree;
};

struct CheckEditionScenario : Scenario {
  CheckEditionScenario() {
    keys.SetString(KeyView::Native, L"EDITION", L"STUDENT");
    keys.SetString(KeyView::Native, L"INSTALLPATH", empty.path());
  }
  int Run() override { return RunHelper({L"checkedition", L"COMMERCIAL"}); }
  bool Done() override { return !keys.HasValue(KeyView::Native, L"EDITION"); }
  void Check(int, const std::string& failed, const std::vector<Box>&) override {
    EXPECT_TRUE(!Done() || (failed != "FindFirstFileW" && failed != "FindNextFileW")) << "deleted, not fully listed";
  }
  ProductKeys keys;
  TempDir empty;
};

// Not elevated: the command goes to an elevated copy, a stand-in that records its arguments
// and ends with 0. The process's own library search and elevation are left alone.
struct StartupScenario : Scenario {
  int Run() override { return wWinMain(nullptr, nullptr, nullptr, SW_SHOW); }
  bool Done() override { return Exists(dir / L"received.args"); }
  void Check(int result, const std::string&, const std::vector<Box>&) override {
    EXPECT_TRUE(result != 0 || Done()) << "the elevated copy never ran";
  }
  TempDir dir;
  std::wstring commandLine = L"\"C:\\Setup\\QelInstallHelper.exe\" \"" + (dir / L"received.args") + L"\" 0";
  std::wstring copy = TestArtifact(L"qel_record_args.exe");
  ScopedOverride<LPWSTR()> line{Platform().GetCommandLineW, [this] { return &commandLine[0]; }};
  ScopedOverride<DWORD(HMODULE, LPWSTR, DWORD)> self{Platform().GetModuleFileNameW, [this](HMODULE, LPWSTR path, DWORD) {
                                                       path[copy.copy(path, copy.size())] = 0;
                                                       return static_cast<DWORD>(copy.size());
                                                     }};
  ScopedOverride<BOOL(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD)> token{
      Platform().GetTokenInformation, [](HANDLE, TOKEN_INFORMATION_CLASS, LPVOID data, DWORD, PDWORD) {
        static_cast<TOKEN_ELEVATION*>(data)->TokenIsElevated = 0;
        return TRUE;
      }};
  ScopedOverride<BOOL(DWORD)> search{Platform().SetDefaultDllDirectories, [](DWORD) { return TRUE; }};
};

struct Row {
  const char* name;
  std::unique_ptr<Scenario> (*make)();
};

const Row kRows[] = {
    {"CopyQuietOverAnEarlierControl", [] { return std::unique_ptr<Scenario>(new CopyScenario(true)); }},
    {"CopyNotQuiet", [] { return std::unique_ptr<Scenario>(new CopyScenario(false)); }},
    {"CleanAnsweredYes", [] { return std::unique_ptr<Scenario>(new CleanScenario); }},
    {"CheckEditionOverAnEmptyDirectory", [] { return std::unique_ptr<Scenario>(new CheckEditionScenario); }},
    {"StartupHandsOverToAnElevatedCopy", [] { return std::unique_ptr<Scenario>(new StartupScenario); }},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

bool Below(const std::wstring& path, const std::wstring& folder) {
  const std::wstring plain = path.rfind(L"\\\\?\\", 0) == 0 ? path.substr(4) : path;
  return plain.size() >= folder.size() && EqualsNoCase(plain.substr(0, folder.size()).c_str(), folder.c_str()) &&
         (plain.size() == folder.size() || plain[folder.size()] == L'\\');
}

// One run, failing call number failAt (0: none); returns the entry of each call it made.
std::vector<std::string> RunAndCheck(const Row& row, size_t failAt) {
  std::unique_ptr<Scenario> scenario = row.make();
  QuietModeGuard quiet;
  BoxRecorder boxes;
  boxes.Answer(scenario->answers);
  boxes.unscriptedIsFailure = false;
  TraceRecorder trace;
  const std::wstring before = CurrentDirectoryPath();
  FaultLayer layer(failAt);
  const int result = scenario->Run();

  SCOPED_TRACE(std::string("failing call ") + std::to_string(failAt) + " (" + layer.failed + ")");
  EXPECT_TRUE(result == 0 || result == 1) << result;
  if (failAt == 0) {
    EXPECT_TRUE(result == 0 && scenario->Done()) << "the scenario does its work without a failure";
  }
  scenario->Check(result, layer.failed, boxes.boxes);
  for (const auto& handle : layer.open) EXPECT_EQ(handle.second, 0) << "a handle still open";
  for (const std::string& problem : layer.problems) ADD_FAILURE() << problem;
  for (const std::wstring& path : layer.changed) {
    bool allowed = false;
    for (const std::wstring& folder : scenario->mayChange) allowed = allowed || Below(path, folder);
    EXPECT_TRUE(allowed) << "changed " << Narrow(path);
  }
  EXPECT_EQ(CurrentDirectoryPath(), before);
  return std::vector<std::string>(layer.calls.begin(), layer.calls.end());
}

class FaultSweep : public ::testing::TestWithParam<Row> {};

// The first run of a process also builds what the helper keeps for later (the product key's
// paths, the libraries it resolves): the calls are counted on the second.
TEST_P(FaultSweep, EveryCallFailsInTurn) {
  RunAndCheck(GetParam(), 0);
  const std::vector<std::string> calls = RunAndCheck(GetParam(), 0);
  size_t runs = 0;
  for (size_t call = 1; call <= calls.size(); ++call) {
    if (!CanFail(calls[call - 1])) continue;
    ++runs;
    EXPECT_EQ(RunAndCheck(GetParam(), call)[call - 1], calls[call - 1]) << "the same call as in the clean run";
  }
  std::printf("%s: %zu calls, %zu faulted runs\n", GetParam().name, calls.size(), runs);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
