#include "base/systemfolders.h"

#include <cwchar>

#include "base/files.h"
#include "base/platform.h"
#include "base/text.h"
#include "base/unique.h"

namespace {

struct SpecialFolder {
  int csidl;
  const wchar_t* what;
};

// The folders that the system names itself, for the account that runs the helper and for all.
const SpecialFolder kSpecialFolders[] = {
    {CSIDL_WINDOWS, L"the Windows folder"},
    {CSIDL_SYSTEM, L"a system folder"},
    {CSIDL_SYSTEMX86, L"a system folder"},
    {CSIDL_PROGRAM_FILES, L"a Program Files folder"},
    {CSIDL_PROGRAM_FILESX86, L"a Program Files folder"},
    {CSIDL_PROGRAM_FILES_COMMON, L"a Program Files folder"},
    {CSIDL_PROGRAM_FILES_COMMONX86, L"a Program Files folder"},
    {CSIDL_COMMON_APPDATA, L"the ProgramData folder"},
    {CSIDL_PROFILE, L"a user's profile folder"},
    {CSIDL_DESKTOPDIRECTORY, L"a user's Desktop folder"},
    {CSIDL_PERSONAL, L"a user's Documents folder"},
    {CSIDL_APPDATA, L"a user's AppData folder"},
    {CSIDL_LOCAL_APPDATA, L"a user's AppData folder"},
    {CSIDL_MYMUSIC, L"a user's Music folder"},
    {CSIDL_MYPICTURES, L"a user's Pictures folder"},
    {CSIDL_MYVIDEO, L"a user's Videos folder"},
    {CSIDL_COMMON_DESKTOPDIRECTORY, L"a user's Desktop folder"},
    {CSIDL_COMMON_DOCUMENTS, L"a user's Documents folder"},
};

// The folders of every profile, below the folder that holds the profiles.
struct ProfileFolder {
  int depth;  // components below the profile
  const wchar_t* subfolder;
  const wchar_t* what;
};

const ProfileFolder kProfileFolders[] = {
    {0, nullptr, L"a user's profile folder"},
    {1, L"Desktop", L"a user's Desktop folder"},
    {1, L"Documents", L"a user's Documents folder"},
    {1, L"AppData", L"a user's AppData folder"},
    {1, L"Downloads", L"a user's Downloads folder"},
    {1, L"Music", L"a user's Music folder"},
    {1, L"Pictures", L"a user's Pictures folder"},
    {1, L"Videos", L"a user's Videos folder"},
    {2, L"AppData\\Local", L"a user's AppData folder"},
    {2, L"AppData\\LocalLow", L"a user's AppData folder"},
    {2, L"AppData\\Roaming", L"a user's AppData folder"},
};
const int kDeepestProfileFolder = 2;

size_t Length(const wchar_t* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// A path in the form in which folders are compared as text: normalised, without a "\\?\"
// or "\\.\" device prefix, and without trailing backslashes ("C:\" becomes "C:"). False
// when the path does not fit.
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
// volume name such as "Volume{...}" (a folder below it is no root).
bool IsDriveRoot(const wchar_t* form) {
  if (form[0] == 0) return true;
  if (form[1] == L':' && form[2] == 0) return true;
  if (StartsWithNoCase(form, L"Volume{")) return wcschr(form, L'\\') == nullptr;
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

// The form of the drive root that path lies on.
bool RootForm(wchar_t* root, const wchar_t* path) {
  if (!ComparableForm(root, path)) return false;
  while (!IsDriveRoot(root)) {
    if (!ParentForm(root)) return false;
  }
  return true;
}

// One folder as it is compared: its text as given and as the system resolves it ("C:",
// "\" and "C:\Windows\." name other folders than their text says), and, where it could be
// opened, its identity and its final path (in the same form as the texts), which are the
// same under every name of the folder.
struct ComparedFolder {
  PathBuffer given = {};
  PathBuffer full = {};
  FolderOnDisk disk;
};

// False when the path is missing or does not fit. disk is the folder as its handle showed
// it, or nothing known.
bool DescribeText(ComparedFolder& folder, const wchar_t* path, const FolderOnDisk& disk) {
  if (path == nullptr || !ComparableForm(folder.given, path)) return false;
  PathBuffer full = {};
  if (!FullPathName(full, path) || !ComparableForm(folder.full, full)) {
    ConcatPath(folder.full, folder.given, nullptr);
  }
  folder.disk = disk;
  if (!ComparableForm(folder.disk.finalPath, disk.finalPath)) folder.disk.finalPath[0] = 0;
  return true;
}

// Opens the folder for nothing but its attributes, following a junction or link to its target.
bool Describe(ComparedFolder& folder, const wchar_t* path) {
  FolderOnDisk disk;
  UniqueFile handle(OpenFolder(path, false));
  if (!handle.valid() || !ReadFolderOnDisk(handle.get(), disk, kFolderAll)) disk = FolderOnDisk();
  return DescribeText(folder, path, disk);
}

bool SameText(const wchar_t* a, const wchar_t* b) { return a[0] != 0 && EqualsNoCase(a, b); }

bool SameFolder(const ComparedFolder& a, const ComparedFolder& b) {
  const FolderOnDisk& diskA = a.disk;
  const FolderOnDisk& diskB = b.disk;
  if (diskA.idKind != FolderIdKind::None && diskA.idKind == diskB.idKind) return SameFolderOnDisk(diskA, diskB);
  const wchar_t* textsA[] = {a.given, a.full, diskA.finalPath};
  const wchar_t* textsB[] = {b.given, b.full, diskB.finalPath};
  for (const wchar_t* textA : textsA) {
    for (const wchar_t* textB : textsB) {
      if (SameText(textA, textB)) return true;
    }
  }
  return false;
}

bool IsFolder(const ComparedFolder& folder, const wchar_t* path) {
  ComparedFolder other;
  return Describe(other, path) && SameFolder(folder, other);
}

bool SpecialFolderPath(wchar_t* path, int csidl) {
  return Platform().SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE) && path[0] != 0;
}

// A drive root by its text, by what it is on disk (a junction or link to a root, a volume
// mounted in a folder), or the root of its own drive or of the system's under another name.
bool IsDriveRootFolder(const ComparedFolder& folder) {
  const wchar_t* finalPath = folder.disk.finalPath;
  if (IsDriveRoot(folder.given) || IsDriveRoot(folder.full) || (finalPath[0] != 0 && IsDriveRoot(finalPath))) {
    return true;
  }
  PathBuffer windows = {};
  const wchar_t* paths[] = {folder.full, SpecialFolderPath(windows, CSIDL_WINDOWS) ? windows : nullptr};
  for (const wchar_t* path : paths) {
    PathBuffer root = {};
    if (path != nullptr && RootForm(root, path) && ConcatPath(root, root, L"\\") && IsFolder(folder, root)) return true;
  }
  return false;
}

const wchar_t* SpecialFolderKind(const ComparedFolder& folder) {
  for (const SpecialFolder& special : kSpecialFolders) {
    PathBuffer path = {};
    if (SpecialFolderPath(path, special.csidl) && IsFolder(folder, path)) return special.what;
  }
  return nullptr;
}

// Where the profiles lie: as the system names that folder, whichever account runs the
// helper (the system account's own profile lies below system32), and above the running
// account's own profile, wherever that is kept.
bool ProfilesFolderPath(wchar_t* path, int which) {
  if (which == 0) {
    DWORD size = kPathChars;
    return Platform().GetProfilesDirectoryW(path, &size) && path[0] != 0;
  }
  PathBuffer profile = {};
  return SpecialFolderPath(profile, CSIDL_PROFILE) && ComparableForm(path, profile) && ParentForm(path) &&
         !IsDriveRoot(path);
}

// folder, reached along the path along, is a profile or one of a profile's folders: for each
// ancestor that is the profiles folder, the profile is the ancestor's child on the way down.
const wchar_t* ProfileFolderKindAlong(const ComparedFolder& folder, const ComparedFolder& profiles,
                                      const wchar_t* along) {
  PathBuffer profile = {};
  ConcatPath(profile, along, nullptr);
  for (int depth = 0; depth <= kDeepestProfileFolder; ++depth) {
    PathBuffer ancestor = {};
    ConcatPath(ancestor, profile, nullptr);
    if (!ParentForm(ancestor) || IsDriveRoot(ancestor)) return nullptr;
    if (IsFolder(profiles, ancestor)) {
      for (const ProfileFolder& known : kProfileFolders) {
        if (known.depth != depth) continue;
        PathBuffer path = {};
        const bool built = known.subfolder == nullptr ||
                           (ConcatPath(path, profile, L"\\") && ConcatPath(path, path, known.subfolder));
        if (built && IsFolder(folder, known.subfolder == nullptr ? profile : path)) return known.what;
      }
      return nullptr;
    }
    ParentForm(profile);
  }
  return nullptr;
}

// The profiles folder itself, a profile in it or one of a profile's folders, along the path
// the system resolves and along the folder's final path (a link to another user's Documents).
const wchar_t* ProfileFolderKind(const ComparedFolder& folder, const ComparedFolder& profiles) {
  if (SameFolder(folder, profiles)) return L"the folder that holds the user profiles";
  const wchar_t* finalPath = folder.disk.finalPath;
  if (finalPath[0] != 0 && !EqualsNoCase(finalPath, folder.full)) {
    if (const wchar_t* kind = ProfileFolderKindAlong(folder, profiles, finalPath)) return kind;
  }
  return ProfileFolderKindAlong(folder, profiles, folder.full);
}

}  // namespace

const wchar_t* ProtectedFolderKind(const wchar_t* path, const FolderOnDisk& held) {
  ComparedFolder folder;
  if (!DescribeText(folder, path, held)) return nullptr;
  if (IsDriveRootFolder(folder)) return L"a drive root";
  if (const wchar_t* kind = SpecialFolderKind(folder)) return kind;
  for (int which = 0; which < 2; ++which) {
    PathBuffer profilesPath = {};
    ComparedFolder profiles;
    if (!ProfilesFolderPath(profilesPath, which) || !Describe(profiles, profilesPath)) continue;
    if (const wchar_t* kind = ProfileFolderKind(folder, profiles)) return kind;
  }
  return nullptr;
}
