#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "front/main.h"
#include "front/startup_fixture.h"

namespace {

const std::wstring kProgram = L"C:\\Setup\\QelInstallHelper.exe";

// Arguments readable in a failure message: non-ASCII characters and controls as \x{...}.
std::string Show(const std::vector<std::wstring>& arguments) {
  std::string shown;
  for (const std::wstring& argument : arguments) {
    shown += "[";
    for (wchar_t c : argument) {
      if (c >= 32 && c < 127) {
        shown += static_cast<char>(c);
      } else {
        char code[16];
        snprintf(code, sizeof(code), "\\x{%x}", static_cast<unsigned>(c));
        shown += code;
      }
    }
    shown += "] ";
  }
  return shown;
}

// What the first copy hands on, as the second copy's process will see it.
std::vector<std::wstring> Received(std::vector<std::wstring> arguments) {
  arguments[0] = L"QelInstallHelper.exe";
  arguments.insert(arguments.begin() + 1, kElevatedCopyMarker);
  return arguments;
}

class RespawnTest : public StartupTest {
 protected:
  // Runs RespawnSpawnProgram with the prompt declined; the parameter text it passed on.
  std::wstring ParametersFor(std::vector<std::wstring> arguments) {
    starts.clear();
    trace.lines.clear();
    Arguments vector(std::move(arguments));
    EXPECT_EQ(RespawnSpawnProgram(vector.argc(), vector.argv()), 1);
    return starts.size() == 1 ? starts[0].parameters : L"(not started)";
  }
};

// The platform's splitting gives back exactly what the first copy received, whatever it was.
TEST_F(RespawnTest, EveryArgumentVectorArrivesUnchanged) {
  const std::vector<std::vector<std::wstring>> named = {
      {kProgram, L"clean", L"C:\\Inst"},
      {kProgram, L"copy", L"C:\\Program Files\\Tarnwell\\", L"quiet"},
      {kProgram, L"clean", L"\\\\server\\share\\Inst"},
      {kProgram, L"clean", L"//server/share//Inst"},
      {kProgram, L"", L"", L""},
      {kProgram, L"say \"hi\"", L"\"", L"\"\"", L"\\\"", L"\\\\\""},
      {kProgram, L"C:\\Inst\\\\\\", L"\\", L"\\\\", L"a\\b\\\\c"},
      {kProgram, L"tab\there", L" leading", L"trailing ", L"  "},
      {kProgram, L"Установка", L"安装目录", L"\U0001F600"},
      {kProgram},
  };
  for (const std::vector<std::wstring>& arguments : named) {
    EXPECT_EQ(SplitParameters(ParametersFor(arguments)), Received(arguments)) << Show(arguments);
  }

  const std::vector<std::wstring> pieces = {
      L"a",     L"Z9",   L" ",        L"\t",     L"\"",        L"\\",      L"\\\\",   L"\\\\\\", L"\\\"",
      L"ü",     L"日本", L"\U0001F600", L"/",     L"\\\\srv\\sh", L"C:\\In\\", L"'",      L"^&|<>",  L"%PATH%",
      L"\"\"", L"\n",   L"\r",      L"=",      L"-",          L"\\ \\",   L"\x7f"};
  std::mt19937 random(20240606);
  std::uniform_int_distribution<size_t> argumentCount(0, 6);
  std::uniform_int_distribution<size_t> pieceCount(0, 8);
  std::uniform_int_distribution<size_t> piece(0, pieces.size() - 1);
  int failures = 0;
  for (int round = 0; round < 3000 && failures < 5; ++round) {
    std::vector<std::wstring> arguments = {kProgram};
    for (size_t i = argumentCount(random); i > 0; --i) {
      std::wstring argument;
      for (size_t j = pieceCount(random); j > 0; --j) argument += pieces[piece(random)];
      arguments.push_back(argument);
    }
    const std::wstring parameters = ParametersFor(arguments);
    const std::vector<std::wstring> split = SplitParameters(parameters);
    if (split != Received(arguments)) {
      ++failures;
      ADD_FAILURE() << "round " << round << ": sent " << Show(arguments) << "\nparameters " << Show({parameters})
                    << "\nreceived " << Show(split);
    }
  }
}

// The elevated copy does not inherit the current directory of each drive: a drive-relative
// directory goes as the folder it names here. Every other argument goes as it came.
TEST_F(RespawnTest, ADriveRelativeDirectoryArrivesAsTheFolderItNamesHere) {
  TempDir dir;
  CurrentDirectory current(dir.path());
  const std::pair<std::vector<std::wstring>, std::wstring> cases[] = {
      {{kProgram, L"clean", L"C:inst"}, dir / L"inst"},
      {{kProgram, L"copy", L"\"c:inst/\"", L"quiet"}, dir / L"inst\\"},
      {{kProgram, L"clean", L"\\\\.\\C:\\x\\..\\y"}, L"\\\\.\\C:\\x\\..\\y"}, {{kProgram, L"clean", L"C:"}, L"C:"},
      {{kProgram, L"checkedition", L"C:inst"}, L"C:inst"}};
  for (const auto& c : cases) {
    std::vector<std::wstring> expected = c.first;
    expected[2] = c.second;
    EXPECT_EQ(SplitParameters(ParametersFor(c.first)), Received(expected)) << Show(c.first);
  }
}

TEST_F(RespawnTest, ANullArgumentArrivesEmpty) {
  wchar_t program[] = L"QelInstallHelper.exe";
  wchar_t clean[] = L"clean";
  wchar_t* argv[] = {program, clean, nullptr, clean, nullptr};
  EXPECT_EQ(RespawnSpawnProgram(4, argv), 1);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(SplitParameters(starts[0].parameters),
            (std::vector<std::wstring>{L"QelInstallHelper.exe", kElevatedCopyMarker, L"clean", L"", L"clean"}));
}

// The text must fit a PathBuffer with its escapes; one that does not starts nothing.
TEST_F(RespawnTest, ParametersThatDoNotFitStartNothingAndRevert) {
  const size_t frame = wcslen(kElevatedCopyMarker) + 2 + 1 + 2;  // quoted marker, space, two quotes
  const size_t longest = kPathChars - 1 - frame;
  struct Case {
    std::wstring argument;
    bool fits;
  };
  const Case cases[] = {
      {std::wstring(longest, L'a'), true},
      {std::wstring(longest + 1, L'a'), false},
      {std::wstring(longest - 1, L'a') + L"\\", false},  // the trailing backslash doubles
      {std::wstring(longest - 2, L'a') + L"\\", true},
      {std::wstring(longest - 1, L'a') + L"\"", false},  // the quote is escaped
      {std::wstring(kPathChars * 2, L'a'), false},
  };
  for (const Case& c : cases) {
    const std::wstring parameters = ParametersFor({kProgram, c.argument});
    EXPECT_EQ(starts.size(), c.fits ? 1u : 0u) << c.argument.size();
    if (c.fits) {
      EXPECT_EQ(parameters.size(), kPathChars - 1);
      EXPECT_EQ(SplitParameters(parameters), Received({kProgram, c.argument}));
    } else {
      EXPECT_TRUE(trace.Contains(L"RespawnSpawnProgram: the arguments do not fit into the parameter text"));
      EXPECT_EQ(std::count(trace.lines.begin(), trace.lines.end(), L"Respawn"), 0) << "nothing announced";
    }
  }
  // Many short arguments add up as well.
  std::vector<std::wstring> many(kPathChars / 4, L"ab");
  many[0] = kProgram;
  ParametersFor(many);
  EXPECT_TRUE(starts.empty());
}

TEST_F(RespawnTest, TracesTheStartAndAsksForElevationOfItsOwnNormalisedPath) {
  ScopedOverride<DWORD(HMODULE, LPWSTR, DWORD)> self(Platform().GetModuleFileNameW,
                                                     [](HMODULE module, LPWSTR buffer, DWORD size) {
                                                       EXPECT_EQ(module, nullptr);
                                                       EXPECT_EQ(size, kPathChars);
                                                       wcscpy(buffer, L"C:/Setup Files//QelInstallHelper.exe");
                                                       return static_cast<DWORD>(wcslen(buffer));
                                                     });
  Arguments arguments({L"C:\\Setup Files\\QelInstallHelper.exe", L"clean", L"C:\\Inst"});
  EXPECT_EQ(RespawnSpawnProgram(arguments.argc(), arguments.argv()), 1);

  const std::vector<std::wstring> functions = trace.Functions();
  EXPECT_EQ(functions,
            (std::vector<std::wstring>{L"RespawnSpawnProgram", L"DebugPrintArgs", L"GetRunningExeFullPath"}));
  EXPECT_EQ(DumpAfter(L"RespawnSpawnProgram"),
            (std::vector<std::wstring>{L"C:\\Setup Files\\QelInstallHelper.exe", L"clean", L"C:\\Inst"}));
  const std::wstring exe = L"C:\\Setup Files\\QelInstallHelper.exe";
  const std::wstring parameters = L"\"--qel-elevated-copy\" \"clean\" \"C:\\Inst\"";
  const std::vector<std::wstring> tail(trace.lines.end() - 4, trace.lines.end());
  EXPECT_EQ(tail, (std::vector<std::wstring>{L"Respawn", exe, parameters,
                                             L"RespawnSpawnProgram: ShellExecuteExW failed, LastError: <4c7>"}));

  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].verb, L"runas");
  EXPECT_EQ(starts[0].file, exe);
  EXPECT_EQ(starts[0].parameters, parameters);
  EXPECT_EQ(starts[0].mask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC));
  EXPECT_EQ(starts[0].size, 112u);
  EXPECT_FALSE(starts[0].hasOwner);
  EXPECT_EQ(starts[0].directory, CurrentDirectoryPath()) << "a relative directory argument means the same folder";
  EXPECT_TRUE(boxes.boxes.empty());
  // Shown as this copy was asked to be: a hidden start stays hidden.
  for (DWORD flags : {DWORD{0}, DWORD{STARTF_USESHOWWINDOW}}) {
    ScopedOverride<void(LPSTARTUPINFOW)> startup(Platform().GetStartupInfoW, [&](LPSTARTUPINFOW info) {
      info->dwFlags = flags;
      info->wShowWindow = SW_HIDE;
    });
    ParametersFor({kProgram, L"clean", L"C:\\Inst"});
    EXPECT_EQ(starts.at(0).show, flags != 0 ? SW_HIDE : SW_SHOWNORMAL);
  }
}

