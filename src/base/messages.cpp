#include "base/messages.h"

#include "base/platform.h"
#include "base/text.h"

bool QuietMode = false;
BoxViewer WhoSeesBoxes = BoxViewer::NotDecided;

namespace {

const wchar_t kCaption[] = L"TARNWELL Setup";
const wchar_t kOk[] = L"OK";

const wchar_t* OrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

// The window station's flags, read where they can be; flags that cannot be read count as
// visible, as is the practice on Windows.
bool StationIsVisible(HWINSTA station, wchar_t* remark) {
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (station == nullptr || !Platform().GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed)) {
    PrintToBuffer(remark, L"cannot be read (LastError <%x>): counted as visible", Platform().GetLastError());
    return true;
  }
  PrintToBuffer(remark, L"<%x>", flags.dwFlags);
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

BoxViewer DecideWhoSeesBoxes() {
  PlatformCalls& platform = Platform();
  const HWINSTA station = platform.GetProcessWindowStation();  // the process's own: never closed
  wchar_t name[64] = {};
  DWORD needed = 0;
  if (station == nullptr || !platform.GetUserObjectInformationW(station, UOI_NAME, name, sizeof(name) - 2, &needed)) {
    name[0] = 0;
  }
  PathBuffer flags = {};
  const bool stationVisible = StationIsVisible(station, flags);
  DWORD session = 0;
  const bool sessionRead = platform.ProcessIdToSessionId(platform.GetCurrentProcessId(), &session) != FALSE;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  platform.GetStartupInfoW(&startup);
  const bool startedHidden = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;
  const bool nobody = !stationVisible || (sessionRead && session == 0) || startedHidden;
  DebugLog(L"Message boxes %ls: window station <%ls> flags %ls, session <%u>%ls, start flags <%x> show <%u>",
           nobody ? L"are not shown, nobody can see them" : L"are shown", name, flags, session,
           sessionRead ? L"" : L" (cannot be read)", startup.dwFlags, startup.wShowWindow);
  return nobody ? BoxViewer::Nobody : BoxViewer::Someone;
}

// Shows one owner-less, system-modal box, or returns the quiet answer without showing it. A
// box that nobody can see is not shown either: it gives 0, which its caller takes as
// unseenAnswer, and the trace says so.
int ShowBox(const wchar_t* name, const wchar_t* text, UINT iconAndButtons, int quietAnswer,
            const wchar_t* unseenAnswer) {
  if (QuietMode) return quietAnswer;
  if (WhoSeesBoxes == BoxViewer::NotDecided) WhoSeesBoxes = DecideWhoSeesBoxes();
  if (WhoSeesBoxes == BoxViewer::Nobody) {
    DebugLog(L"%ls: nobody can see the box, it is not shown; taken as: %ls", name, unseenAnswer);
    return 0;
  }
  return Platform().MessageBoxW(nullptr, text, kCaption, MB_SYSTEMMODAL | iconAndButtons);
}

void ShowError(const wchar_t* name, const wchar_t* text) { ShowBox(name, text, MB_ICONERROR, 0, kOk); }

void ShowErrorWithPath(const wchar_t* name, const wchar_t* format, const wchar_t* path) {
  PathBuffer text = {};
  PrintToBuffer(text, format, OrEmpty(path));
  ShowError(name, text);
}

}  // namespace

void ShowInvalidParameters() {
  ShowError(
      L"ShowInvalidParameters",
      L"The installation procedure will be reverted.\n\n"
      L"The QelInstallHelper was called with invalid command line parameters.\n\n"
      L"Usage: QelInstallHelper.exe <command> <installation directory>\n\n\n");
}

void ShowInvalidEditionParameters() {
  ShowError(
      L"ShowInvalidEditionParameters",
      L"The QelInstallHelper was called with invalid command line parameters.\n\n"
      L"Usage: QelInstallHelper.exe checkedition <edition type>\n\n\n");
}

void ShowInstallDirNotFound(const wchar_t* path) {
  ShowErrorWithPath(
      L"ShowInstallDirNotFound",
      L"The installation procedure will be reverted.\n\n"
      L"The installation directory of the Tarnwell could not be found.\nPath: '%ls'.\nCould not be accessed.\n\n",
      path);
}

void ShowSystemDirNotFound(const wchar_t* path) {
  ShowErrorWithPath(
      L"ShowSystemDirNotFound",
      L"The installation procedure will be reverted.\n\n"
      L"The system directory could not be found.\nPath: '%ls'.\nCould not be accessed.\n\n\n\n",
      path);
}

