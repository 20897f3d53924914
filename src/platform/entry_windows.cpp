// The Windows program's entry point. There is no C runtime: Windows starts
// the process here, and the process ends here, with ExitProcess and the
// report's status.
//
// Why no C runtime: what it would do before main (parse the command line and
// the environment, run static constructors, set up stdio) and after it (run
// atexit handlers, flush stdio) is nothing this program needs. The catch is
// that nothing runs a dynamic initialiser either: tests/exe_check.py refuses
// a program that holds one.
//
// The name is the one both linkers take as a console program's entry point
// by default.
#if !defined(_WIN32)
#error \
    "This entry point is for Windows; the POSIX program starts in src/main.cpp."
#endif

#include "modMain.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" void mainCRTStartup() {
  ExitProcess(static_cast<UINT>(modMain::RunReport()));
}

// The entry point's address, as data that nothing reads: the one absolute
// address in the x64 and ARM64 programs, whose code reaches everything
// relative to the instruction pointer. Without one, their linkers find nothing
// to relocate and write no base relocation table; Windows is reported to leave
// a program without one at its preferred address whatever its header claims
// (no ASLR), and scanners report it so (BinSkim's BA2009 looks for .reloc).
// With it, each has a table of one entry, which moves the program correctly.
// (The x86 program has absolute addresses of its own.) Extern, so that no
// optimisation drops it.
extern void (*const kEntryPointAddress)();
void (*const kEntryPointAddress)() = &mainCRTStartup;
