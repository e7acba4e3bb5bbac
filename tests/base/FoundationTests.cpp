#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "base/Clock.h"
#include "base/RegistryKey.h"

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
