#include "base/Clock.h"

#include <windows.h>

uint64_t CClock::SteadyTicks()
{
    // Milliseconds since boot: it never goes back when the user or a time sync sets the calendar
    // clock, and it is a read of the system's shared page, without a system call.
    return GetTickCount64() * (TicksPerSecond / 1000);
}

int64_t CClock::NowSeconds()
{
    return static_cast<int64_t>(NowTicks() / TicksPerSecond);
}
