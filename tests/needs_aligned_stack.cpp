// A Windows program for x86 that needs a 16-byte aligned stack, which Windows
// does not promise there: compiled to assume one (-mincoming-stack-boundary=4,
// so the compiler does not realign), it saves the FPU state with fxsave, which
// faults on an operand that is not 16-byte aligned, as movaps does (qemu
// checks fxsave's alignment, not movaps'). tests/pe_loader.cpp enters it, as
// Windows may, with the stack aligned to 4 bytes only, and must see it crash.
#include <immintrin.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" void mainCRTStartup() {
  alignas(16) unsigned char state[512];
  _fxsave(state);
  ExitProcess(0);
}
