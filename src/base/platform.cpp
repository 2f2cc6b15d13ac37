#include "base/platform.h"

PlatformCalls& Platform() {
  static PlatformCalls calls;
  return calls;
}

namespace {

// Loads a library of the system directory by its full path, so that a file of the same
// name in the helper's folder or the current directory is never picked up instead.
HMODULE LoadSystemLibrary(const wchar_t* name) {
  wchar_t path[MAX_PATH + 32] = {};
  UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  for (UINT i = 0; name[i] != 0 && length + 1 + i < MAX_PATH + 31; ++i) path[length + 1 + i] = name[i];
  return ::LoadLibraryW(path);
}

// Loaded once, on first use.
HMODULE VersionLibrary() {
  static HMODULE library = LoadSystemLibrary(L"version.dll");
  return library;
}

HMODULE UserEnvLibrary() {
  static HMODULE library = LoadSystemLibrary(L"userenv.dll");
  return library;
}

template <class Function>
Function Resolve(HMODULE library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

}  // namespace

DWORD WINAPI SystemGetFileVersionInfoSizeW(LPCWSTR file, LPDWORD handle) {
  using Function = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  static Function function = Resolve<Function>(VersionLibrary(), "GetFileVersionInfoSizeW");
  if (function == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return 0;
  }
  return function(file, handle);
}

BOOL WINAPI SystemGetFileVersionInfoW(LPCWSTR file, DWORD handle, DWORD size, LPVOID data) {
  using Function = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  static Function function = Resolve<Function>(VersionLibrary(), "GetFileVersionInfoW");
  if (function == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  return function(file, handle, size, data);
}

BOOL WINAPI SystemVerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length) {
  using Function = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
  static Function function = Resolve<Function>(VersionLibrary(), "VerQueryValueW");
  if (function == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  return function(block, subBlock, buffer, length);
}

BOOL WINAPI SystemGetProfilesDirectoryW(LPWSTR dir, LPDWORD size) {
  using Function = BOOL(WINAPI*)(LPWSTR, LPDWORD);
  static Function function = Resolve<Function>(UserEnvLibrary(), "GetProfilesDirectoryW");
  if (function == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  return function(dir, size);
}

BOOL WINAPI SystemSetDefaultDllDirectories(DWORD flags) {
  using Function = BOOL(WINAPI*)(DWORD);
  Function function = Resolve<Function>(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (function == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  return function(flags);
}

NTSTATUS NTAPI SystemNtCreateFile(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK status,
                                  PLARGE_INTEGER allocation, ULONG attributes, ULONG sharing, ULONG disposition,
                                  ULONG options, PVOID extended, ULONG extendedLength) {
  using Function = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                    ULONG, ULONG, ULONG, PVOID, ULONG);
  using ToError = ULONG(NTAPI*)(NTSTATUS);
  static const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  static const Function function = Resolve<Function>(ntdll, "NtCreateFile");
  static const ToError toError = Resolve<ToError>(ntdll, "RtlNtStatusToDosError");
  if (function == nullptr || toError == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return static_cast<NTSTATUS>(0xC0000002L);  // STATUS_NOT_IMPLEMENTED
  }
  const NTSTATUS result = function(file, access, object, status, allocation, attributes, sharing, disposition, options,
                                   extended, extendedLength);
  if (result < 0) ::SetLastError(toError(result));
  return result;
}
