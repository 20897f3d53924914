// A Windows program like uptime-report but for one global with a dynamic
// initialiser, which a program without a C runtime would silently never run:
// tests/exe_check.py must refuse it.
#include "modMain.h"

namespace {

std::uint64_t ReadSecondsAtStart() {
  return modMain::ReadElapsed().value_or(modMain::ElapsedTime{}).Seconds;
}

}  // namespace

// Extern, so that no optimisation drops it or its initialiser.
extern const std::uint64_t kSecondsAtStart;
const std::uint64_t kSecondsAtStart = ReadSecondsAtStart();
