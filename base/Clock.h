#pragma once

#include <cstdint>

// The time source of the caches and of the menu's reply limit.
class CClock {
public:
    // 100-ns ticks since 1601-01-01 UTC, as GetSystemTimeAsFileTime gives them. Defined alone in
    // ClockNow.cpp: the tests link their own, which they freeze and move forward instead of
    // sleeping through lifetimes of 10 and 600 seconds, and the DLL carries none of that.
    static uint64_t NowTicks();
    // The system's time, which NowTicks answers in the DLL.
    static uint64_t SystemTicks();
    // Seconds since 1970-01-01 UTC, as _time64 gives them.
    static int64_t NowSeconds();

    static constexpr uint64_t TicksPerSecond = 10000000;
};
