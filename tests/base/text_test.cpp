#include "base/text.h"

#include <string>
#include <vector>

#include "support/fixtures.h"

namespace {

std::wstring Repeat(wchar_t c, size_t count) { return std::wstring(count, c); }

struct NormalizeCase {
  const wchar_t* input;
  const wchar_t* expected;
};

TEST(NormalizePath, CollapsesSeparatorsAndKeepsEverythingElse) {
  const NormalizeCase cases[] = {
      {L"C:/Inst//Sub", L"C:\\Inst\\Sub"},
      {L"C:\\\\\\Inst", L"C:\\Inst"},
      {L"\\\\server\\share", L"\\\\server\\share"},
      {L"//server/share", L"\\\\server\\share"},
      {L"\\\\\\x", L"\\\\x"},
      {L"C:\\Inst\\", L"C:\\Inst\\"},
      {L"C:\\a\\.\\..\\B", L"C:\\a\\.\\..\\B"},
      {L"a\\\\b", L"a\\b"},
      {L"C:\\Установка\\安装", L"C:\\Установка\\安装"},
  };
  for (const NormalizeCase& c : cases) {
    PathBuffer once = {};
    PathBuffer twice = {};
    ASSERT_TRUE(NormalizePath(once, c.input)) << Narrow(c.input);
    EXPECT_EQ(std::wstring(once), c.expected) << Narrow(c.input);
    ASSERT_TRUE(NormalizePath(twice, once));
    EXPECT_EQ(std::wstring(twice), std::wstring(once)) << "not idempotent: " << Narrow(c.input);
  }
}

TEST(NormalizePath, RefusesNullAndOverlongTextAndWritesNothingForEmpty) {
  PathBuffer dest = {};
  EXPECT_FALSE(NormalizePath(nullptr, L"C:\\"));
  EXPECT_FALSE(NormalizePath(dest, nullptr));

  dest[0] = L'k';
  EXPECT_TRUE(NormalizePath(dest, L""));
  EXPECT_EQ(dest[0], L'k');

  const std::wstring longest = Repeat(L'a', kPathChars - 1);
  EXPECT_TRUE(NormalizePath(dest, longest.c_str()));
  EXPECT_EQ(std::wstring(dest), longest);

  PathBuffer untouched = {};
  const std::wstring tooLong = Repeat(L'b', kPathChars);
  EXPECT_FALSE(NormalizePath(untouched, tooLong.c_str()));
  EXPECT_EQ(untouched[0], 0);
}

TEST(ConcatPath, AppendsInPlaceAndCollapsesTheJoint) {
  PathBuffer path = {};
  ASSERT_TRUE(ConcatPath(path, L"C:\\Inst", nullptr));
  ASSERT_TRUE(ConcatPath(path, path, L"\\"));
  EXPECT_EQ(std::wstring(path), L"C:\\Inst\\");
  ASSERT_TRUE(ConcatPath(path, path, L"\\"));
  EXPECT_EQ(std::wstring(path), L"C:\\Inst\\");
  ASSERT_TRUE(ConcatPath(path, path, L"VBAEngine/Windows64"));
  EXPECT_EQ(std::wstring(path), L"C:\\Inst\\VBAEngine\\Windows64");
  ASSERT_TRUE(ConcatPath(path, nullptr, nullptr));
  EXPECT_EQ(std::wstring(path), L"C:\\Inst\\VBAEngine\\Windows64") << "empty join writes nothing";
  EXPECT_FALSE(ConcatPath(nullptr, L"a", L"b"));
}

TEST(ConcatPath, JoinsUpTo4355CharactersAndRefusesMoreWithoutTouchingDest) {
  const std::wstring head = Repeat(L'h', 4000);
  PathBuffer path = {};
  ASSERT_TRUE(ConcatPath(path, head.c_str(), Repeat(L't', kPathChars - 1 - head.size()).c_str()));
  EXPECT_EQ(std::wstring(path).size(), kPathChars - 1);

  PathBuffer kept = {};
  ASSERT_TRUE(ConcatPath(kept, L"C:\\Inst", nullptr));
  EXPECT_FALSE(ConcatPath(kept, head.c_str(), Repeat(L't', kPathChars - head.size()).c_str()));
  EXPECT_EQ(std::wstring(kept), L"C:\\Inst");
  EXPECT_FALSE(ConcatPath(kept, kept, Repeat(L'x', kPathChars).c_str()));
  EXPECT_EQ(std::wstring(kept), L"C:\\Inst");
}

TEST(NormalizePathInPlace, NormalisesOrLeavesOverlongTextAlone) {
  EXPECT_FALSE(NormalizePathInPlace(nullptr));
  PathBuffer path = {};
  wcscpy(path, L"C:/Inst//Sub/");
  EXPECT_TRUE(NormalizePathInPlace(path));
  EXPECT_EQ(std::wstring(path), L"C:\\Inst\\Sub\\");

  std::vector<wchar_t> big(kPathChars + 1, L'/');
  big[kPathChars] = 0;
  EXPECT_TRUE(NormalizePathInPlace(big.data()));
  EXPECT_EQ(big[5], L'/') << "too long to normalise: left as it was";
}

struct ContainsCase {
  const wchar_t* text;
  const wchar_t* part;
  bool expected;
};

TEST(ContainsNoCase, FoldsAsciiLettersOnly) {
  const ContainsCase cases[] = {
      {L"WBEntX.OCX", L".ocx", true},
      {L"wbentx.ocx", L"WBENT", true},
      {L"Über", L"ü", false},
      {L"ÜBER", L"über", false},
      {L"Über", L"Ü", true},
      {L"anything", L"", true},
      {L"", L"", true},
      {L"", L"a", false},
      {L"NOSTUDENTS", L"STUDENT", true},
      {L"student", L"STUDENT", true},
      {L"stud ent", L"STUDENT", false},
      {L"abc", L"abcd", false},
      {L"[@]", L"{`}", false},
  };
  for (const ContainsCase& c : cases) {
    EXPECT_EQ(ContainsNoCase(c.text, c.part), c.expected) << Narrow(c.text) << " / " << Narrow(c.part);
  }
  EXPECT_FALSE(ContainsNoCase(nullptr, L""));
  EXPECT_FALSE(ContainsNoCase(L"a", nullptr));
  EXPECT_FALSE(ContainsNoCase(Repeat(L'a', kPathChars).c_str(), L"a")) << "over-long text is refused";
}

// Whole texts and prefixes fold the same letters, and only those.
TEST(EqualsNoCase, FoldsAsciiLettersOnlyForWholeTextsAndPrefixes) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    bool equal;
    bool aStartsWithB;
  };
  const Case cases[] = {
      {L"C:\\Windows", L"c:\\WINDOWS", true, true}, {L"C:\\Windows\\", L"c:\\windows", false, true},
      {L"Über", L"über", false, false},             {L"", L"", true, true},
      {L"abc", L"", false, true},                   {L"ab", L"abc", false, false},
      {L"[@]", L"{`}", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal) << Narrow(c.a) << " / " << Narrow(c.b);
    EXPECT_EQ(EqualsNoCase(c.b, c.a), c.equal) << Narrow(c.b) << " / " << Narrow(c.a);
    EXPECT_EQ(StartsWithNoCase(c.a, c.b), c.aStartsWithB) << Narrow(c.a) << " / " << Narrow(c.b);
  }
}

