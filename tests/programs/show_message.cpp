// qel_show_message.exe <operation> [path]: shows one of the helper's message boxes through
// the helper's own message code. It exists for the boxes that no command line of the built
// helper brings up (the system directory cannot be missing on a working Windows, and the
// dispatcher refuses a missing edition before the edition check could), so that they too can
// be checked on a real display and pictured.

#include <cwchar>

#include "base/messages.h"

int wmain(int argc, wchar_t** argv) {
  const wchar_t* operation = argc > 1 ? argv[1] : L"";
  const wchar_t* path = argc > 2 ? argv[2] : L"";
  if (wcscmp(operation, L"ShowInvalidEditionParameters") == 0) {
    ShowInvalidEditionParameters();
    return 0;
  }
  if (wcscmp(operation, L"ShowSystemDirNotFound") == 0) {
    ShowSystemDirNotFound(path);
    return 0;
  }
  return 2;
}
