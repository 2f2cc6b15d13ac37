#include "base/files.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "base/platform.h"
#include "base/text.h"
#include "base/unique.h"

namespace {

// The helper's own executable may lie in the directory it cleans and cannot delete itself
// while it runs; such a file is not counted as a failure.
const wchar_t kHelperFileName[] = L"QelInstallHelper.exe";

const DWORD kReadOnlyAndSystem = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;
const DWORD kReadOnlyAndHidden = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;

const wchar_t* OrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

bool IsDirectoryEntry(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Junctions, symbolic links and mount points: their target may lie anywhere.
bool IsLinkEntry(const WIN32_FIND_DATAW& entry) { return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Starts a listing of dir + "\*.*". An empty directory is refused like a null one: its
// pattern would list the root of the current drive.
bool OpenListing(const wchar_t* dir, UniqueFind& listing, WIN32_FIND_DATAW& entry) {
  if (dir == nullptr || dir[0] == 0) return false;
  PathBuffer pattern = {};
  if (!ExtendedLengthPath(pattern, dir) || !ConcatPath(pattern, pattern, L"\\") ||
      !ConcatPath(pattern, pattern, L"*.*")) {
    return false;
  }
  entry = {};
  listing.reset(Platform().FindFirstFileW(pattern, &entry));
  return listing.valid();
}

// The delete calls, given the extended-length form of the path: a deep entry or one whose
// name ends in a dot or a space can be deleted too.
bool DeleteFilePath(const wchar_t* path) {
  PathBuffer extended = {};
  return ExtendedLengthPath(extended, path) && Platform().DeleteFileW(extended);
}

bool RemoveDirectoryPath(const wchar_t* path) {
  PathBuffer extended = {};
  return ExtendedLengthPath(extended, path) && Platform().RemoveDirectoryW(extended);
}

// True when the listing ended because every entry was seen, not through an error.
bool ListingComplete() { return Platform().GetLastError() == ERROR_NO_MORE_FILES; }

// FILE_ID_INFO, which the system gives from Windows 8 on.
struct FileIdInformation {
  ULONGLONG volume;
  BYTE id[16];
};
const FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

bool MeansNoId(const BYTE* id, size_t size) {
  bool zeros = true;
  bool ones = true;
  for (size_t i = 0; i < size; ++i) {
    zeros = zeros && id[i] == 0;
    ones = ones && id[i] == 0xFF;
  }
  return zeros || ones;
}

// The 128-bit id where the system gives one, the 64-bit file index otherwise.
void ReadIdentity(HANDLE folder, const BY_HANDLE_FILE_INFORMATION& info, FolderOnDisk& disk) {
  FileIdInformation ids = {};
  if (Platform().GetFileInformationByHandleEx(folder, kFileIdInfo, &ids, sizeof(ids)) && !MeansNoId(ids.id, 16)) {
    disk.idKind = FolderIdKind::Id128;
    disk.volume = ids.volume;
    memcpy(disk.id, ids.id, sizeof(ids.id));
    return;
  }
  const ULONGLONG index = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  BYTE bytes[sizeof(index)] = {};
  memcpy(bytes, &index, sizeof(index));
  if (MeansNoId(bytes, sizeof(bytes))) return;
  disk.idKind = FolderIdKind::Index64;
  disk.volume = info.dwVolumeSerialNumber;
  memcpy(disk.id, bytes, sizeof(bytes));
}

// With the drive letter where the volume has one, by the volume's name otherwise.
void ReadFinalPath(HANDLE folder, wchar_t* finalPath) {
  PlatformCalls& platform = Platform();
  const DWORD flags = FILE_NAME_NORMALIZED;
  DWORD length = platform.GetFinalPathNameByHandleW(folder, finalPath, kPathChars, flags | VOLUME_NAME_DOS);
  if (length == 0 && platform.GetLastError() == ERROR_PATH_NOT_FOUND) {
    length = platform.GetFinalPathNameByHandleW(folder, finalPath, kPathChars, flags | VOLUME_NAME_GUID);
  }
  if (length == 0 || length >= kPathChars) finalPath[0] = 0;
}

// One directory being emptied by DeleteFilesAndFoldersRecursiv: its path, the folder as its
// handle shows it, held until the folder is removed, its open listing with the entry in
// hand, and its result so far. Levels are heap blocks chained to their parent, so a deep
// tree costs heap, not stack.
struct DeleteLevel {
  DeleteLevel* parent = nullptr;
  PathBuffer dir = {};
  FolderOnDisk disk;
  UniqueFile held;
  UniqueFind listing;
  WIN32_FIND_DATAW entry = {};
  int result = kDirEmpty;
};

std::unique_ptr<DeleteLevel> NewLevel(const wchar_t* dir) {
  std::unique_ptr<DeleteLevel> level(new (std::nothrow) DeleteLevel);
  if (level != nullptr && (dir == nullptr || !ConcatPath(level->dir, dir, nullptr))) level.reset();
  return level;
}

// Starts emptying the given directory: held by the caller, or opened and held here. False
// when it cannot be listed (or no memory is left for it).
bool EnterTopDirectory(DeleteLevel*& top, const wchar_t* dir, const FolderOnDisk* held) {
  std::unique_ptr<DeleteLevel> level = NewLevel(dir);
  if (level == nullptr || !OpenListing(level->dir, level->listing, level->entry)) return false;
  if (held != nullptr) {
    level->disk = *held;
  } else {
    level->held.reset(OpenFolder(dir, true, false));
    if (!level->held.valid() || !ReadFolderOnDisk(level->held.get(), level->disk, kFolderFinalPath)) {
      level->disk.finalPath[0] = 0;
    }
  }
  top = level.release();
  return true;
}

// The final path is the parent's and one component more. Where the system cannot name one
// of the two (a path too deep for it), the handle's attributes alone decide.
bool LiesDirectlyBelow(const wchar_t* finalPath, const wchar_t* parentFinalPath) {
  if (finalPath[0] == 0 || parentFinalPath[0] == 0) return true;
  if (!StartsWithNoCase(finalPath, parentFinalPath)) return false;
  const size_t parentLength = wcslen(parentFinalPath);
  const wchar_t* name = finalPath + parentLength;
  if (parentFinalPath[parentLength - 1] != L'\\' && *name++ != L'\\') return false;
  return name[0] != 0 && wcschr(name, L'\\') == nullptr;
}

// Enters the subfolder in hand of top only as what the listing said it is: a plain folder
// directly below top, opened without following a link and held from here until it is
// removed. 0 when entered; 1 when the handle shows something else (a link put there since
// the listing); -1 when it cannot be listed.
int EnterSubfolder(DeleteLevel*& top, const wchar_t* path) {
  std::unique_ptr<DeleteLevel> level = NewLevel(path);
  if (level == nullptr) return kDirUnlistable;
  level->held.reset(OpenFolder(path, true, true));
  const FolderOnDisk& disk = level->disk;
  // Below a folder whose final path is unknown (too deep for the system to name), no
  // subfolder's is known either: it is not asked for.
  const unsigned facts = top->disk.finalPath[0] != 0 ? kFolderFinalPath : kFolderAttributes;
  const bool plainFolder = level->held.valid() && ReadFolderOnDisk(level->held.get(), level->disk, facts) &&
                           (disk.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                           (disk.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (!plainFolder || !LiesDirectlyBelow(disk.finalPath, top->disk.finalPath)) {
    DebugLog(L"DeleteFilesAndFoldersRecursiv: not entered, not the plain folder listed: <%ls>, attributes: <%x>, "
             L"final path: <%ls>, LastError: <%x>",
             path, disk.attributes, disk.finalPath, Platform().GetLastError());
    return kDirHasContent;
  }
  if (!OpenListing(level->dir, level->listing, level->entry)) return kDirUnlistable;
  level->parent = top;
  top = level.release();
  return kDirEmpty;
}

void LogDeleteFailure(const wchar_t* what, const wchar_t* path) {
  DebugLog(L"DeleteFilesAndFoldersRecursiv: %ls failed: LastError: <%x>, path: <%ls>", what, Platform().GetLastError(),
           path);
}

// Removes an emptied subdirectory or a directory link; a failure counts for level.
void RemoveDirectoryEntry(DeleteLevel& level, const wchar_t* path) {
  if (RemoveDirectoryPath(path)) return;
  LogDeleteFailure(L"RemoveDirectoryW", path);
  level.result |= kDirHasContent;
}

// Deletes the entry in hand of level, unless it is a directory to be emptied first: then
// its path is left in childPath and the result is true. A link is removed as a link and
// never entered, and its attributes (which may be its target's) are not touched.
bool DeleteEntryOrDescend(DeleteLevel& level, wchar_t* childPath) {
  const WIN32_FIND_DATAW& entry = level.entry;
  const bool isHelper = ContainsNoCase(entry.cFileName, kHelperFileName);
  if (IsDotEntry(entry.cFileName)) return false;
  if (!JoinPath(childPath, level.dir, entry.cFileName)) {
    DebugLog(L"DeleteFilesAndFoldersRecursiv: path too long: <%ls> + <%ls>", level.dir, entry.cFileName);
    level.result |= kDirHasContent;
    return false;
  }
  const bool isLink = IsLinkEntry(entry);
  if (IsDirectoryEntry(entry) && isLink) {
    DebugLog(L"DeleteFilesAndFoldersRecursiv: link not entered: <%ls>", childPath);
    RemoveDirectoryEntry(level, childPath);
    return false;
  }
  if (!isLink && (entry.dwFileAttributes & kReadOnlyAndSystem) != 0) {
    SetFileAttributesImpl(childPath, entry.dwFileAttributes & ~kReadOnlyAndSystem);
  }
  if (IsDirectoryEntry(entry)) return true;
  if (!DeleteFilePath(childPath) && !isHelper) {
    LogDeleteFailure(L"DeleteFileW", childPath);
    level.result |= kDirHasContent;
  }
  return false;
}

// Ends the top level: closes its listing, and removes its directory unless it is the one
// that was given. Returns false once the given directory is done, its result in result.
bool LeaveDirectory(DeleteLevel*& top, int& result) {
  std::unique_ptr<DeleteLevel> done(top);
  top = done->parent;
  if (!ListingComplete()) {
    LogDeleteFailure(L"FindNextFileW", done->dir);
    done->result |= kDirHasContent;
  }
  done->listing.reset();
  done->held.reset();
  if (top == nullptr) {
    result = done->result;
    return false;
  }
  top->result |= done->result;
  RemoveDirectoryEntry(*top, done->dir);
  return true;
}

bool NameMatches(const wchar_t* name, const wchar_t* part1, const wchar_t* part2, const wchar_t* part3) {
  if (part1 == nullptr || !ContainsNoCase(name, part1)) return false;
  if (part2 == nullptr) return true;  // without part2, part3 is not looked at
  return ContainsNoCase(name, part2) && (part3 == nullptr || ContainsNoCase(name, part3));
}

void LogVersionFailure(const wchar_t* format, const wchar_t* file, DWORD value) {
  DebugLog(format, OrEmpty(file), Platform().GetLastError(), static_cast<int>(value));
}

// -1 when a is older than b, 1 when newer, 0 when equal; parts compare as unsigned numbers.
int CompareVersions(const FileVersion& a, const FileVersion& b) {
  const DWORD partsA[] = {a.major, a.minor, a.build, a.revision};
  const DWORD partsB[] = {b.major, b.minor, b.build, b.revision};
  for (size_t i = 0; i < 4; ++i) {
    if (partsA[i] != partsB[i]) return partsA[i] < partsB[i] ? -1 : 1;
  }
  return 0;
}

// Only a destination that is known to be older is replaced; a file without a readable
// version is always copied.
bool ShouldCopy(const wchar_t* src, const wchar_t* dst) {
  FileVersion srcVersion;
  FileVersion dstVersion;
  const bool srcRead = ReadFileVersion(src, &srcVersion);
  const bool dstRead = ReadFileVersion(dst, &dstVersion);
  return !srcRead || !dstRead || CompareVersions(dstVersion, srcVersion) < 0;
}

// The second chance after access denied: a read-only or hidden destination loses those
// bits and is copied once more.
bool RetryCopyOverProtectedFile(const wchar_t* src, const wchar_t* dst, bool checkVersion) {
  const DWORD attributes = GetFileAttributesImpl(dst);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kReadOnlyAndHidden) == 0) return false;
  if (!SetFileAttributesImpl(dst, attributes & ~kReadOnlyAndHidden)) return false;
  return CopyFileImpl(src, dst, false, checkVersion);
}

bool CopyOneFile(const wchar_t* srcDir, const wchar_t* dstDir, const wchar_t* name, bool checkVersion) {
  PathBuffer src = {};
  PathBuffer dst = {};
  if (!JoinPath(src, srcDir, name) || !JoinPath(dst, dstDir, name)) {
    DebugLog(L"CopyFilesToDir: path too long: <%ls>", name);
    Platform().SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (CopyFileImpl(src, dst, false, checkVersion)) return true;
  if (Platform().GetLastError() != ERROR_ACCESS_DENIED) return false;
  return RetryCopyOverProtectedFile(src, dst, checkVersion);
}

}  // namespace

HANDLE OpenFolder(const wchar_t* path, bool hold, bool linkItself) {
  PathBuffer extended = {};
  if (path == nullptr || !ExtendedLengthPath(extended, path)) return INVALID_HANDLE_VALUE;
  // Attributes only: no access that another program's sharing could refuse.
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (hold ? 0 : FILE_SHARE_DELETE);
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (linkItself ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return Platform().CreateFileW(extended, FILE_READ_ATTRIBUTES, sharing, nullptr, OPEN_EXISTING, flags, nullptr);
}

bool ReadFolderOnDisk(HANDLE folder, FolderOnDisk& disk, unsigned facts) {
  PlatformCalls& platform = Platform();
  disk.idKind = FolderIdKind::None;
  disk.finalPath[0] = 0;
  if ((facts & kFolderIdentity) != 0) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!platform.GetFileInformationByHandle(folder, &info)) return false;
    disk.attributes = info.dwFileAttributes;
    ReadIdentity(folder, info, disk);
  } else {
    // The attributes alone, without the volume's number, which can cost more than the rest
    // of a folder's delete (seen under Wine).
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!platform.GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &tag, sizeof(tag))) return false;
    disk.attributes = tag.FileAttributes;
  }
  if ((facts & kFolderFinalPath) != 0) ReadFinalPath(folder, disk.finalPath);
  return true;
}

