#pragma once
// The "copy" command: installs the system-wide components from the installation.

// installDir is the cleaned installation directory. Return 0 to go on, 1 to revert.
int Handle64Bit(const wchar_t* installDir);
int Handle32Bit(const wchar_t* installDir);
