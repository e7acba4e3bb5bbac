#pragma once

#include <cstdint>

// The time source of the caches and of the menu's reply limit: a steady count from boot, so that
// a clock set back or forward neither keeps nor drops what the caches hold, nor stretches a wait.
class CClock {
public:
    // 100-ns ticks since the system started. Defined alone in ClockNow.cpp: the tests link their
    // own, which they freeze and move forward instead of sleeping through lifetimes of 10 and 600
    // seconds, and the DLL carries none of that.
    static uint64_t NowTicks();
    // The system's steady count, which NowTicks answers in the DLL.
    static uint64_t SteadyTicks();
    // Whole seconds of NowTicks.
    static int64_t NowSeconds();

    static constexpr uint64_t TicksPerSecond = 10000000;
};
