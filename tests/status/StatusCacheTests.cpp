#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/SharedLock.h"
#include "status/StatusCache.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr uint32_t Attributes = FILE_ATTRIBUTE_ARCHIVE;

std::wstring PathFor(int i)
{
    return L"C:\\Sync\\item" + std::to_wstring(i);
}

struct CLookup {
    bool fresh;
    int32_t status;
    uint32_t attributes;
};

CLookup Lookup(CStatusCache& cache, const std::wstring& path)
{
    CLookup result{false, -100, 0xDEADBEEF};
    result.fresh = cache.Get(path.c_str(), &result.status, &result.attributes);
    return result;
}

class StatusCacheTest : public ::testing::Test {
protected:
    CFrozenClock clock;
    CStatusCache cache;
};

TEST(ClockTest, RealClockAgreesWithTheSystemAndFreezes)
{
    FILETIME system;
    GetSystemTimeAsFileTime(&system);
    const uint64_t systemTicks = (uint64_t(system.dwHighDateTime) << 32) | system.dwLowDateTime;
    const uint64_t ticks = CClock::NowTicks();
    EXPECT_LT(ticks > systemTicks ? ticks - systemTicks : systemTicks - ticks, CClock::TicksPerSecond);
    EXPECT_LE(std::abs(CClock::NowSeconds() - _time64(nullptr)), 1);

    {
        CFrozenClock frozen;
        const int64_t seconds = CClock::NowSeconds();
        frozen.AdvanceSeconds(600);
        EXPECT_EQ(CClock::NowSeconds(), seconds + 600);
    }
    EXPECT_LE(std::abs(CClock::NowSeconds() - _time64(nullptr)), 1);
}

