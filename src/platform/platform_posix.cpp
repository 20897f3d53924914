// POSIX implementation of the platform boundary (Linux first).
//
// Why CLOCK_BOOTTIME: like the Windows tick count, it keeps counting while the
// machine is suspended, so it tells how long the system has been up, not how
// long it has been awake. CLOCK_MONOTONIC, which stops during suspend, stands
// in where the headers or the kernel lack CLOCK_BOOTTIME.
//
// Why block SIGPIPE and SIGXFSZ: a write to a pipe whose reader has gone, or
// past the file-size limit, raises one of them, and their default action would
// kill the process. Blocked, the write simply fails with EPIPE or EFBIG; the
// pending signal dies with the process. One call covers whatever dispositions
// the parent passed down, since handlers never survive exec.
#if defined(_WIN32)
#error "This implementation is for POSIX platforms; use platform_windows.cpp."
#endif

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {
namespace {

#ifdef CLOCK_BOOTTIME
constexpr clockid_t kUptimeClock = CLOCK_BOOTTIME;
#else
constexpr clockid_t kUptimeClock = CLOCK_MONOTONIC;
#endif

constexpr std::uint64_t kMillisPerSecond = 1000;
constexpr std::uint64_t kNanosPerMilli = 1000000;

}  // namespace

std::optional<std::uint64_t> ReadTickCount() {
  timespec now{};
  if (clock_gettime(kUptimeClock, &now) != 0 &&
      clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return std::nullopt;  // no clock at all, so no uptime to report
  }
  // Seconds since boot times 1000 stays far below 2^64 (that is 584 million
  // years of uptime).
  return static_cast<std::uint64_t>(now.tv_sec) * kMillisPerSecond +
         static_cast<std::uint64_t>(now.tv_nsec) / kNanosPerMilli;
}

OutputHandle StandardOutput() { return OutputHandle{STDOUT_FILENO}; }

std::size_t WriteOutput(OutputHandle output, const char* bytes,
                        std::size_t count) {
  sigset_t fatal_on_write;
  sigemptyset(&fatal_on_write);
  sigaddset(&fatal_on_write, SIGPIPE);
  sigaddset(&fatal_on_write, SIGXFSZ);
  sigprocmask(SIG_BLOCK, &fatal_on_write, nullptr);

  const ssize_t written = write(static_cast<int>(output.Value), bytes, count);
  return written > 0 ? static_cast<std::size_t>(written) : 0;
}

}  // namespace platform