bool SameFolderOnDisk(const FolderOnDisk& a, const FolderOnDisk& b) {
  if (a.idKind != FolderIdKind::None && a.idKind == b.idKind) {
    return a.volume == b.volume && memcmp(a.id, b.id, sizeof(a.id)) == 0;
  }
  return a.finalPath[0] != 0 && EqualsNoCase(a.finalPath, b.finalPath);
}

int CheckIfDirHasContent(const wchar_t* dir) {
  QEL_TRACE();
  UniqueFind listing;
  WIN32_FIND_DATAW entry;
  if (!OpenListing(dir, listing, entry)) return kDirUnlistable;
  do {
    if (!IsDotEntry(entry.cFileName)) return kDirHasContent;
  } while (Platform().FindNextFileW(listing.get(), &entry));
  // A listing cut short proves nothing about the rest: "empty" would let a caller delete
  // the record of a directory that still holds files.
  if (!ListingComplete()) {
    DebugLog(L"CheckIfDirHasContent: FindNextFileW failed: LastError: <%x>, dir: <%ls>", Platform().GetLastError(),
             dir);
    return kDirUnlistable;
  }
  return kDirEmpty;
}

// Depth first like a recursive walk, with the open listings of all levels kept on a heap
// chain instead of the stack. A subdirectory is removed once its own listing has ended.
int DeleteFilesAndFoldersRecursiv(const wchar_t* dir, const FolderOnDisk* held) {
  QEL_TRACE();
  DeleteLevel* top = nullptr;
  if (!EnterTopDirectory(top, dir, held)) return kDirUnlistable;
  int result = kDirEmpty;
  for (;;) {
    PathBuffer childPath = {};
    if (DeleteEntryOrDescend(*top, childPath)) {
      QEL_TRACE();  // each directory entered traces like a call of its own
      const int failure = EnterSubfolder(top, childPath);
      if (failure == kDirEmpty) continue;
      top->result |= failure;
      RemoveDirectoryEntry(*top, childPath);
    }
    while (!Platform().FindNextFileW(top->listing.get(), &top->entry)) {
      if (!LeaveDirectory(top, result)) return result;
    }
  }
}

