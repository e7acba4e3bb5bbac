#include <map>
#include <string>
#include <vector>

#include "bench/Bench.h"
#include "status/StatusCache.h"

namespace {

std::vector<std::wstring> MakePaths(size_t count)
{
    std::vector<std::wstring> paths;
    for (size_t i = 0; i < count; ++i)
        paths.push_back(L"C:\\Users\\someone\\Orbeth\\Projects\\folder" + std::to_wstring(i % 97) + L"\\file " +
                        std::to_wstring(i) + L".txt");
    return paths;
}

// The floor: what a lookup and an insertion cost on a bare map under an uncontended lock.
struct CBareMap {
    CBareMap() { InitializeCriticalSection(&lock); }
    ~CBareMap() { DeleteCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    std::map<std::wstring, int> map;
};

} // namespace

void RunStatusCacheBenchmarks()
{
    const size_t capacity = CStatusCache::DefaultCapacity;
    const std::vector<std::wstring> paths = MakePaths(2 * capacity);

    CStatusCache cache;
    CBareMap bare;
    for (size_t i = 0; i < capacity; ++i) {
        cache.Put(paths[i].c_str(), StatusOk, 0, 600);
        bare.map[paths[i]] = StatusOk;
    }

    // A stride that is prime to the capacity visits every entry in a scattered order.
    const auto scattered = [&](long i) -> const std::wstring& { return paths[(size_t(i) * 7919) % capacity]; };
    ReportBench("status_cache_get_hit",
                Compare(
                    long(capacity), 101,
                    [&](long i) {
                        int32_t status;
                        KeepValue(cache.Get(scattered(i).c_str(), &status, nullptr));
                        KeepValue(status);
                    },
                    [&](long i) {
                        EnterCriticalSection(&bare.lock);
                        const auto found = bare.map.find(scattered(i));
                        KeepValue(found != bare.map.end() ? found->second : -1);
                        LeaveCriticalSection(&bare.lock);
                    }),
                1.5);

    // Every put brings a path that is not in the cache, so each one evicts the first to expire.
    // The floor erases the oldest key and inserts the new one.
    size_t next = capacity;
    size_t bareNext = capacity;
    ReportBench("status_cache_put_at_capacity",
                Compare(
                    1000, 201,
                    [&](long) {
                        cache.Put(paths[next % paths.size()].c_str(), StatusPending, 0, -1);
                        ++next;
                    },
                    [&](long) {
                        EnterCriticalSection(&bare.lock);
                        bare.map.erase(paths[(bareNext - capacity) % paths.size()]);
                        bare.map.emplace(paths[bareNext % paths.size()], StatusPending);
                        LeaveCriticalSection(&bare.lock);
                        ++bareNext;
                    }),
                3.0);
}
