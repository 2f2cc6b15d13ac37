#include "tasks/clean.h"

#include "base/files.h"
#include "base/messages.h"
#include "base/platform.h"
#include "base/systemfolders.h"
#include "base/text.h"

namespace {

// An installer whose directory had been set to a drive root, a system folder or a user's
// folder would otherwise offer to empty it.
bool IsProtectedFolder(const wchar_t* path) {
  const wchar_t* kind = ProtectedFolderKind(path);
  if (kind == nullptr) return false;
  DebugLog(L"HandleCleanInstallDir: <%s> is %s: its content is never deleted, nothing is asked or deleted", path, kind);
  return true;
}

// Deletes until everything is gone or the user gives up; files in use can be retried.
int DeleteContentWithRetry(const wchar_t* path) {
  for (;;) {
    const int result = DeleteFilesAndFoldersRecursiv(path);
    if (result == kDirUnlistable) {
      ShowInstallDirNotFound(path);
      return 1;
    }
    if (result == kDirEmpty) return 0;
    const int answer = AskRetryDeleteFiles(path);
    if (answer == IDIGNORE) return 0;
    if (answer == IDABORT) return 1;
    if (answer == 0) {
      // Retrying without anyone to ask would never end: go on as with Ignore.
      DebugLog(L"HandleCleanInstallDir: the retry question could not be shown, LastError: <%x>; continuing",
               Platform().GetLastError());
      return 0;
    }
  }
}

}  // namespace

int HandleCleanInstallDir(const wchar_t* path) {
  QEL_TRACE();
  if (IsProtectedFolder(path)) return 0;

  const int content = CheckIfDirHasContent(path);
  if (content == kDirUnlistable) {
    ShowInstallDirNotFound(path);
    return 1;
  }
  if (content == kDirEmpty) return 0;

  const int answer = AskDeleteInstallDirContent(path);
  if (answer == IDCANCEL) return 1;
  if (answer != IDYES) return 0;  // No, or a box that could not be shown: nothing is deleted
  return DeleteContentWithRetry(path);
}
