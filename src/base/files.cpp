#include "base/files.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <utility>

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

bool IsDotName(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

bool IsDirectoryEntry(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

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

// Where the handle's file lies on its volume, as "\dir\name" ("\" for the volume's root).
void ReadPathOnVolume(HANDLE file, wchar_t* onVolume) {
  struct {
    DWORD bytes;
    wchar_t name[kPathChars];
  } info = {};
  onVolume[0] = 0;
  if (!Platform().GetFileInformationByHandleEx(file, FileNameInfo, &info, sizeof(info))) return;
  const size_t length = info.bytes / sizeof(wchar_t);
  if (length == 0 || length >= kPathChars) return;
  memcpy(onVolume, info.name, length * sizeof(wchar_t));
  onVolume[length] = 0;
}

// Texts equal but for trailing dots and spaces of the last name, which Wine leaves out of the
// paths that it gives for a handle.
bool SameUpToTrailingDots(const wchar_t* shown, const wchar_t* expected) {
  if (EqualsNoCase(shown, expected)) return true;
  const size_t length = wcslen(shown);
  if (!StartsWithNoCase(expected, shown)) return false;
  for (const wchar_t* rest = expected + length; *rest != 0; ++rest) {
    if (*rest != L'.' && *rest != L' ') return false;
  }
  return length > 0 && shown[length - 1] != L'\\';
}

// path is folder's path and name, as the system gives both.
bool IsPathOf(const wchar_t* path, const wchar_t* folder, const wchar_t* name) {
  const size_t length = wcslen(folder);
  PathBuffer expected = {};
  const wchar_t* separator = length > 0 && folder[length - 1] == L'\\' ? L"" : L"\\";
  return name[0] != 0 && PrintToBuffer(expected, L"%ls%ls%ls", folder, separator, name) > 0 &&
         wcslen(expected) < kPathChars - 1 && SameUpToTrailingDots(path, expected);
}

// --- Entries through their folder's handle ---

// Declared by newer SDKs only.
const FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct FileDispositionInformationEx {
  DWORD flags;
};
const DWORD kDispositionDelete = 0x1;
const DWORD kDispositionPosixSemantics = 0x2;  // the name goes at once, not when the last handle closes
const DWORD kDispositionIgnoreReadOnly = 0x10;

// A folder's entries, read through its handle a buffer at a time.
const DWORD kListingBytes = 8192;
const size_t kNameChars = 512;  // a name on disk has at most 255

struct FolderListing {
  HANDLE folder = INVALID_HANDLE_VALUE;
  std::unique_ptr<BYTE[]> buffer;
  const FILE_ID_BOTH_DIR_INFO* entry = nullptr;  // the entry in hand
  bool started = false;
  DWORD error = 0;  // why the listing ended: ERROR_NO_MORE_FILES once every entry was seen
};

bool ReadEntries(FolderListing& listing) {
  PlatformCalls& platform = Platform();
  const FILE_INFO_BY_HANDLE_CLASS kind = listing.started ? FileIdBothDirectoryInfo : FileIdBothDirectoryRestartInfo;
  listing.started = true;
  listing.entry = nullptr;
  if (!platform.GetFileInformationByHandleEx(listing.folder, kind, listing.buffer.get(), kListingBytes)) {
    listing.error = platform.GetLastError();
    return false;
  }
  listing.entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing.buffer.get());
  return true;
}

// Moves to the next entry; false once there is none, with the reason in error.
bool NextEntry(FolderListing& listing) {
  if (listing.entry != nullptr && listing.entry->NextEntryOffset != 0) {
    listing.entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<const BYTE*>(listing.entry) +
                                                                   listing.entry->NextEntryOffset);
    return true;
  }
  return listing.error == 0 && ReadEntries(listing);
}

