#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

class CSharedLock;

// Client settings by name, each one typed value (string, int or unsigned long) with a life in
// seconds, so the registry and the databases are read at most once per life. There is no
// capacity: the keys are a fixed handful. Every operation runs under the shared lock.
//
// A put of another type replaces value and type; a get of another type answers false and leaves
// the entry. The puts answer true when the out argument was given and now holds the stored value.
// The string operations hand out a pointer into the cache: it stays valid only while the caller
// holds the shared lock and makes no other call on the cache, so callers copy it under the lock.
class CValueCache {
public:
    // The keys in use besides the client's own names ("config_dir", "root_dir", "sync.db",
    // "dconf.db", and the service name for its state).
    static constexpr wchar_t ClientUserKey[] = L"plc_user";
    static constexpr wchar_t ShareStatusKey[] = L"share_status";
    static constexpr wchar_t BatchIdKey[] = L"batch_id";
    static constexpr wchar_t LocalEndpointKey[] = L"lfs_base_url";

    static constexpr uint32_t DefaultTtlSeconds = 600;

    static CValueCache& GetInstance();

    CValueCache();

    bool PutString(const wchar_t* key, const wchar_t* value, const std::wstring** stored, int32_t ttlSeconds);
    bool GetString(const wchar_t* key, const std::wstring** stored);
    bool PutInt(const wchar_t* key, int value, int* stored, int32_t ttlSeconds);
    bool GetInt(const wchar_t* key, int* value);
    bool PutULong(const wchar_t* key, unsigned long value, unsigned long* stored, int32_t ttlSeconds);
    bool GetULong(const wchar_t* key, unsigned long* value);

private:
    using Value = std::variant<std::wstring, int, unsigned long>;
    struct CHolder {
        Value value;
        int64_t expiry; // seconds since 1970
    };

    template <typename T> const T* Store(const wchar_t* key, T value, int32_t ttlSeconds);
    template <typename T> const T* Find(const wchar_t* key);
    template <typename T> bool PutNumber(const wchar_t* key, T value, T* stored, int32_t ttlSeconds);
    template <typename T> bool GetNumber(const wchar_t* key, T* value);

    struct CKeyHash {
        using is_transparent = void;
        size_t operator()(std::wstring_view key) const noexcept { return std::hash<std::wstring_view>()(key); }
    };
    // Hashed: four of these lookups sit on every overlay answer.
    std::unordered_map<std::wstring, CHolder, CKeyHash, std::equal_to<>> m_entries;
    uint32_t m_defaultTtl;
    CSharedLock* m_lock;
};
