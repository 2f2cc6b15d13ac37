#include "tasks/copy.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/process.h"
#include "base/text.h"
#include "programs/test_component.h"
#include "support/components.h"
#include "support/fixtures.h"
#include "tasks/enginetransaction.h"

namespace {

enum class BoxKind { SystemDirNotFound, EngineNotFound, RetryCopy, RegisterFailed, ExtensionNotFound, ExtensionFailed,
                     ExtensionUnregisterFailed, EngineStays };

struct Shown {
  BoxKind kind;
  // A part of the text; "{target}" stands for the control in the system directory,
  // "{extension}" for the extension in the installation.
  std::wstring detail;
};

bool Has(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

bool IsKind(const Box& box, BoxKind kind) {
  switch (kind) {
    case BoxKind::SystemDirNotFound:
      return Has(box.text, L"The system directory could not be found.");
    case BoxKind::EngineNotFound:
      return Has(box.text, L"The Qel VBA Engine was not found");
    case BoxKind::RetryCopy:
      return Has(box.text, L"The Qel VBA Engine could not be copied");
    case BoxKind::RegisterFailed:
      return Has(box.text, L"The Qel VBA Engine could not be registered");
    case BoxKind::ExtensionNotFound:
      return Has(box.text, L"The Qel Explorer Extension was not found");
    case BoxKind::ExtensionFailed:
      return Has(box.text, L"The Qel Explorer Extension could not be registered");
    case BoxKind::ExtensionUnregisterFailed:
      return Has(box.text, L"The Qel Explorer Extension could not be unregistered");
    case BoxKind::EngineStays:
      return Has(box.text, L"The Qel VBA Engine could not be removed from the system directory");
  }
  return false;
}

std::wstring Replace(std::wstring text, const std::wstring& token, const std::wstring& value) {
  for (size_t at = text.find(token); at != std::wstring::npos; at = text.find(token, at + value.size())) {
    text.replace(at, token.size(), value);
  }
  return text;
}

void WriteNewFile(const std::wstring& path, const std::string& content) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
  CloseHandle(file);
}

// The registration tool's runs, by what they do.
enum class Call { UnregisterControl, RegisterControl, RegisterExtension };

// Runs "copy" (or "remove") through the dispatcher on an installation and watches the run: each box
// with the current directory at that moment, each process start, and each copy attempt.
// The test's own folder is current, so that a directory left changed shows.
class CopyTest : public HelperTest {
 protected:
  CopyTest()
      : boxCurrentDir_(Platform().MessageBoxW, [this](HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
          boxDirs.push_back(CurrentDirectoryPath());
          if ((style & MB_TYPEMASK) == MB_RETRYCANCEL && onRetry) onRetry();
          return boxCurrentDir_.original()(owner, text, caption, style);
        }) {}

  // A fresh run: what earlier runs recorded is dropped.
  int Copy(const Installation& installation, bool quiet, std::vector<int> answers = {}, bool relative = false) {
    return Run(L"copy", installation, quiet, std::move(answers), relative);
  }
  int Run(const wchar_t* command, const Installation& installation, bool quiet, std::vector<int> answers = {},
          bool relative = false) {
    boxes.boxes.clear();
    boxes.Answer(std::move(answers));
    boxDirs.clear();
    processes.started.clear();
    trace.lines.clear();
    QuietMode = false;
    // Both lie in the same folder: "..\<installation>" from the current one.
    const std::wstring& path = installation.path();
    std::vector<std::wstring> arguments = {command, relative ? L"..\\" + path.substr(path.rfind(L'\\') + 1) : path};
    if (quiet) arguments.push_back(L"quiet");
    return RunHelper(arguments);
  }

  // The boxes of the last run against the expected ones. Every box but the retry question
  // comes after the current directory was restored.
  void ExpectBoxes(const std::vector<Shown>& expected, const std::wstring& target, const std::wstring& extension,
                   const std::string& name) {
    ASSERT_EQ(boxes.boxes.size(), expected.size()) << name;
    ASSERT_EQ(boxDirs.size(), expected.size()) << name;
    for (size_t i = 0; i < expected.size(); ++i) {
      const Box& box = boxes.boxes[i];
      const std::wstring detail = Replace(Replace(expected[i].detail, L"{target}", target), L"{extension}", extension);
      EXPECT_TRUE(IsKind(box, expected[i].kind)) << name << ": " << Narrow(box.text);
      EXPECT_TRUE(Has(box.text, detail)) << name << ": " << Narrow(box.text) << " lacks " << Narrow(detail);
      EXPECT_EQ(box.caption, L"TARNWELL Setup") << name;
      if (expected[i].kind != BoxKind::RetryCopy) {
        EXPECT_EQ(boxDirs[i], work.path()) << name;
      }
    }
  }

