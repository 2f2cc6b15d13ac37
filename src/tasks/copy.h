#pragma once
// The "copy" command: installs the system-wide components from the installation. The Qel
// VBA Engine (VBAEngine\Windows64) is copied into the system directory and registered
// there; it is required. The Qel Explorer Extension (AMD64\QELInfo_AMD64.dll) is registered
// where it lies; it is optional.

#include "base/text.h"

// installDir is the cleaned installation directory. Both return 0 to go on, 1 to revert.
// On a 64-bit Windows: both system directories must be found, then the engine is installed
// and the extension registered; only the engine's failure reverts.
int Handle64Bit(const wchar_t* installDir);
// Elsewhere nothing is installed: 1 only when the system directory cannot be found.
int Handle32Bit(const wchar_t* installDir);

// Puts the engine's three files from the engine directory into systemDir and registers the
// control there, unregistering a control of the same name found there first, all or nothing
// (see enginetransaction.h). A copy or rename that fails can be retried (never in quiet
// mode), and so can a wait of more than a minute for another run that replaces the engine.
// systemDir is the current directory meanwhile; the one before is back on every return,
// before any message. Returns 0 installed, 1 revert (the earlier engine as it was).
int HandleVBAEngine(const wchar_t* installDir, const wchar_t* systemDir);

// Registers the Explorer extension where it lies. Returns 0 registered, 1 not found or not
// registered, with a warning unless quiet.
int HandleQELInfo(const wchar_t* installDir);

// What "copy" and "remove" look up alike. The native system directory, into a PathBuffer;
// false when Windows does not name it.
bool GetNativeSystemDirectory(wchar_t* dir);
// The engine directory (installation + "\VBAEngine\Windows64") and the bare names of the
// control, its companion file and its library there, each into a PathBuffer, when all three
// are there.
bool FindEngine(const wchar_t* installDir, wchar_t* engineDir, PathBuffer* names);
// The full path of the Explorer extension (installation + "\AMD64\QELInfo_AMD64.dll" as
// listed there), into a PathBuffer, when it is there.
bool FindExtension(const wchar_t* installDir, wchar_t* extension);
