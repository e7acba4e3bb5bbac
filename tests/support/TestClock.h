#pragma once

#include "base/Clock.h"

// Freezes the caches' clock for one test, so lifetimes pass instantly. Each test starts an hour
// after the previous one ended, so entries left in process-wide caches have expired.
class CFrozenClock {
public:
    CFrozenClock();
    ~CFrozenClock();
    CFrozenClock(const CFrozenClock&) = delete;
    CFrozenClock& operator=(const CFrozenClock&) = delete;

    void AdvanceSeconds(uint64_t seconds) { AdvanceTicks(seconds * CClock::TicksPerSecond); }
    void AdvanceTicks(uint64_t ticks);
};
