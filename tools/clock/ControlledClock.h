#pragma once

#include <cstdint>

#include "base/Clock.h"

// The module's clock as the tests, the fuzzer, the stress run and the benchmarks have it: linked
// ahead of the libraries in place of the DLL's, it runs with the system's until frozen, and is
// moved on instead of sleeping through lifetimes of 10 and 600 seconds.
namespace ControlledClock {

// Stops the clock an hour past anything it answered before: whatever the process-wide caches
// kept has then expired.
void Freeze();
void Thaw();
// Moves the clock on, frozen or running.
void AdvanceTicks(uint64_t ticks);
inline void AdvanceSeconds(uint64_t seconds)
{
    AdvanceTicks(seconds * CClock::TicksPerSecond);
}

} // namespace ControlledClock

// Frozen for one test's life.
class CFrozenClock {
public:
    CFrozenClock() { ControlledClock::Freeze(); }
    ~CFrozenClock() { ControlledClock::Thaw(); }
    CFrozenClock(const CFrozenClock&) = delete;
    CFrozenClock& operator=(const CFrozenClock&) = delete;

    void AdvanceSeconds(uint64_t seconds) { ControlledClock::AdvanceSeconds(seconds); }
    void AdvanceTicks(uint64_t ticks) { ControlledClock::AdvanceTicks(ticks); }
};
