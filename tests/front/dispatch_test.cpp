#include <algorithm>
#include <string>
#include <vector>

#include "base/text.h"
#include "front/main.h"
#include "support/fixtures.h"
#include "support/productkey.h"
#include "support/texts.h"

namespace {

// Runs qel_tmain on a vector of arguments, the program's path first.
class DispatchTest : public HelperTest {
 protected:
  int Run(std::vector<std::wstring> arguments) { return RunHelper(std::move(arguments)); }

  bool Reached(const wchar_t* function) const {
    const std::vector<std::wstring> functions = trace.Functions();
    return std::find(functions.begin(), functions.end(), function) != functions.end();
  }

  // The path that the directory test looked at, as its attribute query logged it.
  std::wstring TestedPath() const {
    static const std::wstring kMarker = L"file: <";
    for (const std::wstring& line : trace.lines) {
      if (line.rfind(L"GetFileAttributesImpl: ", 0) != 0) continue;
      const size_t start = line.find(kMarker) + kMarker.size();
      return line.substr(start, line.size() - start - 1);
    }
    return L"(no directory test)";
  }

  TempDir dir;

};

TEST_F(DispatchTest, InvalidCommandLinesShowTheUsageAndRevert) {
  const std::vector<std::vector<std::wstring>> cases = {
      {},
      {L"clean"},
      {L"checkedition"},
      {L"CLEAN", L"C:\\Inst"},
      {L"Copy", L"C:\\Inst", L"quiet"},
      {L"clean ", L"C:\\Inst"},
      {L"cleanup", L"C:\\Inst"},
      {L"", L"C:\\Inst"},
      {L"\"clean\"", L"C:\\Inst"},
      {L"install", L"C:\\Inst", L"quiet", L"more"},
  };
  for (const std::vector<std::wstring>& arguments : cases) {
    BoxRecorder boxes;
    QuietMode = false;
    EXPECT_EQ(Run(arguments), 1) << arguments.size();
    ASSERT_EQ(boxes.boxes.size(), 1u) << arguments.size();
    EXPECT_EQ(boxes.boxes[0].text, kInvalidParameters);
    EXPECT_FALSE(QuietMode) << "the fourth argument is never looked at for an invalid command";
  }
}

TEST_F(DispatchTest, NullArgumentsAreInvalidNotACrash) {
  EXPECT_EQ(qel_tmain(0, nullptr), 1);
  wchar_t program[] = L"QelInstallHelper.exe";
  wchar_t directory[] = L"C:\\Inst";
  wchar_t* nullCommand[] = {program, nullptr, directory};
  EXPECT_EQ(qel_tmain(3, nullCommand), 1);
  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[1].text, kInvalidParameters);

  wchar_t clean[] = L"clean";
  wchar_t* nullDirectory[] = {program, clean, nullptr};
  EXPECT_EQ(qel_tmain(3, nullDirectory), 0) << "an empty directory is no directory: clean has nothing to do";
  EXPECT_EQ(boxes.boxes.size(), 2u);
}

// An uninstallation goes on: "remove" looks for what it takes away all the same, and warns that
// the engine that the product uses stays, as its files are not known.
TEST_F(DispatchTest, CleanOrRemoveOfAMissingDirectoryEndsWithZero) {
  ProductKeys keys;
  keys.SetString(KeyView::Native, L"ENGINE", L"");
  for (const std::wstring& missing : {dir / L"DoesNotExist", std::wstring(L"\"\"\"\""), std::wstring(kPathChars, L'a'),
                                      dir.MakeFile(L"file.txt")}) {
    EXPECT_EQ(Run({L"clean", missing, L"quiet"}), 0);
    EXPECT_FALSE(Reached(L"HandleCleanInstallDir"));
    trace.lines.clear();
    EXPECT_EQ(Run({L"remove", missing}), 0);
    EXPECT_TRUE(Reached(L"HandleQELInfoRemoval") && Reached(L"HandleVBAEngineRemoval"));
  }
  ASSERT_EQ(boxes.boxes.size(), 4u);  // none of "clean"'s
  EXPECT_EQ(boxes.boxes[3].text.find(L"The Qel VBA Engine could not be removed from the system directory."), 0u);
}

