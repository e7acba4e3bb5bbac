#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "client/ClientDbReader.h"
#include "status/SharedLock.h"
#include "status/StatusCache.h"
#include "status/StatusResolver.h"
#include "status/ValueCache.h"

namespace {

// Runs alone in its own process, so the objects are really created here, by whichever of the
// threads gets there first.
TEST(FirstUseTest, ThreadsArrivingTogetherShareOneOfEachObject)
{
    constexpr int ThreadCount = 8;
    std::atomic<int> waiting{ThreadCount};
    struct CSeen {
        CSharedLock* lock;
        CStatusCache* statusCache;
        CValueCache* valueCache;
        CClientDbReader* reader;
        COrbethStatusResolver* resolver;
    };
    std::vector<CSeen> seen(ThreadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < ThreadCount; ++t) {
        threads.emplace_back([&, t] {
            --waiting;
            while (waiting.load() > 0) {
            }
            CStatusCache& cache = CStatusCache::GetInstance();
            cache.Put(L"C:\\first", StatusOk, 0, -1);
            seen[t] = {GetSharedLock(), &cache, &CValueCache::GetInstance(), &CClientDbReader::GetInstance(),
                       &COrbethStatusResolver::GetInstance()};
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (const CSeen& s : seen) {
        EXPECT_EQ(s.lock, seen[0].lock);
        EXPECT_EQ(s.statusCache, seen[0].statusCache);
        EXPECT_EQ(s.valueCache, seen[0].valueCache);
        EXPECT_EQ(s.reader, seen[0].reader);
        EXPECT_EQ(s.resolver, seen[0].resolver);
    }
    EXPECT_EQ(CStatusCache::GetInstance().Count(), 1);
}

} // namespace
