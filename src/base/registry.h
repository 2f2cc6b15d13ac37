#pragma once
// The product's registry key under HKEY_LOCAL_MACHINE: Software\Helvane\BRAVIK\2020 in the
// native view, or its twin below Software\Wow6432Node that a 32-bit installer writes.

#include <windows.h>

// Clear dest (a PathBuffer) and write the native or the 32-bit key path into it.
void GetHKLM(wchar_t* dest);
void GetHKLM_WOW(wchar_t* dest);

// Reads a REG_SZ value of the first product key that opens (native first) into data, a
// PathBuffer. 1 when read, 0 when not available (no key, no value, another type, 0 bytes,
// too long), -1 for a null argument. For another type data holds what the registry wrote;
// it is always terminated, and emptied when the value could not be read.
int QueryHKLM(wchar_t* data, const wchar_t* valueName);

// Removes "EDITION", whatever its type, from the first product key that opens.
void DeleteEditionKey();

// The product's reference to the engine: "ENGINE" (REG_DWORD 1) in the product key. While the
// product holds it, it counts as one user of each engine file under SharedDLLs.
// 1 when the first product key that opens holds "ENGINE" (of any type), 0 when it does not or
// no product key is there, -1 when that cannot be told (the last error says why).
int QueryEngineReference();
// Writes "ENGINE" into the first product key that opens (the native key is made when there is
// none), or removes it from there. True when done, also for a value that was not there.
bool SetEngineReference(bool held);

// How many products use a shared file: a REG_DWORD named by the file's full path below
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs, in the native registry view.
constexpr long long kNoCount = -1;       // no value
constexpr long long kForeignCount = -2;  // a value of another type or size: never changed
constexpr long long kMostUsers = 0xFFFFFFFF;

// False, with the last error, when the count cannot be read; otherwise *count is the count,
// kNoCount or kForeignCount.
bool ReadSharedCount(const wchar_t* file, long long* count);
// Writes a count from 0 to kMostUsers, or removes the value for kNoCount (true also when it
// was not there). False, with the last error, otherwise.
bool WriteSharedCount(const wchar_t* file, long long count);
