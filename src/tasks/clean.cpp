#include "tasks/clean.h"

#include "base/files.h"
#include "base/messages.h"
#include "base/platform.h"
#include "base/text.h"

namespace {

// Folders whose content no installation directory may wipe. An installer whose directory
// had been set to one of them would otherwise offer to empty a desktop or a whole drive.
struct ProtectedFolder {
  int csidl;
  const wchar_t* what;
};

const ProtectedFolder kProtectedFolders[] = {
    {CSIDL_WINDOWS, L"the Windows folder"},
    {CSIDL_SYSTEM, L"a system folder"},
    {CSIDL_SYSTEMX86, L"a system folder"},
    {CSIDL_PROGRAM_FILES, L"a Program Files folder"},
    {CSIDL_PROGRAM_FILESX86, L"a Program Files folder"},
    {CSIDL_PROGRAM_FILES_COMMON, L"a Program Files folder"},
    {CSIDL_PROGRAM_FILES_COMMONX86, L"a Program Files folder"},
    {CSIDL_PROFILE, L"a user's profile folder"},
    {CSIDL_DESKTOPDIRECTORY, L"a user's Desktop folder"},
    {CSIDL_PERSONAL, L"a user's Documents folder"},
    {CSIDL_COMMON_DESKTOPDIRECTORY, L"a user's Desktop folder"},
    {CSIDL_COMMON_DOCUMENTS, L"a user's Documents folder"},
};

// Below the folder that holds the profiles, these folders of every profile.
const wchar_t* const kProfileSubfolders[] = {L"Desktop", L"Documents"};

size_t Length(const wchar_t* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// A path in the form in which folders are compared: normalised, without a "\\?\" or
// "\\.\" device prefix, and without trailing backslashes ("C:\" becomes "C:"). False when
// the path does not fit.
bool ComparableForm(wchar_t* form, const wchar_t* path) {
  PathBuffer normalized = {};
  if (!ConcatPath(normalized, path, nullptr)) return false;
  const wchar_t* rest = normalized;
  PathBuffer unc = {};
  if (StartsWithNoCase(rest, L"\\\\?\\") || StartsWithNoCase(rest, L"\\\\.\\")) {
    rest += 4;
    if (StartsWithNoCase(rest, L"UNC\\")) {
      if (!ConcatPath(unc, L"\\\\", rest + 4)) return false;
      rest = unc;
    }
  }
  size_t length = Length(rest);
  for (size_t i = 0; i <= length; ++i) form[i] = rest[i];
  while (length > 0 && form[length - 1] == L'\\') form[--length] = 0;
  return true;
}

// The form of a drive root: "" (the current drive's "\"), "X:", "\\server\share" or a
// volume name such as "Volume{...}".
bool IsDriveRoot(const wchar_t* form) {
  if (form[0] == 0) return true;
  if (form[0] != 0 && form[1] == L':' && form[2] == 0) return true;
  if (StartsWithNoCase(form, L"Volume{")) return true;
  if (!StartsWithNoCase(form, L"\\\\")) return false;
  int separators = 0;
  for (const wchar_t* c = form + 2; *c != 0; ++c) {
    if (*c == L'\\') ++separators;
  }
  return separators <= 1;
}

// Cuts the last component off a comparable form; false when there is none.
bool ParentForm(wchar_t* form) {
  size_t length = Length(form);
  while (length > 0 && form[length - 1] != L'\\') --length;
  if (length == 0) return false;
  form[length - 1] = 0;
  return true;
}

const wchar_t* LastComponent(const wchar_t* form) {
  const wchar_t* last = form;
  for (const wchar_t* c = form; *c != 0; ++c) {
    if (*c == L'\\') last = c + 1;
  }
  return last;
}

bool SpecialFolderForm(wchar_t* form, int csidl) {
  PathBuffer folder = {};
  return Platform().SHGetSpecialFolderPathW(nullptr, folder, csidl, FALSE) && folder[0] != 0 &&
         ComparableForm(form, folder);
}

// The folder holding the profiles, any profile in it, and a profile's Desktop or Documents.
const wchar_t* ProfileFolderKind(const wchar_t* form) {
  PathBuffer profiles = {};
  if (!SpecialFolderForm(profiles, CSIDL_PROFILE) || !ParentForm(profiles) || IsDriveRoot(profiles)) return nullptr;
  PathBuffer parent = {};
  PathBuffer grandparent = {};
  ConcatPath(parent, form, nullptr);
  const bool hasParent = ParentForm(parent);
  ConcatPath(grandparent, parent, nullptr);
  const bool hasGrandparent = hasParent && ParentForm(grandparent);
  if (EqualsNoCase(form, profiles)) return L"the folder that holds the user profiles";
  if (hasParent && EqualsNoCase(parent, profiles)) return L"a user's profile folder";
  if (!hasGrandparent || !EqualsNoCase(grandparent, profiles)) return nullptr;
  for (const wchar_t* subfolder : kProfileSubfolders) {
    if (EqualsNoCase(LastComponent(form), subfolder)) return L"a user's Desktop or Documents folder";
  }
  return nullptr;
}

// What the folder in this form is, when it is one whose content must never be deleted.
const wchar_t* ProtectedKind(const wchar_t* form) {
  if (IsDriveRoot(form)) return L"a drive root";
  for (const ProtectedFolder& folder : kProtectedFolders) {
    PathBuffer special = {};
    if (SpecialFolderForm(special, folder.csidl) && EqualsNoCase(form, special)) return folder.what;
  }
  return ProfileFolderKind(form);
}

// Checks the path as given and as the system resolves it: "C:\Windows\.", "C:" or "\"
// name a protected folder too.
bool IsProtectedFolder(const wchar_t* path) {
  if (path == nullptr) return false;
  PathBuffer full = {};
  const DWORD length = Platform().GetFullPathNameW(path, kPathChars, full, nullptr);
  const wchar_t* candidates[] = {path, length > 0 && length < kPathChars ? full : nullptr};
  for (const wchar_t* candidate : candidates) {
    PathBuffer form = {};
    if (candidate == nullptr || !ComparableForm(form, candidate)) continue;
    const wchar_t* kind = ProtectedKind(form);
    if (kind == nullptr) continue;
    DebugLog(L"HandleCleanInstallDir: <%s> is %s: its content is never deleted, nothing is asked or deleted", path,
             kind);
    return true;
  }
  return false;
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