TEST(PrintToBuffer, ReadsPercentLsAsAWideString) {
  PathBuffer text = {};
  EXPECT_EQ(PrintToBuffer(text, L"[%ls] <%d> <%x>", L"abc", -7, 0x1fu), 15);
  EXPECT_EQ(std::wstring(text), L"[abc] <-7> <1f>");
  EXPECT_EQ(PrintToBuffer(text, L"%ls", L"Путь 路径"), 7);
  EXPECT_EQ(std::wstring(text), L"Путь 路径");
  EXPECT_EQ(PrintToBuffer(text, nullptr), -1);
  EXPECT_EQ(text[0], 0);
}

TEST(PrintToBuffer, CutsAMessageAroundA4355CharacterPathAtTheBuffer) {
  const std::wstring path = L"C:\\" + Repeat(L'p', kPathChars - 1 - 3);
  ASSERT_EQ(path.size(), kPathChars - 1);
  const wchar_t kGuard = L'#';
  std::vector<wchar_t> memory(kPathChars + 64, kGuard);

  const int written = PrintToBuffer(memory.data(), L"Path: '%ls'.\nCould not be accessed.\n", path.c_str());

  EXPECT_EQ(written, static_cast<int>(kPathChars - 1));
  EXPECT_EQ(memory[kPathChars - 1], 0) << "terminated at the capacity";
  const std::wstring expected = (L"Path: '" + path).substr(0, kPathChars - 1);
  EXPECT_EQ(std::wstring(memory.data()), expected);
  for (size_t i = kPathChars; i < memory.size(); ++i) ASSERT_EQ(memory[i], kGuard) << "overwritten at " << i;
}