// Starts a listing with its first entry in hand. False when the folder cannot be listed; a
// folder without any entry (a volume's root has no "." or "..") is listed, and empty.
bool StartListing(FolderListing& listing, HANDLE folder) {
  listing.folder = folder;
  listing.buffer.reset(new (std::nothrow) BYTE[kListingBytes]);
  if (listing.buffer == nullptr) {
    Platform().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return NextEntry(listing) || listing.error == ERROR_NO_MORE_FILES;
}

// The listing ended because every entry was seen, not through an error.
bool ListedToTheEnd(const FolderListing& listing) { return listing.error == ERROR_NO_MORE_FILES; }

// The entry's name as a text; false for one too long to be a name on disk.
bool EntryName(const FILE_ID_BOTH_DIR_INFO& entry, wchar_t* name) {
  const size_t length = entry.FileNameLength / sizeof(wchar_t);
  if (length >= kNameChars) return false;
  memcpy(name, entry.FileName, length * sizeof(wchar_t));
  name[length] = 0;
  return true;
}

// Opens an entry of a held folder by its name there, never what a link of that name points
// to, for deleting it and changing its attributes; a folder also for listing it, without
// delete sharing, so that it stays in place while its entries go.
HANDLE OpenEntry(HANDLE folder, const wchar_t* name, bool listing) {
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name);
  text.Length = text.MaximumLength = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object = {};
  object.Length = sizeof(object);
  object.RootDirectory = folder;
  object.ObjectName = &text;
  IO_STATUS_BLOCK status = {};
  HANDLE entry = nullptr;
  const ACCESS_MASK access =
      DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE | (listing ? FILE_LIST_DIRECTORY : 0);
  const ULONG sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (listing ? 0 : FILE_SHARE_DELETE);
  const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT;
  const NTSTATUS opened =
      Platform().NtCreateFile(&entry, access, &object, &status, nullptr, 0, sharing, FILE_OPEN, options, nullptr, 0);
  return opened >= 0 && entry != nullptr ? entry : INVALID_HANDLE_VALUE;
}

// One directory being emptied by DeleteFilesAndFoldersRecursiv: its path (for the trace),
// where it lies on its volume, its handle (a subfolder's own, held until the folder is
// removed), its listing with the entry in hand, and its result so far. Levels are heap
// blocks chained to their parent, so a deep tree costs heap, not stack.
struct DeleteLevel {
  DeleteLevel* parent = nullptr;
  PathBuffer dir = {};
  PathBuffer onVolume = {};  // empty when the system cannot name it
  UniqueFile owned;
  FolderListing listing;
  int result = kDirEmpty;
};

// One pass of the delete: the chain of levels, the deepest on top.
struct DeleteWalk {
  ~DeleteWalk() {
    while (top != nullptr) delete std::exchange(top, top->parent);
  }
  DeleteLevel* top = nullptr;
  bool exDispositionRefused = false;  // the system offers only the classic delete
};

std::unique_ptr<DeleteLevel> NewLevel(const wchar_t* dir) {
  std::unique_ptr<DeleteLevel> level(new (std::nothrow) DeleteLevel);
  if (level != nullptr && (dir == nullptr || !ConcatPath(level->dir, dir, nullptr))) level.reset();
  return level;
}

// Starts emptying the given directory: held by the caller, or opened and held here. False
// when it cannot be listed (or no memory is left for it).
bool EnterTopDirectory(DeleteWalk& walk, const wchar_t* dir, HANDLE held) {
  std::unique_ptr<DeleteLevel> level = NewLevel(dir);
  if (level == nullptr || level->dir[0] == 0) return false;
  if (held == INVALID_HANDLE_VALUE) {
    level->owned.reset(OpenFolder(dir, true));
    held = level->owned.get();
  }
  if (held == INVALID_HANDLE_VALUE) return false;
  ReadPathOnVolume(held, level->onVolume);
  if (!StartListing(level->listing, held)) return false;
  walk.top = level.release();
  return true;
}

void LogDeleteFailure(const wchar_t* what, const wchar_t* path) {
  DebugLog(L"DeleteFilesAndFoldersRecursiv: %ls failed: LastError: <%x>, path: <%ls>", what, Platform().GetLastError(),
           path);
}

// The entry's handle shows it where it was listed: its path on the volume is its folder's and
// its own name (unlike the final path, which Wine cannot give for a deep one, this is known at
// any depth). Where the system cannot name either, the handle's attributes alone decide.
bool IsWhereListed(HANDLE entry, const DeleteLevel& level, const wchar_t* name, wchar_t* onVolume) {
  onVolume[0] = 0;
  if (level.onVolume[0] == 0) return true;
  ReadPathOnVolume(entry, onVolume);
  return onVolume[0] == 0 || IsPathOf(onVolume, level.onVolume, name);
}