// The stand-in copy's result, read through the seam; a result nobody can read reverts.
TEST_F(RespawnTest, TheCopysExitCodeComesBackAndAnUnreadableOneReverts) {
  accepted = true;
  Arguments arguments({kProgram, L"clean", L"C:\\Inst"});
  for (DWORD code : {0u, 1u, 42u, 0xC0000005u}) {
    exitCode = code;
    events.clear();
    EXPECT_EQ(static_cast<DWORD>(RespawnSpawnProgram(arguments.argc(), arguments.argv())), code);
    EXPECT_EQ(events, (std::vector<std::wstring>{L"> RespawnSpawnProgram", L"> DebugPrintArgs",
                                                 L"> GetRunningExeFullPath", L"ShellExecuteExW", L"wait"}));
  }
  EXPECT_TRUE(trace.Contains(L"RespawnSpawnProgram: the elevated copy ended with <42>"));
  EXPECT_EQ(fakeProcessCloses, 4);

  exitCode = 0;
  // A copy that cannot be waited for is stopped, and ends some time after: it is waited for.
  ScopedOverride<DWORD(HANDLE, DWORD)> waitFails(Platform().WaitForSingleObject, [&](HANDLE process, DWORD timeout) {
    if (timeout != INFINITE) return waitFails.original()(process, timeout);
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(WAIT_FAILED);
  });
  ScopedOverride<BOOL(HANDLE, UINT)> stop(Platform().TerminateProcess, [this](HANDLE process, UINT) {
    events.push_back(process == FakeProcess() ? L"stop" : L"stop another");
    return TRUE;
  });
  EXPECT_EQ(RespawnSpawnProgram(arguments.argc(), arguments.argv()), 1);
  EXPECT_EQ(std::vector<std::wstring>(events.end() - 2, events.end()),
            (std::vector<std::wstring>{L"stop", L"wait with a time limit"}));
  EXPECT_EQ(fakeProcessCloses, 5);
  EXPECT_TRUE(trace.Contains(
      L"RespawnSpawnProgram: the exit code of the elevated copy cannot be read, LastError: <6>"));

  ScopedOverride<BOOL(HANDLE, LPDWORD)> exitCodeFails(Platform().GetExitCodeProcess, [](HANDLE, LPDWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  });
  ScopedOverride<DWORD(HANDLE, DWORD)> waitWorks(Platform().WaitForSingleObject,
                                                 [](HANDLE, DWORD) { return static_cast<DWORD>(WAIT_OBJECT_0); });
  EXPECT_EQ(RespawnSpawnProgram(arguments.argc(), arguments.argv()), 1);
  EXPECT_EQ(fakeProcessCloses, 6);

  ScopedOverride<BOOL(SHELLEXECUTEINFOW*)> noProcess(Platform().ShellExecuteExW, [](SHELLEXECUTEINFOW* info) {
    info->hProcess = nullptr;
    return TRUE;
  });
  EXPECT_EQ(RespawnSpawnProgram(arguments.argc(), arguments.argv()), 1);
  EXPECT_EQ(fakeProcessCloses, 6);
}

