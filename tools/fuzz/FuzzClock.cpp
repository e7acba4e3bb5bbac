#include <atomic>

#include "base/Clock.h"
#include "tools/fuzz/Fuzz.h"

// Linked ahead of the base library, this replaces the DLL's clock for the fuzzer's process.
namespace {
std::atomic<uint64_t> s_ticks{0};
}

uint64_t CClock::NowTicks()
{
    uint64_t ticks = s_ticks.load();
    if (ticks == 0 && !s_ticks.compare_exchange_strong(ticks, SteadyTicks()))
        return s_ticks.load();
    return ticks ? ticks : s_ticks.load();
}

void AdvanceFuzzClock(uint64_t seconds)
{
    CClock::NowTicks();
    s_ticks += seconds * CClock::TicksPerSecond;
}