bool FindFileFileInDir(const wchar_t* dir, wchar_t* foundName, const wchar_t* part1, const wchar_t* part2,
                       const wchar_t* part3) {
  QEL_TRACE();
  UniqueFind listing;
  WIN32_FIND_DATAW entry;
  if (!OpenListing(dir, listing, entry)) return false;
  do {
    if (IsDirectoryEntry(entry)) continue;
    const wchar_t* name = entry.cFileName;
    if (!NameMatches(name, part1, part2, part3)) continue;
    if (foundName != nullptr) {
      size_t i = 0;
      for (; i < MAX_PATH - 1 && name[i] != 0; ++i) foundName[i] = name[i];
      foundName[i] = 0;
    }
    return true;
  } while (Platform().FindNextFileW(listing.get(), &entry));
  return false;
}

bool CopyFilesToDir(const wchar_t* srcDir, const wchar_t* dstDir, DWORD* error, bool checkVersion) {
  QEL_TRACE();
  DWORD ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  // An empty destination would put the files into the root of the current drive.
  if (srcDir == nullptr || dstDir == nullptr || dstDir[0] == 0) return false;
  UniqueFind listing;
  WIN32_FIND_DATAW entry;
  if (!OpenListing(srcDir, listing, entry)) return false;
  do {
    if (IsDirectoryEntry(entry)) continue;
    if (!CopyOneFile(srcDir, dstDir, entry.cFileName, checkVersion)) {
      *error = Platform().GetLastError();
      return false;
    }
  } while (Platform().FindNextFileW(listing.get(), &entry));
  return ListingComplete();
}

