#pragma once
// The "clean" command: empties the installation directory when the user agrees.

// path is the cleaned installation directory. Returns 0 to go on, 1 to revert. A folder of
// the system or of a user (base/systemfolders.h) is never emptied: nothing is asked, 0 is
// returned.
int HandleCleanInstallDir(const wchar_t* path);
