#pragma once
// The "remove" command, which an uninstaller runs before it deletes the product's files: it
// takes away what "copy" installed, as far as no other product still uses it. The Explorer
// extension is unregistered; the product's reference to the Qel VBA Engine is given back, and
// the engine leaves the system directory when no other product uses it (see
// enginetransaction.h). Nothing it meets stops an uninstallation: every handler returns 0 to
// the dispatcher, and a failure is a warning (none in quiet mode).

// installDir is the cleaned installation directory; it need not exist any more. On a 64-bit
// Windows the extension, then the engine; elsewhere "copy" installed nothing.
int HandleRemove64Bit(const wchar_t* installDir);
int HandleRemove32Bit(const wchar_t* installDir);

// Unregisters the extension found in the installation as "copy" finds it. Returns 0 when it is
// unregistered or not there, 1 with a warning when the registration tool fails.
int HandleQELInfoRemoval(const wchar_t* installDir);

// Gives the product's reference to the engine back; the engine's files are the ones of the
// installation's engine directory. Returns 0 when that is done (or the product holds none), 1
// with a warning when the engine, its registration, the counts and the reference stay as they
// were.
int HandleVBAEngineRemoval(const wchar_t* installDir);
