#include <algorithm>
#include <atomic>

#include "tests/support/TestClock.h"

// Linked into every test program ahead of the libraries, this replaces the DLL's clock.
namespace {
std::atomic<bool> s_frozen{false};
std::atomic<uint64_t> s_frozenTicks{0}; // kept after a test, for the next one to start past it
} // namespace

uint64_t CClock::NowTicks()
{
    return s_frozen.load(std::memory_order_relaxed) ? s_frozenTicks.load(std::memory_order_relaxed) : SteadyTicks();
}

CFrozenClock::CFrozenClock()
{
    // An hour past both the present and the previous test's time: whatever the process-wide
    // caches kept from an earlier test has expired.
    s_frozenTicks = std::max(CClock::SteadyTicks(), s_frozenTicks.load()) + 3600 * CClock::TicksPerSecond;
    s_frozen = true;
}

CFrozenClock::~CFrozenClock()
{
    s_frozen = false;
}

void CFrozenClock::AdvanceTicks(uint64_t ticks)
{
    s_frozenTicks += ticks;
}
