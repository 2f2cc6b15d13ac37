#pragma once
// Every message box the user can see, and quiet mode, which replaces each box by its
// fixed answer so that a silent installation never waits for a click.

#include <windows.h>

// Written once by the dispatcher, before any task runs.
extern bool QuietMode;

// Whether a person can see the helper's boxes. Nobody can where the process's window station
// is not visible (a service or a scheduled task), in session 0, or when the installer started
// the helper hidden: a box there waits for ever, for a click that never comes. Decided once,
// on the first box that quiet mode does not answer; a box that nobody can see is not shown
// and counts as a box that could not be shown (0).
enum class BoxViewer { NotDecided, Someone, Nobody };
extern BoxViewer WhoSeesBoxes;

void ShowInvalidParameters();
void ShowInvalidEditionParameters();
void ShowInstallDirNotFound(const wchar_t* path);
void ShowSystemDirNotFound(const wchar_t* path);
void ShowOtherEditionInstalled(const wchar_t* path);
void ShowEngineNotFound();
void ShowEngineRegisterFailed(const wchar_t* path, int exitCode);
void ShowExtensionNotFound();
void ShowExtensionRegisterFailed(const wchar_t* path);
// Warnings of an uninstallation, which goes on all the same.
void ShowExtensionUnregisterFailed(const wchar_t* path);
void ShowEngineRemoveFailed(const wchar_t* systemDir);

// True when the user chose Retry; quiet mode, and a box nobody can see, never retry.
bool AskRetryEngineCopy(DWORD error);

// IDYES, IDNO or IDCANCEL (0 when the box could not be shown or nobody can see it); quiet
// mode answers IDYES.
int AskDeleteInstallDirContent(const wchar_t* path);

// IDABORT, IDRETRY or IDIGNORE (0 when the box could not be shown or nobody can see it);
// quiet mode answers IDIGNORE.
int AskRetryDeleteFiles(const wchar_t* path);
