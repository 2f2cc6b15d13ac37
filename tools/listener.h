#pragma once
// qel_trace.exe --listen: the system-wide listener for debug output. Windows hands every text
// that a program without a debugger sends to the debugger output to the one process that holds
// the DBWIN_BUFFER section, and its two events, DBWIN_BUFFER_READY and DBWIN_DATA_READY.

#include <windows.h>

struct ListenOptions {
  ULONGLONG seconds = 0;  // 0: until Ctrl+C
  bool all = false;       // every program's lines, not only the helper's
  bool global = false;    // the Global\ namespace: the system account's and other sessions' output
};

// Prints each line as "<local time> <pid> <image name>: <text>" on out, reports on err, and
// returns the tool's exit code: 0 after listening, 1 when it could not listen (another listener
// holds the buffer, or the objects cannot be created).
int Listen(const ListenOptions& options, HANDLE out, HANDLE err);
