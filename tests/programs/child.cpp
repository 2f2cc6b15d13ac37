// A child program for the process tests: "qel_child.exe <exit code> [record file]".
// Ends with the exit code given (decimal or 0x hex, the full unsigned 32-bit range). With a
// record file, first writes there, one per line in UTF-8: its command line as received, its
// current directory, then each argument as the runtime split them.

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], bytes, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(bytes) - 1);
  return narrow;
}

void Record(const wchar_t* file, int argc, wchar_t** argv) {
  wchar_t directory[32768] = {};
  GetCurrentDirectoryW(32768, directory);
  std::string text = Utf8(GetCommandLineW()) + "\n" + Utf8(directory) + "\n";
  for (int i = 0; i < argc; ++i) text += Utf8(argv[i]) + "\n";
  HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(handle);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3) Record(argv[2], argc, argv);
  const UINT code = argc >= 2 ? static_cast<UINT>(wcstoul(argv[1], nullptr, 0)) : 0;
  ExitProcess(code);
}