  // The registration tool's runs of the last run against the expected calls; each has
  // ended and its handles are closed.
  void ExpectCalls(const std::vector<Call>& expected, const std::wstring& target, const std::wstring& extension,
                   const std::string& name) {
    std::vector<std::wstring> lines;
    for (Call call : expected) {
      if (call == Call::UnregisterControl) lines.push_back(L"regsvr32.exe /s /u \"" + target + L"\"");
      if (call == Call::RegisterControl) lines.push_back(L"regsvr32.exe /s \"" + target + L"\"");
      if (call == Call::RegisterExtension) lines.push_back(L"regsvr32.exe /s \"" + extension + L"\"");
    }
    std::vector<std::wstring> started;
    for (const StartedProcess& process : processes.started) {
      started.push_back(process.commandLine);
      EXPECT_TRUE(processes.HandlesClosed(process)) << name;
    }
    EXPECT_EQ(started, lines) << name;
  }

  int Count(const wchar_t* function) const {
    const std::vector<std::wstring> functions = trace.Functions();
    return static_cast<int>(std::count(functions.begin(), functions.end(), function));
  }

  TempDir work;
  CurrentDirectory current{work.path()};
  ProcessRecorder processes;
  std::vector<std::wstring> boxDirs;
  std::function<void()> onRetry;

 private:
  ScopedOverride<int(HWND, LPCWSTR, LPCWSTR, UINT)> boxCurrentDir_;
};

using Calls = std::vector<Call>;
const Call kUnregister = Call::UnregisterControl;
const Call kRegister = Call::RegisterControl;
const Call kExtension = Call::RegisterExtension;

// The typical run: an earlier control in the system directory is unregistered while it is
// still the earlier file, the new files take the earlier ones' places, the new control is
// registered in the system directory, which is current for the tool, and no file of the
// helper's own stays; then the directory before is back, and the extension is registered.
TEST_F(CopyTest, AnEarlierControlIsUnregisteredBeforeTheNewEngineIsCopiedOverItAndRegistered) {
  Installation installation;
  EngineInSystemDir system(installation);
  const std::string earlier = ReadAll(GoodComponent()) + "EARLIER CONTROL";  // loads like the library
  WriteNewFile(system.Control(), earlier);
  ASSERT_EQ(SpawnRegSvr(system.Control().c_str(), true), 0);
  wchar_t classKey[kComponentKeyChars] = {};
  ComponentClassKey(system.Control().c_str(), classKey);
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, classKey, L"EarlierControl", REG_SZ, L"1", 4), ERROR_SUCCESS);
  std::vector<std::string> targetAtStart;  // what the system directory's control held then
  processes.beforeStart = [&] { targetAtStart.push_back(ReadAll(system.Control())); };
  int flushed = 0;  // before the first staged file takes its target's place: the plan and each staged file
  ScopedOverride<BOOL(HANDLE)> flush(Platform().FlushFileBuffers, [&](HANDLE file) {
    flushed += Count(L"SwapEngineFile") == 0 ? 1 : 0;
    return flush.original()(file);
  });

  EXPECT_EQ(Copy(installation, true), 0);
  EXPECT_EQ(flushed, 4);

  ExpectCalls({kUnregister, kRegister, kExtension}, system.Control(), installation.Extension(), "typical run");
  ASSERT_EQ(processes.started.size(), 3u);
  ASSERT_EQ(targetAtStart.size(), 3u);
  EXPECT_EQ(targetAtStart[0], earlier) << "unregistered after it was overwritten";
  EXPECT_EQ(targetAtStart[1], ReadAll(installation.Control())) << "registered before it was copied";
  EXPECT_EQ(processes.started[0].currentDirectory, system.dir());
  EXPECT_EQ(processes.started[1].currentDirectory, system.dir());
  EXPECT_EQ(processes.started[2].currentDirectory, work.path()) << "the directory comes back before the extension";
  EXPECT_TRUE(IsRegistered(system.Control()));
  EXPECT_NE(RegGetValueW(HKEY_LOCAL_MACHINE, classKey, L"EarlierControl", RRF_RT_REG_SZ, nullptr, nullptr, nullptr),
            ERROR_SUCCESS)
      << "the earlier registration was not removed";
  EXPECT_EQ(ReadAll(system.Companion()), ReadAll(installation.Companion()));
  EXPECT_EQ(ReadAll(system.Library()), ReadAll(installation.Library()));
  EXPECT_FALSE(IsRegistered(system.Library())) << "only the control is registered";
  EXPECT_TRUE(IsRegistered(installation.Extension()));
  EXPECT_FALSE(IsRegistered(installation.Control()));
  EXPECT_EQ(CurrentDirectoryPath(), work.path());
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_TRUE(system.Leftovers().empty());

  const std::vector<std::wstring> traced = trace.Functions();
  const std::vector<std::wstring> steps = {
      L"Handle64Bit",    L"GetNativeSystemDirectory", L"GetNativeSystemX86Directory", L"HandleVBAEngine",
      L"StageEngineFiles", L"SpawnRegSvr",            L"SwapEngineFile",              L"SwapEngineFile",
      L"SwapEngineFile", L"SpawnRegSvr",              L"CommitEngineFiles",           L"HandleQELInfo",
      L"SpawnRegSvr"};
  std::vector<std::wstring> seen;
  std::copy_if(traced.begin(), traced.end(), std::back_inserter(seen), [&](const std::wstring& function) {
    return std::find(steps.begin(), steps.end(), function) != steps.end();
  });
  EXPECT_EQ(seen, steps);
}