TEST_F(RespawnTest, AnOwnPathThatCannotBeReadWholeStartsNothing) {
  PathBuffer path = {};
  EXPECT_FALSE(GetRunningExeFullPath(nullptr));
  EXPECT_TRUE(GetRunningExeFullPath(path));
  EXPECT_EQ(std::wstring(path), TestArtifact(L"qel_tests.exe"));

  for (DWORD length : {DWORD{0}, static_cast<DWORD>(kPathChars)}) {
    ScopedOverride<DWORD(HMODULE, LPWSTR, DWORD)> self(Platform().GetModuleFileNameW,
                                                       [&](HMODULE, LPWSTR buffer, DWORD size) {
                                                         wmemset(buffer, L'x', size - 1);
                                                         buffer[size - 1] = 0;
                                                         SetLastError(length == 0 ? ERROR_INVALID_HANDLE
                                                                                  : ERROR_INSUFFICIENT_BUFFER);
                                                         return length;
                                                       });
    PathBuffer cut = {};
    EXPECT_FALSE(GetRunningExeFullPath(cut)) << length;
    EXPECT_EQ(cut[0], 0) << length;
    Arguments arguments({kProgram, L"clean", L"C:\\Inst"});
    starts.clear();
    EXPECT_EQ(RespawnSpawnProgram(arguments.argc(), arguments.argv()), 1) << length;
    EXPECT_TRUE(starts.empty()) << length;
  }
  EXPECT_TRUE(trace.Contains(L"GetRunningExeFullPath: GetModuleFileNameW gave <4356>, LastError: <7a>"));
}

