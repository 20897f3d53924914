// The unit tests of modMain as a Windows program with no C runtime, built and
// linked as uptime-report.exe is: the PE loader (tests/pe_loader.cpp) runs it
// on every machine, where GoogleTest's program needs Wine, which runs the x86
// one only where the kernel runs 32-bit programs, and ARM64 has no C++
// runtime for it at all. The cases are GoogleTest's (modMain_cases.h). Each
// failure is a line on standard output, the last line counts the checks,
// and the exit status is 0 when every check passed, 1 otherwise.
#if !defined(_WIN32)
#error "This test is a Windows program; tests/modMain_test.cpp tests elsewhere."
#endif

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "modMain.h"
#include "modMain_cases.h"
#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

using modMain::ElapsedTime;
using modMain_cases::ToTicks;

void Print(std::string_view text) {
  platform::WriteOutput(platform::StandardOutput(), text.data(), text.size());
}

void PrintNumber(std::uint64_t value) {
  char digits[20];
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  Print(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// Compared byte by byte: with no C runtime there is no memcmp to call.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

bool SameRecord(const ElapsedTime& a, const ElapsedTime& b) {
  return a.Days == b.Days && a.Hours == b.Hours && a.Minutes == b.Minutes &&
         a.Seconds == b.Seconds && a.Milliseconds == b.Milliseconds;
}

// The checks made and failed; a failure names its test and the value or case
// it failed at.
struct Tally {
  std::uint64_t Checks = 0;
  std::uint64_t Failures = 0;

  void Expect(bool passed, std::string_view test, std::uint64_t at) {
    ++Checks;
    if (passed) return;
    ++Failures;
    Print("FAIL ");
    Print(test);
    Print(" at ");
    PrintNumber(at);
    Print("\n");
  }
};

std::uint64_t RunTests() {
  Tally tally;
  for (const auto& c : modMain_cases::kBreakdownCases) {
    tally.Expect(SameRecord(modMain::TicksToElapsed(c.Ticks), c.Expected),
                 "TicksToElapsed.KnownCounts", c.Ticks);
  }
  modMain_cases::ForEachSweptCount([&tally](std::uint64_t ticks) {
    tally.Expect(modMain_cases::Rebuilds(ticks),
                 "TicksToElapsed.RebuildsEveryCountWithFieldsInRange", ticks);
  });

  const std::optional<std::uint64_t> before = platform::ReadTickCount();
  const std::optional<modMain::ElapsedTime> reading = modMain::ReadElapsed();
  const std::optional<std::uint64_t> after = platform::ReadTickCount();
  const std::uint64_t ticks = reading ? ToTicks(*reading) : 0;
  tally.Expect(
      before && reading && after && *before <= ticks && ticks <= *after,
      "ReadElapsed.LiesBetweenTwoReadingsOfTheClock", ticks);
  tally.Expect(
      modMain::ReportElapsed(std::nullopt, platform::StandardOutput()) == 1,
      "ReportElapsed.NoReadingIsAFailure", 0);

  std::uint64_t index = 0;
  for (const auto& c : modMain_cases::kLineCases) {
    const modMain::ReportLine line = modMain::ComposeReport(c.Elapsed);
    tally.Expect(SameText(std::string_view(line.Text, line.Length), c.Line),
                 "ComposeReport.ExactLines, case", index++);
  }
  const std::size_t widest = modMain_cases::kLineCases[index - 1].Line.size();
  tally.Expect(widest == modMain::kReportCapacity,
               "ComposeReport.ExactLines, the widest line's length", widest);

  PrintNumber(tally.Checks);
  Print(" checks, ");
  PrintNumber(tally.Failures);
  Print(" failed\n");
  return tally.Failures;
}

}  // namespace

extern "C" void mainCRTStartup() { ExitProcess(RunTests() == 0 ? 0 : 1); }