// What a run leaves: nothing, the engine in the system directory and registered there, and
// the extension registered as well.
enum class Left { Nothing, Engine, Both };

struct ContentCase {
  const char* name;
  InstallationOptions options;
  int result;
  std::vector<Shown> shown;  // when not quiet
  Left left;
  Calls calls;
  bool relative = false;  // the directory given relative to the current one
};

InstallationOptions Set(bool InstallationOptions::*option, bool value) {
  InstallationOptions options;
  options.*option = value;
  return options;
}

// Every file of the installation missing or failing in turn, with boxes and in quiet mode.
TEST_F(CopyTest, EachMissingOrFailingFileEndsAsItsRowSays) {
  using O = InstallationOptions;
  const Shown engineNotFound = {BoxKind::EngineNotFound, L"installtion.\n\n\n"};
  const Shown extensionNotFound = {BoxKind::ExtensionNotFound, L".qel files will not be available.\n\n\n"};
  const std::vector<ContentCase> cases = {
      {"complete", {}, 0, {}, Left::Both, {kRegister, kExtension}},
      {"complete, relative", {}, 0, {}, Left::Both, {kRegister, kExtension}, true},
      {"no control", Set(&O::control, false), 1, {engineNotFound}, Left::Nothing, {}},
      {"no companion file", Set(&O::companion, false), 1, {engineNotFound}, Left::Nothing, {}},
      {"no engine library", Set(&O::library, false), 1, {engineNotFound}, Left::Nothing, {}},
      {"the control refuses to register", Set(&O::failingControl, true), 1,
       {{BoxKind::RegisterFailed, L"(exit code 5).\n\nRegSvr32 '{target}' failed."}}, Left::Nothing,
       {kRegister, kUnregister}},
      {"no AMD64 folder", Set(&O::extensionFolder, false), 0, {extensionNotFound}, Left::Engine, {kRegister}},
      {"no extension in the AMD64 folder", Set(&O::extension, false), 0, {extensionNotFound}, Left::Engine,
       {kRegister}},
      {"the extension refuses to register", Set(&O::failingExtension, true), 0,
       {{BoxKind::ExtensionFailed, L"RegSvr32 '{extension}' failed."}}, Left::Engine, {kRegister, kExtension}},
  };
  for (const ContentCase& c : cases) {
    for (bool quiet : {false, true}) {
      const std::string name = std::string(c.name) + (quiet ? ", quiet" : "");
      Installation installation(c.options);
      EngineInSystemDir system(installation);

      EXPECT_EQ(Copy(installation, quiet, {}, c.relative), c.result) << name;

      ExpectBoxes(quiet ? std::vector<Shown>{} : c.shown, system.Control(), installation.Extension(), name);
      ExpectCalls(c.calls, system.Control(), installation.Extension(), name);
      const bool copied = c.left != Left::Nothing;
      EXPECT_EQ(system.Present(), copied ? 3 : 0) << name;
      if (copied) {
        EXPECT_EQ(ReadAll(system.Control()), ReadAll(installation.Control())) << name;
      }
      EXPECT_EQ(IsRegistered(system.Control()), c.left == Left::Engine || c.left == Left::Both) << name;
      EXPECT_EQ(IsRegistered(installation.Extension()), c.left == Left::Both) << name;
      EXPECT_TRUE(system.Leftovers().empty()) << name;
      EXPECT_EQ(CurrentDirectoryPath(), work.path()) << name;
    }
  }
}

