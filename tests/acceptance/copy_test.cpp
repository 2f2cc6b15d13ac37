// "copy <installation directory> [quiet]": the built helper installs the engine into the
// system directory and registers it with the system's registration tool, and registers the
// Explorer extension where it lies. The engine and the extension are copies of the test COM
// library (tests/programs/component.cpp), whose registration the scenarios read back.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "acceptance/runner.h"

namespace {

// What a run must leave: the engine files in the system directory, the control registered
// there, the extension registered in the installation.
struct Outcome {
  bool engineCopied;
  bool engineRegistered;
  bool extensionRegistered;
};

void ExpectOutcome(const Installation& inst, const Outcome& outcome) {
  const EngineNames& names = inst.names();
  for (const std::wstring& name : {names.control, names.companion, names.library}) {
    const std::wstring target = inst.InSystemDir(name);
    EXPECT_TRUE(outcome.engineCopied ? SameContent(target, inst.Engine(name)) : !Exists(target)) << Narrow(name);
  }
  EXPECT_EQ(IsRegistered(inst.InSystemDir(names.control)), outcome.engineRegistered);
  EXPECT_EQ(IsRegistered(inst.Extension()), outcome.extensionRegistered);
  // Nothing is registered where the engine lies in the installation.
  EXPECT_FALSE(IsRegistered(inst.Engine(names.control)));
}

// The typical run: the installer asks for quiet operation on a complete installation.
TEST(CopyTypicalRun, InstallsTheEngineAndTheExtensionSilently) {
  Installation inst;
  const HelperRun run = RunHelper(L"copy " + Quoted(inst.path()) + L" quiet");
  ExpectRun(run, 0, {});
  ExpectOutcome(inst, {true, true, true});

  const std::vector<std::wstring> expected = {
      L"wWinMain", L"DebugPrintArgs", L"qel_main_main", L"DebugPrintArgs", L"IsHigherThanWindowsXP", L"IsNotElevated",
      L"IsElevated", L"qel_tmain", L"DebugPrintArgs", L"IsDirectory", L"GetFileAttributesImpl", L"IsNative64Bit",
      L"Handle64Bit", L"GetNativeSystemDirectory", L"GetNativeSystemX86Directory", L"HandleVBAEngine",
      L"FindFileFileInDir", L"FindFileFileInDir", L"FindFileFileInDir", L"PlanEngineTransaction", L"ReplaceEngineFiles",
      L"LockEngineFiles", L"RecoverEngineFiles", L"OpenJournal", L"OpenJournal", L"OpenJournal", L"StageEngineFiles",
      L"LookUp", L"GetFileAttributesImpl", L"LookUp", L"GetFileAttributesImpl", L"LookUp", L"GetFileAttributesImpl",
      L"PlanCopyReferences", L"QueryEngineReference", L"GetHKLM", L"GetHKLM_WOW", L"ReadSharedCount",
      L"ReadSharedCount", L"ReadSharedCount", L"OpenJournal", L"WritePlan",
      L"CopyFileImpl", L"FlushStagedFile", L"GetFileAttributesImpl", L"CopyFileImpl", L"FlushStagedFile",
      L"GetFileAttributesImpl", L"CopyFileImpl", L"FlushStagedFile", L"GetFileAttributesImpl", L"MoveFileImpl",
      L"SwapEngineFile", L"MoveFileImpl",
      L"SwapEngineFile", L"MoveFileImpl", L"SwapEngineFile", L"MoveFileImpl", L"SpawnRegSvr", L"SpawnProgram",
      L"ApplyReferences", L"WriteSharedCount", L"WriteSharedCount", L"WriteSharedCount", L"SetEngineReference",
      L"CommitEngineFiles", L"MoveFileImpl", L"CompleteCommit", L"RemoveHelperFile", L"DeleteFileImpl",
      L"RemoveHelperFile", L"DeleteFileImpl", L"RemoveHelperFile", L"DeleteFileImpl", L"DeleteFileImpl",
      L"HandleQELInfo", L"FindFileFileInDir", L"SpawnRegSvr", L"SpawnProgram"};
  EXPECT_EQ(run.Functions(), expected);
  // The registration tool's command line, as the helper logs it.
  EXPECT_TRUE(run.TraceContains(L"regsvr32.exe /s \"" + inst.InSystemDir(inst.names().control) + L"\""));
  EXPECT_TRUE(run.TraceContains(L"regsvr32.exe /s \"" + inst.Extension() + L"\""));
}

// A relative directory names the folder in the installer's current directory, also after the
// helper has made the system directory current.
TEST(CopyTypicalRun, ARelativeDirectoryIsTheFolderInTheCurrentDirectory) {
  Installation inst;
  const std::wstring& path = inst.path();
  wchar_t before[MAX_PATH] = {};
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, before), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(path.substr(0, path.rfind(L'\\')).c_str()));
  const HelperRun run = RunHelper(L"copy " + Quoted(path.substr(path.rfind(L'\\') + 1)) + L" quiet");
  SetCurrentDirectoryW(before);
  ExpectRun(run, 0, {});
  ExpectOutcome(inst, {true, true, true});
}

