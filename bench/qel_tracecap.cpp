// A minimal debugger that captures the debugger output of one program, the way a trace
// viewer would while an installation runs:
//
//   qel_tracecap.exe [--out FILE] program.exe [arguments...]
//
// It starts the program with DEBUG_ONLY_THIS_PROCESS, reads every OUTPUT_DEBUG_STRING_EVENT
// from the program's memory (and writes it as one line to FILE when given), and ends with
// the program's exit code. The number of captured lines goes to standard error, so that
// the program's own standard output passes through unchanged.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

// Reads one debug string from the debuggee; Wine delivers it as ANSI, Windows may send
// either form.
std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  const size_t units = info.nDebugStringLength;
  if (units == 0) return std::string();
  if (info.fUnicode) {
    std::vector<wchar_t> wide(units + 1, 0);
    ReadProcessMemory(process, info.lpDebugStringData, wide.data(), units * sizeof(wchar_t), nullptr);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, &text[0], bytes, nullptr, nullptr);
    text.resize(text.find('\0'));
    return text;
  }
  std::string text(units, '\0');
  ReadProcessMemory(process, info.lpDebugStringData, &text[0], units, nullptr);
  text.resize(text.find('\0') == std::string::npos ? units : text.find('\0'));
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int first = 1;
  FILE* out = nullptr;
  if (argc > 3 && std::wstring(argv[1]) == L"--out") {
    out = _wfopen(argv[2], L"wb");
    if (out == nullptr) return 2;
    first = 3;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: qel_tracecap.exe [--out FILE] program.exe [arguments...]\n");
    return 2;
  }
  std::wstring commandLine;
  for (int i = first; i < argc; ++i) commandLine += (i > first ? L" " : L"") + Quote(argv[i]);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "qel_tracecap: cannot start the program, error %lu\n", GetLastError());
    return 2;
  }
  unsigned long long lines = 0;
  DWORD exitCode = 2;
  for (bool running = true; running;) {
    DEBUG_EVENT event = {};
    if (!WaitForDebugEvent(&event, INFINITE)) break;
    DWORD continueStatus = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case OUTPUT_DEBUG_STRING_EVENT: {
        const std::string text = ReadDebugString(process.hProcess, event.u.DebugString);
        ++lines;
        if (out != nullptr) {
          std::fwrite(text.data(), 1, text.size(), out);
          std::fputc('\n', out);
        }
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        // The initial breakpoint is ours to swallow; every other exception is the program's.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          continueStatus = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        exitCode = event.u.ExitProcess.dwExitCode;
        running = false;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (out != nullptr) std::fclose(out);
  std::fprintf(stderr, "captured_lines=%llu\n", lines);
  return static_cast<int>(exitCode);
}
