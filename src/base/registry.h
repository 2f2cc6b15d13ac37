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
