#include <string>
#include <vector>

#include "base/text.h"
#include "front/main.h"
#include "front/startup_fixture.h"
#include "support/texts.h"

namespace {

// Runs the process entry on a command line, with the library search and COM counted
// through the seam (the test process keeps its own).
class EntryTest : public StartupTest {
 protected:
  int RunEntry(const std::wstring& commandLine) {
    commandLine_ = commandLine;
    return wWinMain(nullptr, nullptr, nullptr, SW_SHOW);
  }

  int Count(const std::wstring& event) const {
    int count = 0;
    for (const std::wstring& e : events) count += e == event ? 1 : 0;
    return count;
  }

  size_t IndexOf(const std::wstring& event) const {
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i] == event) return i;
    }
    return events.size();
  }

  TempDir dir;
  BOOL restrictResult = TRUE;

 private:
  std::wstring commandLine_;
  ScopedOverride<LPWSTR()> commandLine{Platform().GetCommandLineW, [this] { return &commandLine_[0]; }};
  ScopedOverride<BOOL(DWORD)> librarySearch{Platform().SetDefaultDllDirectories, [this](DWORD flags) {
                                         events.push_back(L"SetDefaultDllDirectories " + std::to_wstring(flags));
                                         if (!restrictResult) SetLastError(ERROR_PROC_NOT_FOUND);
                                         return restrictResult;
                                       }};
  ScopedOverride<BOOL(LPCWSTR)> dllDirectory{Platform().SetDllDirectoryW, [this](LPCWSTR path) {
                                               events.push_back(L"SetDllDirectoryW <" +
                                                                std::wstring(path != nullptr ? path : L"(null)") + L">");
                                               return TRUE;
                                             }};
  ScopedOverride<HRESULT(LPVOID, DWORD)> coInitialize{Platform().CoInitializeEx, [this](LPVOID reserved, DWORD flags) {
                                                        events.push_back(L"CoInitializeEx " +
                                                                         std::to_wstring(reserved == nullptr) + L" " +
                                                                         std::to_wstring(flags));
                                                        return comResult;
                                                      }};
  ScopedOverride<void()> coUninitialize{Platform().CoUninitialize, [this] { events.push_back(L"CoUninitialize"); }};

 protected:
  HRESULT comResult = S_OK;
};

struct EntryCase {
  const char* name;
  bool elevated;
  bool accepted;
  DWORD exitCode;
  HRESULT com;
  int result;
  bool dispatched;
};

TEST_F(EntryTest, ComIsInitialisedFirstAndReleasedLastOnceWhateverTheRunDoes) {
  const std::wstring commandLine = L"\"C:\\Setup\\QelInstallHelper.exe\" clean \"" + (dir / L"missing") + L"\"";
  const EntryCase cases[] = {
      {"elevated: the command runs here", true, false, 0, S_OK, 0, true},
      {"not elevated, the prompt declined", false, false, 0, S_OK, 1, false},
      {"not elevated, the elevated copy ends with 7", false, true, 7, S_FALSE, 7, false},
      {"COM not initialised here: not released either", true, false, 0, RPC_E_CHANGED_MODE, 0, true},
  };
  for (const EntryCase& c : cases) {
    events.clear();
    elevated = c.elevated;
    accepted = c.accepted;
    exitCode = c.exitCode;
    comResult = c.com;
    EXPECT_EQ(RunEntry(commandLine), c.result) << c.name;
    EXPECT_EQ(Count(L"CoInitializeEx 1 6"), 1) << c.name;
    EXPECT_EQ(IndexOf(L"CoInitializeEx 1 6"), 2u) << c.name << ": after the restriction and the entry's trace line";
    EXPECT_EQ(Count(L"CoUninitialize"), SUCCEEDED(c.com) ? 1 : 0) << c.name;
    if (SUCCEEDED(c.com)) {
      EXPECT_EQ(events.back(), L"CoUninitialize") << c.name << ": after everything else";
    }
    EXPECT_EQ(IndexOf(L"> qel_tmain") < events.size(), c.dispatched) << c.name;
    EXPECT_EQ(Count(L"ShellExecuteExW"), c.elevated ? 0 : 1) << c.name;
  }
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(fakeProcessCloses, 1);
}