// How the earlier engine, registered, stands when "copy" runs, and what else goes on.
enum class Earlier { Held, Registered, ReadOnly, UnderAJournalWithoutPlan, Loaded, BackupUnseen, Locked, Abandoned };

const Calls kBack = {Call::UnregisterControl, Call::RegisterControl};  // out of the registry and back
const Calls kInstalled = {Call::UnregisterControl, Call::RegisterControl, Call::RegisterExtension};

struct HeldCase {
  const char* name;
  bool quiet;
  std::vector<int> answers;
  bool freedOnFirstRetry;
  int result;
  int retryBoxes;
  int swapAttempts;
  Calls calls = kBack;
  Earlier earlier = Earlier::Held;
  InstallationOptions options = {};
  int vanishes = -1;  // the staged file that a scanner takes away before its swap
};

// An earlier engine is replaced whole, or stays as it was with its registration. Another
// program holds its control open without sharing: it cannot be moved aside (32) and the user
// decides. What a run cannot put back or delete, the next run mends, whatever its engine.
TEST_F(CopyTest, AnEarlierEngineIsReplacedWholeOrStaysAsItWas) {
  std::vector<HeldCase> cases = {
      {"Cancel", false, {IDCANCEL}, false, 1, 1, 1},
      {"Retry while still in use, then Cancel", false, {IDRETRY, IDCANCEL}, false, 1, 2, 2},
      {"Retry after the file is freed", false, {IDRETRY}, true, 0, 1, 4, kInstalled},
      {"a question that could not be shown", false, {0}, false, 1, 1, 1},
      {"quiet", true, {}, false, 1, 0, 1},
      {"the new control refuses to register", true, {}, false, 1, 0, 3,
       {kUnregister, kRegister, kUnregister, kRegister}, Earlier::Registered,
       Set(&InstallationOptions::failingControl, true)},
      {"read-only files", true, {}, false, 0, 0, 3, kInstalled, Earlier::ReadOnly},
      {"a journal of a stopped run naming a file elsewhere", true, {}, false, 1, 0, 0, {},
       Earlier::UnderAJournalWithoutPlan},
      {"a loaded control that no restart could delete", true, {}, false, 0, 0, 3, kInstalled, Earlier::Loaded},
      {"a backup that cannot be seen", true, {}, false, 1, 0, 3, kBack, Earlier::BackupUnseen,
       Set(&InstallationOptions::failingControl, true)},
      {"another run holds the lock", true, {}, false, 1, 0, 0, {}, Earlier::Locked},
      {"another run holds the lock, Cancel", false, {IDCANCEL}, false, 1, 1, 0, {}, Earlier::Locked},
      {"its holder ended without releasing the lock", true, {}, false, 0, 0, 3, kInstalled, Earlier::Abandoned},
  };
  for (int i = 0; i < kEngineFileCount; ++i) {  // the new control, once in place, leaves the registry again
    const Calls back = i == 0 ? kBack : Calls{kUnregister, kUnregister, kRegister};
    cases.push_back({"staged file vanishes", true, {}, false, 1, 0, i + 1, back, Earlier::Registered, {}, i});
    cases.push_back({"staged file vanishes", false, {IDCANCEL}, false, 1, 1, i + 1, back, Earlier::Registered, {}, i});
  }
  Earlier now = Earlier::Held;
  std::wstring vanishing;
  ScopedOverride<BOOL(LPCWSTR, LPCWSTR, DWORD)> move(Platform().MoveFileExW, [&](LPCWSTR from, LPCWSTR to, DWORD how) {
    if (EqualsNoCase(from, vanishing.c_str())) DeleteFileW(from);
    const bool refused = now == Earlier::Loaded && (how & MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
    return refused ? (SetLastError(ERROR_ACCESS_DENIED), FALSE) : move.original()(from, to, how);
  });
  ScopedOverride<DWORD(LPCWSTR)> unseen(Platform().GetFileAttributesW, [&](LPCWSTR path) {
    const bool refused = now == Earlier::BackupUnseen && wcsstr(path, L".0.old") != nullptr;
    return refused ? (SetLastError(ERROR_ACCESS_DENIED), INVALID_FILE_ATTRIBUTES) : unseen.original()(path);
  });
  ScopedOverride<DWORD(HANDLE, DWORD)> noMinute(Platform().WaitForSingleObject, [&](HANDLE handle, DWORD limit) {
    return noMinute.original()(handle, limit == INFINITE ? limit : std::min<DWORD>(limit, 100));
  });
  // Windows, unlike Wine, refuses to open a read-only file for writing.
  ScopedOverride<HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)> windowsRule(
      Platform().CreateFileW, [&](LPCWSTR path, DWORD access, auto... rest) {
        const DWORD attributes = GetFileAttributesW(path);
        const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (readOnly && (access & GENERIC_WRITE) != 0) return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
        return windowsRule.original()(path, access, rest...);
      });
  for (const HeldCase& c : cases) {
    SCOPED_TRACE(c.vanishes);
    Installation installation(c.options);
    EngineInSystemDir system(installation);
    std::optional<Installation> next;  // its run mends what this one could not
    std::optional<EngineInSystemDir> nextSystem;
    if (c.earlier == Earlier::Loaded || c.earlier == Earlier::BackupUnseen) nextSystem.emplace(next.emplace());
    const std::vector<std::wstring> files = {system.Control(), system.Companion(), system.Library()};
    const std::vector<std::wstring> news = {installation.Control(), installation.Companion(), installation.Library()};
    const std::string earlier = ReadAll(GoodComponent()) + "EARLIER ENGINE";  // loads like the library
    for (const std::wstring& file : files) {
      WriteNewFile(file, earlier);
      if (c.earlier == Earlier::ReadOnly) SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    if (c.earlier == Earlier::ReadOnly) {  // the new files as well
      for (const std::wstring& file : news) SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    ASSERT_EQ(SpawnRegSvr(system.Control().c_str(), true), 0);
    if (c.earlier == Earlier::UnderAJournalWithoutPlan) {  // it names the control one folder up
      const std::wstring plan = L"QelInstallHelper engine journal 1\r\n1 ..\\" + installation.ControlName() +
                                L"\r\n1 " + installation.CompanionName() + L"\r\n1 " + installation.LibraryName() +
                                L"\r\n";
      const std::string bytes(reinterpret_cast<const char*>(plan.data()), plan.size() * sizeof(wchar_t));
      WriteNewFile(system.HelperNames() + L".replacing", bytes);
    }
    LockedFile inUse(system.Control());
    if (c.earlier != Earlier::Held) inUse.Release();
    const HMODULE loaded = c.earlier == Earlier::Loaded ? LoadLibraryW(system.Control().c_str()) : nullptr;
    const HANDLE lock = c.earlier == Earlier::Abandoned ? CreateMutexW(nullptr, FALSE, kEngineLockName) : nullptr;
    if (lock != nullptr) std::thread([lock] { WaitForSingleObject(lock, INFINITE); }).join();  // ends holding it
    EngineLock other;  // another run's: this thread holds it, and the run goes on another
    DWORD error = 0;
    EXPECT_TRUE(c.earlier != Earlier::Locked || LockEngineFiles(other, &error));
    onRetry = [&] {
      if (c.freedOnFirstRetry) inUse.Release();
    };
    now = c.earlier;
    vanishing = c.vanishes < 0 ? L"" : L"\\\\?\\" + system.HelperNames() + L"." + std::to_wstring(c.vanishes) + L".new";

    int result = -1;
    std::thread([&] { result = Copy(installation, c.quiet, c.answers); }).join();
    EXPECT_EQ(result, c.result) << c.name;
    inUse.Release();
    if (lock != nullptr) CloseHandle(lock);

    error = c.earlier == Earlier::Locked ? ERROR_TIMEOUT : c.vanishes >= 0 ? ERROR_FILE_NOT_FOUND : 32;
    const Shown retry = {BoxKind::RetryCopy, L"The GetLastError() function returned: " + std::to_wstring(error)};
    ExpectBoxes(std::vector<Shown>(c.retryBoxes, retry), system.Control(), installation.Extension(), c.name);
    ExpectCalls(c.calls, system.Control(), installation.Extension(), c.name);
    EXPECT_EQ(Count(L"SwapEngineFile"), c.swapAttempts) << c.name;
    const std::wstring holder = L"the run of process <" + std::to_wstring(GetCurrentProcessId()) + L"> holds";
    EXPECT_TRUE(lock == nullptr || trace.Contains(L"ended without releasing it")) << c.name;
    EXPECT_EQ(trace.Contains(holder), c.earlier == Earlier::Locked) << c.name;
    if (next) {  // the journal keeps what this run left
      EXPECT_TRUE(system.Leftovers().size() == 2 && Exists(system.HelperNames() + L".0.old")) << c.name;
      now = Earlier::Held;
      EXPECT_EQ(Copy(*next, true), 0) << c.name;
    }
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(ReadAll(files[i]), c.result == 0 ? ReadAll(news[i]) : earlier) << c.name;
    }
    EXPECT_TRUE(IsRegistered(system.Control())) << c.name;
    EXPECT_EQ(IsRegistered(installation.Extension()), c.result == 0) << c.name;
    const bool leftOne = c.earlier == Earlier::UnderAJournalWithoutPlan || c.earlier == Earlier::Loaded;  // trash
    EXPECT_EQ(system.Leftovers().size(), leftOne ? 1u : 0u) << c.name;
    EXPECT_EQ(CurrentDirectoryPath(), work.path()) << c.name;
    onRetry = nullptr;
    if (loaded != nullptr) FreeLibrary(loaded);
  }
}

// What happens to the engine in the system directory just before a step.
enum class Event { None, ControlCannotUnregister, ControlLoaded, LibraryComesBack };

struct Step {
  const wchar_t* command;
  std::vector<long long> counts;  // of the control, companion, library afterwards: -1 none, -2 another kind
  bool engine;                    // then the three files are there and the control is registered
  bool held;                      // and the product holds its reference
  std::vector<Shown> shown = {};  // when not quiet
  Event event = Event::None;
};

struct ReferenceCase {
  const char* name;
  std::vector<long long> counts;  // before the first step
  std::vector<bool> there;        // another product's files before it, its control registered
  std::vector<Step> steps;
  InstallationOptions options = {};
};

// Installations, repairs and removals of products that share the engine: it leaves the system
// directory with the last product that uses it, whole, its counts with it, and everything
// stays as it was when it cannot go. "remove" always ends with 0.
TEST_F(CopyTest, TheEngineGoesWithTheLastProductThatUsesIt) {
  const std::vector<long long> none = {-1, -1, -1};
  const std::vector<long long> one = {1, 1, 1};
  const std::vector<bool> nothing = {false, false, false};
  const Step copy = {L"copy", one, true, true};
  const Step removed = {L"remove", none, false, false};
  const Shown stays = {BoxKind::EngineStays, L"It stays there, registered, as it was before the uninstallation."};
  const std::vector<ReferenceCase> cases = {
      {"the first installation, removed twice", none, nothing, {copy, removed, removed}},
      {"a repair", none, nothing, {copy, copy, removed}},
      {"a library there before without a count", none, {false, false, true},
       {{L"copy", {1, 1, 2}, true, true}, {L"remove", {-1, -1, 1}, true, false}}},
      {"another product's counts", one, {true, true, true},
       {{L"copy", {2, 2, 2}, true, true}, {L"remove", one, true, false}}},
      {"counts of another kind, at the most and 0", {-2, kMostUsers, 0}, {true, true, true},
       {{L"copy", {-2, kMostUsers, 2}, true, true}, {L"remove", {-2, kMostUsers - 1, 1}, true, false}}},
      {"the control cannot be unregistered", none, nothing,
       {copy, {L"remove", one, true, true, {stays}, Event::ControlCannotUnregister}}},
      {"the control is in use", none, nothing, {copy, {L"remove", none, false, false, {}, Event::ControlLoaded}}},
      {"a library gone, put back by someone else while the control cannot be unregistered", none, nothing,
       {copy, {L"remove", one, true, true, {stays}, Event::LibraryComesBack}}},
      {"the extension cannot be unregistered", none, nothing,
       {{L"copy", one, true, true, {{BoxKind::ExtensionFailed, L"{extension}"}}},
        {L"remove", none, false, false, {{BoxKind::ExtensionUnregisterFailed, L"RegSvr32 /u '{extension}' failed."}}}},
       Set(&InstallationOptions::failingExtension, true)},
  };
  for (const ReferenceCase& c : cases) {
    for (bool quiet : {false, true}) {
      Installation installation(c.options);
      EngineInSystemDir system(installation);
      const std::vector<std::wstring> files = {system.Control(), system.Companion(), system.Library()};
      for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_TRUE(!c.there[i] || CopyFileW(GoodComponent().c_str(), files[i].c_str(), FALSE));
        SetSharedCount(files[i], c.counts[i]);
      }
      EXPECT_TRUE(!c.there[0] || SpawnRegSvr(files[0].c_str(), true) == 0);
      HMODULE loaded = nullptr;
      for (size_t s = 0; s < c.steps.size(); ++s) {
        const Step& step = c.steps[s];
        const std::string name = std::string(c.name) + (quiet ? ", quiet" : "") + ", step " + std::to_string(s + 1);
        const bool failing = step.event == Event::ControlCannotUnregister || step.event == Event::LibraryComesBack;
        if (failing) CopyFileW(FailingComponent().c_str(), files[0].c_str(), FALSE);
        if (step.event == Event::ControlLoaded) loaded = LoadLibraryW(files[0].c_str());
        const bool comesBack = step.event == Event::LibraryComesBack;
        if (comesBack) DeleteFileW(files[2].c_str());
        int starts = 0;  // the extension's unregistration, then the control's: the library comes back meanwhile
        processes.beforeStart = [&] {
          if (++starts == 2 && comesBack) CopyFileW(GoodComponent().c_str(), files[2].c_str(), TRUE);
        };
        EXPECT_EQ(Run(step.command, installation, quiet), 0) << name;
        ExpectBoxes(quiet ? std::vector<Shown>{} : step.shown, files[0], installation.Extension(), name);
        for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(SharedCount(files[i]), step.counts[i]) << name << i;
        EXPECT_EQ(system.Present(), step.engine ? 3 : 0) << name;
        EXPECT_EQ(IsRegistered(files[0]), step.engine) << name;
        EXPECT_EQ(system.keys().HasValue(KeyView::Native, L"ENGINE"), step.held) << name;
        EXPECT_EQ(IsRegistered(installation.Extension()), !c.options.failingExtension && step.command == copy.command)
            << name;
        EXPECT_EQ(system.Leftovers().size(), loaded != nullptr ? 1u : 0u) << name << ": deleted at the next restart";
        EXPECT_EQ(trace.Contains(L"it is deleted at the next restart"), loaded != nullptr) << name;
      }
      if (loaded != nullptr) FreeLibrary(loaded);
    }
  }
}

