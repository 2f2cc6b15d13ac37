#include "tasks/clean.h"

#include "base/files.h"
#include "base/messages.h"
#include "base/platform.h"
#include "base/systemfolders.h"
#include "base/text.h"
#include "base/unique.h"

namespace {

// The installation folder, opened once and held from the protected-folder check to the end
// of the last delete pass: nobody can rename, replace or remove it meanwhile, and everything
// below it is listed and deleted through this handle.
struct InstallFolder {
  UniqueFile handle;
  FolderOnDisk disk;
};

bool OpenInstallFolder(InstallFolder& folder, const wchar_t* path) {
  folder.handle.reset(OpenFolder(path, true));
  if (folder.handle.valid() && ReadFolderOnDisk(folder.handle.get(), folder.disk, kFolderAll)) return true;
  DebugLog(L"HandleCleanInstallDir: <%ls> cannot be opened, LastError: <%x>", path, Platform().GetLastError());
  folder.disk = FolderOnDisk();
  return false;
}

// An installer whose directory had been set to a drive root, a system folder or a user's
// folder would otherwise offer to empty it.
bool IsProtectedFolder(const wchar_t* path, const FolderOnDisk& disk) {
  const wchar_t* kind = ProtectedFolderKind(path, disk);
  if (kind == nullptr) return false;
  DebugLog(L"HandleCleanInstallDir: <%ls> is %ls: its content is never deleted, nothing is asked or deleted", path,
           kind);
  return true;
}

// A junction or link at the folder's own name would have its target emptied, a folder that
// the user never named.
bool IsLinkToElsewhere(const wchar_t* path, const FolderOnDisk& disk) {
  PathBuffer target = {};
  if (!IsLinkAtItsName(path, disk, target)) return false;
  DebugLog(L"HandleCleanInstallDir: <%ls> is a link to <%ls>: its content is never deleted, nothing is asked or "
           L"deleted",
           path, target);
  return true;
}

// While a question is on screen, whoever may write the folder's parent can put a link to
// another folder in its place: the path must still name the folder that was checked.
bool StillTheFolderChecked(const wchar_t* path, const FolderOnDisk& checked) {
  UniqueFile handle(OpenFolder(path, false));
  FolderOnDisk now;
  if (handle.valid() && ReadFolderOnDisk(handle.get(), now, kFolderAll) && SameFolderOnDisk(now, checked)) return true;
  DebugLog(L"HandleCleanInstallDir: <%ls> no longer names the folder that was checked (<%ls>, now <%ls>): nothing is "
           L"deleted",
           path, checked.finalPath, now.finalPath);
  return false;
}

// Deletes until everything is gone or the user gives up; files in use can be retried.
int DeleteContentWithRetry(const wchar_t* path, const InstallFolder& folder) {
  for (;;) {
    if (!StillTheFolderChecked(path, folder.disk)) return 1;
    const int result = DeleteFilesAndFoldersRecursiv(path, folder.handle.get());
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
  InstallFolder folder;
  const bool opened = OpenInstallFolder(folder, path);
  if (IsProtectedFolder(path, folder.disk)) return 0;
  // What cannot be held cannot be checked again before the delete.
  if (!opened) {
    ShowInstallDirNotFound(path);
    return 1;
  }
  if (IsLinkToElsewhere(path, folder.disk)) return 0;

  const int content = CheckIfFolderHasContent(folder.handle.get());
  if (content == kDirUnlistable) {
    ShowInstallDirNotFound(path);
    return 1;
  }
  if (content == kDirEmpty) return 0;

  const int answer = AskDeleteInstallDirContent(path);
  if (answer == IDCANCEL) return 1;
  if (answer != IDYES) return 0;  // No, or a box that could not be shown: nothing is deleted
  return DeleteContentWithRetry(path, folder);
}
