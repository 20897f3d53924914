// Unit tests of the breakdown and the report line, over the cases in
// modMain_cases.h.
#include "modMain.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>

#include "modMain_cases.h"
#include "platform/platform.h"

namespace {

using modMain::ElapsedTime;
using modMain_cases::ToTicks;

std::string Line(const ElapsedTime& e) {
  const auto line = modMain::ComposeReport(e);
  return std::string(line.Text, line.Length);
}

TEST(TicksToElapsed, KnownCounts) {
  for (const auto& c : modMain_cases::kBreakdownCases) {
    SCOPED_TRACE(c.Ticks);
    const ElapsedTime e = modMain::TicksToElapsed(c.Ticks);
    EXPECT_EQ(e.Days, c.Expected.Days);
    EXPECT_EQ(e.Hours, c.Expected.Hours);
    EXPECT_EQ(e.Minutes, c.Expected.Minutes);
    EXPECT_EQ(e.Seconds, c.Expected.Seconds);
    EXPECT_EQ(e.Milliseconds, c.Expected.Milliseconds);
  }
}

// Every count rebuilds from its fields, and every field below the largest
// stays within its unit.
TEST(TicksToElapsed, RebuildsEveryCountWithFieldsInRange) {
  modMain_cases::ForEachSweptCount([](std::uint64_t ticks) {
    ASSERT_TRUE(modMain_cases::Rebuilds(ticks)) << ticks;
  });
}

TEST(ReadElapsed, LiesBetweenTwoReadingsOfTheClock) {
  const std::optional<std::uint64_t> before = platform::ReadTickCount();
  const std::optional<ElapsedTime> reading = modMain::ReadElapsed();
  const std::optional<std::uint64_t> after = platform::ReadTickCount();
  ASSERT_TRUE(before && reading && after);
  EXPECT_LE(*before, ToTicks(*reading));
  EXPECT_LE(ToTicks(*reading), *after);
}

// Without a reading the status is 1, on an output where a line, such as the
// reading's here (it lands among the test's own output), would succeed.
TEST(ReportElapsed, NoReadingIsAFailure) {
  const platform::OutputHandle output = platform::StandardOutput();
  EXPECT_EQ(modMain::ReportElapsed(std::nullopt, output), 1);
  EXPECT_EQ(modMain::ReportElapsed(ElapsedTime{0, 0, 0, 0, 0}, output), 0);
}

TEST(ComposeReport, ExactLines) {
  for (const auto& c : modMain_cases::kLineCases) {
    EXPECT_EQ(Line(c.Elapsed), c.Line);
  }
  // The widest record fills the buffer exactly.
  const auto& widest = *std::rbegin(modMain_cases::kLineCases);
  EXPECT_EQ(widest.Line.size(), modMain::kReportCapacity);
}

}  // namespace