// An engine control already in the system directory is unregistered once the new files are
// staged and before they take its place, and the new one registered afterwards.
TEST(CopyTypicalRun, AnEarlierEngineIsUnregisteredFirst) {
  Installation inst;
  const std::wstring target = inst.InSystemDir(inst.names().control);
  ASSERT_TRUE(CopyFileW(GoodComponent().c_str(), target.c_str(), FALSE));
  ASSERT_EQ(RegSvr(target, true), 0u);
  const HelperRun run = RunHelper(L"copy " + Quoted(inst.path()) + L" quiet");
  ExpectRun(run, 0, {});
  ExpectOutcome(inst, {true, true, true});
  const std::vector<std::wstring> functions = run.Functions();
  const auto staged = std::find(functions.begin(), functions.end(), L"StageEngineFiles");
  const auto unregistered = std::find(staged, functions.end(), L"SpawnRegSvr");
  ASSERT_GE(functions.end() - unregistered, 3);
  EXPECT_EQ(std::vector<std::wstring>(unregistered, unregistered + 3),
            (std::vector<std::wstring>{L"SpawnRegSvr", L"SpawnProgram", L"SwapEngineFile"}));
  EXPECT_TRUE(run.TraceContains(L"regsvr32.exe /s /u \"" + target + L"\""));
}

// An engine in the system directory before the run: none, or an earlier version, registered,
// which an application may have loaded.
enum class Earlier { None, Registered, Loaded };

// Every row of the failure table, shown and quiet. Quiet operation shows nothing and takes
// the fixed answers: no retry of the engine copy.
struct CopyRow {
  const char* name;
  InstallationOptions options;
  bool quiet;
  bool engineInUse;  // an earlier engine, registered, whose control an application holds open
  std::vector<int> answers;
  DWORD exitCode;
  std::vector<Message> boxes;
  Outcome outcome;
  Earlier earlier = Earlier::None;
};

InstallationOptions With(std::function<void(InstallationOptions&)> change) {
  InstallationOptions options;
  change(options);
  return options;
}

class CopyFailureTest : public ::testing::TestWithParam<CopyRow> {};

ExpectedBox Filled(Message message, const Installation& inst, DWORD registrationExit) {
  switch (message) {
    case Message::RetryEngineCopy: return Box(message, ERROR_SHARING_VIOLATION);
    case Message::EngineRegisterFailed:
      return Box(message, static_cast<int>(registrationExit), inst.InSystemDir(inst.names().control));
    case Message::ExtensionRegisterFailed: return Box(message, inst.Extension());
    case Message::InstallDirNotFound: return Box(message, inst.path());
    default: return Box(message);
  }
}

// The files in the system directory that the next restart deletes: PendingFileRenameOperations
// holds pairs of a source ("\??\C:\...") and a target, and an empty target deletes the source.
// Other scenarios' installers leave theirs elsewhere.
std::vector<std::wstring> DeletedAtRestart() {
  std::vector<wchar_t> data(65536);
  DWORD bytes = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
  RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
               L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, data.data(), &bytes);
  const std::wstring dir = SystemDir() + L"\\";
  std::vector<std::wstring> deleted;
  for (const wchar_t* source = data.data(); *source != 0;) {
    const wchar_t* target = source + wcslen(source) + 1;
    if (*target == 0 && _wcsnicmp(source + 4, dir.c_str(), dir.size()) == 0) deleted.push_back(source + 4);
    source = target + wcslen(target) + 1;
  }
  return deleted;
}