TEST(DebugLog, BoundsALogLineAt8712Characters) {
  TraceRecorder trace;
  const std::wstring path = Repeat(L'q', kPathChars - 1);
  DebugLog(L"%ls|%ls|%ls", path.c_str(), path.c_str(), path.c_str());
  ASSERT_EQ(trace.lines.size(), 1u);
  EXPECT_EQ(trace.lines[0].size(), kLogChars - 1);
  EXPECT_EQ(trace.lines[0], (path + L"|" + path + L"|" + path).substr(0, kLogChars - 1));
}

TEST(Trace, FormatsTheLineWithTheRealProcessId) {
  TraceRecorder trace;
  TraceCall("files", 42, "CopyFileImpl");
  TraceSource("C:/build/src/base/registry.cpp", 7, "QueryHKLM");
  TraceSource("main.cpp", -1, "qel_tmain");
  TraceCall(nullptr, 0, nullptr);
  const std::wstring pid = std::to_wstring(GetCurrentProcessId());
  ASSERT_EQ(trace.lines.size(), 4u);
  EXPECT_EQ(trace.lines[0], L"PID: " + pid + L", File: <files>, line: <42>, function: <CopyFileImpl>");
  EXPECT_EQ(trace.lines[1], L"PID: " + pid + L", File: <registry>, line: <7>, function: <QueryHKLM>");
  EXPECT_EQ(trace.lines[2], L"PID: " + pid + L", File: <main>, line: <-1>, function: <qel_tmain>");
  EXPECT_EQ(trace.lines[3], L"PID: " + pid + L", File: <>, line: <0>, function: <>");
}

TEST(Trace, LeavesTheThreadsLastErrorAlone) {
  ScopedOverride<void(LPCWSTR)> noisy(Platform().OutputDebugStringW, [](LPCWSTR) { SetLastError(1234); });
  SetLastError(87);
  TraceCall("text", 1, "Anything");
  DebugLog(L"%d", 5);
  EXPECT_EQ(GetLastError(), 87u);
}

TEST(DebugPrintArgs, DumpsEveryArgumentNullAsEmpty) {
  TraceRecorder trace;
  wchar_t program[] = L"C:\\QelInstallHelper.exe";
  wchar_t command[] = L"copy";
  wchar_t* argv[] = {program, command, nullptr};
  DebugPrintArgs(3, argv);
  DebugPrintArgs(0, argv);
  DebugPrintArgs(-1, argv);
  const std::vector<std::wstring> arguments(trace.lines.begin() + 1, trace.lines.begin() + 4);
  EXPECT_EQ(arguments, (std::vector<std::wstring>{L"arg: <0>, argv[ 0 ]: <C:\\QelInstallHelper.exe>",
                                                  L"arg: <1>, argv[ 1 ]: <copy>", L"arg: <2>, argv[ 2 ]: <>"}));
  EXPECT_EQ(trace.lines.size(), 6u) << "no argument lines for a count of 0 or less";
  EXPECT_EQ(trace.Functions(), (std::vector<std::wstring>(3, L"DebugPrintArgs")));
}

