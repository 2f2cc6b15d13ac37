// The boxes that no command line of the built helper brings up, shown on a real display
// through the helper's own message code (tests/programs/show_message.cpp).

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "acceptance/runner.h"

namespace {

TEST(UnreachableMessages, ShowTheirTextIconAndButtons) {
  const std::wstring tool = Quoted(TestArtifact(L"qel_show_message.exe"));
  {
    SCOPED_TRACE("ShowInvalidEditionParameters");
    const ProgramRun run = RunProgram(tool + L" ShowInvalidEditionParameters");
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run.boxes, {Box(Message::InvalidEditionParameters)});
  }
  {
    SCOPED_TRACE("ShowSystemDirNotFound");
    const ProgramRun run = RunProgram(tool + L" ShowSystemDirNotFound");
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run.boxes, {Box(Message::SystemDirNotFound, L"")});
  }
}

// Nobody there to answer (a window station nobody sees, or a hidden start): no box is shown or
// waited for, each counts as one that could not be shown, and the trace names it. A normal
// start still asks.
TEST(NobodyToAnswer, NoBoxIsShownOrWaitedFor) {
  const auto expectUnseen = [](const HelperRun& run, DWORD exitCode, const wchar_t* box, ULONGLONG started) {
    ExpectRun(run, exitCode, {});
    EXPECT_TRUE(run.TraceContains(std::wstring(box) + L": nobody can see the box, it is not shown")) << Narrow(box);
    EXPECT_LT(GetTickCount64() - started, 30000u) << Narrow(box);
  };
  for (const Launch launch : {Launch::UnseenStation, Launch::Hidden}) {
    SCOPED_TRACE(launch == Launch::Hidden ? "started hidden" : "on a window station nobody sees");
    TestDir inst;
    inst.MakeFile(L"keep.txt");
    ULONGLONG started = GetTickCount64();
    expectUnseen(RunHelper(L"clean " + Quoted(inst.path()), {}, HelperExe(), launch), 0,
                 L"AskDeleteInstallDirContent", started);
    EXPECT_EQ(inst.List(), std::vector<std::wstring>{L"keep.txt"});
    InstallationOptions withoutCompanion;
    withoutCompanion.companion = false;
    Installation noEngine(withoutCompanion);
    started = GetTickCount64();
    expectUnseen(RunHelper(L"copy " + Quoted(noEngine.path()), {}, HelperExe(), launch), 1, L"ShowEngineNotFound",
                 started);
    ProductKey key;
    key.Set(KeyView::Native, L"EDITION", L"STUDENT");
    key.Set(KeyView::Native, L"INSTALLPATH", inst.path());
    started = GetTickCount64();
    expectUnseen(RunHelper(L"checkedition COMMERCIAL", {}, HelperExe(), launch), 1, L"ShowOtherEditionInstalled",
                 started);
  }
  TestDir inst;
  inst.MakeFile(L"keep.txt");
  const HelperRun asked = RunHelper(L"clean " + Quoted(inst.path()), {{IDNO}});
  ExpectRun(asked, 0, {Box(Message::DeleteInstallDirContent, inst.path())});
}

// The trace tool passes the debuggee's exit code on unchanged, whatever it is.
TEST(TraceTool, EndsWithTheDebuggeesExitCode) {
  for (const wchar_t* code : {L"0", L"1", L"3", L"0xC0000005"}) {
    SCOPED_TRACE(Narrow(code));
    const ProgramRun run =
        RunProgram(Quoted(TraceTool()) + L" " + Quoted(TestArtifact(L"qel_child.exe")) + L" " + code);
    EXPECT_EQ(run.exitCode, std::wcstoul(code, nullptr, 0));
  }
}

// The trace tool as a system-wide listener: the built helper, run directly with no debugger,
// has there the trace that the tool's debugger sees, each line with the helper's own process id
// and image; another program's line, also one that looks like a trace line, only with --all.
TEST(TraceTool, ListensToAHelperThatNoDebuggerStarted) {
  const std::wstring arguments = L"clean \"C:\\qelacceptance\\not there\"";
  const HelperRun traced = RunHelper(arguments);
  ExpectRun(traced, 0, {});
  const std::wstring other = L"PID: 4, File: <main>, line: <1>, function: <AnotherProgram>";
  DWORD helperPid = 0;
  const ListenerRun listened = Listen(L"", [&] {
    OutputDebugStringW(other.c_str());
    // Beside it, a listener leaves the buffer alone, and the helper's lines still come: the
    // same one, or a Global\ one whose buffer cannot be made (its name taken by another object).
    HANDLE squatter = CreateMutexW(nullptr, FALSE, L"Global\\DBWIN_BUFFER");
    for (const auto& refused : {std::make_tuple(L"--all --seconds 5", 1u, "another listener holds the debug output"),
                                std::make_tuple(L"--global --seconds 1", 1u, "cannot create Global\\DBWIN_BUFFER,"),
                                std::make_tuple(L"--seconds 0", 255u, "usage"),
                                std::make_tuple(L"--seconds 1 --al", 255u, "usage")}) {
      const ListenerRun run = Listen(std::get<0>(refused));
      EXPECT_EQ(run.exitCode, std::get<1>(refused)) << Narrow(std::get<0>(refused));
      EXPECT_NE(run.report.find(std::get<2>(refused)), std::string::npos) << run.report;
    }
    CloseHandle(squatter);
    const ProgramRun helper = RunProgram(Quoted(HelperExe()) + L" " + arguments);
    EXPECT_EQ(helper.exitCode, 0u);
    helperPid = helper.processId;
  }, traced.trace.size());
  const std::wregex listenedLine(L"^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (\\d+) ([^ ]+): (.*)$");
  std::vector<std::wstring> texts;
  std::wsmatch match;
  for (const std::wstring& line : listened.lines) {
    ASSERT_TRUE(std::regex_match(line, match, listenedLine)) << Narrow(line);
    EXPECT_EQ(Narrow(match[1].str() + L" " + match[2].str()), std::to_string(helperPid) + " QelInstallHelper.exe");
    const std::wstring tracedPid = L"PID: " + std::to_wstring(traced.helperPid);
    texts.push_back(std::regex_replace(match[3].str(), std::wregex(L"^PID: \\d+"), tracedPid));
  }
  EXPECT_EQ(texts, traced.trace);
  const ListenerRun all = Listen(L"--all --seconds 2", [&] { OutputDebugStringW(other.c_str()); });
  EXPECT_EQ(all.exitCode, 0u);
  ASSERT_EQ(all.lines.size(), 1u);
  EXPECT_NE(all.lines[0].find(L" " + std::to_wstring(GetCurrentProcessId()) + L" qel_acceptance.exe: " + other),
            std::wstring::npos);
}

}  // namespace
