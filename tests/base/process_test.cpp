#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "base/process.h"
#include "base/text.h"
#include "support/components.h"
#include "support/fixtures.h"

namespace {

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// The registration tool that must run: the one of the real system directory.
std::wstring SystemRegSvr() {
  wchar_t directory[MAX_PATH] = {};
  GetSystemDirectoryW(directory, MAX_PATH);
  return std::wstring(directory) + L"\\regsvr32.exe";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class ProcessTest : public HelperTest {
 protected:
  TempDir dir;
};

TEST_F(ProcessTest, NothingToRunStartsNothingAndGivesOne) {
  NoProcessStarts forbidden;
  EXPECT_EQ(SpawnProgram(nullptr), 1);
  EXPECT_EQ(SpawnProgram(L""), 1);
  EXPECT_EQ(SpawnRegSvr(nullptr, true), 1);
  EXPECT_EQ(SpawnRegSvr(nullptr, false), 1);
}

TEST_F(ProcessTest, TheChildsExitCodeComesBackAsTheSignedValue) {
  const struct {
    const wchar_t* argument;
    int expected;
  } cases[] = {
      {L"0", 0},
      {L"3", 3},
      {L"259", 259},
      {L"0x7FFFFFFF", INT_MAX},
      {L"0xC0000005", static_cast<int>(0xC0000005u)},
      {L"4294967295", -1},
  };
  for (const auto& c : cases) {
    ProcessRecorder processes;
    const std::wstring commandLine = Quoted(TestArtifact(L"qel_child.exe")) + L" " + c.argument;
    EXPECT_EQ(SpawnProgram(commandLine.c_str()), c.expected) << Narrow(c.argument);
    ASSERT_EQ(processes.started.size(), 1u);
    EXPECT_TRUE(processes.started[0].application.empty()) << "a plain command line is searched for";
    EXPECT_EQ(processes.started[0].commandLine, commandLine);
    EXPECT_TRUE(processes.HandlesClosed(processes.started[0])) << Narrow(c.argument);
  }
}

TEST_F(ProcessTest, PathsWithSpacesArePassedWholeAndTheChildSharesTheCurrentDirectory) {
  const std::wstring folder = dir.MakeDir(L"Program Files\\Tarnwell Setup");
  const std::wstring program = folder + L"\\child program.exe";
  const std::wstring record = folder + L"\\command line.txt";
  ASSERT_TRUE(CopyFileW(TestArtifact(L"qel_child.exe").c_str(), program.c_str(), TRUE));
  CurrentDirectory current(folder);

  const std::wstring commandLine = Quoted(program) + L" 3 " + Quoted(record);
  EXPECT_EQ(SpawnProgram(commandLine.c_str()), 3);

  const std::vector<std::string> lines = Lines(ReadAll(record));
  ASSERT_EQ(lines.size(), 5u) << ReadAll(record);
  EXPECT_EQ(lines[0], Narrow(commandLine));
  EXPECT_EQ(lines[1], Narrow(folder));
  EXPECT_EQ(lines[2], Narrow(program));
  EXPECT_EQ(lines[3], "3");
  EXPECT_EQ(lines[4], Narrow(record));
}

TEST_F(ProcessTest, AProgramThatCannotBeStartedGivesOne) {
  dir.MakeFile(L"not a program.exe", "plain text, no image\r\n");
  const std::vector<std::wstring> commandLines = {
      Quoted(dir / L"missing.exe") + L" 3",
      L"qel_no_such_program_anywhere.exe 3",
      Quoted(dir / L"not a program.exe") + L" 3",
      Quoted(dir.path()),
  };
  for (const std::wstring& commandLine : commandLines) {
    ProcessRecorder processes;
    EXPECT_EQ(SpawnProgram(commandLine.c_str()), 1) << Narrow(commandLine);
    ASSERT_EQ(processes.started.size(), 1u);
    EXPECT_FALSE(processes.started[0].created) << Narrow(commandLine);
  }
}

// Wine cannot make a wait or an exit-code query fail on a real child: through the seam. A
// child that cannot be waited for is stopped, and ends some time after: it is waited for.
TEST_F(ProcessTest, AChildWhoseEndCannotBeObservedCountsAsFailureNotSuccess) {
  const std::wstring commandLine = Quoted(TestArtifact(L"qel_child.exe")) + L" 0";
  {
    ProcessRecorder processes;
    std::vector<std::string> steps;
    ScopedOverride<DWORD(HANDLE, DWORD)> wait(Platform().WaitForSingleObject, [&](HANDLE process, DWORD timeout) {
      steps.push_back(timeout == INFINITE ? "wait" : "wait with a time limit");
      if (timeout != INFINITE) return wait.original()(process, timeout);
      SetLastError(ERROR_INVALID_HANDLE);
      return static_cast<DWORD>(WAIT_FAILED);
    });
    ScopedOverride<BOOL(HANDLE, UINT)> stop(Platform().TerminateProcess, [&](HANDLE process, UINT code) {
      steps.push_back(process == processes.started.at(0).handles.hProcess ? "stop the child" : "stop another");
      return stop.original()(process, code);
    });
    EXPECT_EQ(SpawnProgram(commandLine.c_str()), 1);
    EXPECT_EQ(steps, (std::vector<std::string>{"wait", "stop the child", "wait with a time limit"}));
    ASSERT_EQ(processes.started.size(), 1u);
    EXPECT_TRUE(processes.HandlesClosed(processes.started[0]));
  }
  {
    ProcessRecorder processes;
    ScopedOverride<BOOL(HANDLE, LPDWORD)> exitCode(Platform().GetExitCodeProcess, [](HANDLE, LPDWORD code) {
      *code = 0;
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    });
    EXPECT_EQ(SpawnProgram(commandLine.c_str()), 1);
    ASSERT_EQ(processes.started.size(), 1u);
    EXPECT_TRUE(processes.HandlesClosed(processes.started[0]));
  }
}

TEST_F(ProcessTest, RegistersAndUnregistersWithTheSystemToolAndItsExactCommandLines) {
  RegistrationCleanup registrations;
  const std::wstring control = registrations.Watch(dir.MakeDir(L"Program Files\\Tarnwell") + L"\\wbentX.ocx");
  ASSERT_TRUE(CopyFileW(GoodComponent().c_str(), control.c_str(), TRUE));
  ProcessRecorder processes;

  EXPECT_EQ(SpawnRegSvr(control.c_str(), true), 0);
  EXPECT_TRUE(IsRegistered(control));
  EXPECT_EQ(SpawnRegSvr(control.c_str(), false), 0);
  EXPECT_FALSE(IsRegistered(control));

  ASSERT_EQ(processes.started.size(), 2u);
  EXPECT_EQ(processes.started[0].commandLine, L"regsvr32.exe /s " + Quoted(control));
  EXPECT_EQ(processes.started[1].commandLine, L"regsvr32.exe /s /u " + Quoted(control));
  for (const StartedProcess& process : processes.started) {
    EXPECT_EQ(process.application, SystemRegSvr());
    EXPECT_TRUE(processes.HandlesClosed(process));
  }
  const std::vector<std::wstring> functions = trace.Functions();
  EXPECT_EQ(std::count(functions.begin(), functions.end(), L"SpawnRegSvr"), 2);
  EXPECT_EQ(std::count(functions.begin(), functions.end(), L"SpawnProgram"), 2);
}

// The exit codes are the tool's own: 3 the file cannot be loaded, 4 it has no registration
// entry, 5 the entry failed.
TEST_F(ProcessTest, AFailedRegistrationGivesTheToolsExitCode) {
  RegistrationCleanup registrations;
  const std::wstring failing = dir / L"failing component.dll";
  ASSERT_TRUE(CopyFileW(FailingComponent().c_str(), failing.c_str(), TRUE));
  const std::wstring text = dir.MakeFile(L"not a library.ocx", "plain text, no image\r\n");
  const std::wstring noEntry = dir / L"child.dll";
  ASSERT_TRUE(CopyFileW(TestArtifact(L"qel_child.exe").c_str(), noEntry.c_str(), TRUE));
  const struct {
    std::wstring path;
    bool registering;
    int expected;
  } cases[] = {
      {failing, true, 5},
      {failing, false, 5},
      {text, true, 3},
      {dir / L"missing.ocx", true, 3},
      {dir / L"missing.ocx", false, 3},
      {noEntry, true, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SpawnRegSvr(c.path.c_str(), c.registering), c.expected) << Narrow(c.path) << " " << c.registering;
  }
  EXPECT_FALSE(IsRegistered(failing));
}

TEST_F(ProcessTest, ACommandLineThatWouldNotFitStartsNothing) {
  // The fixed text takes 18 characters when registering and 21 when unregistering, and a
  // PathBuffer holds 4355: the longest paths that fit are 4337 and 4334 characters long.
  const std::wstring prefix = dir / L"";
  const auto PathOf = [&](size_t length) { return prefix + std::wstring(length - prefix.size(), L'a'); };
  {
    NoProcessStarts forbidden;
    EXPECT_EQ(SpawnRegSvr(PathOf(4338).c_str(), true), 1);
    EXPECT_EQ(SpawnRegSvr(PathOf(4335).c_str(), false), 1);
    EXPECT_EQ(SpawnRegSvr(PathOf(20000).c_str(), true), 1);
  }
  ProcessRecorder processes;
  EXPECT_EQ(SpawnRegSvr(PathOf(4337).c_str(), true), 3);
  EXPECT_EQ(SpawnRegSvr(PathOf(4334).c_str(), false), 3);
  ASSERT_EQ(processes.started.size(), 2u);
  EXPECT_EQ(processes.started[0].commandLine, L"regsvr32.exe /s " + Quoted(PathOf(4337)));
  EXPECT_EQ(processes.started[1].commandLine, L"regsvr32.exe /s /u " + Quoted(PathOf(4334)));
  EXPECT_EQ(processes.started[0].commandLine.size(), kPathChars - 1);
  EXPECT_EQ(processes.started[1].commandLine.size(), kPathChars - 1);
}

// Wine always has a system directory: its absence through the seam.
TEST_F(ProcessTest, WithoutASystemDirectoryNoToolRuns) {
  NoProcessStarts forbidden;
  ScopedOverride<UINT(LPWSTR, UINT)> noSystem(Platform().GetSystemDirectoryW, [](LPWSTR, UINT) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return UINT{0};
  });
  EXPECT_EQ(SpawnRegSvr(GoodComponent().c_str(), true), 1);
}

// A planted tool would run with the helper's administrator rights. The fake beside the test
// program sits where the helper's own folder is searched (the folder of the running module);
// another one goes into the current directory, which Windows searches next. Wine 8 does not
// search the current directory at all (a program found only there is not found, error 2),
// so under Wine the fake beside the test program is the one that would catch a search by
// name. The fake logs to QEL_FAKE_REGSVR32_LOG.
TEST_F(ProcessTest, APlantedRegistrationToolIsNeverRun) {
  const std::wstring log = dir / L"fake regsvr32.log";
  ASSERT_TRUE(SetEnvironmentVariableW(L"QEL_FAKE_REGSVR32_LOG", log.c_str()));
  const std::wstring planted = dir.MakeDir(L"planted");
  ASSERT_TRUE(CopyFileW(TestArtifact(L"regsvr32.exe").c_str(), (planted + L"\\regsvr32.exe").c_str(), TRUE));
  CurrentDirectory current(planted);

  // The plant is where a search by name finds it first.
  EXPECT_EQ(SpawnProgram(L"regsvr32.exe /s \"C:\\nothing.dll\""), 0);
  ASSERT_TRUE(Exists(log)) << "the fake beside the test program did not run for a search by name";
  ASSERT_TRUE(DeleteFileW(log.c_str()));

  RegistrationCleanup registrations;
  const std::wstring control = registrations.Watch(dir / L"wbentX.ocx");
  ASSERT_TRUE(CopyFileW(GoodComponent().c_str(), control.c_str(), TRUE));
  EXPECT_EQ(SpawnRegSvr(control.c_str(), true), 0);
  EXPECT_TRUE(IsRegistered(control)) << "the real tool did not register";
  EXPECT_EQ(SpawnRegSvr(control.c_str(), false), 0);
  EXPECT_FALSE(IsRegistered(control)) << "the real tool did not unregister";
  EXPECT_FALSE(Exists(log)) << ReadAll(log);
  SetEnvironmentVariableW(L"QEL_FAKE_REGSVR32_LOG", nullptr);
}

}  // namespace
