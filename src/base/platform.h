#pragma once
// The whole platform surface of the helper in one place. Product code reaches Windows only
// through Platform(); each entry defaults to the real function, and a test can replace a
// single entry for what Wine cannot vary (box answers, elevation, processor architecture,
// a copy that fails with access denied).

#include <windows.h>
#include <winternl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <functional>

// version.dll is not one of the libraries that Windows always loads from the system
// directory, so it is never imported: these resolve it from there on first use.
DWORD WINAPI SystemGetFileVersionInfoSizeW(LPCWSTR file, LPDWORD handle);
BOOL WINAPI SystemGetFileVersionInfoW(LPCWSTR file, DWORD handle, DWORD size, LPVOID data);
BOOL WINAPI SystemVerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length);

// userenv.dll, resolved the same way: where the profiles of every account lie.
BOOL WINAPI SystemGetProfilesDirectoryW(LPWSTR dir, LPDWORD size);

// Present from Windows 8 (and 7 with its loader update); absent means nothing to restrict.
BOOL WINAPI SystemSetDefaultDllDirectories(DWORD flags);

// ntdll's NtCreateFile, the one call that opens a name relative to a folder's handle. Unlike
// it, this sets the thread's last error from the status, as the other entries do.
NTSTATUS NTAPI SystemNtCreateFile(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK status,
                                  PLARGE_INTEGER allocation, ULONG attributes, ULONG sharing, ULONG disposition,
                                  ULONG options, PVOID extended, ULONG extendedLength);

