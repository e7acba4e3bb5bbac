#include "tools/clock/ControlledClock.h"

#include <algorithm>
#include <atomic>

namespace {
std::atomic<bool> s_frozen{false};
std::atomic<uint64_t> s_frozenTicks{0}; // kept after a thaw, for the next freeze to start past it
std::atomic<uint64_t> s_offset{0};      // how far a running clock was moved on
} // namespace

uint64_t CClock::NowTicks()
{
    return s_frozen.load(std::memory_order_relaxed) ? s_frozenTicks.load(std::memory_order_relaxed)
                                                    : SteadyTicks() + s_offset.load(std::memory_order_relaxed);
}

namespace ControlledClock {

void Freeze()
{
    s_frozenTicks = std::max(CClock::SteadyTicks() + s_offset, s_frozenTicks.load()) + 3600 * CClock::TicksPerSecond;
    s_frozen = true;
}

void Thaw()
{
    s_frozen = false;
}

void AdvanceTicks(uint64_t ticks)
{
    (s_frozen ? s_frozenTicks : s_offset) += ticks;
}

} // namespace ControlledClock