TEST_P(CopyFailureTest, Row) {
  const CopyRow& row = GetParam();
  Installation inst(row.options);
  const std::wstring control = inst.InSystemDir(inst.names().control);
  const std::string earlier = ReadAll(GoodComponent()) + "EARLIER";  // another version: other bytes, loads alike
  const std::vector<std::wstring> names = {inst.names().control, inst.names().companion, inst.names().library};
  const bool hasEarlier = row.engineInUse || row.earlier != Earlier::None;
  if (hasEarlier) {
    for (const std::wstring& name : names) std::ofstream(Narrow(inst.InSystemDir(name)), std::ios::binary) << earlier;
    ASSERT_EQ(RegSvr(control, true), 0u);
  }
  std::unique_ptr<LockedFile> lock;
  if (row.engineInUse) lock = std::make_unique<LockedFile>(control);
  // This program stands for an application that has the control loaded.
  HMODULE loaded = row.earlier == Earlier::Loaded ? LoadLibraryW(control.c_str()) : nullptr;
  std::vector<Press> presses;
  for (int answer : row.answers) presses.push_back({answer});
  // The last Retry is preceded by the user closing the application that held the engine.
  if (row.engineInUse && !presses.empty() && presses.back().button == IDRETRY) {
    presses.back().before = [&lock] { lock->Release(); };
  }

  const HelperRun run = RunHelper(L"copy " + Quoted(inst.path()) + (row.quiet ? L" quiet" : L""), presses);
  lock.reset();
  // The registration tool's own exit code for a library that refuses to register.
  const DWORD registrationExit = 5;
  std::vector<ExpectedBox> boxes;
  for (Message message : row.boxes) boxes.push_back(Filled(message, inst, registrationExit));
  ExpectRun(run, row.exitCode, boxes);
  if (row.exitCode == 0 || !hasEarlier) ExpectOutcome(inst, row.outcome);
  if (row.exitCode != 0 && hasEarlier) {
    for (const std::wstring& name : names) EXPECT_EQ(ReadAll(inst.InSystemDir(name)), earlier) << Narrow(name);
  }
  EXPECT_EQ(IsRegistered(control), row.exitCode == 0 || hasEarlier);
  if (row.earlier != Earlier::Loaded) return;
  // The earlier control, loaded, waits under a name of its own for the next restart; so does
  // the backup of a second run over the new control, loaded too. The restart (of the prefix
  // only: "wineboot -r" ends no program and leaves the prefix's links alone; no other scenario
  // runs in it meanwhile) deletes both.
  FreeLibrary(loaded);
  loaded = LoadLibraryW(control.c_str());
  ExpectRun(RunHelper(L"copy " + Quoted(inst.path()) + L" quiet"), 0, {});
  FreeLibrary(loaded);
  const std::vector<std::wstring> waiting = DeletedAtRestart();
  ASSERT_EQ(waiting.size(), 2u);
  EXPECT_TRUE(ReadAll(waiting[0]) == earlier);
  EXPECT_TRUE(SameContent(waiting[1], inst.Engine(inst.names().control)));
  EXPECT_TRUE(RunProgram(Quoted(SystemDir() + L"\\wineboot.exe") + L" -r").ended);
  for (const std::wstring& path : waiting) EXPECT_FALSE(Exists(path)) << Narrow(path) << " is left after a restart";
  ExpectOutcome(inst, row.outcome);
}

const Outcome kNothing = {false, false, false};
const Outcome kEngineOnly = {true, true, false};
const Outcome kAll = {true, true, true};

