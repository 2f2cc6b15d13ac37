// The boxes that no command line of the built helper brings up, shown on a real display
// through the helper's own message code (tests/programs/show_message.cpp).

#include <gtest/gtest.h>

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

// The trace tool passes the debuggee's exit code on unchanged, whatever it is.
TEST(TraceTool, EndsWithTheDebuggeesExitCode) {
  for (const wchar_t* code : {L"0", L"1", L"3", L"0xC0000005"}) {
    SCOPED_TRACE(Narrow(code));
    const ProgramRun run =
        RunProgram(Quoted(TraceTool()) + L" " + Quoted(TestArtifact(L"qel_child.exe")) + L" " + code);
    EXPECT_EQ(run.exitCode, std::wcstoul(code, nullptr, 0));
  }
}

}  // namespace