// Wine keeps searching the current directory after an empty SetDllDirectoryW, so the
// fallback is checked here, through the seam, only.
TEST_F(EntryTest, TheLibrarySearchIsRestrictedBeforeAnythingElse) {
  elevated = true;
  const std::wstring commandLine = L"QelInstallHelper.exe clean \"" + (dir / L"missing") + L"\"";
  RunEntry(commandLine);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0], L"SetDefaultDllDirectories 2048") << "the system directory only";
  EXPECT_EQ(events[1], L"> wWinMain");
  EXPECT_EQ(Count(L"SetDllDirectoryW <>"), 0);

  // Where the call is missing, at least the current directory leaves the search.
  events.clear();
  trace.lines.clear();
  restrictResult = FALSE;
  EXPECT_EQ(RunEntry(commandLine), 0);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0], L"SetDefaultDllDirectories 2048");
  EXPECT_EQ(events[1], L"SetDllDirectoryW <>");
  EXPECT_EQ(events[2], L"> wWinMain");
  ASSERT_GE(trace.lines.size(), 2u);
  EXPECT_EQ(trace.lines[1],
            L"wWinMain: library search not restricted to the system directory, LastError: <7f>");
}

TEST_F(EntryTest, ACommandLineThatCannotBeSplitRevertsWithoutDispatching) {
  ScopedOverride<LPWSTR*(LPCWSTR, int*)> split(Platform().CommandLineToArgvW, [](LPCWSTR, int* count) {
    *count = 0;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return static_cast<LPWSTR*>(nullptr);
  });
  EXPECT_EQ(RunEntry(L"QelInstallHelper.exe clean C:\\Inst"), 1);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, kInvalidParameters);
  EXPECT_FALSE(Traced(L"qel_main_main"));
  EXPECT_FALSE(Traced(L"qel_tmain"));
  EXPECT_TRUE(trace.Contains(L"wWinMain: the command line cannot be split, LastError: <8>"));
  EXPECT_EQ(Count(L"CoInitializeEx 1 6"), 1);
  EXPECT_EQ(Count(L"CoUninitialize"), 1);
}

TEST_F(EntryTest, TracesEachStepWithItsArguments) {
  elevated = true;
  const std::wstring missing = dir / L"missing dir";
  EXPECT_EQ(RunEntry(L"\"C:\\Setup Files\\QelInstallHelper.exe\" clean \"" + missing + L"\" \"\" a\\\\\\\"b"), 0);

  const std::wstring pid = std::to_wstring(GetCurrentProcessId());
  ASSERT_FALSE(trace.lines.empty());
  EXPECT_EQ(trace.lines[0].rfind(L"PID: " + pid + L", File: <main>, line: <", 0), 0u) << Narrow(trace.lines[0]);
  const std::vector<std::wstring> functions = trace.Functions();
  const std::vector<std::wstring> expected = {
      L"wWinMain",    L"DebugPrintArgs",        L"qel_main_main", L"DebugPrintArgs", L"IsHigherThanWindowsXP",
      L"IsNotElevated", L"IsElevated",          L"qel_tmain",     L"DebugPrintArgs", L"IsDirectory"};
  ASSERT_GE(functions.size(), expected.size());
  EXPECT_EQ(std::vector<std::wstring>(functions.begin(), functions.begin() + expected.size()), expected);
  for (const std::wstring& line : trace.lines) {
    if (line.rfind(L"PID: ", 0) == 0) {
      EXPECT_EQ(line.rfind(L"PID: " + pid + L", File: <", 0), 0u) << Narrow(line);
    }
  }

  const std::vector<std::wstring> arguments = {L"C:\\Setup Files\\QelInstallHelper.exe", L"clean", missing, L"",
                                               L"a\\\"b"};
  EXPECT_EQ(DumpAfter(L"wWinMain"), arguments);
  EXPECT_EQ(DumpAfter(L"qel_main_main"), arguments);
  EXPECT_EQ(DumpAfter(L"qel_tmain"), arguments);
}

// The elevation decision of qel_main_main, each case on its own vector.
struct ElevationCase {
  const char* name;
  bool elevatedCopy;  // started through the elevation prompt (carries the marker)
  bool elevated;
  int versionError;  // 0: Wine's own version test (6.0 or later)
  bool respawns;
};

