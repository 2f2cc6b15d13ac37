// The benchmark program: runs one operation of the helper's own code (the same qelcore
// objects that the helper links) on a folder given by the benchmark script, and prints
// what it measured from inside as one line of key=value pairs on standard output.
//
//   qel_bench.exe noop                     start and end (the cost of starting a program)
//   qel_bench.exe delete <dir>             DeleteFilesAndFoldersRecursiv(dir)
//   qel_bench.exe profile <dir>            the same, with every platform call it makes
//                                          counted and timed through the platform seam
//   qel_bench.exe nooutput <dir>           the same, with the trace lines formatted but
//                                          OutputDebugStringW left out: what the output
//                                          call costs when nobody listens
//   qel_bench.exe copy <srcDir> <dstDir>   CopyFilesToDir(srcDir, dstDir, &error, false)
//   qel_bench.exe census <dir>             counts what the platform lists below dir:
//                                          files, folders, read-only and hidden entries
//
// Exit code: 0 when the operation succeeded, 1 when it did not, 2 for a usage error.

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/platform.h"
#include "base/text.h"

namespace {

#if defined(_MSC_VER)
#define BENCH_NOINLINE __declspec(noinline)
#else
#define BENCH_NOINLINE __attribute__((noinline))
#endif

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

// Peak stack use: the stack below the caller's frame is filled with a pattern before the
// operation, and afterwards the lowest byte that no longer holds it is the high-water mark.
const unsigned char kStackPattern = 0xA5;
const size_t kStackProbeBytes = 1024 * 1024;
const size_t kStackGap = 512;  // left alone right below the filling function's own frame

struct StackProbe {
  unsigned char* low = nullptr;   // lowest filled byte
  unsigned char* high = nullptr;  // one past the highest filled byte
};

// Windows 8 and later; resolved at run time like the helper does with newer calls.
typedef void(WINAPI* StackLimitsFunction)(PULONG_PTR, PULONG_PTR);

BENCH_NOINLINE StackProbe FillStack() {
  volatile unsigned char marker = 0;
  const ULONG_PTR top = reinterpret_cast<ULONG_PTR>(&marker) - kStackGap;
  ULONG_PTR stackLow = 0;
  ULONG_PTR stackHigh = 0;
  StackLimitsFunction stackLimits = reinterpret_cast<StackLimitsFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetCurrentThreadStackLimits")));
  if (stackLimits != nullptr) stackLimits(&stackLow, &stackHigh);
  // Keep clear of the guard pages at the end of the reserved stack.
  ULONG_PTR lowest = top - kStackProbeBytes;
  if (lowest < stackLow + 64 * 1024) lowest = stackLow + 64 * 1024;
  StackProbe probe;
  probe.high = reinterpret_cast<unsigned char*>(top);
  probe.low = reinterpret_cast<unsigned char*>(lowest);
  // From high to low, so that a stack that grows page by page through its guard page can.
  for (ULONG_PTR p = top - 1; p >= lowest; --p) *reinterpret_cast<volatile unsigned char*>(p) = kStackPattern;
  return probe;
}

// Bytes of stack used below the filling function's frame since FillStack; kStackProbeBytes
// or more means the probe was too small to tell.
size_t StackUsed(const StackProbe& probe) {
  const unsigned char* p = probe.low;
  while (p < probe.high && *p == kStackPattern) ++p;
  return static_cast<size_t>(probe.high - p) + kStackGap;
}

void PrintMemory() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
    std::printf(" peak_working_set_kb=%llu peak_private_kb=%llu",
                static_cast<unsigned long long>(counters.PeakWorkingSetSize / 1024),
                static_cast<unsigned long long>(counters.PeakPagefileUsage / 1024));
  }
}

// Counted and timed calls of one platform function.
struct CallStats {
  const char* name;
  unsigned long long calls = 0;
  LONGLONG ticks = 0;
};

std::vector<CallStats*>& AllStats() {
  static std::vector<CallStats*> all;
  return all;
}

// Replaces one seam entry with a wrapper that counts and times the original.
template <class Result, class... Args>
void Instrument(std::function<Result(Args...)>& entry, const char* name) {
  CallStats* stats = new CallStats{name};
  AllStats().push_back(stats);
  std::function<Result(Args...)> original = entry;
  entry = [stats, original](Args... args) -> Result {
    LARGE_INTEGER start = Now();
    struct Stop {
      CallStats* stats;
      LARGE_INTEGER start;
      ~Stop() {
        stats->calls++;
        stats->ticks += Now().QuadPart - start.QuadPart;
      }
    } stop{stats, start};
    return original(args...);
  };
}

// The path of each entry read from its handle, the check that finds a link that Wine opens at
// its target, counted apart from the other uses of the same call.
void InstrumentPathReads(PlatformCalls& platform) {
  using Entry = std::function<BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)>;
  Entry pathRead = platform.GetFileInformationByHandleEx;
  Instrument(pathRead, "FileNameInfo");
  Instrument(platform.GetFileInformationByHandleEx, "GetFileInformationByHandleEx");
  Entry other = platform.GetFileInformationByHandleEx;
  platform.GetFileInformationByHandleEx = [pathRead, other](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data,
                                                            DWORD size) {
    return (kind == FileNameInfo ? pathRead : other)(file, kind, data, size);
  };
}

