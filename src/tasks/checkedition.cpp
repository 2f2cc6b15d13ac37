#include "tasks/checkedition.h"

#include "base/text.h"

int HandleCheckEdition(const wchar_t* /*editionType*/) {
  QEL_TRACE();
  DebugText(L"HandleCheckEdition: the checkedition command is not available in this build");
  return 1;
}