TEST_F(StatusCacheTest, LifetimeDependsOnStatusWhenTtlIsNegative)
{
    const struct {
        int32_t status;
        uint64_t lifeSeconds;
        int32_t readBack;
    } cases[] = {
        {StatusOk, 10, StatusOk},
        {StatusPending, 10, StatusPending},
        {StatusNone, 10, StatusNone},
        {StatusError, 600, StatusError}, // 600 s in 100-ns ticks does not fit in 32 bits
        {StatusPending | StatusExcludedFlag, 10, StatusPending | StatusExcludedFlag},
        {StatusError | StatusExcludedFlag, 10, StatusError | StatusExcludedFlag}, // the raw word decides
        {3, 10, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        cache.Clear();
        cache.Put(L"C:\\Sync\\a.txt", c.status, Attributes, -1);
        clock.AdvanceSeconds(c.lifeSeconds);
        CLookup atEnd = Lookup(cache, L"C:\\Sync\\a.txt");
        EXPECT_TRUE(atEnd.fresh) << "an entry expiring exactly now is still fresh";
        EXPECT_EQ(atEnd.status, c.readBack);
        EXPECT_EQ(atEnd.attributes, Attributes);
        clock.AdvanceTicks(1);
        EXPECT_FALSE(Lookup(cache, L"C:\\Sync\\a.txt").fresh);
    }
}

TEST_F(StatusCacheTest, ExplicitTtlOverridesTheStatusRule)
{
    cache.Put(L"zero", StatusError, 0, 0);
    cache.Put(L"long", StatusOk, 0, 3600);
    EXPECT_TRUE(Lookup(cache, L"zero").fresh);
    clock.AdvanceTicks(1);
    EXPECT_FALSE(Lookup(cache, L"zero").fresh);
    clock.AdvanceSeconds(3599);
    EXPECT_TRUE(Lookup(cache, L"long").fresh);
}

TEST_F(StatusCacheTest, ExpiredGetWritesOutputsThenRemovesTheEntry)
{
    cache.Put(L"C:\\Sync\\f", StatusPending, FILE_ATTRIBUTE_HIDDEN, -1);
    cache.Put(L"C:\\Sync\\g", StatusError, 0, -1);
    clock.AdvanceSeconds(11);

    const CLookup expired = Lookup(cache, L"C:\\Sync\\f");
    EXPECT_FALSE(expired.fresh);
    EXPECT_EQ(expired.status, StatusPending);
    EXPECT_EQ(expired.attributes, static_cast<uint32_t>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(cache.Count(), 1);

    const CLookup gone = Lookup(cache, L"C:\\Sync\\f");
    EXPECT_FALSE(gone.fresh);
    EXPECT_EQ(gone.status, -100) << "a missing entry leaves the outputs alone";
    EXPECT_TRUE(cache.Get(L"C:\\Sync\\g", nullptr, nullptr)) << "null outputs are skipped";
    EXPECT_TRUE(cache.VerifyInvariants());
}

TEST_F(StatusCacheTest, PutReplacesStatusAndExpiry)
{
    cache.Put(L"p", StatusPending, 1, -1);
    clock.AdvanceSeconds(5);
    cache.Put(L"p", StatusOk, 2, -1);
    EXPECT_EQ(cache.Count(), 1);
    EXPECT_EQ(cache.IndexSize(), 1u);
    clock.AdvanceSeconds(10);
    const CLookup replaced = Lookup(cache, L"p");
    EXPECT_TRUE(replaced.fresh) << "the second put's expiry counts";
    EXPECT_EQ(replaced.status, StatusOk);
    EXPECT_EQ(replaced.attributes, 2u);
}

TEST_F(StatusCacheTest, KeysAreExactAndNullPathsAreIgnored)
{
    cache.Put(L"C:\\Sync\\Readme.txt", StatusOk, 0, -1);
    cache.Put(L"C:\\Sync\\README.txt", StatusError, 0, -1);
    EXPECT_EQ(cache.Count(), 2);
    EXPECT_EQ(Lookup(cache, L"C:\\Sync\\Readme.txt").status, StatusOk);
    EXPECT_EQ(Lookup(cache, L"C:\\Sync\\README.txt").status, StatusError);
    EXPECT_FALSE(Lookup(cache, L"c:\\sync\\readme.txt").fresh);

    cache.Put(nullptr, StatusOk, 0, -1);
    EXPECT_EQ(cache.Count(), 2);
    int32_t status = -100;
    EXPECT_FALSE(cache.Get(nullptr, &status, nullptr));
    EXPECT_EQ(status, -100);

    cache.Clear();
    EXPECT_EQ(cache.Count(), 0);
    EXPECT_EQ(cache.IndexSize(), 0u);
}

TEST_F(StatusCacheTest, EvictsTheEntryThatExpiresFirstNotAReplacedOne)
{
    CStatusCache small(10, 3);
    small.Put(L"a", StatusOk, 0, -1);
    clock.AdvanceSeconds(1);
    small.Put(L"err", StatusError, 0, -1); // lives 600 s, so it is the last to go
    clock.AdvanceSeconds(1);
    small.Put(L"b", StatusOk, 0, -1);
    clock.AdvanceSeconds(1);
    small.Put(L"a", StatusPending, 0, -1); // a's first expiry is now behind b's

    small.Put(L"c", StatusOk, 0, -1);
    EXPECT_EQ(small.Count(), 3);
    EXPECT_FALSE(Lookup(small, L"b").fresh);
    EXPECT_TRUE(Lookup(small, L"a").fresh);
    EXPECT_TRUE(Lookup(small, L"err").fresh);

    small.Put(L"d", StatusOk, 0, -1);
    EXPECT_FALSE(Lookup(small, L"a").fresh);
    EXPECT_TRUE(Lookup(small, L"err").fresh);
    EXPECT_TRUE(small.VerifyInvariants());
}

TEST_F(StatusCacheTest, PutsAtOneInstantKeepTheirOrder)
{
    CStatusCache small(10, 2);
    small.Put(L"x", StatusOk, 0, -1);
    small.Put(L"y", StatusOk, 0, -1);
    small.Put(L"x", StatusOk, 0, -1); // newer than y although the clock has not moved
    small.Put(L"z", StatusOk, 0, -1);
    EXPECT_FALSE(Lookup(small, L"y").fresh);
    EXPECT_TRUE(Lookup(small, L"x").fresh);
    EXPECT_TRUE(Lookup(small, L"z").fresh);

    // A tick later than asked is still within the life: one 100-ns tick per colliding put.
    clock.AdvanceSeconds(10);
    EXPECT_TRUE(Lookup(small, L"z").fresh);
    EXPECT_TRUE(small.VerifyInvariants());
}

TEST_F(StatusCacheTest, HoldsItsCapacityOfTenThousand)
{
    for (int i = 0; i < 10000; ++i) {
        cache.Put(PathFor(i).c_str(), StatusOk, 0, -1);
        clock.AdvanceTicks(1);
    }
    EXPECT_EQ(cache.Count(), 10000);
    cache.Put(L"C:\\Sync\\one more", StatusOk, 0, -1);
    EXPECT_EQ(cache.Count(), 10000);
    EXPECT_FALSE(Lookup(cache, PathFor(0)).fresh);
    EXPECT_TRUE(Lookup(cache, PathFor(1)).fresh);
    EXPECT_TRUE(Lookup(cache, L"C:\\Sync\\one more").fresh);
    EXPECT_TRUE(cache.VerifyInvariants());
}

// However many puts replace or outlive entries, the expiry index stays the size of the cache.
TEST_F(StatusCacheTest, ExpiryIndexStaysBoundedOverAMillionPuts)
{
    for (const int distinctPaths : {100, 20000}) {
        SCOPED_TRACE(distinctPaths);
        cache.Clear();
        std::vector<std::wstring> paths;
        for (int i = 0; i < distinctPaths; ++i)
            paths.push_back(PathFor(i));
        std::mt19937 random(distinctPaths);
        size_t largestIndex = 0;
        for (int i = 0; i < 1000000; ++i) {
            const std::wstring& path = paths[random() % paths.size()];
            const int32_t status = static_cast<int32_t>(random() % 4) - 1;
            cache.Put(path.c_str(), status, 0, -1);
            if (i % 7 == 0)
                cache.Get(paths[random() % paths.size()].c_str(), nullptr, nullptr);
            if (i % 3 == 0)
                clock.AdvanceTicks(random() % 200000); // up to 20 ms, so entries also expire
            if (i % 1000 == 0) {
                largestIndex = std::max(largestIndex, cache.IndexSize());
                ASSERT_LE(cache.IndexSize(), 2 * static_cast<size_t>(cache.Count()) + 1);
            }
        }
        EXPECT_LE(largestIndex, 2 * CStatusCache::DefaultCapacity);
        EXPECT_LE(cache.Count(), static_cast<int32_t>(CStatusCache::DefaultCapacity));
        EXPECT_TRUE(cache.VerifyInvariants());
    }
}

TEST(SharedLockTest, IsReentrantAndExcludesOtherThreads)
{
    CSharedLock* lock = GetSharedLock();
    long counter = 0; // plain on purpose: only the lock keeps the increments apart
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                CSharedLockGuard outer(lock);
                CSharedLockGuard inner(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 200000);
}

TEST(StatusCacheThreadsTest, ConcurrentPutsAndGetsAtCapacityKeepTheInvariants)
{
    CFrozenClock clock; // moved one tick per operation: nothing expires during the run
    CStatusCache cache;
    constexpr int ThreadCount = 4;
    constexpr int OperationsPerThread = 60000;
    std::atomic<int> freshHits{0};
    std::atomic<int> wrongStatus{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < ThreadCount; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < OperationsPerThread; ++i) {
                const int item = static_cast<int>(random() % 15000);
                const std::wstring path = PathFor(item);
                clock.AdvanceTicks(1);
                if (random() % 2) {
                    // Each path always carries the same status, so any fresh read can be checked.
                    cache.Put(path.c_str(), item % 3, static_cast<uint32_t>(item), -1);
                } else {
                    int32_t status = -100;
                    uint32_t attributes = 0;
                    if (cache.Get(path.c_str(), &status, &attributes)) {
                        ++freshHits;
                        if (status != item % 3 || attributes != static_cast<uint32_t>(item))
                            ++wrongStatus;
                    }
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_GT(freshHits.load(), 0);
    EXPECT_EQ(wrongStatus.load(), 0);
    EXPECT_EQ(cache.Count(), static_cast<int32_t>(CStatusCache::DefaultCapacity));
    EXPECT_TRUE(cache.VerifyInvariants());
}

} // namespace
