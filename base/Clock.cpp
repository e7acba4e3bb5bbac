#include "base/Clock.h"

#include <windows.h>

namespace {

// FILETIME ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t UnixEpochTicks = 116444736000000000ULL;

// Every process has the system's shared user data mapped read-only at this address, and the
// system time in it is kept current by the kernel (by the server under Wine) every few ms.
// GetSystemTimeAsFileTime reads this very field on Windows; under Wine it is a system call of
// ~100 ns, and one overlay answer reads the clock five times.
struct CSharedSystemTime {
    ULONG lowPart;
    LONG high1;
    LONG high2;
};
const volatile CSharedSystemTime* const s_sharedTime =
    reinterpret_cast<const volatile CSharedSystemTime*>(0x7FFE0000 + 0x14);

uint64_t ReadSharedTime()
{
    for (;;) {
        // The writer stores high2, low, high1: equal halves mean no update ran in between.
        const LONG high = s_sharedTime->high1;
        const ULONG low = s_sharedTime->lowPart;
        if (high == s_sharedTime->high2)
            return (static_cast<uint64_t>(static_cast<ULONG>(high)) << 32) | low;
    }
}

uint64_t ReadSystemTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Trusts the shared field only when it agrees with the documented call.
bool SharedTimeIsCurrent()
{
    const uint64_t system = ReadSystemTime();
    const uint64_t shared = ReadSharedTime();
    const uint64_t difference = system > shared ? system - shared : shared - system;
    return difference < CClock::TicksPerSecond;
}

} // namespace

uint64_t CClock::SystemTicks()
{
    static const bool useShared = SharedTimeIsCurrent();
    return useShared ? ReadSharedTime() : ReadSystemTime();
}

int64_t CClock::NowSeconds()
{
    // The same count _time64 gives, without its cost (over a microsecond under Wine).
    return static_cast<int64_t>((NowTicks() - UnixEpochTicks) / TicksPerSecond);
}
