// Unit tests of the breakdown and the report line.
#include "modMain.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

using modMain::ElapsedTime;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

std::uint64_t ToTicks(const ElapsedTime& e) {
  return (((e.Days * 24 + e.Hours) * 60 + e.Minutes) * 60 + e.Seconds) * 1000 +
         e.Milliseconds;
}

std::string Line(const ElapsedTime& e) {
  const auto line = modMain::ComposeReport(e);
  return std::string(line.Text, line.Length);
}

struct BreakdownCase {
  std::uint64_t ticks;
  ElapsedTime expected;
};

TEST(TicksToElapsed, KnownCounts) {
  const std::vector<BreakdownCase> cases = {
      {0, {0, 0, 0, 0, 0}},
      {999, {0, 0, 0, 0, 999}},
      {1000, {0, 0, 0, 1, 0}},
      {59999, {0, 0, 0, 59, 999}},
      {60000, {0, 0, 1, 0, 0}},
      {3599999, {0, 0, 59, 59, 999}},
      {3600000, {0, 1, 0, 0, 0}},
      {86399999, {0, 23, 59, 59, 999}},
      {86400000, {1, 0, 0, 0, 0}},
      {93784005, {1, 2, 3, 4, 5}},
      {2147483647, {24, 20, 31, 23, 647}},
      {2147483648, {24, 20, 31, 23, 648}},
      {4294967295, {49, 17, 2, 47, 295}},
      // Past the 32-bit edge the count goes on instead of wrapping.
      {4294967296, {49, 17, 2, 47, 296}},
      {8639999999, {99, 23, 59, 59, 999}},
      {8640000000, {100, 0, 0, 0, 0}},
      {kU64Max, {213503982334, 14, 25, 51, 615}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ticks);
    const ElapsedTime e = modMain::TicksToElapsed(c.ticks);
    EXPECT_EQ(e.Days, c.expected.Days);
    EXPECT_EQ(e.Hours, c.expected.Hours);
    EXPECT_EQ(e.Minutes, c.expected.Minutes);
    EXPECT_EQ(e.Seconds, c.expected.Seconds);
    EXPECT_EQ(e.Milliseconds, c.expected.Milliseconds);
  }
}

// Every count rebuilds from its fields, and every field below the largest
// stays within its unit.
TEST(TicksToElapsed, RebuildsEveryCountWithFieldsInRange) {
  const auto expect_rebuilds = [](std::uint64_t ticks) {
    SCOPED_TRACE(ticks);
    const ElapsedTime e = modMain::TicksToElapsed(ticks);
    ASSERT_LT(e.Hours, 24u);
    ASSERT_LT(e.Minutes, 60u);
    ASSERT_LT(e.Seconds, 60u);
    ASSERT_LT(e.Milliseconds, 1000u);
    ASSERT_EQ(ToTicks(e), ticks);
  };
  const std::uint64_t extremes[] = {kU64Max, kU64Max - 1, 1ULL << 63,
                                    (1ULL << 63) - 1};
  for (const std::uint64_t ticks : extremes) {
    expect_rebuilds(ticks);
  }
  const std::uint64_t units[] = {1000, 60000, 3600000, 86400000};
  for (const std::uint64_t unit : units) {
    const std::uint64_t multiples[] = {1,  2,   49,         50,
                                       99, 100, 1ULL << 32, kU64Max / unit};
    for (const std::uint64_t multiple : multiples) {
      const std::uint64_t edge = unit * multiple;
      for (const std::uint64_t ticks : {edge - 1, edge, edge + 1}) {
        expect_rebuilds(ticks);
      }
    }
  }
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 5000; ++i) {
    const std::uint64_t raw = random();
    expect_rebuilds(raw >> (raw % 64));  // every magnitude, not only huge ones
  }
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
  const struct {
    ElapsedTime elapsed;
    std::string line;
  } cases[] = {
      {{0, 0, 0, 0, 0},
       "System Uptime: 0 Days, 0 Hours, 0 Mins, 0 Seconds, 0 Miliseconds\r\n"},
      {{1, 2, 3, 4, 5},
       "System Uptime: 1 Days, 2 Hours, 3 Mins, 4 Seconds, 5 Miliseconds\r\n"},
      {{10, 10, 10, 10, 100},
       "System Uptime: 10 Days, 10 Hours, 10 Mins, 10 Seconds, 100 "
       "Miliseconds\r\n"},
      {{0, 23, 59, 59, 999},
       "System Uptime: 0 Days, 23 Hours, 59 Mins, 59 Seconds, 999 "
       "Miliseconds\r\n"},
      {{24, 20, 31, 23, 647},
       "System Uptime: 24 Days, 20 Hours, 31 Mins, 23 Seconds, 647 "
       "Miliseconds\r\n"},
      {{100, 23, 59, 59, 999},
       "System Uptime: 100 Days, 23 Hours, 59 Mins, 59 Seconds, 999 "
       "Miliseconds\r\n"},
      {{213503982334, 14, 25, 51, 615},
       "System Uptime: 213503982334 Days, 14 Hours, 25 Mins, 51 Seconds, 615 "
       "Miliseconds\r\n"},
      // The widest record of all fills the buffer exactly.
      {{kU64Max, kU32Max, kU32Max, kU32Max, kU32Max},
       "System Uptime: 18446744073709551615 Days, 4294967295 Hours, 4294967295 "
       "Mins, 4294967295 Seconds, 4294967295 Miliseconds\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Line(c.elapsed), c.line);
  }
  EXPECT_EQ(cases[std::size(cases) - 1].line.size(), modMain::kReportCapacity);
}

}  // namespace
