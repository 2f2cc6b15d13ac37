#include "front/main.h"

#include <cwchar>

#include "base/messages.h"
#include "base/platform.h"
#include "base/process.h"
#include "base/text.h"
#include "base/unique.h"
#include "tasks/checkedition.h"
#include "tasks/clean.h"
#include "tasks/copy.h"
#include "tasks/remove.h"

namespace {

enum class Command { Invalid, Clean, Copy, Remove, CheckEdition };

struct Keyword {
  const wchar_t* text;
  Command command;
};

const Keyword kKeywords[] = {
    {L"clean", Command::Clean},
    {L"copy", Command::Copy},
    {L"remove", Command::Remove},
    {L"checkedition", Command::CheckEdition},
};

// Keywords are compared exactly: "CLEAN" or "Copy" is not a command.
Command ParseCommand(const wchar_t* word) {
  Command found = Command::Invalid;
  int matches = 0;
  for (const Keyword& keyword : kKeywords) {
    if (wcscmp(word, keyword.text) == 0) {
      found = keyword.command;
      ++matches;
    }
  }
  return matches == 1 ? found : Command::Invalid;
}

// "X:" at the start of a path.
bool StartsWithDrive(const wchar_t* path) {
  const wchar_t drive = LowerAscii(path[0]);
  return drive >= L'a' && drive <= L'z' && path[1] == L':';
}

// "D:inst" is a folder of the current directory of drive D, which only this process knows.
bool IsDriveRelative(const wchar_t* path) {
  return StartsWithDrive(path) && path[2] != 0 && path[2] != L'\\' && path[2] != L'/';
}

// Installers quote the directory; the quotes are no part of the path. An argument too
// long for a PathBuffer leaves it empty.
void CleanDirectoryArgument(wchar_t* path, const wchar_t* argument) {
  if (argument != nullptr && wcslen(argument) < kPathChars) {
    size_t kept = 0;
    for (const wchar_t* c = argument; *c != 0; ++c) {
      if (*c != L'"') path[kept++] = *c;
    }
    path[kept] = 0;
  }
  NormalizePathInPlace(path);
}


// A relative directory means a folder of the current directory now; made absolute, it
// names the same folder at every later step, also once another directory is current. A
// bare drive "X:" is its root: it is what "X:\" becomes on a command line, where the
// quoted form "X:\"" reaches the helper as X:" (never the current directory of that drive,
// which the installer did not name). A path the system cannot resolve stays as it is and is
// found missing.
void MakeAbsolute(wchar_t* path) {
  if (path[0] == 0) return;
  if (StartsWithDrive(path) && path[2] == 0) ConcatPath(path, path, L"\\");
  PathBuffer full = {};
  if (!FullPathName(full, path)) {
    DebugLog(L"qel_tmain: <%ls> cannot be made absolute, LastError: <%x>", path, Platform().GetLastError());
    return;
  }
  ConcatPath(path, full, nullptr);
}

bool TakesDirectory(Command command) {
  return command == Command::Clean || command == Command::Copy || command == Command::Remove;
}

// The parameter text of the elevated copy, built in a PathBuffer; a text that does not fit
// is refused as a whole rather than cut.
struct ParameterText {
  wchar_t* text;
  size_t length;
};

bool Append(ParameterText& out, wchar_t c, size_t count = 1) {
  if (out.length + count >= kPathChars) return false;
  for (size_t i = 0; i < count; ++i) out.text[out.length++] = c;
  out.text[out.length] = 0;
  return true;
}

// Quotes one argument so that the platform's command-line splitting gives it back unchanged:
// backslashes are literal except before a quote, where each must be doubled, and a quote
// inside the argument is escaped. The closing quote counts, so trailing backslashes double.
bool AppendQuoted(ParameterText& out, const wchar_t* argument) {
  if (!Append(out, L'"')) return false;
  size_t backslashes = 0;
  for (const wchar_t* c = argument != nullptr ? argument : L""; *c != 0; ++c) {
    if (*c == L'\\') {
      ++backslashes;
      continue;
    }
    const bool quote = *c == L'"';
    if (!Append(out, L'\\', quote ? backslashes * 2 + 1 : backslashes) || !Append(out, *c)) return false;
    backslashes = 0;
  }
  return Append(out, L'\\', backslashes * 2) && Append(out, L'"');
}

// The marker first, then every argument after the program's path, each quoted. The elevated
// copy does not inherit this process's current directory of each drive: a drive-relative
// directory goes as the absolute path it names here, so that both copies mean one folder.
bool BuildRespawnParameters(wchar_t* parameters, int argc, wchar_t** argv) {
  ParameterText out = {parameters, 0};
  if (!AppendQuoted(out, kElevatedCopyMarker)) return false;
  PathBuffer directory = {};
  if (argv != nullptr && argc > 2 && argv[1] != nullptr && TakesDirectory(ParseCommand(argv[1]))) {
    CleanDirectoryArgument(directory, argv[2]);
  }
  const bool driveRelative = IsDriveRelative(directory);
  if (driveRelative) MakeAbsolute(directory);
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    const wchar_t* argument = driveRelative && i == 2 ? directory : argv[i];
    if (!Append(out, L' ') || !AppendQuoted(out, argument)) return false;
  }
  return true;
}

