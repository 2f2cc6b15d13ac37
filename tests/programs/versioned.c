/* A library that exists only to carry (or not carry) a version resource. */
__declspec(dllexport) int QelVersionedLibrary(void) { return 1; }
