#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <ctime>

#include "base/Clock.h"

namespace {

TEST(ClockTest, AgreesWithTheSystem)
{
    FILETIME system;
    GetSystemTimeAsFileTime(&system);
    const uint64_t systemTicks = (uint64_t(system.dwHighDateTime) << 32) | system.dwLowDateTime;
    const uint64_t ticks = CClock::SystemTicks();
    EXPECT_LT(ticks > systemTicks ? ticks - systemTicks : systemTicks - ticks, CClock::TicksPerSecond);
    EXPECT_LE(std::abs(CClock::NowSeconds() - _time64(nullptr)), 1);
}

} // namespace
