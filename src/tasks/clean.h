#pragma once
// The "clean" command: empties the installation directory when the user agrees.

// path is the cleaned installation directory. Returns 0 to go on, 1 to revert.
int HandleCleanInstallDir(const wchar_t* path);
