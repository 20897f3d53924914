// The program's boundary to the operating system: the tick count, standard
// output and the write. One implementation file per platform provides these;
// the build picks it. No operating-system type appears here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform {

// Opaque: a file descriptor on POSIX, a HANDLE on Windows.
struct OutputHandle {
  std::intptr_t Value;
};

// Milliseconds since the system started, time asleep included, as a 64-bit
// count that does not wrap in any uptime a machine will reach; none when no
// clock can be read.
std::optional<std::uint64_t> ReadTickCount();

// The process's standard output, passed on unchecked: a missing or closed
// stream shows up as a failed write.
OutputHandle StandardOutput();

// One write of the given bytes, with no retry. Returns how many were written,
// 0 on failure. A write to a closed pipe or past the file-size limit fails
// here instead of ending the process by a signal.
std::size_t WriteOutput(OutputHandle output, const char* bytes,
                        std::size_t count);

}  // namespace platform