TEST_F(StartupTest, OnlyAFirstUnelevatedCopyOnWindows6StartsASecondCopy) {
  TempDir dir;
  const std::wstring missing = dir / L"missing";
  const ElevationCase cases[] = {
      {"elevated: the dispatcher runs at once", false, true, 0, false},
      {"not elevated: a second copy", false, false, 0, true},
      {"older Windows: no second copy", false, false, ERROR_OLD_WIN_VERSION, false},
      {"the version test fails: no second copy", false, false, ERROR_INVALID_PARAMETER, false},
      {"the elevated copy", true, true, 0, false},
      {"the elevated copy, still not elevated: no third copy", true, false, 0, false},
      {"the elevated copy on older Windows", true, false, ERROR_OLD_WIN_VERSION, false},
  };
  for (const ElevationCase& c : cases) {
    trace.lines.clear();
    starts.clear();
    elevated = c.elevated;
    ScopedOverride<BOOL(LPOSVERSIONINFOEXW, DWORD, DWORDLONG)> version(
        Platform().VerifyVersionInfoW, [&](LPOSVERSIONINFOEXW info, DWORD mask, DWORDLONG conditions) {
          if (c.versionError == 0) return ::VerifyVersionInfoW(info, mask, conditions);
          SetLastError(static_cast<DWORD>(c.versionError));
          return FALSE;
        });
    std::vector<std::wstring> original = {L"C:\\Setup\\QelInstallHelper.exe", L"clean", missing, L"quiet"};
    std::vector<std::wstring> received = original;
    if (c.elevatedCopy) received.insert(received.begin() + 1, kElevatedCopyMarker);
    Arguments arguments(received);

    EXPECT_EQ(qel_main_main(arguments.argc(), arguments.argv()), c.respawns ? 1 : 0) << c.name;
    EXPECT_EQ(starts.size(), c.respawns ? 1u : 0u) << c.name;
    EXPECT_EQ(Traced(L"qel_tmain"), !c.respawns) << c.name;
    EXPECT_EQ(Traced(L"IsNotElevated"), c.versionError == 0) << c.name;
    EXPECT_EQ(DumpAfter(L"qel_main_main"), received) << c.name << ": the dump shows what the process received";
    if (!c.respawns) {
      EXPECT_EQ(DumpAfter(L"qel_tmain"), original) << c.name << ": the marker is gone";
    }
    EXPECT_EQ(trace.Contains(L"qel_main_main: started through the elevation prompt"), c.elevatedCopy) << c.name;
  }
  EXPECT_TRUE(boxes.boxes.empty()) << "a declined prompt shows no box";
}

TEST_F(StartupTest, WithoutArgumentsAnUnelevatedCopyStillRespawnsAndTheSecondReportsInvalidParameters) {
  Arguments first({L"QelInstallHelper.exe"});
  EXPECT_EQ(qel_main_main(first.argc(), first.argv()), 1);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(SplitParameters(starts[0].parameters),
            (std::vector<std::wstring>{L"QelInstallHelper.exe", kElevatedCopyMarker}));
  EXPECT_TRUE(boxes.boxes.empty());

  Arguments second({L"QelInstallHelper.exe", kElevatedCopyMarker});
  EXPECT_EQ(qel_main_main(second.argc(), second.argv()), 1);
  EXPECT_EQ(starts.size(), 1u);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, kInvalidParameters);
  EXPECT_EQ(DumpAfter(L"qel_tmain"), std::vector<std::wstring>{L"QelInstallHelper.exe"});
}

TEST_F(StartupTest, AMarkerAnywhereButFirstIsAnOrdinaryArgument) {
  elevated = true;
  Arguments arguments({L"QelInstallHelper.exe", L"checkedition", kElevatedCopyMarker});
  qel_main_main(arguments.argc(), arguments.argv());
  EXPECT_EQ(DumpAfter(L"qel_tmain"),
            (std::vector<std::wstring>{L"QelInstallHelper.exe", L"checkedition", kElevatedCopyMarker}));
  EXPECT_TRUE(Traced(L"HandleCheckEdition"));
}

