#include <gtest/gtest.h>

#include "base/Clock.h"
#include "base/RegistryKey.h"

namespace {

// The caches' clock counts from the system's start, which setting the calendar clock does not move.
TEST(ClockTest, CountsFromTheSystemsStart)
{
    const uint64_t boot = GetTickCount64() * (CClock::TicksPerSecond / 1000), ticks = CClock::SteadyTicks();
    EXPECT_LT(ticks > boot ? ticks - boot : boot - ticks, CClock::TicksPerSecond);
}

// A key object opened again lets go of the key it held.
TEST(RegistryKeyTest, OpeningAgainClosesTheKeyHeld)
{
    CRegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, L"Software", KEY_READ), ERROR_SUCCESS);
    const HKEY first = key.Get();
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, L"Environment", KEY_READ), ERROR_SUCCESS);
    // The closed handle may have been handed out again at once, to this very key.
    EXPECT_TRUE(key.Get() == first ||
                RegQueryInfoKeyW(first, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr) == ERROR_INVALID_HANDLE);
}

} // namespace