struct SystemDirCase {
  const char* name;
  int failingCsidl;
  const wchar_t* filled;  // what the lookup leaves in the buffer
  BOOL reported;
  const wchar_t* shownPath;
};

// Wine always finds both system directories: their failures through the seam.
TEST_F(CopyTest, ASystemDirectoryThatCannotBeFoundRevertsBeforeAnythingIsTouched) {
  const std::wstring longPath = L"C:\\" + std::wstring(4340, L's');
  const std::vector<SystemDirCase> cases = {
      {"system directory, partly filled", CSIDL_SYSTEM, L"C:\\win", FALSE, L"C:\\win"},
      {"system directory, nothing filled", CSIDL_SYSTEM, L"", FALSE, L""},
      {"system directory reported empty", CSIDL_SYSTEM, L"", TRUE, L""},
      {"32-bit system directory, partly filled", CSIDL_SYSTEMX86, L"C:\\windows\\sys", FALSE, L"C:\\windows\\sys"},
      {"32-bit system directory, nothing filled", CSIDL_SYSTEMX86, L"", FALSE, L""},
      {"system directory too long for the control's path", CSIDL_SYSTEM, longPath.c_str(), TRUE, nullptr},
  };
  for (const SystemDirCase& c : cases) {
    ScopedOverride<BOOL(HWND, LPWSTR, int, BOOL)> lookup(
        Platform().SHGetSpecialFolderPathW, [&](HWND owner, LPWSTR path, int csidl, BOOL create) {
          if (csidl != c.failingCsidl) return lookup.original()(owner, path, csidl, create);
          wcscpy(path, c.filled);
          SetLastError(ERROR_FILE_NOT_FOUND);
          return c.reported;
        });
    for (bool quiet : {false, true}) {
      const std::string name = std::string(c.name) + (quiet ? ", quiet" : "");
      Installation installation;
      EngineInSystemDir system(installation);

      EXPECT_EQ(Copy(installation, quiet), 1) << name;

      const std::wstring detail = c.shownPath != nullptr ? L"Path: '" + std::wstring(c.shownPath) + L"'." : L"";
      ExpectBoxes(quiet ? std::vector<Shown>{} : std::vector<Shown>{{BoxKind::SystemDirNotFound, detail}},
                  system.Control(), installation.Extension(), name);
      EXPECT_TRUE(processes.started.empty()) << name;
      EXPECT_EQ(Count(L"StageEngineFiles"), 0) << name;
      EXPECT_EQ(system.Present(), 0) << name;
      EXPECT_EQ(CurrentDirectoryPath(), work.path()) << name;
    }
  }
}