// Wine starts the program behind the elevation prompt without asking: the whole way through
// ShellExecuteExW, a second process, its command line and its exit code is real here.
TEST_F(RespawnTest, ARealSecondCopyGetsTheOriginalArgumentsAndItsExitCodeComesBack) {
  realStart = true;
  TempDir dir;
  const std::wstring recorder = TestArtifact(L"qel_record_args.exe");
  ScopedOverride<DWORD(HMODULE, LPWSTR, DWORD)> self(Platform().GetModuleFileNameW,
                                                     [&](HMODULE, LPWSTR buffer, DWORD) {
                                                       wcscpy(buffer, recorder.c_str());
                                                       return static_cast<DWORD>(recorder.size());
                                                     });
  for (DWORD code : {0u, 1u, 42u, 0xC0000005u}) {
    const std::wstring record = dir / (L"received " + std::to_wstring(code) + L".args");
    // The recorder writes its arguments to the file named second and ends with the number third.
    const std::vector<std::wstring> arguments = {kProgram,         record,   std::to_wstring(code),
                                                 L"C:\\Program Files\\Tarnwell\\", L"",       L"say \"hi\" \\\"",
                                                 L"\\\\server\\share", L"Ünïcode 日本", L"tab\there"};
    Arguments vector(arguments);
    EXPECT_EQ(static_cast<DWORD>(qel_main_main(vector.argc(), vector.argv())), code);

    const std::string bytes = ReadAll(record);
    std::vector<std::wstring> received;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(bytes.data());
    for (size_t at = 0; at < bytes.size() / sizeof(wchar_t); at += received.back().size() + 1) {
      received.emplace_back(text + at);
    }
    std::vector<std::wstring> expected = Received(arguments);
    expected.erase(expected.begin());
    EXPECT_EQ(received, expected) << Show(received);
  }
  EXPECT_EQ(starts.size(), 4u);
}

// The built helper as the second copy: under Wine it finds itself elevated, drops the marker
// and dispatches. With the marker left in, it would report invalid parameters and end with 1.
TEST_F(RespawnTest, TheRealHelperAsSecondCopyRunsTheOriginalCommand) {
  realStart = true;
  TempDir dir;
  const std::wstring helper = dir.MakeDir(L"Setup Files") + L"\\QelInstallHelper.exe";
  ASSERT_TRUE(CopyFileW(TestArtifact(L"..\\QelInstallHelper.exe").c_str(), helper.c_str(), TRUE));
  ScopedOverride<DWORD(HMODULE, LPWSTR, DWORD)> self(Platform().GetModuleFileNameW,
                                                     [&](HMODULE, LPWSTR buffer, DWORD) {
                                                       wcscpy(buffer, helper.c_str());
                                                       return static_cast<DWORD>(helper.size());
                                                     });
  Arguments arguments({helper, L"clean", dir / L"missing dir\\"});
  EXPECT_EQ(qel_main_main(arguments.argc(), arguments.argv()), 0);
  ASSERT_EQ(starts.size(), 1u);
}

}  // namespace
