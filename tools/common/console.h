#pragma once
// What the console tools share: the command line they pass on, and the way they read and write
// text.

#include <windows.h>

#include <string>

// The command line after its first argument, which the platform's splitting reads as either
// a quoted text or everything up to the first blank; the blanks after it are skipped.
inline const wchar_t* AfterFirstArgument(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line != 0 && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

// The console takes the wide text as it is; a pipe or file gets UTF-8.
inline void WriteText(HANDLE out, const std::wstring& text) {
  DWORD written = 0;
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], bytes, nullptr, nullptr);
  WriteFile(out, narrow.data(), static_cast<DWORD>(narrow.size()), &written, nullptr);
}

// Text in the system's ANSI code page, as the debug output delivers it.
inline std::wstring FromCodePage(const std::string& text) {
  if (text.empty()) return L"";
  const int length = static_cast<int>(text.size());
  std::wstring wide(text.size(), L'\0');
  const int converted = MultiByteToWideChar(CP_ACP, 0, text.data(), length, &wide[0], length);
  wide.resize(converted > 0 ? static_cast<size_t>(converted) : 0);
  return wide;
}
