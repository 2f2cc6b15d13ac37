#include "base/process.h"

#include <cwchar>
#include <vector>

#include "base/platform.h"
#include "base/text.h"
#include "base/unique.h"

namespace {

// Waits for the child and reads how it ended. A failed wait or query tells nothing about
// the child, so it counts as failure (1) rather than as the success that 0 would report. A
// child that cannot be waited for is stopped, and waited for until it has ended: left
// running, it would act beside the steps that follow (an unregistration undoing the
// registration after it).
int WaitForExitCode(HANDLE process) {
  PlatformCalls& platform = Platform();
  const DWORD waited = platform.WaitForSingleObject(process, INFINITE);
  if (waited != WAIT_OBJECT_0) {
    const DWORD waitError = platform.GetLastError();
    DWORD ended = 0;
    const BOOL stopped = StopChild(process, &ended);
    DebugLog(L"SpawnProgram: the wait failed (<%x>, LastError: <%x>): the child is stopped, result: <%d>, "
             L"ended: <%x>",
             waited, waitError, stopped, ended);
  }
  DWORD exitCode = 0;
  const BOOL read = waited == WAIT_OBJECT_0 && platform.GetExitCodeProcess(process, &exitCode);
  DebugLog(L"SpawnProgram: wait result: <%x>, exit code read: <%d>, exit code: <%d>, LastError: <%x>", waited, read,
           static_cast<int>(exitCode), platform.GetLastError());
  return read ? static_cast<int>(exitCode) : 1;
}

// SpawnProgram with an optional application name: given, it is the program that runs;
// absent, the platform searches for the first word of the command line.
int StartAndWait(const wchar_t* applicationName, const wchar_t* commandLine) {
  QEL_TRACE_AS("SpawnProgram");
  if (commandLine == nullptr || commandLine[0] == 0) return 1;
  PlatformCalls& platform = Platform();

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  platform.GetStartupInfoW(&startup);
  // The platform may write into the command line it is given.
  std::vector<wchar_t> writable(commandLine, commandLine + wcslen(commandLine) + 1);
  PROCESS_INFORMATION process = {};

  const DWORD before = platform.GetLastError();
  const BOOL created = platform.CreateProcessW(applicationName, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                               nullptr, &startup, &process);
  const DWORD after = platform.GetLastError();
  DebugLog(L"SpawnProgram: LastError before: <%x>, result: <%d>, LastError after: <%x>, application: <%ls>, "
           L"command line: <%ls>",
           before, created, after, applicationName != nullptr ? applicationName : L"", commandLine);
  if (!created) return 1;

  UniqueHandle processHandle(process.hProcess);
  UniqueHandle threadHandle(process.hThread);
  return WaitForExitCode(processHandle.get());
}

// The fixed text takes 18 characters when registering and 21 when unregistering, quotes
// included; a path that leaves no room is refused rather than cut.
bool BuildRegSvrCommandLine(wchar_t* commandLine, const wchar_t* path, bool registering) {
  const wchar_t* options = registering ? L"/s " : L"/s /u ";
  const size_t fixedChars = wcslen(L"regsvr32.exe ") + wcslen(options) + 2;
  const size_t pathChars = wcsnlen(path, kPathChars);
  if (pathChars + fixedChars >= kPathChars) {
    DebugLog(L"SpawnRegSvr: the command line would not fit: path of <%d> characters", static_cast<int>(pathChars));
    return false;
  }
  PrintToBuffer(commandLine, L"regsvr32.exe %ls\"%ls\"", options, path);
  return true;
}

// The tool is named by its full path: the helper runs elevated, and a search by name would
// look in the helper's own folder and in the current directory before the system directory.
bool FindSystemRegSvr(wchar_t* tool) {
  const UINT length = Platform().GetSystemDirectoryW(tool, static_cast<UINT>(kPathChars));
  if (length == 0 || length >= kPathChars) {
    DebugLog(L"SpawnRegSvr: no system directory, LastError: <%x>", Platform().GetLastError());
    return false;
  }
  return ConcatPath(tool, tool, L"\\regsvr32.exe");
}

}  // namespace

BOOL StopChild(HANDLE process, DWORD* ended) {
  PlatformCalls& platform = Platform();
  const BOOL stopped = platform.TerminateProcess(process, 1);
  // A child that could not be stopped must not hold up a silent installation for ever.
  const DWORD waited = platform.WaitForSingleObject(process, 30000);
  if (ended != nullptr) *ended = waited;
  return stopped;
}

int SpawnProgram(const wchar_t* commandLine) { return StartAndWait(nullptr, commandLine); }

int SpawnRegSvr(const wchar_t* path, bool registering) {
  QEL_TRACE();
  if (path == nullptr) return 1;
  PathBuffer commandLine = {};
  if (!BuildRegSvrCommandLine(commandLine, path, registering)) return 1;
  PathBuffer tool = {};
  if (!FindSystemRegSvr(tool)) return 1;
  return StartAndWait(tool, commandLine);
}
