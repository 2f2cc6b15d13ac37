#pragma once
// Fixed text buffers, path normalisation, and the diagnostic trace to the debugger output.

#include <windows.h>

#include <cstdarg>
#include <cstddef>

// The one buffer type for paths, registry values, command lines and message texts:
// at most 4355 characters and a terminating zero. Zero-fill it before use: `PathBuffer p = {};`
constexpr size_t kPathChars = 4356;
typedef wchar_t PathBuffer[kPathChars];

// One trace or log line.
constexpr size_t kLogChars = 8712;

// Copies src into dest with every "/" turned into "\" and repeated backslashes collapsed
// (the first two characters are kept, so a network path keeps its leading "\\").
// Text of 4356 characters or more is refused (false) and nothing is written.
bool NormalizePath(wchar_t* dest, const wchar_t* src);

// Joins a and b (either may be null) and normalises the result into dest, which may be a.
// No separator is inserted. A joined text of 4356 characters or more leaves dest unchanged.
bool ConcatPath(wchar_t* dest, const wchar_t* a, const wchar_t* b);

// dir + "\" + name into dest. A path that does not fit leaves dest empty, so that nothing
// can act on a part of it.
bool JoinPath(wchar_t* dest, const wchar_t* dir, const wchar_t* name);

// Normalises buf in place; text too long to normalise is left as it is. False only for null.
bool NormalizePathInPlace(wchar_t* buf);

// Case-insensitive containment for ASCII letters only; other characters compare exactly.
bool ContainsNoCase(const wchar_t* text, const wchar_t* part);
// The same folding for one character, a prefix and a whole text (neither may be null).
wchar_t LowerAscii(wchar_t c);
bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix);
bool EqualsNoCase(const wchar_t* a, const wchar_t* b);

// printf-style formatting into a PathBuffer; a wide string is %ls, as in every C runtime. A
// text that would not fit is cut at the buffer's capacity and terminated. Returns the number
// of characters written, or -1 for a formatting error (dest then holds an empty text).
int PrintToBuffer(wchar_t* dest, const wchar_t* format, ...);
int PrintToBufferV(wchar_t* dest, size_t capacity, const wchar_t* format, va_list args);

// Sends a text to the debugger output unchanged. The thread's last error value survives it.
void DebugText(const wchar_t* text);

// Formats one log line (bounded like PrintToBuffer, at 8712 characters) and sends it.
void DebugLog(const wchar_t* format, ...);

// Writes "PID: %d, File: <%ls>, line: <%d>, function: <%ls>" to the debugger output.
void TraceCall(const char* file, int line, const char* function);

// TraceCall with the source path cut to its bare file name without extension.
void TraceSource(const char* sourcePath, int line, const char* function);

#define QEL_TRACE() TraceSource(__FILE__, __LINE__, __func__)
#define QEL_TRACE_AS(name) TraceSource(__FILE__, __LINE__, name)

// A trace line, then one line per argument: "arg: <%d>, argv[ %d ]: <%ls>".
void DebugPrintArgs(int argc, wchar_t** argv);

// The full path that the system resolves path to ("." and ".." gone, relative to the current
// directory), into a PathBuffer. False when it cannot (the last error says why) or the result
// does not fit (ERROR_FILENAME_EXCED_RANGE).
bool FullPathName(wchar_t* dest, const wchar_t* path);

// The extended-length form of a path, "\\?\C:\..." or "\\?\UNC\server\share\...", in which
// file functions take a path of any length literally (a name that ends in a dot or a space
// keeps it). Every file function is given this form; messages and trace lines show the path
// as the user knows it. A path that is not already absolute and free of "." and ".." is made
// so by the system first, "\\.\" paths included; a "\\?\" path stays as it is. False, with
// the last error set, for a null or empty path and one that does not fit.
bool ExtendedLengthPath(wchar_t* dest, const wchar_t* path);

// The attribute calls with their trace line and the last error value before and after.
DWORD GetFileAttributesImpl(const wchar_t* path);
BOOL SetFileAttributesImpl(const wchar_t* path, DWORD flags);