INSTANTIATE_TEST_SUITE_P(
    CopyFailures, CopyFailureTest,
    ::testing::Values(
        CopyRow{"ControlMissing", With([](InstallationOptions& o) { o.control = false; }), false, false, {}, 1,
                {Message::EngineNotFound}, kNothing},
        CopyRow{"CompanionMissing", With([](InstallationOptions& o) { o.companion = false; }), false, false, {}, 1,
                {Message::EngineNotFound}, kNothing},
        CopyRow{"LibraryMissing", With([](InstallationOptions& o) { o.library = false; }), false, false, {}, 1,
                {Message::EngineNotFound}, kNothing},
        CopyRow{"LibraryMissingQuiet", With([](InstallationOptions& o) { o.library = false; }), true, false, {}, 1,
                {}, kNothing},
        CopyRow{"EngineInUseCancel", {}, false, true, {IDCANCEL}, 1, {Message::RetryEngineCopy}, kNothing},
        CopyRow{"EngineInUseRetryThenCancel", {}, false, true, {IDRETRY, IDCANCEL}, 1,
                {Message::RetryEngineCopy, Message::RetryEngineCopy}, kNothing},
        CopyRow{"EngineInUseRetryAfterClosing", {}, false, true, {IDRETRY}, 0,
                {Message::RetryEngineCopy}, kAll},
        CopyRow{"EngineInUseQuiet", {}, true, true, {}, 1, {}, kNothing},
        CopyRow{"EngineLoadedByAnApplicationQuiet", {}, true, false, {}, 0, {}, kAll, Earlier::Loaded},
        CopyRow{"EngineRegistrationFails", With([](InstallationOptions& o) { o.failingControl = true; }), false,
                false, {}, 1, {Message::EngineRegisterFailed}, kNothing},
        CopyRow{"EngineRegistrationFailsQuiet", With([](InstallationOptions& o) { o.failingControl = true; }), true,
                false, {}, 1, {}, kNothing},
        CopyRow{"EngineRegistrationFailsOverAnEarlierOneQuiet",
                With([](InstallationOptions& o) { o.failingControl = true; }), true, false, {}, 1, {}, kNothing,
                Earlier::Registered},
        CopyRow{"ExtensionFolderMissing", With([](InstallationOptions& o) { o.extensionFolder = false; }), false,
                false, {}, 0, {Message::ExtensionNotFound}, kEngineOnly},
        CopyRow{"ExtensionMissing", With([](InstallationOptions& o) { o.extension = false; }), false, false, {}, 0,
                {Message::ExtensionNotFound}, kEngineOnly},
        CopyRow{"ExtensionMissingQuiet", With([](InstallationOptions& o) { o.extension = false; }), true, false, {},
                0, {}, kEngineOnly},
        CopyRow{"ExtensionRegistrationFails", With([](InstallationOptions& o) { o.failingExtension = true; }), false,
                false, {}, 0, {Message::ExtensionRegisterFailed}, kEngineOnly},
        CopyRow{"ExtensionRegistrationFailsQuiet", With([](InstallationOptions& o) { o.failingExtension = true; }),
                true, false, {}, 0, {}, kEngineOnly}),
    [](const ::testing::TestParamInfo<CopyRow>& info) { return std::string(info.param.name); });

// Two versions of one engine installed at once (a repair started while an installation runs):
// the runs take turns, each installs its own (0), and one of them is left whole and registered.
TEST(CopyTypicalRun, TwoRunsAtOnceTakeTurns) {
  Installation first;
  Installation second;
  const EngineNames& names = first.names();
  for (const std::wstring& name : {names.control, names.companion, names.library}) {
    std::ofstream(Narrow(second.Engine(name)), std::ios::binary | std::ios::app) << "VERSION 2";
  }
  HelperRun runs[2];
  std::thread other([&] { runs[1] = RunHelper(L"copy " + Quoted(second.path()) + L" quiet"); });
  runs[0] = RunHelper(L"copy " + Quoted(first.path()) + L" quiet");
  other.join();
  for (const HelperRun& run : runs) ExpectRun(run, 0, {});
  ExpectOutcome(SameContent(first.InSystemDir(names.control), first.Engine(names.control)) ? first : second,
                {true, true, true});
  for (const std::wstring& name : ListNames(SystemDir())) EXPECT_NE(name.rfind(L"~qel-", 0), 0u) << Narrow(name);
}

// Only exactly "quiet" as the third argument silences "copy"; what follows it does not matter.
TEST(CopyQuietArgument, OnlyExactlyQuietSilences) {
  struct Case {
    const wchar_t* extra;
    bool shown;
  };
  const Case cases[] = {{L" QUIET", true}, {L" Quiet", true}, {L" quiet extra", false}, {L" \"quiet\"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.extra));
    Installation inst(With([](InstallationOptions& o) { o.extensionFolder = false; }));
    const HelperRun run = RunHelper(L"copy " + Quoted(inst.path()) + c.extra);
    ExpectRun(run, 0, c.shown ? std::vector<ExpectedBox>{Box(Message::ExtensionNotFound)} : std::vector<ExpectedBox>{});
  }
}

}  // namespace
