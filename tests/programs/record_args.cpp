// Stands in for the elevated copy in the tests: writes the arguments it received, each
// followed by a zero character (UTF-16), into the file named by its second argument and
// exits with the number given as its third. The first argument is the elevated copy's marker.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 4) return 1000;
  HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1001;
  for (int i = 1; i < argc; ++i) {
    DWORD written = 0;
    WriteFile(file, argv[i], static_cast<DWORD>((wcslen(argv[i]) + 1) * sizeof(wchar_t)), &written, nullptr);
  }
  CloseHandle(file);
  return static_cast<int>(wcstoul(argv[3], nullptr, 10));
}
