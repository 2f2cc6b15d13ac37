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

// The first product key that opens for access, native first: its status, ERROR_FILE_NOT_FOUND
// when neither is there. Any other failure tells nothing about the other key.
LSTATUS OpenFirstProductKey(const ProductKeyPaths& paths, REGSAM access, UniqueKey& key) {
  LSTATUS status = ERROR_FILE_NOT_FOUND;
  for (const wchar_t* path : {paths.native, paths.wow}) {
    HKEY opened = nullptr;
    status = Platform().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &opened);
    if (status == ERROR_SUCCESS) key.reset(opened);
    if (status != ERROR_FILE_NOT_FOUND) return status;
  }
  return status;
}

// The key paths that the engine reference's operations share.
ProductKeyPaths& ReferencePaths() {
  static ProductKeyPaths paths = {};
  BuildOnce(paths);
  return paths;
}

const wchar_t kEngineValue[] = L"ENGINE";
const wchar_t kSharedDlls[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// Opens (or, with create, makes) a key in the native view; key owns it only when that succeeded.
LSTATUS OpenNativeKey(const wchar_t* path, REGSAM access, bool create, UniqueKey& key) {
  PlatformCalls& platform = Platform();
  HKEY opened = nullptr;
  const REGSAM native = access | KEY_WOW64_64KEY;
  const LSTATUS status =
      create ? platform.RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, native, nullptr, &opened, nullptr)
             : platform.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, native, &opened);
  if (status == ERROR_SUCCESS) key.reset(opened);
  return status;
}

// The registry's answer becomes the last error of a call that failed, for the caller's messages.
bool ReportStatus(LSTATUS status, bool succeeded) {
  if (!succeeded) Platform().SetLastError(static_cast<DWORD>(status));
  return succeeded;
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

int QueryEngineReference() {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  UniqueKey key;
  LSTATUS status = OpenFirstProductKey(ReferencePaths(), KEY_QUERY_VALUE, key);
  if (status == ERROR_SUCCESS) {
    status = platform.RegQueryValueExW(key.get(), kEngineValue, nullptr, nullptr, nullptr, nullptr);
  }
  key.reset();
  const int held = status == ERROR_SUCCESS ? 1 : status == ERROR_FILE_NOT_FOUND ? 0 : -1;
  DebugLog(L"QueryEngineReference: LastError before: <%x>, result: <%d>, LastError after: <%x>, status: <%d>", before,
           held, platform.GetLastError(), status);
  return ReportStatus(status, held >= 0) ? held : -1;
}

bool SetEngineReference(bool held) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  UniqueKey key;
  LSTATUS status = OpenFirstProductKey(ReferencePaths(), KEY_SET_VALUE, key);
  if (held && status == ERROR_FILE_NOT_FOUND) {
    status = OpenNativeKey(ReferencePaths().native, KEY_SET_VALUE, true, key);
  }
  const DWORD one = 1;
  if (status == ERROR_SUCCESS) {
    status = held ? platform.RegSetValueExW(key.get(), kEngineValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                                            sizeof(one))
                  : platform.RegDeleteValueW(key.get(), kEngineValue);
  }
  key.reset();
  const bool done = status == ERROR_SUCCESS || (!held && status == ERROR_FILE_NOT_FOUND);
  DebugLog(L"SetEngineReference: LastError before: <%x>, result: <%d>, LastError after: <%x>, status: <%d>, held: <%d>",
           before, done, platform.GetLastError(), status, held);
  return ReportStatus(status, done);
}

bool ReadSharedCount(const wchar_t* file, long long* count) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  UniqueKey key;
  DWORD type = REG_NONE;
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  LSTATUS status = OpenNativeKey(kSharedDlls, KEY_QUERY_VALUE, false, key);
  if (status == ERROR_SUCCESS) {
    status = platform.RegQueryValueExW(key.get(), file, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
  }
  key.reset();
  const bool counted = status == ERROR_SUCCESS && type == REG_DWORD && bytes == sizeof(value);
  const bool read = status == ERROR_SUCCESS || status == ERROR_MORE_DATA || status == ERROR_FILE_NOT_FOUND;
  *count = counted ? value : status == ERROR_FILE_NOT_FOUND ? kNoCount : kForeignCount;
  DebugLog(L"ReadSharedCount: LastError before: <%x>, result: <%d>, LastError after: <%x>, status: <%d>, file: <%ls>, "
           L"count: <%lld>",
           before, read, platform.GetLastError(), status, file, *count);
  return ReportStatus(status, read);
}

bool WriteSharedCount(const wchar_t* file, long long count) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  UniqueKey key;
  const DWORD value = static_cast<DWORD>(count);
  LSTATUS status = ERROR_INVALID_PARAMETER;
  if (count == kNoCount) {
    status = OpenNativeKey(kSharedDlls, KEY_SET_VALUE, false, key);
    if (status == ERROR_SUCCESS) status = platform.RegDeleteValueW(key.get(), file);
  } else if (count >= 0 && count <= kMostUsers) {
    status = OpenNativeKey(kSharedDlls, KEY_SET_VALUE, true, key);
    if (status == ERROR_SUCCESS) {
      status =
          platform.RegSetValueExW(key.get(), file, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    }
  }
  key.reset();
  const bool written = status == ERROR_SUCCESS || (count == kNoCount && status == ERROR_FILE_NOT_FOUND);
  DebugLog(L"WriteSharedCount: LastError before: <%x>, result: <%d>, LastError after: <%x>, status: <%d>, file: <%ls>, "
           L"count: <%lld>",
           before, written, platform.GetLastError(), status, file, count);
  return ReportStatus(status, written);
}
