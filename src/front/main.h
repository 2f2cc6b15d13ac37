#pragma once
// The process entry, the elevation decision and the command dispatcher.

#include <windows.h>

// Runs the command of the argument vector (element 0 is the program's own path) and
// returns the process exit code: 0 lets the installation go on, 1 reverts it.
int qel_tmain(int argc, wchar_t** argv);

// True when the processor architecture is x64, or x86 running on a 64-bit Windows.
bool IsNative64Bit();

// True when path names an existing directory.
bool IsDirectory(const wchar_t* path);
