// The unit test program runs every test under Windows' own rules where Wine is more lenient,
// so that a test that passes here would pass on Windows too. A test's own override of an
// entry replaces the layer for its duration.

#include <gtest/gtest.h>

#include <cwchar>

#include "support/fixtures.h"

namespace {

// Without the system's long-path setting (off by default), Windows refuses a path of
// MAX_PATH characters or more unless it has the extended-length prefix. Wine accepts it.
bool RefusedOnWindows(LPCWSTR path) {
  return path != nullptr && wcsncmp(path, L"\\\\?\\", 4) != 0 && wcslen(path) >= MAX_PATH;
}

// The error that Windows reports for such a path in the file functions used here.
const DWORD kLongPathError = ERROR_PATH_NOT_FOUND;

template <class R, class... A>
void RefuseLongPaths(std::function<R(LPCWSTR, A...)>& entry, typename Identity<R>::type failure) {
  entry = LayerOver(entry, [failure](const std::function<R(LPCWSTR, A...)>& below, LPCWSTR path, A... args) -> R {
    if (!RefusedOnWindows(path)) return below(path, args...);
    SetLastError(kLongPathError);
    return failure;
  });
}

// Windows' CopyFileW does not overwrite a read-only or hidden file: it fails with access
// denied. Wine's overwrites it.
BOOL CopyFileAsOnWindows(const std::function<BOOL(LPCWSTR, LPCWSTR, BOOL)>& below, LPCWSTR src, LPCWSTR dst,
                         BOOL failIfExists) {
  if (RefusedOnWindows(src) || RefusedOnWindows(dst)) {
    SetLastError(kLongPathError);
    return FALSE;
  }
  const DWORD attributes = GetFileAttributesW(dst);
  const DWORD protectedFile = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
      (attributes & protectedFile) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return below(src, dst, failIfExists);
}

// A start that Wine refused once would send a run down another path than the same run
// before it, and the sweeps, which compare runs call by call, would fail for nothing the
// helper did.
BOOL StartAsOnWindows(const std::function<BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                               DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)>& below,
                      LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
                      LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR directory,
                      LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
  return StartDespiteWineRefusals(commandLine != nullptr ? commandLine : application, [&] {
    return below(application, commandLine, process, thread, inherit, flags, environment, directory, startup,
                 information);
  });
}

void ApplyWindowsRules(PlatformCalls& platform) {
  platform.CreateProcessW = LayerOver(platform.CreateProcessW, StartAsOnWindows);
  RefuseLongPaths(platform.FindFirstFileW, INVALID_HANDLE_VALUE);
  RefuseLongPaths(platform.GetFileAttributesW, INVALID_FILE_ATTRIBUTES);
  RefuseLongPaths(platform.SetFileAttributesW, FALSE);
  RefuseLongPaths(platform.DeleteFileW, FALSE);
  RefuseLongPaths(platform.RemoveDirectoryW, FALSE);
  RefuseLongPaths(platform.SetCurrentDirectoryW, FALSE);
  RefuseLongPaths(platform.CreateFileW, INVALID_HANDLE_VALUE);
  RefuseLongPaths(platform.GetFileVersionInfoSizeW, 0);
  RefuseLongPaths(platform.GetFileVersionInfoW, FALSE);
  RefuseLongPaths(platform.MoveFileExW, FALSE);
  platform.CopyFileW = LayerOver(platform.CopyFileW, CopyFileAsOnWindows);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ApplyWindowsRules(Platform());
  return RUN_ALL_TESTS();
}
