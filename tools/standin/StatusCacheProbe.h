#pragma once

#include "base/SharedLock.h"
#include "status/StatusCache.h"

// A view of the status cache's bookkeeping for the tests, the fuzzer and the stress run; the DLL
// carries no code for it.
class CStatusCacheProbe {
public:
    // The cache within its capacity, and each entry with exactly one expiry node that points back at it.
    static bool Consistent(CStatusCache& cache)
    {
        CSharedLockGuard guard(cache.m_lock);
        if (cache.m_paths.size() > cache.m_capacity || cache.m_expiryIndex.size() != cache.m_paths.size())
            return false;
        for (auto& entry : cache.m_paths) {
            const auto node = cache.m_expiryIndex.find(entry.second.expiry);
            if (node == cache.m_expiryIndex.end() || node->second != &entry)
                return false;
        }
        return true;
    }
};
