#include "base/registry.h"

#include <cwchar>

#include "base/platform.h"
#include "base/text.h"
#include "base/unique.h"

namespace {

const DWORD kValueBytes = kPathChars * sizeof(wchar_t);

// The two key paths of one operation, built on its first call and kept for the process.
struct ProductKeyPaths {
  PathBuffer native;
  PathBuffer wow;
  bool built;
};

void BuildOnce(ProductKeyPaths& paths) {
  if (paths.built) return;
  GetHKLM(paths.native);
  GetHKLM_WOW(paths.wow);
  paths.built = true;
}

void JoinKeyPath(wchar_t* dest, const wchar_t* const* components, size_t count) {
  wmemset(dest, 0, kPathChars);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) ConcatPath(dest, dest, L"\\");
    ConcatPath(dest, dest, components[i]);
  }
}

bool OpenKey(const wchar_t* path, REGSAM access, UniqueKey& key) {
  HKEY opened = nullptr;
  if (Platform().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &opened) != ERROR_SUCCESS) return false;
  key.reset(opened);
  return true;
}

// The native key, or the 32-bit one when the native key does not open; null when neither does.
const wchar_t* OpenProductKey(const ProductKeyPaths& paths, UniqueKey& key) {
  if (OpenKey(paths.native, KEY_READ, key)) return paths.native;
  if (OpenKey(paths.wow, KEY_READ, key)) return paths.wow;
  return nullptr;
}

struct ValueRead {
  bool queried;     // the platform answered with the value
  bool terminated;  // its text ended within the buffer
  DWORD type;
  DWORD bytes;
};

// Queries into data, a PathBuffer, and closes the key. data always ends up terminated: it
// is emptied when the query failed or when the value filled the whole buffer without a
// terminating zero.
ValueRead QueryAndClose(UniqueKey& key, const wchar_t* valueName, wchar_t* data) {
  ValueRead read = {false, false, REG_NONE, kValueBytes};
  wmemset(data, 0, kPathChars);
  read.queried = Platform().RegQueryValueExW(key.get(), valueName, nullptr, &read.type,
                                             reinterpret_cast<BYTE*>(data), &read.bytes) == ERROR_SUCCESS;
  key.reset();
  read.terminated = read.queried && data[kPathChars - 1] == 0;
  if (!read.terminated) wmemset(data, 0, kPathChars);
  return read;
}

}  // namespace

void GetHKLM(wchar_t* dest) {
  QEL_TRACE();
  static const wchar_t* const kComponents[] = {L"Software", L"Helvane", L"BRAVIK", L"2020"};
  if (dest != nullptr) JoinKeyPath(dest, kComponents, sizeof(kComponents) / sizeof(kComponents[0]));
}

void GetHKLM_WOW(wchar_t* dest) {
  QEL_TRACE();
  static const wchar_t* const kComponents[] = {L"Software", L"Wow6432Node", L"Helvane", L"BRAVIK", L"2020"};
  if (dest != nullptr) JoinKeyPath(dest, kComponents, sizeof(kComponents) / sizeof(kComponents[0]));
}

int QueryHKLM(wchar_t* data, const wchar_t* valueName) {
  QEL_TRACE();
  if (data == nullptr || valueName == nullptr) return -1;
  static ProductKeyPaths paths = {};
  BuildOnce(paths);
  wmemset(data, 0, kPathChars);

  UniqueKey key;
  if (OpenProductKey(paths, key) == nullptr) return 0;
  const ValueRead read = QueryAndClose(key, valueName, data);
  return read.terminated && read.type == REG_SZ && read.bytes != 0 ? 1 : 0;
}

void DeleteEditionKey() {
  QEL_TRACE();
  static ProductKeyPaths paths = {};
  BuildOnce(paths);

  UniqueKey key;
  const wchar_t* opened = OpenProductKey(paths, key);
  if (opened == nullptr) return;
  // Only whether the value is there counts, not its type or size.
  PathBuffer edition = {};
  if (!QueryAndClose(key, L"EDITION", edition).queried) return;

  UniqueKey writable;
  if (OpenKey(opened, KEY_SET_VALUE, writable)) Platform().RegDeleteValueW(writable.get(), L"EDITION");
}
