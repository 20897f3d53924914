// A Windows program that writes into its own read-only data, which Windows
// maps read-only: tests/pe_loader.cpp, which protects each section as its
// header says, must see it crash.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// Extern, so that it stays, in the read-only data; with its address as data,
// which nothing reads, so that the 64-bit program too has a base relocation
// to be moved by (src/platform/entry_windows.cpp says why it needs one).
extern const char kReadOnly[];
const char kReadOnly[] = "read-only";
extern const char* const kReadOnlyAddress;
const char* const kReadOnlyAddress = kReadOnly;

extern "C" void mainCRTStartup() {
  *const_cast<volatile char*>(kReadOnly) = 'R';
  ExitProcess(0);
}