void ShowOtherEditionInstalled(const wchar_t* path) {
  ShowErrorWithPath(
      L"ShowOtherEditionInstalled",
      L"The installation procedure will be reverted.\n\n"
      L"It seems that a different edition (student or commercial) of the Tarnwell is already installed in:\n"
      L"Path: '%ls'.\n\n"
      L"Please, uninstall the Tarnwell before installing a different edition.\n\n",
      path);
}

void ShowEngineNotFound() {
  ShowError(
      L"ShowEngineNotFound",
      L"The installation procedure will be reverted.\n\n"
      L"The Qel VBA Engine was not found in the installtion.\n\n\n");
}

void ShowEngineRegisterFailed(const wchar_t* path, int exitCode) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"The installation procedure will be reverted.\n\n"
                L"The Qel VBA Engine could not be registered (exit code %d).\n\n"
                L"RegSvr32 '%ls' failed.\n\n\n",
                exitCode, OrEmpty(path));
  ShowError(L"ShowEngineRegisterFailed", text);
}

void ShowExtensionNotFound() {
  ShowBox(
      L"ShowExtensionNotFound",
      L"The Qel Explorer Extension was not found in the installation.\n"
      L"Explorer-statusbar information about .qel files will not be available.\n\n\n",
      MB_ICONWARNING, 0, kOk);
}

void ShowExtensionRegisterFailed(const wchar_t* path) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"The Qel Explorer Extension could not be registered.\n"
                L"Explorer-statusbar information about .qel files will not be available.\n"
                L"RegSvr32 '%ls' failed.\n\n\n",
                OrEmpty(path));
  ShowBox(L"ShowExtensionRegisterFailed", text, MB_ICONWARNING, 0, kOk);
}

void ShowExtensionUnregisterFailed(const wchar_t* path) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"The Qel Explorer Extension could not be unregistered.\n"
                L"The uninstallation will continue.\n"
                L"RegSvr32 /u '%ls' failed.\n\n\n",
                OrEmpty(path));
  ShowBox(L"ShowExtensionUnregisterFailed", text, MB_ICONWARNING, 0, kOk);
}

void ShowEngineRemoveFailed(const wchar_t* systemDir) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"The Qel VBA Engine could not be removed from the system directory.\n"
                L"It stays there, registered, as it was before the uninstallation.\n"
                L"Path: '%ls'.\n"
                L"The uninstallation will continue.\n\n\n",
                OrEmpty(systemDir));
  ShowBox(L"ShowEngineRemoveFailed", text, MB_ICONWARNING, 0, kOk);
}

bool AskRetryEngineCopy(DWORD error) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"The Qel VBA Engine could not be copied into the system directory.\n"
                L"The most likely cause is that the Qel VBA Engine is in use by another.\n"
                L"application. Please, close ALL other applications and click retry.\n"
                L"Otherwise the installation will be reverted.\n\n"
                L"The GetLastError() function returned: %d.\n\n\n",
                static_cast<int>(error));
  const int quietAnswer = IDCANCEL;  // a silent installation is reverted, never retried
  const wchar_t unseenAnswer[] = L"Cancel, no retry";
  return ShowBox(L"AskRetryEngineCopy", text, MB_ICONERROR | MB_RETRYCANCEL, quietAnswer, unseenAnswer) == IDRETRY;
}

int AskDeleteInstallDirContent(const wchar_t* path) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"The installation directory is not empty:\n'%ls'\n\n"
                L"Please, select:\n\n"
                L"Yes: \tDelete all files in the installation directory and continue.\n"
                L"No: \tDon't delete anything and continue.\n"
                L"Cancel: \tAbort the installation.\n\n\n",
                OrEmpty(path));
  const int quietAnswer = IDYES;  // delete and continue
  // Nobody agreed to delete anything: keep it all and go on.
  const wchar_t unseenAnswer[] = L"no answer, nothing is deleted and the installation goes on";
  return ShowBox(L"AskDeleteInstallDirContent", text, MB_ICONWARNING | MB_YESNOCANCEL, quietAnswer, unseenAnswer);
}

int AskRetryDeleteFiles(const wchar_t* path) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"Some files in directory \n'%ls'\ncould not be deleted.\n"
                L"The most likely cause might be that some files from this directory are\n"
                L"in use by other applications. Please, close all other applications and click retry.\n\n"
                L"Retry: \tRetry to delete the files.\n"
                L"Ignore: \tDon't delete files and continue the installation.\n"
                L"Cancel: \tAbort the installation.\n\n\n",
                OrEmpty(path));
  const int quietAnswer = IDIGNORE;  // continue without deleting
  const wchar_t unseenAnswer[] = L"Ignore, the installation goes on";
  return ShowBox(L"AskRetryDeleteFiles", text, MB_ICONWARNING | MB_ABORTRETRYIGNORE, quietAnswer, unseenAnswer);
}
