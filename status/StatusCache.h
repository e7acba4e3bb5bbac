#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "status/BaseFileInfo.h"

class CSharedLock;

// Last known status and attributes per path, each with an expiry, so that an icon question for
// a path seen recently costs one map lookup and no database access. Keys are compared exactly
// (case-sensitive, no normalisation). Every operation runs under the shared lock.
class CStatusCache {
public:
    static constexpr uint32_t DefaultTtlSeconds = 10;
    static constexpr uint32_t ErrorTtlSeconds = 600;
    static constexpr uint32_t DefaultCapacity = 10000;

    // The process-wide cache, created on first use and destroyed at unload.
    static CStatusCache& GetInstance();

    explicit CStatusCache(uint32_t defaultTtlSeconds = DefaultTtlSeconds, uint32_t capacity = DefaultCapacity);

    // Stores the raw status. A negative TTL picks it by status: 600 s for errors, else the default.
    // The life runs from readTick, the clock's tick when the status was read, or from now when it
    // is 0. At capacity the entry that expires first makes room. A null path does nothing.
    void Put(const wchar_t* path, int32_t status, uint32_t attributes, int32_t ttlSeconds);
    void Put(std::wstring_view path, int32_t status, uint32_t attributes, int32_t ttlSeconds, uint64_t readTick = 0);
    // True for a fresh entry. The status comes back raw: the menu tells excluded items by it.
    // The outputs (either may be null) are written even when the entry
    // turns out to be expired, in which case it is removed and the answer is false.
    bool Get(const wchar_t* path, int32_t* status, uint32_t* attributes);
    bool Get(std::wstring_view path, int32_t* status, uint32_t* attributes);
    int32_t Count();
    void Clear();

private:
    // The tests' view of the bookkeeping; the DLL carries no code for it.
    friend class CStatusCacheProbe;

    // The expiry tick, then the order of the puts: unique keys, however many entries expire at
    // one tick (a folder's items read at once do).
    using ExpiryKey = std::pair<uint64_t, uint64_t>;
    struct CEntry {
        COrbethBaseFileInfo record;
        ExpiryKey expiry;
    };
    // Lookups by a view of the caller's text, so a hit allocates nothing.
    struct CPathHash {
        using is_transparent = void;
        size_t operator()(std::wstring_view path) const noexcept { return std::hash<std::wstring_view>()(path); }
    };
    // Hashed rather than ordered: nothing walks the paths in order, and a hit then costs one
    // comparison instead of a dozen.
    using PathMap = std::unordered_map<std::wstring, CEntry, CPathHash, std::equal_to<>>;
    using PathEntry = PathMap::value_type;
    using ExpiryIndex = std::map<ExpiryKey, PathEntry*>;

    void Remove(PathMap::iterator entry);

    uint32_t m_defaultTtl;
    uint32_t m_capacity;
    PathMap m_paths;
    // Expiry to path entry: the first node is always the entry that expires first. A replaced or
    // expired entry's node is removed with it, so the index never outgrows the cache.
    ExpiryIndex m_expiryIndex;
    uint64_t m_nextOrder = 0;
    CSharedLock* m_lock;
};