// The current directory is the process's: when it cannot be saved it is not changed, and
// the engine is still installed.
TEST_F(CopyTest, ACurrentDirectoryThatCannotBeSavedIsLeftAlone) {
  ScopedOverride<DWORD(DWORD, LPWSTR)> unsaved(Platform().GetCurrentDirectoryW, [](DWORD, LPWSTR) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return DWORD{0};
  });
  Installation installation;
  EngineInSystemDir system(installation);
  EXPECT_EQ(Copy(installation, true), 0);
  ASSERT_EQ(processes.started.size(), 2u);
  EXPECT_EQ(processes.started[0].currentDirectory, work.path());
  EXPECT_TRUE(IsRegistered(system.Control()));
  EXPECT_EQ(CurrentDirectoryPath(), work.path());
}

// Wine reports an x64 processor: other architectures through the seam.
TEST_F(CopyTest, OnASystemThatIsNot64BitNothingIsTouched) {
  ScopedOverride<void(LPSYSTEM_INFO)> arm64(Platform().GetNativeSystemInfo, [](LPSYSTEM_INFO info) {
    *info = {};
    info->wProcessorArchitecture = 12;  // ARM64
  });
  ScopedOverride<BOOL(LPCWSTR, LPCWSTR, BOOL)> noCopy(Platform().CopyFileW, [](LPCWSTR from, LPCWSTR to, BOOL) {
    ADD_FAILURE() << "copied " << Narrow(from) << " to " << Narrow(to);
    return FALSE;
  });
  for (bool quiet : {false, true}) {
    Installation installation;
    EngineInSystemDir system(installation);
    EXPECT_EQ(Copy(installation, quiet), 0);
    EXPECT_TRUE(processes.started.empty());
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(system.Present(), 0);
    EXPECT_EQ(Count(L"Handle32Bit"), 1);
    EXPECT_EQ(Count(L"GetNativeSystemDirectory"), 1);
    EXPECT_EQ(Count(L"HandleVBAEngine") + Count(L"HandleQELInfo") + Count(L"FindFileFileInDir"), 0);
    EXPECT_EQ(CurrentDirectoryPath(), work.path());
    EXPECT_EQ(Run(L"remove", installation, quiet), 0);
    EXPECT_TRUE(processes.started.empty() && boxes.boxes.empty());
    EXPECT_EQ(Count(L"HandleRemove32Bit"), 1);
  }

  ScopedOverride<BOOL(HWND, LPWSTR, int, BOOL)> noSystem(Platform().SHGetSpecialFolderPathW,
                                                         [](HWND, LPWSTR path, int, BOOL) {
                                                           path[0] = 0;
                                                           return FALSE;
                                                         });
  Installation installation;
  EngineInSystemDir system(installation);
  EXPECT_EQ(Copy(installation, false), 1);
  ExpectBoxes({{BoxKind::SystemDirNotFound, L"Path: ''."}}, L"", L"", "32-bit, no system directory");
  EXPECT_EQ(CurrentDirectoryPath(), work.path());
}

