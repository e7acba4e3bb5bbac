#include "status/Clock.h"

#include <windows.h>

#include <atomic>
#include <ctime>

namespace {

// FILETIME ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t UnixEpochTicks = 116444736000000000ULL;

std::atomic<bool> s_frozen{false};
std::atomic<uint64_t> s_frozenTicks{0};

} // namespace

uint64_t CClock::NowTicks()
{
    if (s_frozen.load(std::memory_order_relaxed))
        return s_frozenTicks.load(std::memory_order_relaxed);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

int64_t CClock::NowSeconds()
{
    if (s_frozen.load(std::memory_order_relaxed))
        return static_cast<int64_t>((s_frozenTicks.load(std::memory_order_relaxed) - UnixEpochTicks) / TicksPerSecond);
    return _time64(nullptr);
}

void CClock::Freeze(uint64_t ticks)
{
    s_frozenTicks.store(ticks);
    s_frozen.store(true);
}

void CClock::Advance(uint64_t ticks)
{
    s_frozenTicks.fetch_add(ticks);
}

void CClock::Unfreeze()
{
    s_frozen.store(false);
}