// Wine's token is always elevated; a failing query is made through the seam.
struct TokenCase {
  const char* name;
  bool openFails;
  bool queryFails;
  bool elevatedCopy;
  bool respawns;
};

TEST_F(StartupTest, ATokenThatCannotBeQueriedCountsAsNotElevatedAndIsClosed) {
  const TokenCase cases[] = {
      {"open fails", true, false, false, true},
      {"query fails", false, true, false, true},
      {"query fails in the elevated copy", false, true, true, false},
      {"query works", false, false, false, false},
  };
  for (const TokenCase& c : cases) {
    elevated = true;
    starts.clear();
    HANDLE opened = nullptr;
    int closes = 0;
    ScopedOverride<BOOL(HANDLE, DWORD, PHANDLE)> open(Platform().OpenProcessToken,
                                                      [&](HANDLE process, DWORD access, PHANDLE token) {
                                                        EXPECT_EQ(access, static_cast<DWORD>(TOKEN_QUERY));
                                                        if (c.openFails) {
                                                          SetLastError(ERROR_ACCESS_DENIED);
                                                          return FALSE;
                                                        }
                                                        const BOOL ok = ::OpenProcessToken(process, access, token);
                                                        opened = *token;
                                                        return ok;
                                                      });
    ScopedOverride<BOOL(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD)> query(
        Platform().GetTokenInformation,
        [&](HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID data, DWORD size, PDWORD returned) {
          if (!c.queryFails) return ::GetTokenInformation(token, type, data, size, returned);
          SetLastError(ERROR_INVALID_HANDLE);
          return FALSE;
        });
    ScopedOverride<BOOL(HANDLE)> close(Platform().CloseHandle, [&](HANDLE handle) {
      closes += handle == opened ? 1 : 0;
      return ::CloseHandle(handle);
    });

    EXPECT_EQ(IsElevated(), !c.openFails && !c.queryFails) << c.name;
    EXPECT_EQ(closes, c.openFails ? 0 : 1) << c.name;
    Arguments arguments(c.elevatedCopy
                            ? std::vector<std::wstring>{L"QelInstallHelper.exe", kElevatedCopyMarker, L"clean", L""}
                            : std::vector<std::wstring>{L"QelInstallHelper.exe", L"clean", L""});
    qel_main_main(arguments.argc(), arguments.argv());
    EXPECT_EQ(starts.size(), c.respawns ? 1u : 0u) << c.name;
    EXPECT_EQ(closes, c.openFails ? 0 : 2) << c.name;
  }
  EXPECT_TRUE(trace.Contains(L"IsElevated: OpenProcessToken failed, LastError: <5>"));
  EXPECT_TRUE(trace.Contains(L"IsElevated: GetTokenInformation failed, LastError: <6>"));
}

// Hierarchical: a higher major version passes whatever the minor one says.
TEST(IsWindowsVersionAtLeast, ComparesWithTheRunningVersion) {
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(rtlGetVersion, nullptr);
  OSVERSIONINFOEXW running = {};
  running.dwOSVersionInfoSize = sizeof(running);
  ASSERT_EQ(rtlGetVersion(&running), 0);
  const WORD major = static_cast<WORD>(running.dwMajorVersion);
  const WORD minor = static_cast<WORD>(running.dwMinorVersion);
  const WORD pack = running.wServicePackMajor;
  ASSERT_GE(major, 6) << "Wine reports 6.0 or later";

  EXPECT_TRUE(IsWindowsVersionAtLeast(6, 0, 0));
  EXPECT_TRUE(IsWindowsVersionAtLeast(major, minor, pack));
  EXPECT_TRUE(IsWindowsVersionAtLeast(static_cast<WORD>(major - 1), 99, 99));
  EXPECT_TRUE(IsWindowsVersionAtLeast(major, 0, 0));
  EXPECT_FALSE(IsWindowsVersionAtLeast(major, static_cast<WORD>(minor + 1), 0));
  EXPECT_FALSE(IsWindowsVersionAtLeast(major, minor, static_cast<WORD>(pack + 1)));
  EXPECT_FALSE(IsWindowsVersionAtLeast(static_cast<WORD>(major + 1), 0, 0));
}

}  // namespace