// A missing or empty directory never stands for the current drive's root, where
// "\VBAEngine\Windows64" or "\AMD64" might hold files of someone else.
TEST_F(CopyTest, TheHandlersRefuseMissingOrEmptyDirectories) {
  ScopedOverride<HANDLE(LPCWSTR, LPWIN32_FIND_DATAW)> noListing(
      Platform().FindFirstFileW, [](LPCWSTR pattern, LPWIN32_FIND_DATAW) {
        ADD_FAILURE() << "listed " << Narrow(pattern);
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      });
  NoProcessStarts forbidden;
  const struct {
    const char* name;
    int (*run)(const wchar_t*);
    const wchar_t* dir;
    Shown shown;
  } cases[] = {
      {"engine, no installation", [](const wchar_t* dir) { return HandleVBAEngine(dir, SystemDir().c_str()); },
       nullptr, {BoxKind::EngineNotFound, L""}},
      {"engine, empty installation", [](const wchar_t* dir) { return HandleVBAEngine(dir, SystemDir().c_str()); },
       L"", {BoxKind::EngineNotFound, L""}},
      {"engine, no system directory", [](const wchar_t* dir) { return HandleVBAEngine(L"C:\\inst", dir); }, nullptr,
       {BoxKind::SystemDirNotFound, L"Path: ''."}},
      {"engine, empty system directory", [](const wchar_t* dir) { return HandleVBAEngine(L"C:\\inst", dir); }, L"",
       {BoxKind::SystemDirNotFound, L"Path: ''."}},
      {"extension, no installation", HandleQELInfo, nullptr, {BoxKind::ExtensionNotFound, L""}},
      {"extension, empty installation", HandleQELInfo, L"", {BoxKind::ExtensionNotFound, L""}},
  };
  for (const auto& c : cases) {
    boxes.boxes.clear();
    boxDirs.clear();
    EXPECT_EQ(c.run(c.dir), 1) << c.name;
    ExpectBoxes({c.shown}, L"", L"", c.name);
    EXPECT_EQ(CurrentDirectoryPath(), work.path()) << c.name;
  }
}

}  // namespace
