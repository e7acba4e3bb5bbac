#pragma once

#include <cstdint>

// The time source of the caches. Tests freeze it and move it forward instead of sleeping
// through lifetimes of 10 and 600 seconds.
class CClock {
public:
    // 100-ns ticks since 1601-01-01 UTC, as GetSystemTimeAsFileTime gives them.
    static uint64_t NowTicks();
    // Seconds since 1970-01-01 UTC, as _time64 gives them.
    static int64_t NowSeconds();

    static void Freeze(uint64_t ticks);
    static void Advance(uint64_t ticks);
    static void Unfreeze();

    static constexpr uint64_t TicksPerSecond = 10000000;
};