TEST(AttributeWrappers, LogTheCallWithTheLastErrorAroundIt) {
  TempDir dir;
  const std::wstring file = dir.MakeFile(L"a.txt");
  const std::wstring missing = dir / L"missing.txt";
  TraceRecorder trace;

  SetLastError(0x57);
  EXPECT_EQ(GetFileAttributesImpl(missing.c_str()), INVALID_FILE_ATTRIBUTES);
  SetLastError(0);
  EXPECT_TRUE(SetFileAttributesImpl(file.c_str(), FILE_ATTRIBUTE_READONLY));
  const DWORD attributes = GetFileAttributesImpl(file.c_str());
  EXPECT_EQ(attributes, GetFileAttributesW(file.c_str()));
  EXPECT_NE(attributes & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(GetFileAttributesImpl(nullptr), INVALID_FILE_ATTRIBUTES);

  ASSERT_EQ(trace.lines.size(), 8u);
  EXPECT_EQ(trace.Functions(), (std::vector<std::wstring>{L"GetFileAttributesImpl", L"SetFileAttributesImpl",
                                                          L"GetFileAttributesImpl", L"GetFileAttributesImpl"}));
  EXPECT_NE(trace.lines[0].find(L", File: <text>, line: <"), std::wstring::npos);
  EXPECT_EQ(trace.lines[1], L"GetFileAttributesImpl: LastError before: <57>, result: <ffffffff>, LastError after: <2>, file: <" +
                                missing + L">");
  EXPECT_EQ(trace.lines[3], L"SetFileAttributesImpl: LastError before: <0>, result: <1>, LastError after: <0>, file: <" +
                                file + L">, dwFlags: <1>");
  wchar_t hex[16];
  swprintf(hex, 16, L"%x", static_cast<unsigned>(attributes));
  EXPECT_EQ(trace.lines[5], L"GetFileAttributesImpl: LastError before: <0>, result: <" + std::wstring(hex) +
                                L">, LastError after: <0>, file: <" + file + L">");
  EXPECT_NE(trace.lines[7].find(L"file: <>"), std::wstring::npos);
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Every file function gets this form: what names the same file as the given path, with names
// below a resolved directory taken literally, and refusals instead of cut paths.
TEST(ExtendedLengthPath, GivesTheFormThatNamesTheSameFileAtAnyLength) {
  TempDir dir;
  CurrentDirectory current(dir.path());
  const std::wstring longest(kPathChars - 1 - 4 - 3, L'p');  // "\\?\" and "C:\" around it fill the buffer
  struct Case {
    std::wstring path;
    std::wstring expected;  // empty: refused with error
    DWORD error;
  };
  const Case cases[] = {
      {L"C:\\a\\b.", L"\\\\?\\C:\\a\\b.", 0},
      {L"C:\\a\\..\\b\\.\\c", L"\\\\?\\C:\\b\\c", 0},
      {L"C:/a//b", L"\\\\?\\C:\\a\\b", 0},
      {L"sub\\..\\x", L"\\\\?\\" + dir / L"x", 0},
      {L"\\\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x", 0},
      {L"\\\\?\\C:\\a\\..\\b.", L"\\\\?\\C:\\a\\..\\b.", 0},
      {L"\\\\.\\C:\\a\\b.", L"\\\\?\\C:\\a\\b.", 0},
      {L"\\\\.\\C:\\a\\..\\b", L"\\\\?\\C:\\b", 0},
      {L"C:\\" + longest, L"\\\\?\\C:\\" + longest, 0},
      {L"C:\\" + longest + L"p", L"", ERROR_FILENAME_EXCED_RANGE},
      {L"\\\\s\\" + longest.substr(3), L"\\\\?\\UNC\\s\\" + longest.substr(3), 0},
      {L"\\\\s\\" + longest.substr(2), L"", ERROR_FILENAME_EXCED_RANGE},
      {dir.path() + L"\\.\\" + longest, L"", ERROR_FILENAME_EXCED_RANGE},
      {L"", L"", ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    wchar_t extended[kPathChars + 1] = {};
    extended[kPathChars] = L'!';  // nothing is written past a PathBuffer
    SetLastError(0);
    EXPECT_EQ(ExtendedLengthPath(extended, c.path.c_str()), !c.expected.empty()) << Narrow(c.path.substr(0, 40));
    EXPECT_EQ(c.expected.empty() ? GetLastError() : 0u, c.error) << Narrow(c.path.substr(0, 40));
    EXPECT_EQ(c.expected.empty() ? c.expected : std::wstring(extended), c.expected) << Narrow(c.path.substr(0, 40));
    EXPECT_EQ(extended[kPathChars], L'!');
  }
  PathBuffer extended = {};
  EXPECT_FALSE(ExtendedLengthPath(extended, nullptr));
  ScopedOverride<DWORD(LPCWSTR, DWORD, LPWSTR, LPWSTR*)> noFullPath(Platform().GetFullPathNameW,
                                                                    [](LPCWSTR, DWORD, LPWSTR, LPWSTR*) {
                                                                      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                                                                      return DWORD{0};
                                                                    });
  EXPECT_FALSE(ExtendedLengthPath(extended, L"C:\\a\\..\\b")) << "a path the system cannot resolve is refused";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_TRUE(ExtendedLengthPath(extended, L"C:\\a\\b")) << "a plain absolute path needs no resolving";
}

}  // namespace
