// Every platform call of a run fails in turn. A clean run of a scenario counts its calls; then
// one run per call that can fail makes exactly that call fail, each from a freshly prepared
// state, and checks what must hold after any run: a result of 0 or 1, no failure reported as
// success, no file changed outside the scenario's own, every handle, listing and key closed
// once, the current directory back, and no box while quiet mode is on. For "copy", a second
// sweep makes every call from one on fail, so that the disk stays as a run killed there
// leaves it; the next run, on a whole platform, must mend it and install.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/messages.h"
#include "base/process.h"
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

template <class R, class... A, class V>
Fail<R> FailWith(const std::function<R(A...)>&, V value, DWORD error) {
  return {static_cast<R>(value), error};
}

#define FAILS(entry, value, error) visit(#entry, p.entry, FailWith(p.entry, value, error))
#define NEVER(entry) visit(#entry, p.entry, Never{})

// Every entry of the seam, with the value and the last error that it fails with.
template <class Visit>
void VisitEntries(PlatformCalls& p, Visit visit) {
  static_assert(sizeof(PlatformCalls) == 68 * sizeof(std::function<void()>), "an entry is missing here");
  FAILS(FindFirstFileW, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
  FAILS(FindNextFileW, FALSE, ERROR_NETNAME_DELETED);
  FAILS(GetFileAttributesW, INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED);
  FAILS(SetFileAttributesW, FALSE, ERROR_ACCESS_DENIED);
  FAILS(CopyFileW, FALSE, ERROR_DISK_FULL);
  FAILS(DeleteFileW, FALSE, ERROR_SHARING_VIOLATION);
  FAILS(RemoveDirectoryW, FALSE, ERROR_SHARING_VIOLATION);
  FAILS(GetCurrentDirectoryW, 0, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(SetCurrentDirectoryW, FALSE, ERROR_ACCESS_DENIED);
  FAILS(GetFullPathNameW, 0, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(CreateFileW, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
  FAILS(GetFileInformationByHandle, FALSE, ERROR_INVALID_FUNCTION);
  FAILS(GetFileInformationByHandleEx, FALSE, ERROR_INVALID_PARAMETER);
  FAILS(GetFinalPathNameByHandleW, 0, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(SetFileInformationByHandle, FALSE, ERROR_ACCESS_DENIED);
  FAILS(NtCreateFile, 0xC0000022L, ERROR_ACCESS_DENIED);  // STATUS_ACCESS_DENIED
  FAILS(GetLongPathNameW, 0, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(GetFileVersionInfoSizeW, 0, ERROR_RESOURCE_TYPE_NOT_FOUND);
  FAILS(GetFileVersionInfoW, FALSE, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(VerQueryValueW, FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND);
  FAILS(CreateProcessW, FALSE, ERROR_FILE_NOT_FOUND);
  FAILS(WaitForSingleObject, WAIT_FAILED, ERROR_INVALID_HANDLE);
  FAILS(GetExitCodeProcess, FALSE, ERROR_ACCESS_DENIED);
  FAILS(TerminateProcess, FALSE, ERROR_ACCESS_DENIED);
  FAILS(GetModuleFileNameW, 0, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(ShellExecuteExW, FALSE, ERROR_CANCELLED);
  FAILS(VerifyVersionInfoW, FALSE, ERROR_OLD_WIN_VERSION);
  FAILS(SHGetSpecialFolderPathW, FALSE, ERROR_FILE_NOT_FOUND);
  FAILS(GetProfilesDirectoryW, FALSE, ERROR_FILE_NOT_FOUND);
  FAILS(OpenProcessToken, FALSE, ERROR_ACCESS_DENIED);
  FAILS(GetTokenInformation, FALSE, ERROR_ACCESS_DENIED);
  FAILS(RegOpenKeyExW, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
  FAILS(RegQueryValueExW, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
  FAILS(RegDeleteValueW, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
  FAILS(RegCreateKeyExW, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
  FAILS(RegSetValueExW, ERROR_WRITE_FAULT, ERROR_WRITE_FAULT);
  FAILS(MessageBoxW, 0, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(GetProcessWindowStation, nullptr, ERROR_ACCESS_DENIED);
  FAILS(GetUserObjectInformationW, FALSE, ERROR_ACCESS_DENIED);
  FAILS(ProcessIdToSessionId, FALSE, ERROR_ACCESS_DENIED);
  FAILS(CommandLineToArgvW, nullptr, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(CoInitializeEx, E_OUTOFMEMORY, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(GetSystemDirectoryW, 0, ERROR_NOT_ENOUGH_MEMORY);
  FAILS(SetDefaultDllDirectories, FALSE, ERROR_PROC_NOT_FOUND);
  FAILS(SetDllDirectoryW, FALSE, ERROR_ACCESS_DENIED);
  FAILS(MoveFileExW, FALSE, ERROR_SHARING_VIOLATION);
  FAILS(WriteFile, FALSE, ERROR_DISK_FULL);
  FAILS(ReadFile, FALSE, ERROR_READ_FAULT);
  FAILS(FlushFileBuffers, FALSE, ERROR_WRITE_FAULT);
  FAILS(CreateMutexW, nullptr, ERROR_ACCESS_DENIED);
  FAILS(CreateFileMappingW, nullptr, ERROR_ACCESS_DENIED);
  FAILS(MapViewOfFile, nullptr, ERROR_NOT_ENOUGH_MEMORY);
  NEVER(FindClose), NEVER(CloseHandle), NEVER(RegCloseKey), NEVER(CoUninitialize), NEVER(GetLastError);
  NEVER(SetLastError), NEVER(OutputDebugStringW), NEVER(MultiByteToWideChar), NEVER(GetCurrentProcessId);
  NEVER(GetCurrentProcess), NEVER(GetStartupInfoW), NEVER(GetNativeSystemInfo), NEVER(VerSetConditionMask);
  NEVER(GetCommandLineW), NEVER(ReleaseMutex), NEVER(UnmapViewOfFile);
}

// For the time of one run: what was opened and not yet closed, which files were changed, and
// what went against the rules; then, over it, the layer that counts every call and fails one,
// or every one from there on.
class FaultLayer {
 public:
  FaultLayer(size_t failAt, bool onwards) : saved_(Platform()) {
    PlatformCalls& p = Platform();
    After(p.FindFirstFileW, [this](HANDLE listing, auto...) { Opened(listing); });
    After(p.CreateFileW, [this](HANDLE file, auto...) { Opened(file); });
    After(p.NtCreateFile, [this](NTSTATUS status, PHANDLE file, auto...) { Opened(status >= 0 ? *file : nullptr); });
    After(p.CreateMutexW, [this](HANDLE mutex, auto...) { Opened(mutex); });
    After(p.CreateFileMappingW, [this](HANDLE section, auto...) { Opened(section); });
    After(p.OpenProcessToken, [this](BOOL ok, HANDLE, DWORD, PHANDLE token) { Opened(ok ? *token : nullptr); });
    After(p.RegOpenKeyExW, [this](LSTATUS status, auto, auto, auto, auto, PHKEY key) {
      Opened(status == ERROR_SUCCESS ? *key : nullptr);
    });
    After(p.RegCreateKeyExW, [this](LSTATUS status, auto, auto, auto, auto, auto, auto, auto, PHKEY key, auto) {
      Opened(status == ERROR_SUCCESS ? *key : nullptr);
    });
    After(p.ShellExecuteExW, [this](BOOL ok, SHELLEXECUTEINFOW* info) { Opened(ok ? info->hProcess : nullptr); });
    After(p.CreateProcessW, [this](BOOL ok, auto, auto, auto, auto, auto, auto, auto, auto, auto, auto process) {
      for (HANDLE handle : {process->hProcess, process->hThread}) Opened(ok ? handle : nullptr);
      HANDLE child = nullptr;
      if (ok && DuplicateHandle(GetCurrentProcess(), process->hProcess, GetCurrentProcess(), &child, SYNCHRONIZE,
                                FALSE, 0)) {
        children.push_back(child);
      }
    });
    for (auto* close : {&p.FindClose, &p.CloseHandle}) Before(*close, [this](HANDLE handle) { Closed(handle); });
    Before(p.RegCloseKey, [this](HKEY key) { Closed(key); });
    for (auto* change : {&p.DeleteFileW, &p.RemoveDirectoryW}) {
      Before(*change, [this](LPCWSTR path) { changed.push_back(path); });
    }
    Before(p.SetFileAttributesW, [this](LPCWSTR path, DWORD) { changed.push_back(path); });
    Before(p.SetFileInformationByHandle, [this](HANDLE file, auto...) {
      wchar_t path[MAX_PATH * 4] = {};
      GetFinalPathNameByHandleW(file, path, MAX_PATH * 4, 0);
      changed.push_back(path);
    });
    Before(p.CopyFileW, [this](LPCWSTR, LPCWSTR dst, BOOL) { changed.push_back(dst); });
    Before(p.MoveFileExW, [this](LPCWSTR src, LPCWSTR dst, DWORD) {
      changed.push_back(src);
      if (dst != nullptr) changed.push_back(dst);
    });
    Before(p.CreateFileW, [this](LPCWSTR path, DWORD access, auto...) {
      if ((access & GENERIC_WRITE) != 0) changed.push_back(path);
    });
    Before(p.MessageBoxW, [this](HWND, LPCWSTR, LPCWSTR, UINT) {
      if (QuietMode) problems.push_back("a box in quiet mode");
    });
    VisitEntries(p, [this, failAt, onwards](const char* name, auto& entry, auto failure) {
      entry = LayerOver(entry, [this, failAt, onwards, name, failure](const auto& below, auto... args) {
        using Result = decltype(below(args...));
        calls.push_back(name);
        if constexpr (!std::is_same_v<decltype(failure), Never>) {
          failable.push_back(calls.size());
          if (calls.size() == failAt || (onwards && failAt != 0 && calls.size() > failAt)) {
            if (failed.empty()) failed = name;
            ::SetLastError(failure.error);
            return static_cast<Result>(failure.value);
          }
        }
        return below(args...);
      });
    });
  }
  // The children it started end, as a killed run's have before the next run starts.
  ~FaultLayer() {
    Platform() = saved_;
    for (HANDLE child : children) EXPECT_EQ(WaitForSingleObject(child, 60000), WAIT_OBJECT_0) << "still runs";
    for (HANDLE child : children) CloseHandle(child);
  }

  std::vector<std::string> calls;  // the entry of each call, in order
  std::vector<size_t> failable;    // the numbers of those that can fail
  std::string failed;              // the entry whose call failed
  std::map<HANDLE, int> open;      // times opened less times closed
  std::vector<std::wstring> changed;
  std::vector<std::string> problems;
  std::vector<HANDLE> children;

 private:
  void Opened(void* handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ++open[handle];
  }
  void Closed(void* handle) {
    if (--open[handle] < 0) problems.push_back("closed a handle that was not open");
  }
  // Looks at each call's result and arguments after it was made.
  template <class R, class... A, class Look>
  static void After(std::function<R(A...)>& entry, Look look) {
    entry = LayerOver(entry, [look](const std::function<R(A...)>& below, A... args) {
      const R result = below(args...);
      look(result, args...);
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

// One scenario, made afresh for every run.
struct Scenario {
  virtual ~Scenario() = default;
  virtual int Run() = 0;
  virtual bool Done() = 0;  // its work is done, as a run without a failure leaves it
  // No failure reported as success: by default, 0 only with the work done.
  virtual bool Honest(int result, const std::string&, const std::vector<Box>&) { return result != 0 || Done(); }
  // Of a run killed half-way, which the next run mends.
  virtual bool HonestWhenKilled(int result) { return result != 0 || Done(); }
  std::vector<int> answers;             // the user's; later questions are answered so that their loop ends
  std::vector<std::wstring> mayChange;  // what the run may change: these and what lies below them
};

// Quiet over an earlier engine, registered, whose bytes differ from the new one's; not quiet,
// with only an earlier companion file, whose first question is answered Retry, which gets over
// a single failure. All or nothing: a run that ends with 1 leaves the three files byte for
// byte as they were, with their counts and the product's reference, and the earlier control
// registered as it was; no staged file or backup stays after any run.
struct CopyScenario : Scenario {
  explicit CopyScenario(bool quiet) : quiet(quiet) {
    for (const std::wstring& file : Files()) {
      if (quiet || file == system.Companion()) {
        std::ofstream(Narrow(file), std::ios::binary) << ReadAll(GoodComponent()) << "EARLIER";
      }
    }
    if (quiet) {
      EXPECT_EQ(SpawnRegSvr(system.Control().c_str(), true), 0);
    }
    answers = {IDRETRY};
    before = Contents();
    registeredBefore = IsRegistered(system.Control());
    mayChange = {inst.path(), system.Control(), system.Companion(), system.Library(), system.HelperNames() + L"*"};
  }
  int Run() override { return quiet ? RunHelper({L"copy", inst.path(), L"quiet"}) : RunHelper({L"copy", inst.path()}); }
  bool Done() override {
    return SameContent(system.Control(), inst.Control()) && SameContent(system.Companion(), inst.Companion()) &&
           SameContent(system.Library(), inst.Library()) && IsRegistered(system.Control()) &&
           system.keys().HasValue(KeyView::Native, L"ENGINE");
  }
  bool Honest(int result, const std::string&, const std::vector<Box>& boxes) override {
    for (const std::wstring& file : system.Leftovers()) {
      if (file.rfind(L".new") == file.size() - 4 || file.rfind(L".old") == file.size() - 4) return false;
    }
    const bool retried = !boxes.empty() && (boxes[0].style & MB_TYPEMASK) == MB_RETRYCANCEL;
    if (result == 0 || retried) return result == 0 && Done();
    return Contents() == before && IsRegistered(system.Control()) == registeredBefore;
  }
  std::vector<std::wstring> Files() const { return {system.Control(), system.Companion(), system.Library()}; }
  std::vector<std::string> Contents() const {  // with the counts and the product's reference
    std::vector<std::string> contents = {std::to_string(system.keys().HasValue(KeyView::Native, L"ENGINE"))};
    for (const std::wstring& file : Files()) {
      contents.push_back((Exists(file) ? ReadAll(file) : "(none)") + std::to_string(SharedCount(file)));
    }
    return contents;
  }
  bool quiet;
  Installation inst;
  EngineInSystemDir system{inst};
  std::vector<std::string> before;
  bool registeredBefore = false;
};

// Quiet, after a "copy" of the product alone: whatever fails, the result is 0 and the engine
// either goes whole (its files, registration, counts and the product's reference) or stays
// exactly as it was; the extension's unregistration is a step of its own.
struct RemoveScenario : Scenario {
  RemoveScenario() {
    EXPECT_EQ(RunHelper({L"copy", inst.path(), L"quiet"}), 0);
    before = Engine();
    mayChange = {inst.path(), system.Control(), system.Companion(), system.Library(), system.HelperNames() + L"*"};
  }
  int Run() override { return RunHelper({L"remove", inst.path(), L"quiet"}); }
  bool Done() override { return Engine() == gone && !IsRegistered(inst.Extension()); }
  bool Honest(int result, const std::string&, const std::vector<Box>&) override {
    return result == 0 && (Engine() == gone || Engine() == before);
  }
  bool HonestWhenKilled(int result) override { return result == 0; }  // an uninstallation goes on
  std::vector<std::string> Engine() const {
    std::vector<std::string> state = {std::to_string(IsRegistered(system.Control())),
                                      std::to_string(system.keys().HasValue(KeyView::Native, L"ENGINE"))};
    for (const std::wstring& file : {system.Control(), system.Companion(), system.Library()}) {
      state.push_back((Exists(file) ? ReadAll(file) : "(none)") + std::to_string(SharedCount(file)));
    }
    return state;
  }
  Installation inst;
  EngineInSystemDir system{inst};
  std::vector<std::string> before;
  const std::vector<std::string> gone = {"0", "0", "(none)-1", "(none)-1", "(none)-1"};
};

// Read-only files and folders, answered Yes; 0 then means an empty directory, as the user
// never chooses Ignore.
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
  bool Honest(int result, const std::string&, const std::vector<Box>& boxes) override {
    const bool yes = !boxes.empty() && boxes[0].text.rfind(L"The installation directory is not empty", 0) == 0;
    return result != 0 || !yes || Done();
  }
  TempDir tree;
};

// The other edition recorded over an empty directory: its record goes only after a complete listing.
struct CheckEditionScenario : Scenario {
  CheckEditionScenario() {
    keys.SetString(KeyView::Native, L"EDITION", L"STUDENT");
    keys.SetString(KeyView::Native, L"INSTALLPATH", empty.path());
  }
  int Run() override { return RunHelper({L"checkedition", L"COMMERCIAL"}); }
  bool Done() override { return !keys.HasValue(KeyView::Native, L"EDITION"); }
  bool Honest(int, const std::string& failed, const std::vector<Box>&) override {
    return !Done() || (failed != "FindFirstFileW" && failed != "FindNextFileW");
  }
  ProductKeys keys;
  TempDir empty;
};

// Not elevated: the command goes to an elevated copy, a stand-in that records its arguments
// and ends with 0. The process's own library search is left alone.
struct StartupScenario : Scenario {
  int Run() override { return wWinMain(nullptr, nullptr, nullptr, SW_SHOW); }
  bool Done() override { return Exists(dir / L"received.args"); }
  TempDir dir;
  std::wstring commandLine = L"\"C:\\Setup\\QelInstallHelper.exe\" \"" + (dir / L"received.args") + L"\" 0";
  std::wstring copy = TestArtifact(L"qel_record_args.exe");
  ScopedOverride<LPWSTR()> line{Platform().GetCommandLineW, [this] { return &commandLine[0]; }};
  ScopedOverride<DWORD(HMODULE, LPWSTR, DWORD)> self{Platform().GetModuleFileNameW,
                                                     [this](HMODULE, LPWSTR path, DWORD) {
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
    {"RemoveQuietAfterACopy", [] { return std::unique_ptr<Scenario>(new RemoveScenario); }},
    {"CleanAnsweredYes", [] { return std::unique_ptr<Scenario>(new CleanScenario); }},
    {"CheckEditionOverAnEmptyDirectory", [] { return std::unique_ptr<Scenario>(new CheckEditionScenario); }},
    {"StartupHandsOverToAnElevatedCopy", [] { return std::unique_ptr<Scenario>(new StartupScenario); }},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// Below a folder, or, for an entry that ends with "*", any path that starts with the rest.
bool Below(const std::wstring& path, const std::wstring& folder) {
  const std::wstring plain = path.rfind(L"\\\\?\\", 0) == 0 ? path.substr(4) : path;
  const bool prefix = !folder.empty() && folder.back() == L'*';
  const size_t size = folder.size() - (prefix ? 1 : 0);
  return plain.size() >= size && EqualsNoCase(plain.substr(0, size).c_str(), folder.substr(0, size).c_str()) &&
         (prefix || plain.size() == size || plain[size] == L'\\');
}

// One run, failing call number failAt (0: none), or, killed, every call from there on; then
// a killed or followed run's next run on the whole platform must install. Returns the record.
std::pair<std::vector<std::string>, std::vector<size_t>> RunAndCheck(const Row& row, size_t failAt,
                                                                     bool killed = false, bool followed = false) {
  std::unique_ptr<Scenario> scenario = row.make();
  QuietModeGuard quiet;
  BoxRecorder boxes;
  boxes.Answer(scenario->answers);
  boxes.unscriptedIsFailure = false;
  TraceRecorder trace;
  const std::wstring before = CurrentDirectoryPath();
  SCOPED_TRACE(std::string(killed ? "failing from call " : "failing call ") + std::to_string(failAt));
  std::optional<FaultLayer> faults;
  FaultLayer& layer = faults.emplace(failAt, killed);
  const int result = scenario->Run();

  SCOPED_TRACE("first failed: " + layer.failed);
  EXPECT_TRUE(result == 0 || result == 1) << result;
  EXPECT_TRUE(failAt != 0 || (result == 0 && scenario->Done())) << "the scenario works without a failure";
  EXPECT_TRUE(killed ? scenario->HonestWhenKilled(result) : scenario->Honest(result, layer.failed, boxes.boxes))
      << "a failure reported as success";
  for (const auto& handle : layer.open) EXPECT_EQ(handle.second, 0) << "a handle still open";
  for (const std::string& problem : layer.problems) ADD_FAILURE() << problem;
  for (const std::wstring& path : layer.changed) {
    bool allowed = false;
    for (const std::wstring& folder : scenario->mayChange) allowed = allowed || Below(path, folder);
    EXPECT_TRUE(allowed) << "changed " << Narrow(path);
  }
  const auto record = std::make_pair(layer.calls, layer.failable);
  faults.reset();
  if (killed || followed) {
    SetCurrentDirectoryW(before.c_str());
    EXPECT_EQ(scenario->Run(), 0) << "the run after a killed one";
    EXPECT_TRUE(scenario->Done()) << "the run after a killed one";
  }
  EXPECT_EQ(CurrentDirectoryPath(), before);
  return record;
}

class FaultSweep : public ::testing::TestWithParam<Row> {};

// Where two runs' calls first part, with a few calls either side, for a run that did not
// reach the clean run's call.
std::string WherePart(const std::vector<std::string>& clean, const std::vector<std::string>& faulted) {
  size_t i = 0;
  while (i < clean.size() && i < faulted.size() && clean[i] == faulted[i]) ++i;
  std::string text = "; the runs part at call " + std::to_string(i + 1) + ":";
  for (size_t j = i > 3 ? i - 3 : 0; j < std::min(i + 4, std::max(clean.size(), faulted.size())); ++j) {
    text += "\n  " + std::to_string(j + 1) + " " + (j < clean.size() ? clean[j] : "-") + " / " +
            (j < faulted.size() ? faulted[j] : "-");
  }
  return text;
}

// The first run of a process also builds what the helper keeps for later (the product key's
// paths, the libraries it resolves): the calls are counted on the second.
TEST_P(FaultSweep, EveryCallFailsInTurn) {
  RunAndCheck(GetParam(), 0);
  const auto clean = RunAndCheck(GetParam(), 0);
  for (size_t call : clean.second) {
    const auto faulted = RunAndCheck(GetParam(), call);
    ASSERT_GE(faulted.first.size(), call) << WherePart(clean.first, faulted.first);
    EXPECT_EQ(faulted.first[call - 1], clean.first[call - 1])
        << "the same call as in the clean run" << WherePart(clean.first, faulted.first);
  }
  std::printf("%s: %zu calls, %zu faulted runs\n", GetParam().name, clean.first.size(), clean.second.size());
}

class KilledRunSweep : public ::testing::TestWithParam<Row> {};

// The disk as a run killed at each call leaves it, mended by the next run.
TEST_P(KilledRunSweep, ARunKilledAtAnyCallIsMendedByTheNext) {
  RunAndCheck(GetParam(), 0);
  const auto clean = RunAndCheck(GetParam(), 0);
  for (size_t call : clean.second) RunAndCheck(GetParam(), call, true);
  std::printf("%s: %zu killed runs, each mended\n", GetParam().name, clean.second.size());
}

// One call fails, then the fault is gone: the next run leaves the engine installed, never half.
TEST_P(KilledRunSweep, AFailedCallIsMendedByTheNextRun) {
  RunAndCheck(GetParam(), 0);
  const auto clean = RunAndCheck(GetParam(), 0);
  for (size_t call : clean.second) RunAndCheck(GetParam(), call, false, true);
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep, ::testing::ValuesIn(kRows), RowName);
INSTANTIATE_TEST_SUITE_P(Scenarios, KilledRunSweep, ::testing::ValuesIn(kRows, kRows + 3), RowName);  // copy, remove

}  // namespace
