#include "tasks/checkedition.h"

#include "base/files.h"
#include "base/messages.h"
#include "base/registry.h"
#include "base/text.h"

namespace {

bool IsStudentEdition(const wchar_t* edition) { return ContainsNoCase(edition, L"STUDENT"); }

}  // namespace

int HandleCheckEdition(const wchar_t* editionType) {
  QEL_TRACE();
  DebugText(L"HandleCheckEdition");
  if (editionType == nullptr) {
    ShowInvalidEditionParameters();
    return 1;
  }

  // An argument too long for a PathBuffer leaves the copy empty: the commercial edition.
  PathBuffer requested = {};
  ConcatPath(requested, editionType, L"");
  const bool requestedStudent = IsStudentEdition(requested);

  // No record at all counts as the commercial edition.
  PathBuffer installed = {};
  const bool installedStudent = QueryHKLM(installed, L"EDITION") == 1 && IsStudentEdition(installed);

  // An empty recorded path is no path: listing it would list the current drive's root.
  PathBuffer recordedPath = {};
  const bool hasRecordedPath = QueryHKLM(recordedPath, L"INSTALLPATH") == 1 && recordedPath[0] != 0;

  DebugText(L"pszEditionType");
  DebugText(requested);
  DebugText(L"pszEdition");
  DebugText(installed);
  DebugText(L"pszInstallPath");
  DebugText(recordedPath);

  if (requestedStudent == installedStudent || !hasRecordedPath) return 0;
  switch (CheckIfDirHasContent(recordedPath)) {
    case kDirHasContent:
      ShowOtherEditionInstalled(recordedPath);
      return 1;
    case kDirEmpty:
      // The other edition left nothing behind: its record is stale.
      DeleteEditionKey();
      return 0;
    default:
      // It cannot be listed (gone, for example): nothing proves the other edition is there.
      return 0;
  }
}
