// Windows implementation of the platform boundary, over kernel32 alone.
//
// Why GetTickCount64: it counts milliseconds since the system started, time
// asleep included, and unlike GetTickCount it does not wrap after 49.7 days.
//
// Why WriteFile on the standard handle, not the C runtime's stdio: in text
// mode stdio would turn the line's CR LF into CR CR LF. The handle is passed
// on unchecked; a missing or closed one makes WriteFile fail, and that failure
// is what the caller sees.
#if !defined(_WIN32)
#error "This implementation is for Windows; use platform_posix.cpp."
#endif

#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace platform {

// GetTickCount64 cannot fail.
std::optional<std::uint64_t> ReadTickCount() { return GetTickCount64(); }

OutputHandle StandardOutput() {
  return OutputHandle{
      reinterpret_cast<std::intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE))};
}

std::size_t WriteOutput(OutputHandle output, const char* bytes,
                        std::size_t count) {
  // The line is at most a few hundred bytes, far below DWORD's range.
  DWORD written = 0;
  const BOOL ok = WriteFile(reinterpret_cast<HANDLE>(output.Value), bytes,
                            static_cast<DWORD>(count), &written, nullptr);
  return ok ? written : 0;
}

}  // namespace platform
