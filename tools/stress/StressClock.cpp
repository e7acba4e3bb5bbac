#include <atomic>

#include "base/Clock.h"
#include "tools/stress/Run.h"

// Linked ahead of the libraries, this replaces the linked module's clock (the DLL keeps its own).
namespace {
std::atomic<uint64_t> s_skipped{0};
}

uint64_t CClock::NowTicks()
{
    return SteadyTicks() + s_skipped.load(std::memory_order_relaxed);
}

void SkipClockSeconds(uint64_t seconds)
{
    s_skipped += seconds * CClock::TicksPerSecond;
}
