#pragma once
// Whole-directory operations: content test, recursive delete, finding a file by fragments
// of its name, and copying every file of one directory into another.

#include <windows.h>

#include "base/text.h"

struct FileVersion {
  DWORD major = 0;
  DWORD minor = 0;
  DWORD build = 0;
  DWORD revision = 0;
};

// Directory results: -1 cannot be listed, 0 empty (or everything done), 1 has content
// (or something failed).
constexpr int kDirUnlistable = -1;
constexpr int kDirEmpty = 0;
constexpr int kDirHasContent = 1;

// -1 for a null or empty directory or one that cannot be listed, 0 when it holds nothing
// but "." and "..", 1 otherwise (hidden and system entries count).
int CheckIfDirHasContent(const wchar_t* dir);

// A folder as the system sees it through an open handle: its attributes, its identity on
// disk and its final path. One folder has many names (short names, junctions, links,
// substituted drives, mount points); the identity and the final path are the same for all.
enum class FolderIdKind { None, Id128, Index64 };
struct FolderOnDisk {
  DWORD attributes = 0;
  // Ids of 0 or all ones mean "no id"; the 64-bit index is not unique on every file system,
  // so the 128-bit id is preferred. Ids of different kinds are never compared.
  FolderIdKind idKind = FolderIdKind::None;
  ULONGLONG volume = 0;
  BYTE id[16] = {};
  // "\\?\C:\dir", or "\\?\Volume{...}\dir" for a volume without a letter; empty when unknown.
  PathBuffer finalPath = {};
};

// Opens a folder. With hold, for listing its entries and without delete sharing, the name
// itself rather than what a junction or link there points to: while the handle is open,
// nobody can rename, replace or remove the folder (a handle for attributes alone would take
// no part in sharing and hold nothing). Without hold, for its attributes only, following
// links, sharing everything. INVALID_HANDLE_VALUE on failure.
HANDLE OpenFolder(const wchar_t* path, bool hold);

// What ReadFolderOnDisk reads besides the attributes.
enum FolderFacts : unsigned { kFolderAttributes = 0, kFolderFinalPath = 1, kFolderIdentity = 2, kFolderAll = 3 };

// Reads what the handle shows: its attributes, and the facts asked for. False when the
// attributes cannot be read.
bool ReadFolderOnDisk(HANDLE folder, FolderOnDisk& disk, unsigned facts);

// Both handles show one folder: the same identity, or without comparable identities, the
// same final path. False when neither can be told.
bool SameFolderOnDisk(const FolderOnDisk& a, const FolderOnDisk& b);

// The content of a folder held open for listing: -1 when it cannot be listed, 0 when it
// holds nothing but "." and "..", 1 otherwise.
int CheckIfFolderHasContent(HANDLE folder);

// True when the folder held at path is a junction or link at its last name, whatever
// links lie higher up: its handle shows the reparse attribute, or (where handles open a
// link's target) its final path is not its parent's final path and its own name. target
// receives where the link leads, or an empty text.
bool IsLinkAtItsName(const wchar_t* path, const FolderOnDisk& held, wchar_t* target);

// Deletes everything below dir, not dir itself: 0 all gone, 1 something stayed, -1 some
// level could not be listed (null and empty included). dir is resolved once, to held (a
// handle from OpenFolder with hold) or, without one, opened and held here; from then on every
// entry is listed, opened, changed and deleted through its folder's handle, and the paths
// are text for the trace only. An entry that its handle shows to be a link (the reparse
// attribute, or a final path that is not its folder's and its own name) is removed as a link
// and never entered. Read-only and system bits are cleared through the entry's handle where
// they keep it from going, except on a file with other names, which share them. A file named
// with the helper's own name that cannot be deleted does not count. Any depth costs no stack.
int DeleteFilesAndFoldersRecursiv(const wchar_t* dir, HANDLE held = INVALID_HANDLE_VALUE);

// Finds the first file in dir whose name contains part1 and, where given, part2 and part3
// (ASCII case ignored); foundName, where given, receives its bare name.
bool FindFileFileInDir(const wchar_t* dir, wchar_t* foundName, const wchar_t* part1, const wchar_t* part2,
                       const wchar_t* part3);

// Copies every file (not subdirectory) of srcDir into dstDir, overwriting; a read-only or
// hidden destination that denies access loses those bits and is copied once more. The
// first failure stops the copy and *error receives the thread's last error value
// (ERROR_FILENAME_EXCED_RANGE for a path too long to build); otherwise it stays 0.
bool CopyFilesToDir(const wchar_t* srcDir, const wchar_t* dstDir, DWORD* error, bool checkVersion);

// Copies one file; with checkVersion, skips (true) unless the destination's version is lower.
bool CopyFileImpl(const wchar_t* src, const wchar_t* dst, bool failIfExists, bool checkVersion);

// Reads the fixed file version; false (version untouched) when there is none or it cannot
// be read.
bool ReadFileVersion(const wchar_t* file, FileVersion* version);

// The rename and delete calls with their trace line and the last error value before and
// after, given the extended-length form of each path. With a null dst and
// MOVEFILE_DELAY_UNTIL_REBOOT, MoveFileImpl has src deleted at the next restart.
bool MoveFileImpl(const wchar_t* src, const wchar_t* dst, DWORD flags);
bool DeleteFileImpl(const wchar_t* path);
