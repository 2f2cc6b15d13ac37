#include "tasks/copy.h"

#include "base/text.h"

int Handle64Bit(const wchar_t* /*installDir*/) {
  QEL_TRACE();
  DebugText(L"Handle64Bit: the copy command is not available in this build");
  return 1;
}

int Handle32Bit(const wchar_t* /*installDir*/) {
  QEL_TRACE();
  DebugText(L"Handle32Bit: the copy command is not available in this build");
  return 1;
}
