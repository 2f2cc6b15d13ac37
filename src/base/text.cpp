#include "base/text.h"

#include <cstdio>
#include <cwchar>

#include "base/platform.h"

namespace {

const wchar_t* OrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

// Length of text, or kPathChars when it has that many characters or more.
size_t BoundedLength(const wchar_t* text) {
  size_t length = 0;
  while (length < kPathChars && text[length] != 0) ++length;
  return length;
}

void LowerAsciiInPlace(wchar_t* text) {
  for (; *text != 0; ++text) *text = LowerAscii(*text);
}

// "C:\..." or "\\server\...", with only single backslashes and no "." or ".." component:
// the extended form of such a path names the same file as the path itself.
bool IsPlainAbsolute(const wchar_t* path) {
  const wchar_t* rest = nullptr;
  if (path[0] != 0 && path[1] == L':' && path[2] == L'\\') rest = path + 3;
  const wchar_t server = path[0] == L'\\' && path[1] == L'\\' ? path[2] : 0;
  if (server != 0 && server != L'?' && server != L'.' && server != L'\\') rest = path + 2;
  if (rest == nullptr) return false;
  const wchar_t* component = rest;
  for (const wchar_t* c = rest;; ++c) {
    if (*c == L'/') return false;
    if (*c != L'\\' && *c != 0) continue;
    const size_t length = static_cast<size_t>(c - component);
    const bool dots =
        (length == 1 && component[0] == L'.') || (length == 2 && component[0] == L'.' && component[1] == L'.');
    if (dots || (length == 0 && *c != 0)) return false;
    if (*c == 0) return true;
    component = c + 1;
  }
}

// prefix + text from position skip; false when it does not fit.
bool Prefixed(wchar_t* dest, const wchar_t* prefix, const wchar_t* text, size_t skip) {
  const size_t lengthPrefix = BoundedLength(prefix);
  const size_t lengthText = BoundedLength(text);
  if (lengthText >= kPathChars || lengthPrefix + lengthText - skip >= kPathChars) return false;
  wmemcpy(dest, prefix, lengthPrefix);
  wmemcpy(dest + lengthPrefix, text + skip, lengthText - skip + 1);
  return true;
}

// "\\?\...": the system takes it as it is.
bool IsVerbatimPath(const wchar_t* path) { return StartsWithNoCase(path, L"\\\\?\\"); }

// "\\.\...": resolved like any other path, then the same as "\\?\...".
bool IsDevicePath(const wchar_t* path) { return StartsWithNoCase(path, L"\\\\.\\"); }

bool ExtendedForm(wchar_t* dest, const wchar_t* path) {
  if (IsVerbatimPath(path)) return Prefixed(dest, L"", path, 0);
  if (IsDevicePath(path)) return Prefixed(dest, L"\\\\?\\", path, 4);
  if (path[0] == L'\\' && path[1] == L'\\') return Prefixed(dest, L"\\\\?\\UNC\\", path, 2);
  return Prefixed(dest, L"\\\\?\\", path, 0);
}

}  // namespace

bool NormalizePath(wchar_t* dest, const wchar_t* src) {
  if (dest == nullptr || src == nullptr) return false;
  const size_t length = BoundedLength(src);
  if (length >= kPathChars) return false;
  if (length == 0) return true;

  size_t kept = 0;
  for (size_t i = 0; i < length; ++i) {
    const wchar_t c = src[i] == L'/' ? L'\\' : src[i];
    if (c == L'\\' && i >= 2 && kept > 0 && dest[kept - 1] == L'\\') continue;
    dest[kept++] = c;
  }
  dest[kept] = 0;
  return true;
}

bool ConcatPath(wchar_t* dest, const wchar_t* a, const wchar_t* b) {
  if (dest == nullptr) return false;
  const size_t lengthA = a != nullptr ? BoundedLength(a) : 0;
  const size_t lengthB = b != nullptr ? BoundedLength(b) : 0;
  if (lengthA + lengthB >= kPathChars) return false;

  PathBuffer joined = {};
  if (lengthA > 0) wmemcpy(joined, a, lengthA);
  if (lengthB > 0) wmemcpy(joined + lengthA, b, lengthB);
  return NormalizePath(dest, joined);
}

bool JoinPath(wchar_t* dest, const wchar_t* dir, const wchar_t* name) {
  if (ConcatPath(dest, dir, L"\\") && ConcatPath(dest, dest, name)) return true;
  dest[0] = 0;
  return false;
}

bool NormalizePathInPlace(wchar_t* buf) {
  if (buf == nullptr) return false;
  PathBuffer normalized = {};
  if (NormalizePath(normalized, buf)) wmemcpy(buf, normalized, BoundedLength(normalized) + 1);
  return true;
}

bool ContainsNoCase(const wchar_t* text, const wchar_t* part) {
  if (text == nullptr || part == nullptr) return false;
  PathBuffer lowerText = {};
  PathBuffer lowerPart = {};
  const size_t lengthText = BoundedLength(text);
  const size_t lengthPart = BoundedLength(part);
  if (lengthText >= kPathChars || lengthPart >= kPathChars) return false;
  wmemcpy(lowerText, text, lengthText);
  wmemcpy(lowerPart, part, lengthPart);
  LowerAsciiInPlace(lowerText);
  LowerAsciiInPlace(lowerPart);
  // An empty part occurs in every text, the empty text included.
  return lengthPart == 0 || wcsstr(lowerText, lowerPart) != nullptr;
}

