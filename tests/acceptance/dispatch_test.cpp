// Command lines that an installer might get wrong: the helper refuses them with its usage
// message and asks the installer to revert, or, for "clean" of a missing directory, goes on.

#include <gtest/gtest.h>

#include "acceptance/runner.h"

namespace {

struct BadCommandLine {
  const char* name;
  std::wstring arguments;
};

class BadCommandLineTest : public ::testing::TestWithParam<BadCommandLine> {};

// Each is refused with the usage message, whatever follows, and nothing runs.
TEST_P(BadCommandLineTest, IsRefusedWithTheUsageMessage) {
  const HelperRun run = RunHelper(GetParam().arguments);
  ExpectRun(run, 1, {Box(Message::InvalidParameters)});
  for (const wchar_t* task : {L"HandleCleanInstallDir", L"Handle64Bit", L"HandleCheckEdition"}) {
    EXPECT_FALSE(run.TraceContains(std::wstring(L"function: <") + task + L">")) << Narrow(task);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, BadCommandLineTest,
    ::testing::Values(BadCommandLine{"NoArguments", L""}, BadCommandLine{"CommandOnly", L"clean"},
                      BadCommandLine{"CheckEditionWithoutEdition", L"checkedition"},
                      BadCommandLine{"UnknownCommand", L"uninstall C:\\windows"},
                      BadCommandLine{"UpperCaseClean", L"CLEAN C:\\windows"},
                      BadCommandLine{"MixedCaseCopy", L"Copy C:\\windows quiet"},
                      BadCommandLine{"MixedCaseCheckEdition", L"CheckEdition STUDENT"},
                      BadCommandLine{"CommandWithBlank", L"\"clean \" C:\\windows"},
                      BadCommandLine{"EmptyCommand", L"\"\" C:\\windows"},
                      BadCommandLine{"QuoteOnlyCommand", L"\\\" C:\\windows"}),
    [](const ::testing::TestParamInfo<BadCommandLine>& info) { return std::string(info.param.name); });

// A directory argument that names no directory: "copy" cannot install from it and says so,
// quiet or not (quiet mode is set only afterwards); "clean" has nothing to clean.
struct MissingDirectory {
  const char* name;
  std::wstring argument;  // as it stands on the command line
  std::wstring shown;     // the path as the message quotes it
};

class MissingDirectoryTest : public ::testing::TestWithParam<MissingDirectory> {};

TEST_P(MissingDirectoryTest, StopsCopyButNotClean) {
  const MissingDirectory& missing = GetParam();
  {
    SCOPED_TRACE("copy");
    ExpectRun(RunHelper(L"copy " + missing.argument), 1, {Box(Message::InstallDirNotFound, missing.shown)});
  }
  {
    SCOPED_TRACE("copy ... quiet");
    ExpectRun(RunHelper(L"copy " + missing.argument + L" quiet"), 1,
              {Box(Message::InstallDirNotFound, missing.shown)});
  }
  {
    SCOPED_TRACE("clean");
    const HelperRun run = RunHelper(L"clean " + missing.argument);
    ExpectRun(run, 0, {});
    EXPECT_FALSE(run.TraceContains(L"function: <HandleCleanInstallDir>"));
  }
}

const std::wstring kOverLong(5000, L'x');

INSTANTIATE_TEST_SUITE_P(
    Dispatch, MissingDirectoryTest,
    ::testing::Values(
        MissingDirectory{"Absent", L"\"C:\\Program Files\\Tarnwell\"", L"C:\\Program Files\\Tarnwell"},
        // Quotes are removed and separators normalised before the path is used or shown.
        MissingDirectory{"Normalised", L"C:/qelacceptance//absent\\\\dir", L"C:\\qelacceptance\\absent\\dir"},
        MissingDirectory{"AFile", L"C:\\windows\\system32\\regsvr32.exe", L"C:\\windows\\system32\\regsvr32.exe"},
        // Nothing but quotes: an empty path, which names nothing.
        MissingDirectory{"QuoteOnly", L"\\\"", L""}, MissingDirectory{"Empty", L"\"\"", L""},
        // Too long for the helper's path buffer: refused as a whole, so shown empty.
        MissingDirectory{"OverLong", L"C:\\" + kOverLong, L""}),
    [](const ::testing::TestParamInfo<MissingDirectory>& info) { return std::string(info.param.name); });

}  // namespace
