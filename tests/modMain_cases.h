// The unit tests' cases, shared by the GoogleTest program (modMain_test.cpp)
// and the one without a C runtime that the PE loader runs
// (modMain_bare_test.cpp): the values swept across each unit's boundaries,
// and the exact lines. Nothing here needs the heap or a static constructor.
#pragma once

#include <cstdint>
#include <limits>
#include <random>
#include <string_view>

#include "modMain.h"

namespace modMain_cases {

using modMain::ElapsedTime;

inline constexpr std::uint64_t kU64Max =
    std::numeric_limits<std::uint64_t>::max();
inline constexpr std::uint32_t kU32Max =
    std::numeric_limits<std::uint32_t>::max();

// The tick count a record stands for.
constexpr std::uint64_t ToTicks(const ElapsedTime& e) {
  return (((e.Days * 24 + e.Hours) * 60 + e.Minutes) * 60 + e.Seconds) * 1000 +
         e.Milliseconds;
}

struct BreakdownCase {
  std::uint64_t Ticks;
  ElapsedTime Expected;
};

inline constexpr BreakdownCase kBreakdownCases[] = {
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

// Calls check(ticks) for every count that must rebuild from its fields,
// with every field below the largest within its unit: the extremes, each
// unit's multiples at the interesting edges and one either side, and 5000
// random counts of every magnitude.
template <typename Check>
void ForEachSweptCount(Check check) {
  const std::uint64_t extremes[] = {kU64Max, kU64Max - 1, 1ULL << 63,
                                    (1ULL << 63) - 1};
  for (const std::uint64_t ticks : extremes) {
    check(ticks);
  }
  const std::uint64_t units[] = {1000, 60000, 3600000, 86400000};
  for (const std::uint64_t unit : units) {
    const std::uint64_t multiples[] = {1,  2,   49,         50,
                                       99, 100, 1ULL << 32, kU64Max / unit};
    for (const std::uint64_t multiple : multiples) {
      const std::uint64_t edge = unit * multiple;
      for (const std::uint64_t ticks : {edge - 1, edge, edge + 1}) {
        check(ticks);
      }
    }
  }
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 5000; ++i) {
    const std::uint64_t raw = random();
    check(raw >> (raw % 64));  // every magnitude, not only huge ones
  }
}

// Whether a count's fields rebuild it, each below the largest within its
// unit.
inline bool Rebuilds(std::uint64_t ticks) {
  const ElapsedTime e = modMain::TicksToElapsed(ticks);
  return e.Hours < 24 && e.Minutes < 60 && e.Seconds < 60 &&
         e.Milliseconds < 1000 && ToTicks(e) == ticks;
}

struct LineCase {
  ElapsedTime Elapsed;
  std::string_view Line;
};

inline constexpr LineCase kLineCases[] = {
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

}  // namespace modMain_cases
