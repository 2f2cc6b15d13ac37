#pragma once
// The process entry, the elevation decision and the command dispatcher.

#include <windows.h>

// The process entry: restricts the library search, initialises COM, splits the command line
// and runs qel_main_main. Its result is the process exit code.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

// Keeps libraries from being loaded out of the helper's own folder or the current directory:
// true when the search is restricted to the system directory; false where the system cannot
// do that, and then at least the current directory is left out of the search.
bool RestrictLibrarySearch();

// The elevation decision: on Windows 6.0 and later an unelevated process hands the run to an
// elevated copy of itself and returns that copy's exit code; otherwise runs qel_tmain.
int qel_main_main(int argc, wchar_t** argv);

// The first parameter of a copy started through the elevation prompt. It stands where the
// command belongs, so no installer command line can carry it by accident, and it is removed
// before the command is dispatched.
extern const wchar_t kElevatedCopyMarker[];

// True when the running Windows is at least that version; any failure reads as false.
bool IsWindowsVersionAtLeast(WORD major, WORD minor, WORD servicePackMajor);

// True when the process token is elevated; false also when it cannot be queried.
bool IsElevated();

// Starts an elevated copy of the program with the same arguments (argv[1] onwards), waits
// for it and returns its exit code; 1 when it cannot be started or its result is unknown.
int RespawnSpawnProgram(int argc, wchar_t** argv);

// Writes the normalised full path of the running executable into a PathBuffer. False for a
// null dest, or when the path cannot be read whole (dest then stays empty).
bool GetRunningExeFullPath(wchar_t* dest);

// Runs the command of the argument vector (element 0 is the program's own path) and
// returns the process exit code: 0 lets the installation go on, 1 reverts it.
int qel_tmain(int argc, wchar_t** argv);

// True when the processor architecture is x64, or x86 running on a 64-bit Windows.
bool IsNative64Bit();

// True when path names an existing directory.
bool IsDirectory(const wchar_t* path);