// Removes the marker of an elevated copy from the vector, so that the dispatcher sees the
// arguments of the first copy. True when it was there.
bool TakeElevatedCopyMarker(int& argc, wchar_t** argv) {
  if (argc < 2 || argv == nullptr || argv[1] == nullptr || wcscmp(argv[1], kElevatedCopyMarker) != 0) return false;
  for (int i = 1; i + 1 < argc; ++i) argv[i] = argv[i + 1];
  argv[--argc] = nullptr;
  return true;
}

// How this copy was asked to show itself, for the elevated copy: a hidden start stays hidden
// there, so that it too knows that nobody sees its boxes.
int ShowState() {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  Platform().GetStartupInfoW(&startup);
  return (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWNORMAL;
}

}  // namespace

const wchar_t kElevatedCopyMarker[] = L"--qel-elevated-copy";

bool IsNative64Bit() {
  QEL_TRACE();
  SYSTEM_INFO info = {};
  Platform().GetNativeSystemInfo(&info);
  return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
         info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA32_ON_WIN64;
}

bool IsDirectory(const wchar_t* path) {
  QEL_TRACE();
  if (path == nullptr) return false;
  const DWORD attributes = GetFileAttributesImpl(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int qel_tmain(int argc, wchar_t** argv) {
  QEL_TRACE();
  DebugPrintArgs(argc, argv);

  if (argc < 3 || argv == nullptr || argv[1] == nullptr) {
    ShowInvalidParameters();
    return 1;
  }
  const Command command = ParseCommand(argv[1]);
  if (command == Command::Invalid) {
    ShowInvalidParameters();
    return 1;
  }
  if (command == Command::CheckEdition) return HandleCheckEdition(argv[2]);

  PathBuffer path = {};
  CleanDirectoryArgument(path, argv[2]);
  MakeAbsolute(path);
  // An uninstallation goes on whatever the directory: what cannot be found there is left where
  // it is, and an engine that stays for that is warned about.
  if (!IsDirectory(path) && command != Command::Remove) {
    if (command == Command::Clean) return 0;
    ShowInstallDirNotFound(path);
    return 1;
  }
  if (command == Command::Clean) return HandleCleanInstallDir(path);

  // Only "copy" and "remove" may run silently, and only when asked for with exactly "quiet".
  if (argc > 3) QuietMode = argv[3] != nullptr && wcscmp(argv[3], L"quiet") == 0;
  if (command == Command::Remove) return IsNative64Bit() ? HandleRemove64Bit(path) : HandleRemove32Bit(path);
  return IsNative64Bit() ? Handle64Bit(path) : Handle32Bit(path);
}

bool RestrictLibrarySearch() {
  PlatformCalls& platform = Platform();
  if (platform.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
  // Without that call (Windows 6.0, and 6.1 without its loader update) the program's own
  // folder stays in the search, but the current directory at least can be dropped.
  platform.SetDllDirectoryW(L"");
  return false;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  // Before anything can load a library: the helper runs elevated from wherever the installer
  // unpacked it, often a download folder.
  PlatformCalls& platform = Platform();
  const bool restricted = RestrictLibrarySearch();
  const DWORD restrictError = platform.GetLastError();
  QEL_TRACE();
  if (!restricted) {
    DebugLog(L"wWinMain: library search not restricted to the system directory, LastError: <%x>", restrictError);
  }

  const HRESULT com = platform.CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  int result = 1;
  int argc = 0;
  // The vector lives until the process ends.
  wchar_t** argv = platform.CommandLineToArgvW(platform.GetCommandLineW(), &argc);
  if (argv == nullptr) {
    DebugLog(L"wWinMain: the command line cannot be split, LastError: <%x>", platform.GetLastError());
    ShowInvalidParameters();
  } else {
    DebugPrintArgs(argc, argv);
    result = qel_main_main(argc, argv);
  }
  // Released only when this call initialised it: an unbalanced release would undo an
  // initialisation that is not ours.
  if (SUCCEEDED(com)) platform.CoUninitialize();
  return result;
}

int qel_main_main(int argc, wchar_t** argv) {
  QEL_TRACE();
  DebugPrintArgs(argc, argv);
  // A copy started through the elevation prompt never starts another one, even when it
  // still is not elevated (elevation switched off): it runs the command as it is.
  const bool elevatedCopy = TakeElevatedCopyMarker(argc, argv);
  if (elevatedCopy) DebugText(L"qel_main_main: started through the elevation prompt");

  QEL_TRACE_AS("IsHigherThanWindowsXP");
  if (IsWindowsVersionAtLeast(6, 0, 0)) {
    QEL_TRACE_AS("IsNotElevated");
    if (!IsElevated()) {
      if (!elevatedCopy) return RespawnSpawnProgram(argc, argv);
      DebugText(L"qel_main_main: still not elevated, the command runs without elevation");
    }
  }
  return qel_tmain(argc, argv);
}

bool IsWindowsVersionAtLeast(WORD major, WORD minor, WORD servicePackMajor) {
  PlatformCalls& platform = Platform();
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  version.dwMajorVersion = major;
  version.dwMinorVersion = minor;
  version.wServicePackMajor = servicePackMajor;
  DWORDLONG conditions = 0;
  conditions = platform.VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
  conditions = platform.VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
  conditions = platform.VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return platform.VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                                     conditions) != FALSE;
}

bool IsElevated() {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  UniqueHandle token;
  if (!platform.OpenProcessToken(platform.GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    DebugLog(L"IsElevated: OpenProcessToken failed, LastError: <%x>", platform.GetLastError());
    return false;
  }
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  if (!platform.GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) {
    DebugLog(L"IsElevated: GetTokenInformation failed, LastError: <%x>", platform.GetLastError());
    return false;
  }
  return elevation.TokenIsElevated != 0;
}

bool GetRunningExeFullPath(wchar_t* dest) {
  QEL_TRACE();
  if (dest == nullptr) return false;
  PlatformCalls& platform = Platform();
  PathBuffer module = {};
  const DWORD length = platform.GetModuleFileNameW(nullptr, module, kPathChars);
  // A cut path could name another program, which would then run elevated.
  if (length == 0 || length >= kPathChars) {
    DebugLog(L"GetRunningExeFullPath: GetModuleFileNameW gave <%u>, LastError: <%x>", length,
             platform.GetLastError());
    return false;
  }
  return ConcatPath(dest, module, nullptr);
}

int RespawnSpawnProgram(int argc, wchar_t** argv) {
  QEL_TRACE();
  DebugPrintArgs(argc, argv);
  PlatformCalls& platform = Platform();

  PathBuffer exe = {};
  if (!GetRunningExeFullPath(exe)) return 1;
  PathBuffer parameters = {};
  // Dropping or cutting an argument would run another command elevated.
  if (!BuildRespawnParameters(parameters, argc, argv)) {
    DebugText(L"RespawnSpawnProgram: the arguments do not fit into the parameter text");
    return 1;
  }
  DebugText(L"Respawn");
  DebugText(exe);
  DebugText(parameters);

  // A relative directory argument means the same folder to the elevated copy.
  PathBuffer currentDir = {};
  const DWORD currentLength = platform.GetCurrentDirectoryW(kPathChars, currentDir);
  if (currentLength == 0 || currentLength >= kPathChars) {
    DebugLog(L"RespawnSpawnProgram: the current directory cannot be read, LastError: <%x>", platform.GetLastError());
    currentDir[0] = 0;
  }

  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  info.lpVerb = L"runas";
  info.lpFile = exe;
  info.lpParameters = parameters;
  info.lpDirectory = currentDir[0] != 0 ? currentDir : nullptr;
  info.nShow = ShowState();
  // A declined elevation prompt ends here too.
  if (!platform.ShellExecuteExW(&info)) {
    DebugLog(L"RespawnSpawnProgram: ShellExecuteExW failed, LastError: <%x>", platform.GetLastError());
    return 1;
  }
  UniqueHandle process(info.hProcess);
  DWORD exitCode = 0;
  // Nobody knows whether a copy whose result cannot be read did its work: revert.
  const DWORD waited = process.valid() ? platform.WaitForSingleObject(process.get(), INFINITE) : WAIT_FAILED;
  if (waited != WAIT_OBJECT_0 || !platform.GetExitCodeProcess(process.get(), &exitCode)) {
    DebugLog(L"RespawnSpawnProgram: the exit code of the elevated copy cannot be read, LastError: <%x>",
             platform.GetLastError());
    // The installer reverts on 1: a copy that went on working would install beside that.
    if (process.valid() && waited != WAIT_OBJECT_0) StopChild(process.get(), nullptr);
    return 1;
  }
  DebugLog(L"RespawnSpawnProgram: the elevated copy ended with <%d>", static_cast<int>(exitCode));
  return static_cast<int>(exitCode);
}
