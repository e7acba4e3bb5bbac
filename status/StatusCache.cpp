#include "status/StatusCache.h"

#include <string_view>

#include "base/Clock.h"
#include "base/SharedLock.h"

CStatusCache& CStatusCache::GetInstance()
{
    static CStatusCache instance;
    return instance;
}

CStatusCache::CStatusCache(uint32_t defaultTtlSeconds, uint32_t capacity)
    : m_defaultTtl(defaultTtlSeconds),
      m_capacity(capacity),
      m_lock(GetSharedLock())
{
}

void CStatusCache::Put(const wchar_t* path, int32_t status, uint32_t attributes, int32_t ttlSeconds)
{
    if (path)
        Put(std::wstring_view(path), status, attributes, ttlSeconds);
}

void CStatusCache::Put(std::wstring_view key, int32_t status, uint32_t attributes, int32_t ttlSeconds,
                       uint64_t readTick)
{
    CSharedLockGuard guard(m_lock);
    const uint64_t since = readTick ? readTick : CClock::NowTicks();
    const uint64_t ttl = ttlSeconds >= 0         ? static_cast<uint64_t>(ttlSeconds)
                         : status == StatusError ? ErrorTtlSeconds
                                                 : m_defaultTtl;
    const ExpiryKey expiry{since + ttl * CClock::TicksPerSecond, m_nextOrder};

    // Everything that allocates comes first, so a failure leaves the cache as it was.
    auto entry = m_paths.find(key);
    if (entry != m_paths.end()) {
        m_expiryIndex.emplace(expiry, &*entry);
        ++m_nextOrder;
        m_expiryIndex.erase(entry->second.expiry);
        entry->second = CEntry{COrbethBaseFileInfo(status, attributes), expiry};
        return;
    }
    if (m_capacity == 0)
        return;
    entry = m_paths.emplace(std::wstring(key), CEntry{COrbethBaseFileInfo(status, attributes), expiry}).first;
    try {
        m_expiryIndex.emplace(expiry, &*entry);
    } catch (...) {
        m_paths.erase(entry);
        throw;
    }
    ++m_nextOrder;
    if (m_paths.size() > m_capacity) {
        // The entry that expires first goes, never the one just put.
        auto first = m_expiryIndex.begin();
        if (first->second == &*entry)
            ++first;
        Remove(m_paths.find(first->second->first));
    }
}

bool CStatusCache::Get(const wchar_t* path, int32_t* status, uint32_t* attributes)
{
    return path && Get(std::wstring_view(path), status, attributes);
}

bool CStatusCache::Get(std::wstring_view path, int32_t* status, uint32_t* attributes)
{
    CSharedLockGuard guard(m_lock);
    const auto entry = m_paths.find(path);
    if (entry == m_paths.end())
        return false;
    const uint64_t now = CClock::NowTicks();
    if (status)
        *status = entry->second.record.GetRawStatus();
    if (attributes)
        *attributes = entry->second.record.GetAttributes();
    if (entry->second.expiry.first < now) {
        Remove(entry);
        return false;
    }
    return true;
}

void CStatusCache::Remove(PathMap::iterator entry)
{
    m_expiryIndex.erase(entry->second.expiry);
    m_paths.erase(entry);
}

int32_t CStatusCache::Count()
{
    CSharedLockGuard guard(m_lock);
    return static_cast<int32_t>(m_paths.size());
}

void CStatusCache::Clear()
{
    CSharedLockGuard guard(m_lock);
    m_expiryIndex.clear();
    m_paths.clear();
}
