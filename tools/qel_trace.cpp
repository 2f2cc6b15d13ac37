// qel_trace.exe: runs a command as a debuggee and prints every text it sends to the
// debugger output, one per line, on standard output.
//
//   qel_trace.exe QelInstallHelper.exe copy "C:\Program Files\Tarnwell" quiet
//
// Or it listens, until Ctrl+C or for N seconds, to the debug output of every program of the
// session that runs without a debugger, the helper's elevated copy included; with --global, to
// the system account's and other sessions' (see listener.h):
//
//   qel_trace.exe --listen [--seconds N] [--all] [--global]
//
// By default it prints every line of the processes that write the helper's trace (a line that
// starts "PID: <its own id>, File: <"), and no other; --all prints every program's. It ends
// with 0, with 1 when it cannot listen (another listener holds the buffer, or it cannot be
// created: --global needs administrator rights), or with 255 for options it does not know.
//
// Everything after the tool's own name is the command line of the debuggee, passed on
// exactly as written (quotes included). Standard error gets two lines of its own:
// "qel_trace: process <id>" once the debuggee runs, and "qel_trace: exit code <n>" when it
// has ended. The tool ends with the debuggee's exit code, or 255 when it cannot start it.
// Only the debuggee is followed, not the processes it starts in turn.
//
// It needs nothing but the system, so it also works on a Windows without other tools.
// Started from an unelevated prompt, the helper hands its command to an elevated copy,
// whose output a debuggee's tool does not see: run it from an elevated prompt, or listen.

#include <windows.h>

#include <climits>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "common/console.h"
#include "listener.h"

namespace {

const DWORD kCannotStart = 255;
// Longer texts are cut; the helper's own lines are far shorter.
const SIZE_T kMostBytes = 64 * 1024;

void WriteLine(HANDLE out, const std::wstring& text) { WriteText(out, text + L"\n"); }

// Drops the line ends that some texts carry, since every text gets its own line anyway.
std::wstring WithoutLineEnd(std::wstring text) {
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return text;
}

// The debuggee's text: narrow (as Wine and WaitForDebugEvent deliver it) in the system's
// code page, or wide.
std::wstring ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  const SIZE_T unit = info.fUnicode ? sizeof(wchar_t) : 1;
  SIZE_T bytes = static_cast<SIZE_T>(info.nDebugStringLength) * unit;
  if (bytes > kMostBytes) bytes = kMostBytes;
  std::vector<char> raw(bytes + sizeof(wchar_t), '\0');
  SIZE_T read = 0;
  if (bytes == 0 || !ReadProcessMemory(process, info.lpDebugStringData, raw.data(), bytes, &read)) return L"";
  if (info.fUnicode) {
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(raw.data());
    return std::wstring(wide, wcsnlen(wide, read / sizeof(wchar_t)));
  }
  return FromCodePage(std::string(raw.data(), strnlen(raw.data(), read)));
}

void CloseIfOpen(HANDLE handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

struct Debuggee {
  DWORD id = 0;
  HANDLE process = nullptr;  // owned by the system, valid until the last event is continued
  bool initialBreakpointSeen = false;
  DWORD exitCode = kCannotStart;
  bool ended = false;
};

// Handles one event and says how the debuggee is to go on.
DWORD OnEvent(const DEBUG_EVENT& event, Debuggee& debuggee, HANDLE out, HANDLE err) {
  switch (event.dwDebugEventCode) {
    case CREATE_PROCESS_DEBUG_EVENT:
      CloseIfOpen(event.u.CreateProcessInfo.hFile);
      debuggee.process = event.u.CreateProcessInfo.hProcess;
      WriteLine(err, L"qel_trace: process " + std::to_wstring(event.dwProcessId));
      break;
    case LOAD_DLL_DEBUG_EVENT:
      CloseIfOpen(event.u.LoadDll.hFile);
      break;
    case OUTPUT_DEBUG_STRING_EVENT:
      WriteLine(out, WithoutLineEnd(ReadDebugString(debuggee.process, event.u.DebugString)));
      break;
    case EXCEPTION_DEBUG_EVENT:
      // The loader stops once at a breakpoint for the debugger; every other exception is
      // the debuggee's own business.
      if (!debuggee.initialBreakpointSeen && event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT) {
        debuggee.initialBreakpointSeen = true;
        return DBG_CONTINUE;
      }
      return DBG_EXCEPTION_NOT_HANDLED;
    case EXIT_PROCESS_DEBUG_EVENT:
      if (event.dwProcessId == debuggee.id) {
        debuggee.exitCode = event.u.ExitProcess.dwExitCode;
        debuggee.ended = true;
      }
      break;
    default:
      break;
  }
  return DBG_CONTINUE;
}

// The options after --listen; false for one it does not know.
bool ReadListenOptions(int argc, wchar_t** argv, ListenOptions& options) {
  for (int i = 2; i < argc; ++i) {
    const std::wstring option = argv[i];
    if (option == L"--all") {
      options.all = true;
    } else if (option == L"--global") {
      options.global = true;
    } else if (option == L"--seconds" && i + 1 < argc && iswdigit(argv[i + 1][0])) {
      wchar_t* end = nullptr;
      options.seconds = wcstoul(argv[++i], &end, 10);
      if (*end != 0 || options.seconds == 0 || options.seconds == ULONG_MAX) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  std::wstring command = AfterFirstArgument(GetCommandLineW());
  ListenOptions listen;
  const bool listening = argc > 1 && wcscmp(argv[1], L"--listen") == 0;
  if (command.empty() || (listening && !ReadListenOptions(argc, argv, listen))) {
    WriteLine(err, L"usage: qel_trace.exe <program> [arguments...]\n"
                   L"       qel_trace.exe --listen [--seconds N] [--all] [--global]");
    return static_cast<int>(kCannotStart);
  }
  if (listening) return Listen(listen, out, err);

  // The command starts as the tool was started (hidden, say), and on the tool's desktop,
  // which Wine does not pass on by itself.
  STARTUPINFOW own = {};
  own.cb = sizeof(own);
  GetStartupInfoW(&own);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = own.dwFlags & STARTF_USESHOWWINDOW;
  startup.wShowWindow = own.wShowWindow;
  startup.lpDesktop = own.lpDesktop != nullptr && own.lpDesktop[0] != 0 ? own.lpDesktop : nullptr;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                      &startup, &started)) {
    WriteLine(err, L"qel_trace: cannot start the command, error " + std::to_wstring(GetLastError()));
    return static_cast<int>(kCannotStart);
  }
  CloseHandle(started.hThread);
  Debuggee debuggee;
  debuggee.id = started.dwProcessId;

  while (!debuggee.ended) {
    DEBUG_EVENT event = {};
    if (!WaitForDebugEvent(&event, INFINITE)) {
      WriteLine(err, L"qel_trace: waiting for the debuggee failed, error " + std::to_wstring(GetLastError()));
      break;
    }
    const DWORD status = OnEvent(event, debuggee, out, err);
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  if (!debuggee.ended) {
    WaitForSingleObject(started.hProcess, INFINITE);
    GetExitCodeProcess(started.hProcess, &debuggee.exitCode);
  }
  CloseHandle(started.hProcess);
  WriteLine(err, L"qel_trace: exit code " + std::to_wstring(debuggee.exitCode));
  return static_cast<int>(debuggee.exitCode);
}
