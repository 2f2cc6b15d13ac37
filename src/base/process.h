#pragma once
// Child processes: running a command line and waiting for it, and the system's COM
// registration tool.

#include <windows.h>

// Starts commandLine as a child process with this process's startup settings, environment
// and current directory, waits for it without a time limit and returns its exit code (the
// unsigned value passed on as the signed result). Returns 1 when nothing was started (null
// or empty command line, no such program) or when the child's end cannot be observed.
int SpawnProgram(const wchar_t* commandLine);

// Runs the registration tool of the system directory as `regsvr32.exe /s "<path>"`
// (registering) or `regsvr32.exe /s /u "<path>"` and returns its exit code. Returns 1 when
// nothing could be run: a null path, a command line that does not fit a PathBuffer, no
// system directory.
int SpawnRegSvr(const wchar_t* path, bool registering);

// Stops a child that could not be waited for, then waits up to 30 seconds until it has ended
// (it ends some time after it is told to): left running, it would act beside the steps that
// follow. Returns whether it could be told to stop; ended, where given, receives the wait's
// result.
BOOL StopChild(HANDLE process, DWORD* ended);
