// A planted "regsvr32.exe": it must never be the one that runs. When it runs anyway it
// appends its command line to the file named by QEL_FAKE_REGSVR32_LOG (inherited from the
// test) and ends with 0, the success of the real tool.

#include <windows.h>

int wmain() {
  wchar_t log[MAX_PATH * 4] = {};
  const DWORD length = GetEnvironmentVariableW(L"QEL_FAKE_REGSVR32_LOG", log, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return 0;
  HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  const char* line = GetCommandLineA();
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(lstrlenA(line)), &written, nullptr);
  WriteFile(file, "\n", 1, &written, nullptr);
  CloseHandle(file);
  return 0;
}