bool CopyFileImpl(const wchar_t* src, const wchar_t* dst, bool failIfExists, bool checkVersion) {
  QEL_TRACE();
  const bool doCopy = !checkVersion || ShouldCopy(src, dst);
  BOOL result = TRUE;
  DWORD error = 0;
  if (doCopy) {
    PathBuffer extendedSrc = {};
    PathBuffer extendedDst = {};
    result = ExtendedLengthPath(extendedSrc, src) && ExtendedLengthPath(extendedDst, dst) &&
             Platform().CopyFileW(extendedSrc, extendedDst, failIfExists ? TRUE : FALSE);
    error = Platform().GetLastError();
  }
  DebugLog(
      L"CopyFileImpl: LastError: <%x>, result: <%d>, src: <%ls>, dst: <%ls>, failIfExists: <%d>, fCheckVersion: <%d>, "
      L"do_copy: <%d>\n",
      error, result, OrEmpty(src), OrEmpty(dst), failIfExists ? 1 : 0, checkVersion ? 1 : 0, doCopy ? 1 : 0);
  return result != FALSE;
}

bool ReadFileVersion(const wchar_t* file, FileVersion* version) {
  PlatformCalls& platform = Platform();
  DWORD handle = 0;
  const DWORD size = platform.GetFileVersionInfoSizeW(file, &handle);
  if (size == 0) {
    LogVersionFailure(L"GetFileVersionInfoSize: fileName: <%ls>, LastError: <%x>, dwFileVersionSize: <%d>\n", file, 0);
    return false;
  }
  // The block has room beyond the reported size; the system is still told the reported one.
  std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[static_cast<size_t>(size) + 1024]());
  if (block == nullptr) {
    DebugLog(L"ReadFileVersion: fileName: <%ls>, no memory for <%u> bytes\n", OrEmpty(file), size);
    return false;
  }
  if (!platform.GetFileVersionInfoW(file, handle, size, block.get())) {
    LogVersionFailure(L"GetFileVersionInfo: fileName: <%ls>, LastError: <%x>, dwFileVersionSize: <%d>\n", file, size);
    return false;
  }
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!platform.VerQueryValueW(block.get(), L"\\", reinterpret_cast<LPVOID*>(&info), &length) || length == 0 ||
      info == nullptr) {
    LogVersionFailure(L"VerQueryValue: fileName: <%ls>, LastError: <%x>, nLen: <%d>\n", file, length);
    return false;
  }
  if (info->dwSignature != 0xFEEF04BD) {
    DebugLog(L"verInfo->dwSignature != 0xfeef04bd: sig: <%x>\n", info->dwSignature);
    return false;
  }
  FileVersion read;
  read.major = HIWORD(info->dwFileVersionMS);
  read.minor = LOWORD(info->dwFileVersionMS);
  read.build = HIWORD(info->dwFileVersionLS);
  read.revision = LOWORD(info->dwFileVersionLS);
  if (version != nullptr) *version = read;
  DebugLog(L"FileVersion: <%ls> -> <%d.%d.%d.%d>\n", OrEmpty(file), static_cast<int>(read.major),
           static_cast<int>(read.minor), static_cast<int>(read.build), static_cast<int>(read.revision));
  return true;
}

bool MoveFileImpl(const wchar_t* src, const wchar_t* dst, DWORD flags) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  PathBuffer extendedSrc = {};
  PathBuffer extendedDst = {};
  const DWORD before = platform.GetLastError();
  const bool moved = ExtendedLengthPath(extendedSrc, src) && (dst == nullptr || ExtendedLengthPath(extendedDst, dst)) &&
                     platform.MoveFileExW(extendedSrc, dst != nullptr ? extendedDst : nullptr, flags) != FALSE;
  const DWORD after = platform.GetLastError();
  DebugLog(L"MoveFileImpl: LastError before: <%x>, result: <%d>, LastError after: <%x>, src: <%ls>, dst: <%ls>, "
           L"flags: <%x>",
           before, moved, after, OrEmpty(src), OrEmpty(dst), flags);
  return moved;
}

bool DeleteFileImpl(const wchar_t* path) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  const bool deleted = DeleteFilePath(path);
  const DWORD after = platform.GetLastError();
  DebugLog(L"DeleteFileImpl: LastError before: <%x>, result: <%d>, LastError after: <%x>, file: <%ls>", before, deleted,
           after, OrEmpty(path));
  return deleted;
}