void InstrumentPlatform() {
  PlatformCalls& platform = Platform();
  InstrumentPathReads(platform);
  Instrument(platform.FindFirstFileW, "FindFirstFileW");
  Instrument(platform.FindNextFileW, "FindNextFileW");
  Instrument(platform.FindClose, "FindClose");
  Instrument(platform.SetFileAttributesW, "SetFileAttributesW");
  Instrument(platform.GetFileAttributesW, "GetFileAttributesW");
  Instrument(platform.DeleteFileW, "DeleteFileW");
  Instrument(platform.RemoveDirectoryW, "RemoveDirectoryW");
  Instrument(platform.CreateFileW, "CreateFileW");
  Instrument(platform.GetFileInformationByHandle, "GetFileInformationByHandle");
  Instrument(platform.GetFinalPathNameByHandleW, "GetFinalPathNameByHandleW");
  Instrument(platform.NtCreateFile, "NtCreateFile");
  Instrument(platform.SetFileInformationByHandle, "SetFileInformationByHandle");
  Instrument(platform.CloseHandle, "CloseHandle");
  Instrument(platform.CopyFileW, "CopyFileW");
  Instrument(platform.OutputDebugStringW, "OutputDebugStringW");
  Instrument(platform.MultiByteToWideChar, "MultiByteToWideChar");
  Instrument(platform.GetLastError, "GetLastError");
  Instrument(platform.SetLastError, "SetLastError");
  Instrument(platform.GetCurrentProcessId, "GetCurrentProcessId");
}

void PrintProfile(double totalSeconds) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  double platformSeconds = 0;
  for (const CallStats* stats : AllStats()) {
    if (stats->calls == 0) continue;
    const double seconds = static_cast<double>(stats->ticks) / static_cast<double>(frequency.QuadPart);
    platformSeconds += seconds;
    std::printf(" %s_calls=%llu %s_s=%.6f", stats->name, stats->calls, stats->name, seconds);
  }
  // What is left is the helper's own work: paths, names, formatting, the timing wrappers.
  std::printf(" own_code_s=%.6f", totalSeconds - platformSeconds);
}

// What the trace costs without a debugger, apart from formatting the lines.
void LeaveOutOutput() {
  Platform().OutputDebugStringW = [](LPCWSTR) {};
}

int Delete(const wchar_t* dir, bool profile) {
  if (profile) InstrumentPlatform();
  const StackProbe probe = FillStack();
  const LARGE_INTEGER start = Now();
  const int result = DeleteFilesAndFoldersRecursiv(dir);
  const LARGE_INTEGER end = Now();
  const size_t stackUsed = StackUsed(probe);
  std::printf("result=%d in_process_s=%.6f stack_peak_bytes=%llu%s", result, Seconds(start, end),
              static_cast<unsigned long long>(stackUsed), stackUsed >= kStackProbeBytes ? "+" : "");
  PrintMemory();
  if (profile) PrintProfile(Seconds(start, end));
  std::printf("\n");
  return result == kDirEmpty ? 0 : 1;
}

int Copy(const wchar_t* srcDir, const wchar_t* dstDir) {
  DWORD error = 0;
  const LARGE_INTEGER start = Now();
  const bool copied = CopyFilesToDir(srcDir, dstDir, &error, false);
  const LARGE_INTEGER end = Now();
  std::printf("result=%d error=%lu in_process_s=%.6f", copied ? 1 : 0, static_cast<unsigned long>(error),
              Seconds(start, end));
  PrintMemory();
  std::printf("\n");
  return copied ? 0 : 1;
}

struct Census {
  unsigned long long files = 0;
  unsigned long long dirs = 0;
  unsigned long long readOnly = 0;
  unsigned long long hidden = 0;
  unsigned long long deepest = 0;
};

// Walks with its own explicit stack of folders, so any depth is fine.
bool Count(const std::wstring& root, Census& census) {
  struct Pending {
    std::wstring dir;
    unsigned long long depth;
  };
  std::vector<Pending> pending{{root, 0}};
  while (!pending.empty()) {
    const Pending current = pending.back();
    pending.pop_back();
    if (current.depth > census.deepest) census.deepest = current.depth;
    WIN32_FIND_DATAW entry = {};
    HANDLE listing = FindFirstFileW((current.dir + L"\\*").c_str(), &entry);
    if (listing == INVALID_HANDLE_VALUE) return false;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) census.readOnly++;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) census.hidden++;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        census.dirs++;
        pending.push_back({current.dir + L"\\" + name, current.depth + 1});
      } else {
        census.files++;
      }
    } while (FindNextFileW(listing, &entry));
    FindClose(listing);
  }
  return true;
}

int PrintCensus(const wchar_t* dir) {
  Census census;
  const bool listed = Count(dir, census);
  std::printf("listed=%d files=%llu dirs=%llu readonly=%llu hidden=%llu depth=%llu\n", listed ? 1 : 0, census.files,
              census.dirs, census.readOnly, census.hidden, census.deepest);
  return listed ? 0 : 1;
}

// The helper's trace goes to the debugger output; without a debugger it goes nowhere, as
// in a real installation. The trace capture tool qel_trace.exe is a debugger that captures it.
int Run(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring command = argv[1];
  if (command == L"noop") return 0;
  if (command == L"delete" && argc == 3) return Delete(argv[2], false);
  if (command == L"profile" && argc == 3) return Delete(argv[2], true);
  if (command == L"nooutput" && argc == 3) {
    LeaveOutOutput();
    return Delete(argv[2], false);
  }
  if (command == L"copy" && argc == 4) return Copy(argv[2], argv[3]);
  if (command == L"census" && argc == 3) return PrintCensus(argv[2]);
  std::fprintf(stderr, "usage: qel_bench.exe noop | delete DIR | profile DIR | nooutput DIR | copy SRC DST | census DIR\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int code = Run(argc, argv);
  std::fflush(stdout);
  return code;
}
