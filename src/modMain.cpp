// The uptime report: breakdown, composition and the entry procedure.
#include "modMain.h"

#include <charconv>
#include <cstring>

namespace modMain {
namespace {

constexpr std::uint64_t kMillisPerSecond = 1000;
constexpr std::uint64_t kSecondsPerMinute = 60;
constexpr std::uint64_t kSecondsPerHour = kSecondsPerMinute * 60;
constexpr std::uint64_t kSecondsPerDay = kSecondsPerHour * 24;

char* Append(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// Each number gets the room its type's widest value needs, which is what the
// line's capacity counts; so to_chars cannot fail, and the bound is one the
// compiler can see: no write past the buffer, whatever it makes of to_chars.
template <typename Unsigned>
char* AppendNumber(char* out, Unsigned value) {
  return std::to_chars(out, out + detail::MaxDigits<Unsigned>(), value).ptr;
}

}  // namespace

ElapsedTime TicksToElapsed(std::uint64_t ticks) {
  // Each step only divides or subtracts what it divided out, so no value
  // exceeds the tick count and 64-bit arithmetic is exact for every input.
  const auto milliseconds = ticks % kMillisPerSecond;
  auto seconds = ticks / kMillisPerSecond;
  const auto days = seconds / kSecondsPerDay;
  seconds -= days * kSecondsPerDay;
  const auto hours = seconds / kSecondsPerHour;
  seconds -= hours * kSecondsPerHour;
  return ElapsedTime{days, static_cast<std::uint32_t>(hours),
                     static_cast<std::uint32_t>(seconds / kSecondsPerMinute),
                     static_cast<std::uint32_t>(seconds % kSecondsPerMinute),
                     static_cast<std::uint32_t>(milliseconds)};
}

ReportLine ComposeReport(const ElapsedTime& elapsed) {
  ReportLine line;
  char* out = Append(line.Text, kPrefix);
  out = Append(AppendNumber(out, elapsed.Days), kDaysLabel);
  out = Append(AppendNumber(out, elapsed.Hours), kHoursLabel);
  out = Append(AppendNumber(out, elapsed.Minutes), kMinutesLabel);
  out = Append(AppendNumber(out, elapsed.Seconds), kSecondsLabel);
  out = Append(AppendNumber(out, elapsed.Milliseconds), kMillisecondsLabel);
  out = Append(out, kLineEnd);
  line.Length = static_cast<std::size_t>(out - line.Text);
  return line;
}

int RunReport() {
  // The clock is read before standard output is looked up.
  const std::optional<ElapsedTime> elapsed = ReadElapsed();
  return ReportElapsed(elapsed, platform::StandardOutput());
}

int ReportElapsed(const std::optional<ElapsedTime>& elapsed,
                  platform::OutputHandle output) {
  // No reading is no uptime: a line of zeros would be a false one.
  if (!elapsed) {
    return 1;
  }
  // The line is complete before it goes out in a single write: never in
  // pieces.
  const ReportLine line = ComposeReport(*elapsed);
  const std::size_t written =
      platform::WriteOutput(output, line.Text, line.Length);
  return written == line.Length ? 0 : 1;
}

}  // namespace modMain
