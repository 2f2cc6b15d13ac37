#pragma once
// Where the test component records its registration, shared by the component and the
// tests that look for it. Every copy of the component, whatever its file name, registers a
// class of its own: the class id is derived from the copy's full path, so copies laid out
// as different installation files never overwrite each other's registration.
//
//   HKLM\Software\Classes\CLSID\{5145C0DE-hhhh-hhhh-hhhh-hhhhhhhhhhhh}
//     (Default)        = "QEL test component"
//     InprocServer32
//       (Default)      = the copy's full path
//       ThreadingModel = "Apartment"

#include <windows.h>

#include <cwchar>

constexpr size_t kComponentKeyChars = 64;

// FNV-1a over the path with ASCII letters lowered: the loader and the caller may spell the
// same path in different case.
inline unsigned long long ComponentPathHash(const wchar_t* path) {
  unsigned long long hash = 14695981039346656037ull;
  for (const wchar_t* c = path; *c != 0; ++c) {
    const wchar_t lower = (*c >= L'A' && *c <= L'Z') ? static_cast<wchar_t>(*c - L'A' + L'a') : *c;
    hash ^= static_cast<unsigned long long>(lower);
    hash *= 1099511628211ull;
  }
  return hash;
}

// The class key below HKEY_LOCAL_MACHINE for a copy of the component at path.
inline void ComponentClassKey(const wchar_t* path, wchar_t (&key)[kComponentKeyChars]) {
  const unsigned long long hash = ComponentPathHash(path);
  const unsigned long long mixed = (hash ^ 0x5145C0DEull) * 1099511628211ull;
  _snwprintf(key, kComponentKeyChars - 1, L"Software\\Classes\\CLSID\\{5145C0DE-%04X-%04X-%04X-%012llX}",
             static_cast<unsigned>((hash >> 48) & 0xFFFF), static_cast<unsigned>((hash >> 32) & 0xFFFF),
             static_cast<unsigned>((hash >> 16) & 0xFFFF), mixed & 0xFFFFFFFFFFFFull);
  key[kComponentKeyChars - 1] = 0;
}
