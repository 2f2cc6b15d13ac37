#include "base/messages.h"

#include "base/platform.h"
#include "base/text.h"

bool QuietMode = false;

namespace {

const wchar_t kCaption[] = L"TARNWELL Setup";

const wchar_t* OrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

// Shows one owner-less, system-modal box, or returns the quiet answer without showing it.
int ShowBox(const wchar_t* text, UINT iconAndButtons, int quietAnswer) {
  if (QuietMode) return quietAnswer;
  return Platform().MessageBoxW(nullptr, text, kCaption, MB_SYSTEMMODAL | iconAndButtons);
}

void ShowError(const wchar_t* text) { ShowBox(text, MB_ICONERROR, 0); }

void ShowErrorWithPath(const wchar_t* format, const wchar_t* path) {
  PathBuffer text = {};
  PrintToBuffer(text, format, OrEmpty(path));
  ShowError(text);
}

}  // namespace

void ShowInvalidParameters() {
  ShowError(
      L"The installation procedure will be reverted.\n\n"
      L"The QelInstallHelper was called with invalid command line parameters.\n\n"
      L"Usage: QelInstallHelper.exe <command> <installation directory>\n\n\n");
}

void ShowInvalidEditionParameters() {
  ShowError(
      L"The QelInstallHelper was called with invalid command line parameters.\n\n"
      L"Usage: QelInstallHelper.exe checkedition <edition type>\n\n\n");
}

void ShowInstallDirNotFound(const wchar_t* path) {
  ShowErrorWithPath(
      L"The installation procedure will be reverted.\n\n"
      L"The installation directory of the Tarnwell could not be found.\nPath: '%s'.\nCould not be accessed.\n\n",
      path);
}

void ShowSystemDirNotFound(const wchar_t* path) {
  ShowErrorWithPath(
      L"The installation procedure will be reverted.\n\n"
      L"The system directory could not be found.\nPath: '%s'.\nCould not be accessed.\n\n\n\n",
      path);
}

void ShowOtherEditionInstalled(const wchar_t* path) {
  ShowErrorWithPath(
      L"The installation procedure will be reverted.\n\n"
      L"It seems that a different edition (student or commercial) of the Tarnwell is already installed in:\n"
      L"Path: '%s'.\n\n"
      L"Please, uninstall the Tarnwell before installing a different edition.\n\n",
      path);
}

void ShowEngineNotFound() {
  ShowError(
      L"The installation procedure will be reverted.\n\n"
      L"The Qel VBA Engine was not found in the installtion.\n\n\n");
}

void ShowEngineRegisterFailed(const wchar_t* path, int exitCode) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"The installation procedure will be reverted.\n\n"
                L"The Qel VBA Engine could not be registered (exit code %d).\n\n"
                L"RegSvr32 '%s' failed.\n\n\n",
                exitCode, OrEmpty(path));
  ShowError(text);
}

void ShowExtensionNotFound() {
  ShowBox(
      L"The Qel Explorer Extension was not found in the installation.\n"
      L"Explorer-statusbar information about .qel files will not be available.\n\n\n",
      MB_ICONWARNING, 0);
}

void ShowExtensionRegisterFailed(const wchar_t* path) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"The Qel Explorer Extension could not be registered.\n"
                L"Explorer-statusbar information about .qel files will not be available.\n"
                L"RegSvr32 '%s' failed.\n\n\n",
                OrEmpty(path));
  ShowBox(text, MB_ICONWARNING, 0);
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
  return ShowBox(text, MB_ICONERROR | MB_RETRYCANCEL, quietAnswer) == IDRETRY;
}

int AskDeleteInstallDirContent(const wchar_t* path) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"The installation directory is not empty:\n'%s'\n\n"
                L"Please, select:\n\n"
                L"Yes: \tDelete all files in the installation directory and continue.\n"
                L"No: \tDon't delete anything and continue.\n"
                L"Cancel: \tAbort the installation.\n\n\n",
                OrEmpty(path));
  const int quietAnswer = IDYES;  // delete and continue
  return ShowBox(text, MB_ICONWARNING | MB_YESNOCANCEL, quietAnswer);
}

int AskRetryDeleteFiles(const wchar_t* path) {
  PathBuffer text = {};
  PrintToBuffer(text,
                L"Some files in directory \n'%s'\ncould not be deleted.\n"
                L"The most likely cause might be that some files from this directory are\n"
                L"in use by other applications. Please, close all other applications and click retry.\n\n"
                L"Retry: \tRetry to delete the files.\n"
                L"Ignore: \tDon't delete files and continue the installation.\n"
                L"Cancel: \tAbort the installation.\n\n\n",
                OrEmpty(path));
  const int quietAnswer = IDIGNORE;  // continue without deleting
  return ShowBox(text, MB_ICONWARNING | MB_ABORTRETRYIGNORE, quietAnswer);
}
