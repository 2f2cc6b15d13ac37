#include "base/messages.h"

#include <algorithm>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "base/text.h"
#include "support/fixtures.h"

namespace {

struct MessageCase {
  const char* name;
  std::function<int()> show;  // the operation, its result as a number
  std::wstring text;
  UINT style;
  int answer;          // what the user clicks
  int expected;        // what the operation then returns
  int quietExpected;   // what it returns in quiet mode, without a box
};

const UINT kError = MB_SYSTEMMODAL | MB_ICONERROR;
const UINT kWarning = MB_SYSTEMMODAL | MB_ICONWARNING;
const wchar_t kPath[] = L"C:\\Program Files\\Tarnwell";

int None(void (*show)()) {
  show();
  return -1;
}

std::vector<MessageCase> Cases() {
  return {
      {"ShowInvalidParameters", [] { return None(ShowInvalidParameters); },
       L"The installation procedure will be reverted.\n\nThe QelInstallHelper was called with invalid command line "
       L"parameters.\n\nUsage: QelInstallHelper.exe <command> <installation directory>\n\n\n",
       kError, IDOK, -1, -1},
      {"ShowInvalidEditionParameters", [] { return None(ShowInvalidEditionParameters); },
       L"The QelInstallHelper was called with invalid command line parameters.\n\nUsage: QelInstallHelper.exe "
       L"checkedition <edition type>\n\n\n",
       kError, IDOK, -1, -1},
      {"ShowInstallDirNotFound", [] { ShowInstallDirNotFound(kPath); return -1; },
       L"The installation procedure will be reverted.\n\nThe installation directory of the Tarnwell could not be "
       L"found.\nPath: 'C:\\Program Files\\Tarnwell'.\nCould not be accessed.\n\n",
       kError, IDOK, -1, -1},
      {"ShowInstallDirNotFound(null)", [] { ShowInstallDirNotFound(nullptr); return -1; },
       L"The installation procedure will be reverted.\n\nThe installation directory of the Tarnwell could not be "
       L"found.\nPath: ''.\nCould not be accessed.\n\n",
       kError, IDOK, -1, -1},
      {"ShowSystemDirNotFound", [] { ShowSystemDirNotFound(L"C:\\Windows\\system32"); return -1; },
       L"The installation procedure will be reverted.\n\nThe system directory could not be found.\nPath: "
       L"'C:\\Windows\\system32'.\nCould not be accessed.\n\n\n\n",
       kError, IDOK, -1, -1},
      {"ShowOtherEditionInstalled", [] { ShowOtherEditionInstalled(kPath); return -1; },
       L"The installation procedure will be reverted.\n\nIt seems that a different edition (student or commercial) "
       L"of the Tarnwell is already installed in:\nPath: 'C:\\Program Files\\Tarnwell'.\n\nPlease, uninstall the "
       L"Tarnwell before installing a different edition.\n\n",
       kError, IDOK, -1, -1},
      {"ShowEngineNotFound", [] { return None(ShowEngineNotFound); },
       L"The installation procedure will be reverted.\n\nThe Qel VBA Engine was not found in the installtion.\n\n\n",
       kError, IDOK, -1, -1},
      {"ShowEngineRegisterFailed", [] { ShowEngineRegisterFailed(L"C:\\Windows\\system32\\wbentX.ocx", 3); return -1; },
       L"The installation procedure will be reverted.\n\nThe Qel VBA Engine could not be registered (exit code "
       L"3).\n\nRegSvr32 'C:\\Windows\\system32\\wbentX.ocx' failed.\n\n\n",
       kError, IDOK, -1, -1},
      {"ShowExtensionNotFound", [] { return None(ShowExtensionNotFound); },
       L"The Qel Explorer Extension was not found in the installation.\nExplorer-statusbar information about .qel "
       L"files will not be available.\n\n\n",
       kWarning, IDOK, -1, -1},
      {"ShowExtensionRegisterFailed(null)", [] { ShowExtensionRegisterFailed(nullptr); return -1; },
       L"The Qel Explorer Extension could not be registered.\nExplorer-statusbar information about .qel files will "
       L"not be available.\nRegSvr32 '' failed.\n\n\n",
       kWarning, IDOK, -1, -1},
      {"AskRetryEngineCopy(Retry)", [] { return static_cast<int>(AskRetryEngineCopy(32)); },
       L"The Qel VBA Engine could not be copied into the system directory.\nThe most likely cause is that the Qel "
       L"VBA Engine is in use by another.\napplication. Please, close ALL other applications and click "
       L"retry.\nOtherwise the installation will be reverted.\n\nThe GetLastError() function returned: 32.\n\n\n",
       kError | MB_RETRYCANCEL, IDRETRY, 1, 0},
      {"AskRetryEngineCopy(Cancel)", [] { return static_cast<int>(AskRetryEngineCopy(5)); },
       L"The Qel VBA Engine could not be copied into the system directory.\nThe most likely cause is that the Qel "
       L"VBA Engine is in use by another.\napplication. Please, close ALL other applications and click "
       L"retry.\nOtherwise the installation will be reverted.\n\nThe GetLastError() function returned: 5.\n\n\n",
       kError | MB_RETRYCANCEL, IDCANCEL, 0, 0},
      {"AskRetryEngineCopy(no box)", [] { return static_cast<int>(AskRetryEngineCopy(0)); },
       L"The Qel VBA Engine could not be copied into the system directory.\nThe most likely cause is that the Qel "
       L"VBA Engine is in use by another.\napplication. Please, close ALL other applications and click "
       L"retry.\nOtherwise the installation will be reverted.\n\nThe GetLastError() function returned: 0.\n\n\n",
       kError | MB_RETRYCANCEL, 0, 0, 0},
      {"AskDeleteInstallDirContent", [] { return AskDeleteInstallDirContent(kPath); },
       L"The installation directory is not empty:\n'C:\\Program Files\\Tarnwell'\n\nPlease, select:\n\nYes: "
       L"\tDelete all files in the installation directory and continue.\nNo: \tDon't delete anything and "
       L"continue.\nCancel: \tAbort the installation.\n\n\n",
       kWarning | MB_YESNOCANCEL, IDNO, IDNO, IDYES},
      {"AskRetryDeleteFiles", [] { return AskRetryDeleteFiles(kPath); },
       L"Some files in directory \n'C:\\Program Files\\Tarnwell'\ncould not be deleted.\nThe most likely cause "
       L"might be that some files from this directory are\nin use by other applications. Please, close all other "
       L"applications and click retry.\n\nRetry: \tRetry to delete the files.\nIgnore: \tDon't delete files and "
       L"continue the installation.\nCancel: \tAbort the installation.\n\n\n",
       kWarning | MB_ABORTRETRYIGNORE, IDRETRY, IDRETRY, IDIGNORE},
  };
}

TEST(Messages, ShowTheirExactTextCaptionAndStyleAndReturnTheButton) {
  for (const MessageCase& c : Cases()) {
    QuietModeGuard quiet;
    QuietMode = false;
    BoxRecorder boxes;
    boxes.Answer({c.answer});
    EXPECT_EQ(c.show(), c.expected) << c.name;
    ASSERT_EQ(boxes.boxes.size(), 1u) << c.name;
    EXPECT_EQ(boxes.boxes[0].text, c.text) << c.name << "\n" << Narrow(boxes.boxes[0].text);
    EXPECT_EQ(boxes.boxes[0].caption, L"TARNWELL Setup") << c.name;
    EXPECT_EQ(boxes.boxes[0].style, c.style) << c.name;
    EXPECT_FALSE(boxes.boxes[0].hasOwner) << c.name;
  }
}

TEST(Messages, QuietModeShowsNothingAndGivesTheQuietAnswer) {
  for (const MessageCase& c : Cases()) {
    QuietModeGuard quiet;
    QuietMode = true;
    BoxRecorder boxes;
    EXPECT_EQ(c.show(), c.quietExpected) << c.name;
    EXPECT_TRUE(boxes.boxes.empty()) << c.name;
  }
}

// Nobody to see them: no box is shown, each gives what a box that could not be shown gives,
// and the trace names it. Decided once, from the window station, the session and how the
// helper was started, which the seam gives here.
TEST(Messages, NobodyToSeeThemShowsNoBoxAndCountsAsABoxThatCouldNotBeShown) {
  struct Viewer {
    const char* name;
    BOOL flagsRead, sessionRead;
    DWORD flags, session, startFlags;
    WORD show;
    bool seen;
  };
  const Viewer viewers[] = {
      {"an interactive start", TRUE, TRUE, WSF_VISIBLE, 1, 0, SW_HIDE, true},
      {"a window station nobody sees", TRUE, TRUE, 0, 1, 0, SW_SHOWNORMAL, false},
      {"session 0", TRUE, TRUE, WSF_VISIBLE, 0, 0, SW_SHOWNORMAL, false},
      {"started hidden", TRUE, TRUE, WSF_VISIBLE, 1, STARTF_USESHOWWINDOW, SW_HIDE, false},
      {"started minimised", TRUE, TRUE, WSF_VISIBLE, 1, STARTF_USESHOWWINDOW, SW_SHOWMINNOACTIVE, true},
      {"station flags that cannot be read", FALSE, TRUE, 0, 1, 0, SW_SHOWNORMAL, true},
      {"a session that cannot be read", TRUE, FALSE, WSF_VISIBLE, 0, 0, SW_SHOWNORMAL, true},
  };
  for (const Viewer& v : viewers) {
    QuietModeGuard quiet;
    QuietMode = false;
    WhoSeesBoxes = BoxViewer::NotDecided;
    int decisions = 0;
    ScopedOverride<HWINSTA()> station(Platform().GetProcessWindowStation, [&] {
      ++decisions;
      return reinterpret_cast<HWINSTA>(0x57a7);
    });
    ScopedOverride<BOOL(HANDLE, int, PVOID, DWORD, LPDWORD)> flags(
        Platform().GetUserObjectInformationW, [&](HANDLE, int index, PVOID info, DWORD size, LPDWORD) {
          if (index == UOI_NAME) {
            wcsncpy(static_cast<wchar_t*>(info), L"WinSta1", size / sizeof(wchar_t));
            return TRUE;
          }
          static_cast<USEROBJECTFLAGS*>(info)->dwFlags = v.flags;
          return v.flagsRead;
        });
    ScopedOverride<BOOL(DWORD, DWORD*)> session(Platform().ProcessIdToSessionId, [&](DWORD, DWORD* id) {
      *id = v.session;
      return v.sessionRead;
    });
    ScopedOverride<void(LPSTARTUPINFOW)> start(Platform().GetStartupInfoW, [&](LPSTARTUPINFOW info) {
      info->dwFlags = v.startFlags;
      info->wShowWindow = v.show;
    });
    TraceRecorder trace;
    for (const MessageCase& c : Cases()) {
      BoxRecorder boxes;
      boxes.Answer({c.answer});
      EXPECT_EQ(c.show(), v.seen ? c.expected : std::min(c.expected, 0)) << v.name << ": " << c.name;
      EXPECT_EQ(boxes.boxes.size(), v.seen ? 1u : 0u) << v.name << ": " << c.name;
      const std::string operation = std::string(c.name).substr(0, std::string(c.name).find('('));
      EXPECT_EQ(trace.Contains(std::wstring(operation.begin(), operation.end()) + L": nobody can see the box"), !v.seen)
          << v.name << ": " << c.name;
    }
    EXPECT_EQ(decisions, 1) << v.name << ": decided once";
    EXPECT_TRUE(trace.Contains(v.seen ? L"Message boxes are shown: window station <WinSta1>"
                                      : L"Message boxes are not shown, nobody can see them: window station <WinSta1>"))
        << v.name;
  }
}

TEST(Messages, AskQuestionsPassOnWhateverTheBoxReturned) {
  QuietModeGuard quiet;
  QuietMode = false;
  BoxRecorder boxes;
  boxes.Answer({IDYES, IDCANCEL, 0, IDABORT, IDIGNORE, 0});
  EXPECT_EQ(AskDeleteInstallDirContent(kPath), IDYES);
  EXPECT_EQ(AskDeleteInstallDirContent(kPath), IDCANCEL);
  EXPECT_EQ(AskDeleteInstallDirContent(kPath), 0);
  EXPECT_EQ(AskRetryDeleteFiles(kPath), IDABORT);
  EXPECT_EQ(AskRetryDeleteFiles(kPath), IDIGNORE);
  EXPECT_EQ(AskRetryDeleteFiles(kPath), 0);
}

TEST(Messages, AnOverlongPathIsCutAtTheBuffer) {
  QuietModeGuard quiet;
  QuietMode = false;
  BoxRecorder boxes;
  const std::wstring path(kPathChars - 1, L'p');
  ShowOtherEditionInstalled(path.c_str());
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text.size(), kPathChars - 1);
  EXPECT_EQ(boxes.boxes[0].text.substr(0, 44), L"The installation procedure will be reverted.");
}

}  // namespace
