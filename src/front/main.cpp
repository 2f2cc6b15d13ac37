#include "front/main.h"

#include <cwchar>

#include "base/messages.h"
#include "base/platform.h"
#include "base/text.h"
#include "tasks/checkedition.h"
#include "tasks/clean.h"
#include "tasks/copy.h"

namespace {

enum class Command { Invalid, Clean, Copy, CheckEdition };

struct Keyword {
  const wchar_t* text;
  Command command;
};

const Keyword kKeywords[] = {
    {L"clean", Command::Clean},
    {L"copy", Command::Copy},
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

}  // namespace

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
  if (!IsDirectory(path)) {
    if (command == Command::Clean) return 0;
    ShowInstallDirNotFound(path);
    return 1;
  }
  if (command == Command::Clean) return HandleCleanInstallDir(path);

  // Only "copy" may run silently, and only when asked for with exactly "quiet".
  if (argc > 3) QuietMode = argv[3] != nullptr && wcscmp(argv[3], L"quiet") == 0;
  return IsNative64Bit() ? Handle64Bit(path) : Handle32Bit(path);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  QEL_TRACE();
  int argc = 0;
  wchar_t** argv = Platform().CommandLineToArgvW(Platform().GetCommandLineW(), &argc);
  if (argv == nullptr) {
    ShowInvalidParameters();
    return 1;
  }
  DebugPrintArgs(argc, argv);
  return qel_tmain(argc, argv);
}