TEST_F(DispatchTest, CopyOfAMissingDirectoryShowsTheCleanedPathAndReverts) {
  const std::wstring missing = dir.path() + L"/Does//NotExist";
  const std::wstring cleaned = dir / L"Does\\NotExist";
  CurrentDirectory current(dir.path());
  EXPECT_EQ(Run({L"copy", L"\"" + missing + L"\"", L"quiet"}), 1) << "quiet is set only after the directory test";
  EXPECT_EQ(Run({L"copy", L"Does/NotExist"}), 1) << "a relative directory";
  EXPECT_EQ(Run({L"copy", std::wstring(kPathChars, L'b')}), 1);
  EXPECT_EQ(Run({L"copy", L"\"\""}), 1);
  ASSERT_EQ(boxes.boxes.size(), 4u);
  EXPECT_EQ(boxes.boxes[0].text, InstallDirNotFoundText(cleaned));
  EXPECT_EQ(boxes.boxes[1].text, InstallDirNotFoundText(cleaned)) << "the path made absolute";
  EXPECT_EQ(boxes.boxes[2].text, InstallDirNotFoundText(L"")) << "an over-long argument leaves the path empty";
  EXPECT_EQ(boxes.boxes[3].text, InstallDirNotFoundText(L""));
  EXPECT_FALSE(QuietMode);
  EXPECT_FALSE(Reached(L"Handle64Bit"));
}

TEST_F(DispatchTest, TheDirectoryArgumentLosesItsQuotesAndIsNormalised) {
  const std::wstring sub = dir.MakeDir(L"Inst\\Sub");
  struct Case {
    std::wstring argument;
    std::wstring tested;
  };
  const std::wstring forward = dir.path().substr(0, 2) + L"/" + dir.path().substr(3);
  const std::vector<Case> cases = {
      {sub, sub},
      {L"\"" + sub + L"\"", sub},
      {L"\"" + dir.path() + L"\"\\\"Inst\\Sub\"", sub},
      {forward + L"//Inst//Sub", sub},
      {sub + L"\\\\", sub + L"\\"},
      {L"Inst\\Sub", sub},
      {L"\"./Inst/../Inst/Sub/.\"", sub},
      {sub + L".", sub},
  };
  // Relative to the current directory, and made absolute before anything uses it.
  CurrentDirectory current(dir.path());
  for (const Case& c : cases) {
    trace.lines.clear();
    Run({L"clean", c.argument});
    EXPECT_EQ(TestedPath(), c.tested) << Narrow(c.argument);
    EXPECT_TRUE(Reached(L"HandleCleanInstallDir")) << Narrow(c.argument);
  }
}

TEST_F(DispatchTest, NonAsciiDirectoriesReachTheirHandler) {
  for (const wchar_t* name : {L"Установка", L"安装目录", L"Tarnwell Ünïcode"}) {
    const std::wstring path = dir.MakeDir(name);
    trace.lines.clear();
    Run({L"clean", path});
    EXPECT_EQ(TestedPath(), path);
    EXPECT_TRUE(Reached(L"HandleCleanInstallDir"));
  }
}

struct QuietCase {
  std::vector<std::wstring> rest;  // arguments after the directory
  bool quiet;
};

TEST_F(DispatchTest, OnlyCopyWithExactlyQuietTurnsQuietModeOn) {
  const QuietCase cases[] = {
      {{}, false},
      {{L"quiet"}, true},
      {{L"quiet", L"extra"}, true},
      {{L"QUIET"}, false},
      {{L"quiet "}, false},
      {{L""}, false},
      {{L"loud", L"quiet"}, false},
  };
  for (const QuietCase& c : cases) {
    QuietMode = false;
    std::vector<std::wstring> arguments = {L"copy", dir.path()};
    arguments.insert(arguments.end(), c.rest.begin(), c.rest.end());
    Run(arguments);
    EXPECT_EQ(QuietMode, c.quiet) << c.rest.size();
  }
  QuietMode = false;
  Run({L"clean", dir.path(), L"quiet"});
  EXPECT_FALSE(QuietMode) << "clean always asks";
  Run({L"checkedition", L"STUDENT", L"quiet"});
  EXPECT_FALSE(QuietMode) << "checkedition always asks";
}

