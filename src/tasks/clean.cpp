#include "tasks/clean.h"

#include "base/text.h"

int HandleCleanInstallDir(const wchar_t* /*path*/) {
  QEL_TRACE();
  DebugText(L"HandleCleanInstallDir: the clean command is not available in this build");
  return 1;
}
