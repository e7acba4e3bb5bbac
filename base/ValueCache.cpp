#include "base/ValueCache.h"

#include <string_view>

#include "base/Clock.h"
#include "base/SharedLock.h"

CValueCache& CValueCache::GetInstance()
{
    static CValueCache instance;
    return instance;
}

CValueCache::CValueCache() : m_defaultTtl(DefaultTtlSeconds), m_lock(GetSharedLock())
{
}

template <typename T> const T* CValueCache::Store(const wchar_t* key, T value, int32_t ttlSeconds)
{
    const int64_t expiry = CClock::NowSeconds() + (ttlSeconds < 0 ? int64_t{m_defaultTtl} : int64_t{ttlSeconds});
    auto entry = m_entries.find(std::wstring_view(key));
    if (entry == m_entries.end())
        entry = m_entries.emplace(key, CHolder{std::move(value), expiry}).first;
    else
        entry->second = CHolder{std::move(value), expiry};
    return std::get_if<T>(&entry->second.value);
}

template <typename T> const T* CValueCache::Find(const wchar_t* key)
{
    const auto entry = m_entries.find(std::wstring_view(key));
    if (entry == m_entries.end())
        return nullptr;
    if (entry->second.expiry < CClock::NowSeconds()) {
        m_entries.erase(entry);
        return nullptr;
    }
    return std::get_if<T>(&entry->second.value);
}

bool CValueCache::PutString(const wchar_t* key, const wchar_t* value, const std::wstring** stored, int32_t ttlSeconds)
{
    if (!key || !value)
        return false;
    CSharedLockGuard guard(m_lock);
    const std::wstring* held = Store<std::wstring>(key, value, ttlSeconds);
    if (!stored)
        return false;
    *stored = held;
    return true;
}

bool CValueCache::GetString(const wchar_t* key, const std::wstring** stored)
{
    if (!key)
        return false;
    CSharedLockGuard guard(m_lock);
    const std::wstring* held = Find<std::wstring>(key);
    if (!held || !stored)
        return false;
    *stored = held;
    return true;
}

template <typename T> bool CValueCache::PutNumber(const wchar_t* key, T value, T* stored, int32_t ttlSeconds)
{
    if (!key)
        return false;
    CSharedLockGuard guard(m_lock);
    Store<T>(key, value, ttlSeconds);
    if (!stored)
        return false;
    *stored = value;
    return true;
}

template <typename T> bool CValueCache::GetNumber(const wchar_t* key, T* value)
{
    if (!key)
        return false;
    CSharedLockGuard guard(m_lock);
    const T* held = Find<T>(key);
    if (!held || !value)
        return false;
    *value = *held;
    return true;
}

bool CValueCache::PutInt(const wchar_t* key, int value, int* stored, int32_t ttlSeconds)
{
    return PutNumber(key, value, stored, ttlSeconds);
}

bool CValueCache::GetInt(const wchar_t* key, int* value)
{
    return GetNumber(key, value);
}

bool CValueCache::PutULong(const wchar_t* key, unsigned long value, unsigned long* stored, int32_t ttlSeconds)
{
    return PutNumber(key, value, stored, ttlSeconds);
}

bool CValueCache::GetULong(const wchar_t* key, unsigned long* value)
{
    return GetNumber(key, value);
}
