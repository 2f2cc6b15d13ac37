#include "base/files.h"

#include "base/platform.h"
#include "base/text.h"
#include "base/unique.h"

namespace {

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

// Starts a listing of dir + "\*.*". An empty directory is refused like a null one: its
// pattern would list the root of the current drive.
bool OpenListing(const wchar_t* dir, UniqueFind& listing, WIN32_FIND_DATAW& entry) {
  if (dir == nullptr || dir[0] == 0) return false;
  PathBuffer pattern = {};
  if (!ConcatPath(pattern, dir, L"\\") || !ConcatPath(pattern, pattern, L"*.*")) return false;
  entry = {};
  listing.reset(Platform().FindFirstFileW(pattern, &entry));
  return listing.valid();
}

}  // namespace

int CheckIfDirHasContent(const wchar_t* dir) {
  QEL_TRACE();
  UniqueFind listing;
  WIN32_FIND_DATAW entry;
  if (!OpenListing(dir, listing, entry)) return kDirUnlistable;
  do {
    if (!IsDotEntry(entry.cFileName)) return kDirHasContent;
  } while (Platform().FindNextFileW(listing.get(), &entry));
  return kDirEmpty;
}