struct PlatformCalls {
  // Files and directories
  std::function<HANDLE(LPCWSTR, LPWIN32_FIND_DATAW)> FindFirstFileW = ::FindFirstFileW;
  std::function<BOOL(HANDLE, LPWIN32_FIND_DATAW)> FindNextFileW = ::FindNextFileW;
  std::function<BOOL(HANDLE)> FindClose = ::FindClose;
  std::function<DWORD(LPCWSTR)> GetFileAttributesW = ::GetFileAttributesW;
  std::function<BOOL(LPCWSTR, DWORD)> SetFileAttributesW = ::SetFileAttributesW;
  std::function<BOOL(LPCWSTR, LPCWSTR, BOOL)> CopyFileW = ::CopyFileW;
  std::function<BOOL(LPCWSTR)> DeleteFileW = ::DeleteFileW;
  std::function<BOOL(LPCWSTR)> RemoveDirectoryW = ::RemoveDirectoryW;
  std::function<DWORD(DWORD, LPWSTR)> GetCurrentDirectoryW = ::GetCurrentDirectoryW;
  std::function<BOOL(LPCWSTR)> SetCurrentDirectoryW = ::SetCurrentDirectoryW;
  std::function<DWORD(LPCWSTR, DWORD, LPWSTR, LPWSTR*)> GetFullPathNameW = ::GetFullPathNameW;
  std::function<HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)> CreateFileW =
      ::CreateFileW;
  std::function<BOOL(HANDLE, LPBY_HANDLE_FILE_INFORMATION)> GetFileInformationByHandle =
      ::GetFileInformationByHandle;
  std::function<BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)> GetFileInformationByHandleEx =
      ::GetFileInformationByHandleEx;
  std::function<DWORD(HANDLE, LPWSTR, DWORD, DWORD)> GetFinalPathNameByHandleW = ::GetFinalPathNameByHandleW;
  std::function<BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)> SetFileInformationByHandle =
      ::SetFileInformationByHandle;
  std::function<NTSTATUS(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                         ULONG, PVOID, ULONG)>
      NtCreateFile = SystemNtCreateFile;
  std::function<DWORD(LPCWSTR, LPWSTR, DWORD)> GetLongPathNameW = ::GetLongPathNameW;
  std::function<DWORD()> GetLastError = ::GetLastError;
  std::function<void(DWORD)> SetLastError = ::SetLastError;

  // File version information
  std::function<DWORD(LPCWSTR, LPDWORD)> GetFileVersionInfoSizeW = SystemGetFileVersionInfoSizeW;
  std::function<BOOL(LPCWSTR, DWORD, DWORD, LPVOID)> GetFileVersionInfoW = SystemGetFileVersionInfoW;
  std::function<BOOL(LPCVOID, LPCWSTR, LPVOID*, PUINT)> VerQueryValueW = SystemVerQueryValueW;

  // Processes
  std::function<BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                     LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)>
      CreateProcessW = ::CreateProcessW;
  std::function<void(LPSTARTUPINFOW)> GetStartupInfoW = ::GetStartupInfoW;
  std::function<DWORD(HANDLE, DWORD)> WaitForSingleObject = ::WaitForSingleObject;
  std::function<BOOL(HANDLE, LPDWORD)> GetExitCodeProcess = ::GetExitCodeProcess;
  std::function<BOOL(HANDLE, UINT)> TerminateProcess = ::TerminateProcess;
  std::function<BOOL(HANDLE)> CloseHandle = ::CloseHandle;
  std::function<DWORD(HMODULE, LPWSTR, DWORD)> GetModuleFileNameW = ::GetModuleFileNameW;
  std::function<DWORD()> GetCurrentProcessId = ::GetCurrentProcessId;
  std::function<BOOL(SHELLEXECUTEINFOW*)> ShellExecuteExW = ::ShellExecuteExW;

  // System facts
  std::function<void(LPSYSTEM_INFO)> GetNativeSystemInfo = ::GetNativeSystemInfo;
  std::function<BOOL(LPOSVERSIONINFOEXW, DWORD, DWORDLONG)> VerifyVersionInfoW = ::VerifyVersionInfoW;
  std::function<ULONGLONG(ULONGLONG, DWORD, BYTE)> VerSetConditionMask = ::VerSetConditionMask;
  std::function<BOOL(HWND, LPWSTR, int, BOOL)> SHGetSpecialFolderPathW = ::SHGetSpecialFolderPathW;
  std::function<BOOL(LPWSTR, LPDWORD)> GetProfilesDirectoryW = SystemGetProfilesDirectoryW;
  std::function<HANDLE()> GetCurrentProcess = ::GetCurrentProcess;
  std::function<BOOL(HANDLE, DWORD, PHANDLE)> OpenProcessToken = ::OpenProcessToken;
  std::function<BOOL(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD)> GetTokenInformation =
      ::GetTokenInformation;

  // Registry
  std::function<LSTATUS(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)> RegOpenKeyExW = ::RegOpenKeyExW;
  std::function<LSTATUS(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD)> RegQueryValueExW =
      ::RegQueryValueExW;
  std::function<LSTATUS(HKEY, LPCWSTR)> RegDeleteValueW = ::RegDeleteValueW;
  std::function<LSTATUS(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)>
      RegCreateKeyExW = ::RegCreateKeyExW;
  std::function<LSTATUS(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)> RegSetValueExW = ::RegSetValueExW;
  std::function<LSTATUS(HKEY)> RegCloseKey = ::RegCloseKey;

  // User interface
  std::function<int(HWND, LPCWSTR, LPCWSTR, UINT)> MessageBoxW = ::MessageBoxW;
  std::function<HWINSTA()> GetProcessWindowStation = ::GetProcessWindowStation;
  std::function<BOOL(HANDLE, int, PVOID, DWORD, LPDWORD)> GetUserObjectInformationW = ::GetUserObjectInformationW;
  std::function<BOOL(DWORD, DWORD*)> ProcessIdToSessionId = ::ProcessIdToSessionId;

  // Command line and COM
  std::function<LPWSTR()> GetCommandLineW = ::GetCommandLineW;
  std::function<LPWSTR*(LPCWSTR, int*)> CommandLineToArgvW = ::CommandLineToArgvW;
  std::function<HRESULT(LPVOID, DWORD)> CoInitializeEx = ::CoInitializeEx;
  std::function<void()> CoUninitialize = ::CoUninitialize;

  // Debugger output and text conversion
  std::function<void(LPCWSTR)> OutputDebugStringW = ::OutputDebugStringW;
  std::function<int(UINT, DWORD, LPCSTR, int, LPWSTR, int)> MultiByteToWideChar = ::MultiByteToWideChar;

  // Library loading
  std::function<UINT(LPWSTR, UINT)> GetSystemDirectoryW = ::GetSystemDirectoryW;
  std::function<BOOL(DWORD)> SetDefaultDllDirectories = SystemSetDefaultDllDirectories;
  std::function<BOOL(LPCWSTR)> SetDllDirectoryW = ::SetDllDirectoryW;

  // Replacing files in place: renames, deletion at the next restart, and the journal file
  // that records how far a replacement went
  std::function<BOOL(LPCWSTR, LPCWSTR, DWORD)> MoveFileExW = ::MoveFileExW;
  std::function<BOOL(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)> WriteFile = ::WriteFile;
  std::function<BOOL(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)> ReadFile = ::ReadFile;
  std::function<BOOL(HANDLE)> FlushFileBuffers = ::FlushFileBuffers;

  // One replacement at a time across processes: a named mutex, and a small named section in
  // which its holder records who it is
  std::function<HANDLE(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR)> CreateMutexW = ::CreateMutexW;
  std::function<BOOL(HANDLE)> ReleaseMutex = ::ReleaseMutex;
  std::function<HANDLE(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCWSTR)> CreateFileMappingW =
      ::CreateFileMappingW;
  std::function<LPVOID(HANDLE, DWORD, DWORD, DWORD, SIZE_T)> MapViewOfFile = ::MapViewOfFile;
  std::function<BOOL(LPCVOID)> UnmapViewOfFile = ::UnmapViewOfFile;
};

PlatformCalls& Platform();
