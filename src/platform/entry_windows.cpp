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
