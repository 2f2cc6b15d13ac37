#include "front/startup_fixture.h"

#include <utility>

Arguments::Arguments(std::vector<std::wstring> arguments) : storage_(std::move(arguments)) {
  for (std::wstring& argument : storage_) pointers_.push_back(&argument[0]);
  pointers_.push_back(nullptr);
}

StartupTest::StartupTest()
    : debugOutput_(Platform().OutputDebugStringW,
                   [this](LPCWSTR text) {
                     debugOutput_.original()(text);
                     static const std::wstring kMarker = L", function: <";
                     const std::wstring line = text != nullptr ? text : L"";
                     const size_t at = line.find(kMarker);
                     if (line.rfind(L"PID: ", 0) == 0 && at != std::wstring::npos) {
                       events.push_back(L"> " + line.substr(at + kMarker.size(), line.size() - at - kMarker.size() - 1));
                     }
                   }),
      token_(Platform().GetTokenInformation,
             [this](HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID data, DWORD size, PDWORD returned) {
               const BOOL ok = token_.original()(token, type, data, size, returned);
               if (ok && type == TokenElevation) static_cast<TOKEN_ELEVATION*>(data)->TokenIsElevated = elevated;
               return ok;
             }),
      shellExecute_(Platform().ShellExecuteExW,
                    [this](SHELLEXECUTEINFOW* info) {
                      events.push_back(L"ShellExecuteExW");
                      Start start;
                      start.verb = info->lpVerb != nullptr ? info->lpVerb : L"(null)";
                      start.file = info->lpFile != nullptr ? info->lpFile : L"(null)";
                      start.parameters = info->lpParameters != nullptr ? info->lpParameters : L"(null)";
                      start.size = info->cbSize;
                      start.mask = info->fMask;
                      start.hasOwner = info->hwnd != nullptr;
                      start.directory = info->lpDirectory != nullptr ? info->lpDirectory : L"(none)";
                      start.show = info->nShow;
                      starts.push_back(start);
                      if (realStart) return shellExecute_.original()(info);
                      if (!accepted) {
                        SetLastError(declineError);
                        return FALSE;
                      }
                      info->hProcess = FakeProcess();
                      return TRUE;
                    }),
      wait_(Platform().WaitForSingleObject,
            [this](HANDLE handle, DWORD timeout) {
              if (handle != FakeProcess()) return wait_.original()(handle, timeout);
              events.push_back(timeout == INFINITE ? L"wait" : L"wait with a time limit");
              return DWORD{WAIT_OBJECT_0};
            }),
      exitCode_(Platform().GetExitCodeProcess,
                [this](HANDLE handle, LPDWORD code) {
                  if (handle != FakeProcess()) return exitCode_.original()(handle, code);
                  *code = exitCode;
                  return TRUE;
                }),
      close_(Platform().CloseHandle, [this](HANDLE handle) {
        if (handle != FakeProcess()) return close_.original()(handle);
        ++fakeProcessCloses;
        return TRUE;
      }) {}

std::vector<std::wstring> StartupTest::DumpAfter(const std::wstring& function) const {
  std::vector<std::wstring> dump;
  size_t i = 0;
  while (i < trace.lines.size() && trace.lines[i].find(L"function: <" + function + L">") == std::wstring::npos) ++i;
  // The function's own line, then the dump's trace line, then one line per argument.
  for (i += 2; i < trace.lines.size() && trace.lines[i].rfind(L"arg: <", 0) == 0; ++i) {
    dump.push_back(trace.lines[i].substr(trace.lines[i].find(L"]: <") + 4));
    dump.back().pop_back();
  }
  return dump;
}

bool StartupTest::Traced(const std::wstring& function) const {
  for (const std::wstring& name : trace.Functions()) {
    if (name == function) return true;
  }
  return false;
}

std::vector<std::wstring> SplitParameters(const std::wstring& parameters) {
  int count = 0;
  const std::wstring commandLine = L"QelInstallHelper.exe " + parameters;
  wchar_t** split = ::CommandLineToArgvW(commandLine.c_str(), &count);
  std::vector<std::wstring> result;
  for (int i = 0; split != nullptr && i < count; ++i) result.push_back(split[i]);
  LocalFree(split);
  return result;
}
