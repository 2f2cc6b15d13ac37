#pragma once
// Whole-directory operations: content test, recursive delete, finding a file by fragments
// of its name, and copying every file of one directory into another.

#include <windows.h>

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

// Deletes everything below dir, not dir itself: 0 all gone, 1 something stayed, -1 some
// level could not be listed (null and empty included). Read-only and system bits are
// cleared first; links are removed as links, never entered; a file named with the
// helper's own name that cannot be deleted does not count. Any depth costs no stack.
int DeleteFilesAndFoldersRecursiv(const wchar_t* dir);

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