// Marks the entry for deletion through its handle: read-only or not where the system can (the
// name goes at once), with the classic disposition elsewhere.
bool DeleteByHandle(DeleteWalk& walk, HANDLE entry) {
  PlatformCalls& platform = Platform();
  if (!walk.exDispositionRefused) {
    FileDispositionInformationEx ex = {kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly};
    if (platform.SetFileInformationByHandle(entry, kFileDispositionInfoEx, &ex, sizeof(ex))) return true;
    const DWORD error = platform.GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) {
      return false;
    }
    walk.exDispositionRefused = true;
  }
  FILE_DISPOSITION_INFO classic = {TRUE};
  return platform.SetFileInformationByHandle(entry, FileDispositionInfo, &classic, sizeof(classic)) != FALSE;
}

// Clears read-only and system through the entry's handle when read-only is what keeps it
// from going. A file with other names keeps them: its attributes are theirs as well.
bool ClearReadOnlyByHandle(HANDLE entry, const wchar_t* path) {
  PlatformCalls& platform = Platform();
  FILE_BASIC_INFO basic = {};
  if (!platform.GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic)) ||
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  FILE_STANDARD_INFO standard = {};
  if (!platform.GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof(standard))) return false;
  if (!standard.Directory && standard.NumberOfLinks > 1) {
    DebugLog(L"DeleteFilesAndFoldersRecursiv: <%ls> is read-only and has <%u> names, which share its attributes: they "
             L"are kept",
             path, standard.NumberOfLinks);
    return false;
  }
  QEL_TRACE_AS("SetFileAttributesByHandle");
  const DWORD before = platform.GetLastError();
  const DWORD attributes = basic.FileAttributes & ~kReadOnlyAndSystem;
  FILE_BASIC_INFO changed = {};  // times of 0 stay as they are
  changed.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  const BOOL result = platform.SetFileInformationByHandle(entry, FileBasicInfo, &changed, sizeof(changed));
  DebugLog(L"SetFileAttributesByHandle: LastError before: <%x>, result: <%d>, LastError after: <%x>, file: <%ls>, "
           L"dwFlags: <%x>",
           before, result, platform.GetLastError(), path, changed.FileAttributes);
  return result != FALSE;
}

// Deletes the entry through its handle, clearing read-only first where that is what refuses.
bool DeleteEntryByHandle(DeleteWalk& walk, HANDLE entry, const wchar_t* path) {
  if (DeleteByHandle(walk, entry)) return true;
  return Platform().GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnlyByHandle(entry, path) &&
         DeleteByHandle(walk, entry);
}

// Enters the subfolder opened as entry: a new level on top that holds it.
void EnterSubfolder(DeleteWalk& walk, UniqueFile& entry, const wchar_t* path, const wchar_t* onVolume) {
  QEL_TRACE_AS("DeleteFilesAndFoldersRecursiv");  // each folder entered traces like a call of its own
  DeleteLevel& parent = *walk.top;
  std::unique_ptr<DeleteLevel> level = NewLevel(path);
  if (level == nullptr || !StartListing(level->listing, entry.get())) {
    LogDeleteFailure(L"listing", path);
    parent.result |= kDirUnlistable;
    return;
  }
  ConcatPath(level->onVolume, onVolume, nullptr);
  level->owned.reset(entry.release());
  level->parent = walk.top;
  walk.top = level.release();
}

// Reads the attributes that the entry's handle shows, where the listing says that they matter.
bool ReadShownAttributes(HANDLE entry, DWORD listedAttributes, DWORD& shown) {
  shown = 0;
  if ((listedAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) return true;
  FILE_BASIC_INFO basic = {};
  if (!Platform().GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic))) return false;
  shown = basic.FileAttributes;
  return true;
}

// What to do with an entry, by what its handle shows.
enum class EntryKind { File, Folder, LinkItself, LinkElsewhere, NotAsListed };

