#pragma once
// Every message box the user can see, and quiet mode, which replaces each box by its
// fixed answer so that a silent installation never waits for a click.

#include <windows.h>

// Written once by the dispatcher, before any task runs.
extern bool QuietMode;

void ShowInvalidParameters();
void ShowInvalidEditionParameters();
void ShowInstallDirNotFound(const wchar_t* path);
void ShowSystemDirNotFound(const wchar_t* path);
void ShowOtherEditionInstalled(const wchar_t* path);
void ShowEngineNotFound();
void ShowEngineRegisterFailed(const wchar_t* path, int exitCode);
void ShowExtensionNotFound();
void ShowExtensionRegisterFailed(const wchar_t* path);

// True when the user chose Retry; quiet mode never retries.
bool AskRetryEngineCopy(DWORD error);

// IDYES, IDNO or IDCANCEL (0 when the box could not be shown); quiet mode answers IDYES.
int AskDeleteInstallDirContent(const wchar_t* path);

// IDABORT, IDRETRY or IDIGNORE (0 when the box could not be shown); quiet mode answers IDIGNORE.
int AskRetryDeleteFiles(const wchar_t* path);
