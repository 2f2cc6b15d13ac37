// A library that nothing should load by its bare name once the library search is restricted:
// the tests put it beside the test program and into the current directory.
#include <windows.h>

extern "C" __declspec(dllexport) int QelPlanted() { return 1; }
