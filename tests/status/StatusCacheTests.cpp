#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "base/Clock.h"
#include "status/StatusCache.h"
#include "tools/clock/ControlledClock.h"
#include "tools/standin/StatusCacheProbe.h"

namespace {
long s_failIn = 0; // when above 0, the allocation that many from now fails
}

// Every allocation of this program can be made to fail.
void* operator new(std::size_t size)
{
    void* block = s_failIn > 0 && --s_failIn == 0 ? nullptr : std::malloc(size ? size : 1);
    return block ? block : throw std::bad_alloc();
}
void operator delete(void* block) noexcept
{
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

namespace {

// The caches' clock counts from the system's start, which setting the calendar clock does not move.
TEST(ClockTest, CountsFromTheSystemsStart)
{
    const uint64_t boot = GetTickCount64() * (CClock::TicksPerSecond / 1000), ticks = CClock::SteadyTicks();
    EXPECT_LT(ticks > boot ? ticks - boot : boot - ticks, CClock::TicksPerSecond);
}

// The status of a fresh entry, or -100.
int32_t Fresh(CStatusCache& cache, const std::wstring& path)
{
    int32_t status = -100;
    return cache.Get(path.c_str(), &status, nullptr) ? status : -100;
}

TEST(StatusCacheTest, EachEntryLivesItsTtlToTheTick)
{
    // A status, the life asked for (-1: by status), the life it gets. Only a plain error lives
    // 600 s, which in 100-ns ticks does not fit in 32 bits.
    const std::tuple<int32_t, int32_t, uint64_t> rows[] = {
        {StatusOk, -1, 10},    {StatusNone, -1, 10},   {StatusError | StatusExcludedFlag, -1, 10},
        {3, -1, 10},           {StatusError, -1, 600}, {StatusError, 0, 0},
        {StatusOk, 3600, 3600}};
    CFrozenClock clock;
    CStatusCache cache;
    for (const auto& [put, ttl, life] : rows) {
        SCOPED_TRACE(std::to_string(put) + " for " + std::to_string(ttl));
        cache.Put(L"C:\\Sync\\a.txt", put, FILE_ATTRIBUTE_HIDDEN, ttl);
        clock.AdvanceSeconds(life);
        int32_t status = -100, expired = -100;
        uint32_t attributes = 0;
        // Expiring exactly now is still fresh, and the raw word comes back.
        EXPECT_TRUE(cache.Get(L"C:\\Sync\\a.txt", &status, &attributes) && status == put &&
                    attributes == FILE_ATTRIBUTE_HIDDEN);
        clock.AdvanceTicks(1);
        // An expired entry still writes its outputs, and the get that found it removes it.
        EXPECT_TRUE(!cache.Get(L"C:\\Sync\\a.txt", &expired, nullptr) && expired == put && cache.Count() == 0);
    }
}

// A put replaces the entry's expiry. At capacity the entry that expires first goes: not a replaced
// one, and among puts at one instant the oldest. "+N" moves the clock N seconds; "!" marks an
// error status (600 s).
TEST(StatusCacheTest, EvictsTheEntryThatExpiresFirst)
{
    const struct {
        uint32_t capacity;
        std::vector<std::wstring> puts;
        std::vector<std::wstring> kept, gone;
    } rows[] = {
        {3, {L"a", L"+1", L"!err", L"+1", L"b", L"+1", L"a", L"c"}, {L"a", L"err", L"c"}, {L"b"}},
        {3, {L"a", L"+1", L"!err", L"+1", L"b", L"+1", L"a", L"c", L"d"}, {L"err", L"c", L"d"}, {L"a", L"b"}},
        {2, {L"x", L"y", L"x", L"z"}, {L"x", L"z"}, {L"y"}},
        {3, {L"a", L"!err", L"b", L"c"}, {L"err", L"b", L"c"}, {L"a"}}, // b's instant is a's, met again
        // One tick later than asked per colliding put: still fresh at the end of the life.
        {2, {L"x", L"y", L"x", L"z", L"+10"}, {L"z"}, {L"y"}},
        {0, {L"x"}, {}, {L"x"}},
        {1, {L"x", L"+5", L"x", L"+10"}, {L"x"}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.puts.size());
        CFrozenClock clock;
        CStatusCache cache(10, row.capacity);
        for (const std::wstring& put : row.puts) {
            if (put[0] == L'+')
                clock.AdvanceSeconds(std::stoi(put.substr(1)));
            else
                cache.Put(put[0] == L'!' ? put.substr(1) : put, put[0] == L'!' ? StatusError : StatusOk, 0, -1);
        }
        for (const std::wstring& path : row.kept)
            EXPECT_NE(Fresh(cache, path), -100) << path;
        for (const std::wstring& path : row.gone)
            EXPECT_EQ(Fresh(cache, path), -100) << path;
        EXPECT_TRUE(CStatusCacheProbe::Consistent(cache));
    }
}

// A put that runs out of memory, wherever it does, changes nothing: a new path at capacity, whose
// put would evict, and a replaced one alike.
TEST(StatusCacheTest, APutThatRunsOutOfMemoryChangesNothing)
{
    CFrozenClock clock;
    CStatusCache cache(10, 2);
    cache.Put(L"a", StatusOk, 0, -1);
    cache.Put(L"b", StatusPending, 0, -1);
    const auto picture = [&] {
        std::string seen;
        for (const wchar_t* path : {L"a", L"b", L"new"})
            seen += std::to_string(Fresh(cache, path)) + " ";
        return seen;
    };
    int failures = 0;
    for (const wchar_t* path : {L"new", L"b"}) {
        for (long n = 1;; ++n) {
            const std::string before = picture();
            s_failIn = n;
            try {
                cache.Put(path, StatusError, 0, -1);
                s_failIn = 0;
                break;
            } catch (const std::bad_alloc&) {
                s_failIn = 0;
            }
            ++failures;
            ASSERT_TRUE(CStatusCacheProbe::Consistent(cache)) << n;
            EXPECT_EQ(picture(), before) << n;
        }
    }
    EXPECT_GE(failures, 3);
    EXPECT_EQ(picture(), "-100 0 0 ");
}

} // namespace