TEST_F(DispatchTest, CheckeditionTakesItsArgumentUnchecked) {
  trace.lines.clear();
  Run({L"checkedition", L"\"STUDENT//x\""});
  EXPECT_TRUE(Reached(L"HandleCheckEdition"));
  EXPECT_FALSE(Reached(L"IsDirectory")) << "no directory test for an edition";
}

struct ArchitectureCase {
  WORD architecture;
  bool native64;
};

TEST_F(DispatchTest, CopyPicksTheHandlerByTheProcessorArchitecture) {
  const ArchitectureCase cases[] = {
      {PROCESSOR_ARCHITECTURE_AMD64, true},     {PROCESSOR_ARCHITECTURE_IA32_ON_WIN64, true},
      {12 /* ARM64 */, false},                  {PROCESSOR_ARCHITECTURE_INTEL, false},
      {PROCESSOR_ARCHITECTURE_IA64, false},     {PROCESSOR_ARCHITECTURE_UNKNOWN, false},
  };
  for (const ArchitectureCase& c : cases) {
    ScopedOverride<void(LPSYSTEM_INFO)> system(Platform().GetNativeSystemInfo, [&](LPSYSTEM_INFO info) {
      *info = {};
      info->wProcessorArchitecture = c.architecture;
    });
    EXPECT_EQ(IsNative64Bit(), c.native64) << c.architecture;
    trace.lines.clear();
    Run({L"copy", dir.path()});
    EXPECT_EQ(Reached(L"Handle64Bit"), c.native64) << c.architecture;
    EXPECT_EQ(Reached(L"Handle32Bit"), !c.native64) << c.architecture;
  }
}

TEST_F(DispatchTest, TracesItselfAndItsArgumentsFirst) {
  Run({L"clean", dir.path()});
  ASSERT_GE(trace.lines.size(), 5u);
  EXPECT_NE(trace.lines[0].find(L", File: <main>, line: <"), std::wstring::npos);
  EXPECT_NE(trace.lines[0].find(L", function: <qel_tmain>"), std::wstring::npos);
  EXPECT_NE(trace.lines[1].find(L", function: <DebugPrintArgs>"), std::wstring::npos);
  EXPECT_EQ(trace.lines[2], L"arg: <0>, argv[ 0 ]: <C:\\Setup\\QelInstallHelper.exe>");
  EXPECT_EQ(trace.lines[3], L"arg: <1>, argv[ 1 ]: <clean>");
  EXPECT_EQ(trace.lines[4], L"arg: <2>, argv[ 2 ]: <" + dir.path() + L">");
  const std::vector<std::wstring> functions = trace.Functions();
  EXPECT_EQ(std::vector<std::wstring>(functions.begin(), functions.begin() + 4),
            (std::vector<std::wstring>{L"qel_tmain", L"DebugPrintArgs", L"IsDirectory", L"GetFileAttributesImpl"}));
}

TEST(IsDirectory, TellsDirectoriesFromFilesAndMissingPaths) {
  TempDir dir;
  EXPECT_TRUE(IsDirectory(dir.path().c_str()));
  EXPECT_TRUE(IsDirectory((dir.path() + L"\\").c_str()));
  EXPECT_FALSE(IsDirectory(dir.MakeFile(L"f.txt").c_str()));
  EXPECT_FALSE(IsDirectory((dir / L"missing").c_str()));
  EXPECT_FALSE(IsDirectory(L""));
  EXPECT_FALSE(IsDirectory(nullptr));
  SetFileAttributesW(dir.MakeDir(L"hidden").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(IsDirectory((dir / L"hidden").c_str()));
  SetFileAttributesW((dir / L"hidden").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
