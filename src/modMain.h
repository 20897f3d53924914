// The uptime report: breaking a millisecond tick count down into days, hours,
// minutes, seconds and milliseconds, composing the report line, and the entry
// procedure that reads the clock once and writes that line once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

#include "platform/platform.h"

namespace modMain {

// Days is 64-bit so that every 64-bit tick count breaks down exactly;
// the other fields never exceed 999.
struct ElapsedTime {
  std::uint64_t Days;
  std::uint32_t Hours;
  std::uint32_t Minutes;
  std::uint32_t Seconds;
  std::uint32_t Milliseconds;
};

// Pure: splits a count of milliseconds into whole units and the rest.
ElapsedTime TicksToElapsed(std::uint64_t ticks);

// Takes one reading of the milliseconds since the system started,
// time asleep included, and breaks it down; none when no clock can be read.
// Inline, so that the program holds it once, inside RunReport, and no unused
// copy besides.
inline std::optional<ElapsedTime> ReadElapsed() {
  const std::optional<std::uint64_t> ticks = platform::ReadTickCount();
  if (!ticks) {
    return std::nullopt;
  }
  return TicksToElapsed(*ticks);
}

namespace detail {
template <typename T>
constexpr std::size_t MaxDigits() {
  // A signed type's minus sign would need one character more.
  static_assert(std::is_unsigned_v<T>, "MaxDigits counts no sign");
  return std::numeric_limits<T>::digits10 + 1;
}
}  // namespace detail

// The labels, exactly as the line carries them.
// Callers parse this line: " Mins" and " Miliseconds" stay as they are spelled.
inline constexpr std::string_view kPrefix = "System Uptime: ";
inline constexpr std::string_view kDaysLabel = " Days, ";
inline constexpr std::string_view kHoursLabel = " Hours, ";
inline constexpr std::string_view kMinutesLabel = " Mins, ";
inline constexpr std::string_view kSecondsLabel = " Seconds, ";
inline constexpr std::string_view kMillisecondsLabel = " Miliseconds";
inline constexpr std::string_view kLineEnd = "\r\n";

// Room for the longest line any record can give, every field at its type's
// maximum, so composing never needs the heap and never overruns.
inline constexpr std::size_t kReportCapacity =
    kPrefix.size() + kDaysLabel.size() + kHoursLabel.size() +
    kMinutesLabel.size() + kSecondsLabel.size() + kMillisecondsLabel.size() +
    kLineEnd.size() + detail::MaxDigits<std::uint64_t>() +
    4 * detail::MaxDigits<std::uint32_t>();

struct ReportLine {
  char Text[kReportCapacity];
  std::size_t Length;
};

// Pure: the report line for a record, CR LF included, no NUL after it.
ReportLine ComposeReport(const ElapsedTime& elapsed);

// The entry procedure: one reading, one line, one write. Returns the exit
// status: 0 when the whole line was written, 1 when no clock could be read
// (nothing is written) or the write failed or fell short.
int RunReport();

// RunReport's way from a reading to the exit status, with the reading and the
// output given: the unit tests hand it what the clock cannot be made to give.
int ReportElapsed(const std::optional<ElapsedTime>& elapsed,
                  platform::OutputHandle output);

}  // namespace modMain
