#pragma once
// Runs the built helper as an installer does, under the trace capture tool, with a real
// message box answerer, and checks what came out.

#include <functional>
#include <string>
#include <vector>

#include "acceptance/answerer.h"
#include "acceptance/messages.h"
#include "acceptance/support.h"

struct HelperRun {
  bool ended = false;           // within the time limit
  DWORD exitCode = 0;
  DWORD helperPid = 0;          // as the trace tool reported it
  std::vector<std::wstring> trace;
  std::vector<SeenBox> boxes;
  std::vector<std::string> problems;  // of the answerer
  std::string toolErrors;

  // The function names of the trace lines, in order.
  std::vector<std::wstring> Functions() const;
  bool TraceContains(const std::wstring& text) const;
};

// How the installer starts the helper: as usual; hidden (STARTF_USESHOWWINDOW with SW_HIDE,
// as quiet-exec wrappers do); or on the desktop of a window station that nobody sees, as a
// service or a scheduled task runs it.
enum class Launch { Normal, Hidden, UnseenStation };

// Runs `"<helper>" <arguments>` (arguments as they stand on the command line) under
// qel_trace.exe, started the way launch says. The helper defaults to the built one.
HelperRun RunHelper(const std::wstring& arguments, std::vector<Press> presses = {},
                    const std::wstring& helper = HelperExe(), Launch launch = Launch::Normal);

// Runs any command line with the box answerer accepting every "TARNWELL Setup" box, for an
// installer whose helper runs as its child. Returns false when it did not end in time.
struct ProgramRun {
  bool ended = false;
  DWORD exitCode = 0;
  DWORD processId = 0;
  std::vector<SeenBox> boxes;
  std::vector<std::string> problems;
};
ProgramRun RunProgram(const std::wstring& commandLine, std::vector<Press> presses = {});

// qel_trace.exe --listen <options>, listening (or ended, when it cannot) before meanwhile
// runs. With lines, it is ended once its output holds that many (or 60 s have passed): it
// writes each line at once. Otherwise it ends by itself within the time limit.
struct ListenerRun {
  bool ended = false;
  DWORD exitCode = 0;
  std::vector<std::wstring> lines;
  std::string report;  // its standard error
};
ListenerRun Listen(const std::wstring& options, const std::function<void()>& meanwhile = {}, size_t lines = 0);

// The whole check of a run: it ended with this code, showed exactly these boxes in this
// order (text, icon, buttons), and every trace line is well formed and carries the helper's
// own process id.
void ExpectRun(const HelperRun& run, DWORD exitCode, const std::vector<ExpectedBox>& boxes);
void ExpectBoxes(const std::vector<SeenBox>& seen, const std::vector<ExpectedBox>& expected);
void ExpectTraceWellFormed(const HelperRun& run);

std::wstring Quoted(const std::wstring& text);