EntryKind KindOfEntry(HANDLE entry, const DeleteLevel& level, const wchar_t* name, DWORD listed, DWORD shown,
                      wchar_t* onVolume) {
  const bool linkShown = (shown & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (!IsWhereListed(entry, level, name, onVolume)) return EntryKind::LinkElsewhere;
  if (linkShown) return EntryKind::LinkItself;
  // A link that its handle does not show (opened at its target, or replaced since it was
  // listed): the handle may be another file's, so nothing is done through it.
  if ((listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::NotAsListed;
  return (shown & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder : EntryKind::File;
}

// Deletes the entry in hand of the top level through its own handle, or enters it when it is
// a plain folder where it was listed. A link goes as a link, never through it.
void DeleteEntryOrDescend(DeleteWalk& walk) {
  DeleteLevel& level = *walk.top;
  const FILE_ID_BOTH_DIR_INFO& listed = *level.listing.entry;
  wchar_t name[kNameChars];
  PathBuffer path = {};
  const bool named = EntryName(listed, name);
  if (named && IsDotName(name)) return;
  if (!named || !JoinPath(path, level.dir, name)) {
    DebugLog(L"DeleteFilesAndFoldersRecursiv: path too long: <%ls> + an entry of <%u> characters", level.dir,
             listed.FileNameLength / 2);
    level.result |= kDirHasContent;
    return;
  }
  const bool isHelper = ContainsNoCase(name, kHelperFileName);
  const DWORD listedAttributes = listed.FileAttributes;
  UniqueFile entry(OpenEntry(level.listing.folder, name, (listedAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0));
  DWORD shown = 0;
  if (!entry.valid() || !ReadShownAttributes(entry.get(), listedAttributes, shown)) {
    if (Platform().GetLastError() == ERROR_FILE_NOT_FOUND) return;  // gone meanwhile
    LogDeleteFailure(L"opening", path);
    if (!isHelper) level.result |= kDirHasContent;
    return;
  }
  PathBuffer onVolume = {};
  bool deleted = false;
  switch (KindOfEntry(entry.get(), level, name, listedAttributes, shown, onVolume)) {
    case EntryKind::Folder:
      return EnterSubfolder(walk, entry, path, onVolume);
    case EntryKind::File:
      deleted = DeleteEntryByHandle(walk, entry.get(), path);
      break;
    case EntryKind::LinkItself:
      DebugLog(L"DeleteFilesAndFoldersRecursiv: link not entered: <%ls>", path);
      deleted = DeleteEntryByHandle(walk, entry.get(), path);
      break;
    case EntryKind::LinkElsewhere:
      // Opened at its target, as under Wine, a link cannot be removed: its handle, and even its
      // path given to DeleteFileW or RemoveDirectoryW, would delete the target there.
      DebugLog(L"DeleteFilesAndFoldersRecursiv: link not entered: <%ls>, it leads to <%ls>; it is left in place", path,
               onVolume);
      break;
    case EntryKind::NotAsListed:
      DebugLog(L"DeleteFilesAndFoldersRecursiv: not what was listed, left alone: <%ls>, attributes: <%x> listed, <%x> "
               L"now",
               path, listedAttributes, shown);
      break;
  }
  if (!deleted && !isHelper) {
    LogDeleteFailure(L"deleting", path);
    level.result |= kDirHasContent;
  }
}

// Ends the top level: removes its folder through its own handle unless it is the one that was
// given. Returns false once the given directory is done, its result in result.
bool LeaveDirectory(DeleteWalk& walk, int& result) {
  std::unique_ptr<DeleteLevel> done(walk.top);
  walk.top = done->parent;
  if (!ListedToTheEnd(done->listing)) {
    Platform().SetLastError(done->listing.error);
    LogDeleteFailure(L"listing", done->dir);
    done->result |= kDirHasContent;
  }
  if (walk.top == nullptr) {
    result = done->result;
    return false;
  }
  walk.top->result |= done->result;
  if (!DeleteEntryByHandle(walk, done->owned.get(), done->dir)) {
    LogDeleteFailure(L"deleting", done->dir);
    walk.top->result |= kDirHasContent;
  }
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

HANDLE OpenFolder(const wchar_t* path, bool hold) {
  PathBuffer extended = {};
  if (path == nullptr || !ExtendedLengthPath(extended, path)) return INVALID_HANDLE_VALUE;
  const DWORD access = FILE_READ_ATTRIBUTES | (hold ? FILE_LIST_DIRECTORY | SYNCHRONIZE : 0);
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (hold ? 0 : FILE_SHARE_DELETE);
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (hold ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return Platform().CreateFileW(extended, access, sharing, nullptr, OPEN_EXISTING, flags, nullptr);
}

namespace {

// Splits a full path into its folder (with its backslash) and its last name, trailing
// backslashes left out; false for a root, which has no last name.
bool SplitLastName(wchar_t* path, wchar_t* parent, const wchar_t*& name) {
  size_t length = wcslen(path);
  while (length > 0 && path[length - 1] == L'\\') path[--length] = 0;
  wchar_t* slash = wcsrchr(path, L'\\');
  if (slash == nullptr || slash[1] == 0 || wcschr(slash, L':') != nullptr) return false;  // "\\?\C:" has none
  name = slash + 1;
  const wchar_t kept = slash[1];
  slash[1] = 0;
  const bool split = ConcatPath(parent, path, nullptr);
  slash[1] = kept;
  return split;
}

// The last name of the path as the folder has it on disk (a short name in its long form).
// Asked in the usual path form, which Wine expands where it leaves a "\\?\" path as it is.
bool LongLastName(const wchar_t* path, wchar_t* longName) {
  PathBuffer full = {};
  PathBuffer expanded = {};
  PathBuffer parent = {};
  const wchar_t* name = nullptr;
  if (!FullPathName(full, path)) return false;
  const DWORD length = Platform().GetLongPathNameW(full, expanded, kPathChars);
  if (length == 0 || length >= kPathChars || !SplitLastName(expanded, parent, name)) return false;
  return ConcatPath(longName, name, nullptr);
}

}  // namespace

bool IsLinkAtItsName(const wchar_t* path, const FolderOnDisk& held, wchar_t* target) {
  target[0] = 0;
  if ((held.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    UniqueFile followed(OpenFolder(path, false));
    if (followed.valid()) ReadFinalPath(followed.get(), target);
    return true;
  }
  PathBuffer extended = {};
  PathBuffer parent = {};
  const wchar_t* name = nullptr;
  if (held.finalPath[0] == 0 || !ExtendedLengthPath(extended, path) || !SplitLastName(extended, parent, name)) {
    return false;
  }
  UniqueFile parentFolder(OpenFolder(parent, false));
  PathBuffer parentFinal = {};
  if (parentFolder.valid()) ReadFinalPath(parentFolder.get(), parentFinal);
  // Where the system cannot name the parent's final path, the handle's attributes decide alone.
  if (parentFinal[0] == 0 || IsPathOf(held.finalPath, parentFinal, name)) return false;
  PathBuffer longName = {};
  if (LongLastName(path, longName) && IsPathOf(held.finalPath, parentFinal, longName)) return false;
  ConcatPath(target, held.finalPath, nullptr);
  return true;
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
    if (!IsDotName(entry.cFileName)) return kDirHasContent;
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

int CheckIfFolderHasContent(HANDLE folder) {
  QEL_TRACE();
  FolderListing listing;
  if (!StartListing(listing, folder)) return kDirUnlistable;
  wchar_t name[kNameChars];
  do {
    if (listing.entry != nullptr && (!EntryName(*listing.entry, name) || !IsDotName(name))) return kDirHasContent;
  } while (NextEntry(listing));
  if (!ListedToTheEnd(listing)) {
    DebugLog(L"CheckIfFolderHasContent: listing failed: LastError: <%x>", listing.error);
    return kDirUnlistable;
  }
  return kDirEmpty;
}

// Depth first like a recursive walk, with the open listings of all levels kept on a heap
// chain instead of the stack. A subfolder is removed once its own listing has ended.
int DeleteFilesAndFoldersRecursiv(const wchar_t* dir, HANDLE held) {
  QEL_TRACE();
  DeleteWalk walk;
  if (!EnterTopDirectory(walk, dir, held)) return kDirUnlistable;
  for (;;) {
    DeleteLevel* level = walk.top;
    if (level->listing.entry != nullptr) {
      DeleteEntryOrDescend(walk);
      if (walk.top != level) continue;  // entered a subfolder: its first entry is in hand
    }
    int result = kDirEmpty;
    while (!NextEntry(walk.top->listing)) {
      if (!LeaveDirectory(walk, result)) return result;
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