// Only "A" to "Z" are folded, as towlower does in the "C" locale, whatever the runtime.
wchar_t LowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix != 0; ++text, ++prefix) {
    if (LowerAscii(*text) != LowerAscii(*prefix)) return false;
  }
  return true;
}

bool EqualsNoCase(const wchar_t* a, const wchar_t* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
  }
  return *a == *b;
}

int PrintToBufferV(wchar_t* dest, size_t capacity, const wchar_t* format, va_list args) {
  if (dest == nullptr || capacity == 0) return -1;
  dest[0] = 0;
  if (format == nullptr) return -1;

  // The Microsoft entries, as they can count the length. The formats write wide strings as %ls,
  // which every C runtime reads as one; %s in a wide format is wide here, narrow in vswprintf.
  va_list counting;
  va_copy(counting, args);
  const int needed = _vscwprintf(format, counting);
  va_end(counting);
  if (needed < 0) return -1;

  const size_t written = static_cast<size_t>(needed) < capacity ? static_cast<size_t>(needed) : capacity - 1;
  _vsnwprintf(dest, written, format, args);
  dest[written] = 0;
  return static_cast<int>(written);
}

int PrintToBuffer(wchar_t* dest, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = PrintToBufferV(dest, kPathChars, format, args);
  va_end(args);
  return written;
}

void DebugText(const wchar_t* text) {
  PlatformCalls& platform = Platform();
  const DWORD lastError = platform.GetLastError();
  platform.OutputDebugStringW(OrEmpty(text));
  platform.SetLastError(lastError);
}

void DebugLog(const wchar_t* format, ...) {
  wchar_t line[kLogChars] = {};
  va_list args;
  va_start(args, format);
  PrintToBufferV(line, kLogChars, format, args);
  va_end(args);
  DebugText(line);
}

void TraceCall(const char* file, int line, const char* function) {
  PlatformCalls& platform = Platform();
  PathBuffer wideFile = {};
  PathBuffer wideFunction = {};
  if (file != nullptr) platform.MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, file, -1, wideFile, kPathChars - 1);
  if (function != nullptr) {
    platform.MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, function, -1, wideFunction, kPathChars - 1);
  }
  DebugLog(L"PID: %d, File: <%ls>, line: <%d>, function: <%ls>", static_cast<int>(platform.GetCurrentProcessId()),
           wideFile, line, wideFunction);
}

void TraceSource(const char* sourcePath, int line, const char* function) {
  char stem[MAX_PATH] = {};
  const char* name = sourcePath != nullptr ? sourcePath : "";
  for (const char* c = name; *c != 0; ++c) {
    if (*c == '/' || *c == '\\') name = c + 1;
  }
  size_t length = 0;
  while (name[length] != 0 && name[length] != '.' && length < sizeof(stem) - 1) {
    stem[length] = name[length];
    ++length;
  }
  TraceCall(stem, line, function);
}

void DebugPrintArgs(int argc, wchar_t** argv) {
  QEL_TRACE();
  if (argv == nullptr) return;
  for (int i = 0; i < argc; ++i) DebugLog(L"arg: <%d>, argv[ %d ]: <%ls>", i, i, OrEmpty(argv[i]));
}

bool FullPathName(wchar_t* dest, const wchar_t* path) {
  PlatformCalls& platform = Platform();
  const DWORD length = platform.GetFullPathNameW(path, kPathChars, dest, nullptr);
  if (length >= kPathChars) platform.SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return length > 0 && length < kPathChars;
}

bool ExtendedLengthPath(wchar_t* dest, const wchar_t* path) {
  PlatformCalls& platform = Platform();
  if (dest == nullptr || path == nullptr || path[0] == 0) {
    platform.SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  PathBuffer full = {};
  // Names below a device path's directory are taken as listed ("a." keeps its dot), as for
  // any plain absolute path.
  const bool plain = IsVerbatimPath(path) || IsPlainAbsolute(IsDevicePath(path) ? path + 4 : path);
  if (!plain && !FullPathName(full, path)) return false;
  const bool built = ExtendedForm(dest, plain ? path : full);
  if (!built) platform.SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return built;
}

DWORD GetFileAttributesImpl(const wchar_t* path) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  PathBuffer extended = {};
  const DWORD attributes =
      ExtendedLengthPath(extended, path) ? platform.GetFileAttributesW(extended) : INVALID_FILE_ATTRIBUTES;
  const DWORD after = platform.GetLastError();
  DebugLog(L"GetFileAttributesImpl: LastError before: <%x>, result: <%x>, LastError after: <%x>, file: <%ls>",
           before, attributes, after, OrEmpty(path));
  return attributes;
}

BOOL SetFileAttributesImpl(const wchar_t* path, DWORD flags) {
  QEL_TRACE();
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  PathBuffer extended = {};
  const BOOL result = ExtendedLengthPath(extended, path) ? platform.SetFileAttributesW(extended, flags) : FALSE;
  const DWORD after = platform.GetLastError();
  DebugLog(
      L"SetFileAttributesImpl: LastError before: <%x>, result: <%d>, LastError after: <%x>, file: <%ls>, "
      L"dwFlags: <%x>",
      before, result, after, OrEmpty(path), flags);
  return result;
}
