// A COM library for the registration tests. DllRegisterServer records this copy's
// registration in the registry (see test_component.h) and DllUnregisterServer removes it.
// Built with QEL_COMPONENT_FAILS, both refuse with E_FAIL and touch nothing.

#include <windows.h>
#include <olectl.h>

#include "test_component.h"

namespace {

HMODULE self = nullptr;

#ifndef QEL_COMPONENT_FAILS
bool SetString(HKEY key, const wchar_t* name, const wchar_t* value) {
  const DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes) == ERROR_SUCCESS;
}

bool OwnPath(wchar_t* path, DWORD chars) {
  const DWORD length = GetModuleFileNameW(self, path, chars);
  return length > 0 && length < chars;
}
#endif

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) self = instance;
  return TRUE;
}

extern "C" HRESULT WINAPI DllRegisterServer() {
#ifdef QEL_COMPONENT_FAILS
  return E_FAIL;
#else
  wchar_t path[32768] = {};
  if (!OwnPath(path, 32768)) return SELFREG_E_CLASS;
  wchar_t classKey[kComponentKeyChars] = {};
  ComponentClassKey(path, classKey);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, classKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return SELFREG_E_CLASS;
  }
  HKEY server = nullptr;
  bool written = SetString(key, nullptr, L"QEL test component") &&
                 RegCreateKeyExW(key, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &server, nullptr) ==
                     ERROR_SUCCESS;
  if (server != nullptr) {
    written = written && SetString(server, nullptr, path) && SetString(server, L"ThreadingModel", L"Apartment");
    RegCloseKey(server);
  }
  RegCloseKey(key);
  return written ? S_OK : SELFREG_E_CLASS;
#endif
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
#ifdef QEL_COMPONENT_FAILS
  return E_FAIL;
#else
  wchar_t path[32768] = {};
  if (!OwnPath(path, 32768)) return SELFREG_E_CLASS;
  wchar_t classKey[kComponentKeyChars] = {};
  ComponentClassKey(path, classKey);
  const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
#endif
}
