#include "client/ClientConfig.h"

#include "base/PathHelper.h"
#include "base/RegistryKey.h"
#include "base/SharedLock.h"
#include "base/ValueCache.h"
#include "client/ClientContract.h"
#include "client/ClientDbReader.h"

using namespace ClientContract;

CClientConfig& CClientConfig::GetInstance()
{
    static CClientConfig instance;
    return instance;
}

CClientConfig::CClientConfig()
    : m_lock(GetSharedLock()),
      m_reader(&CClientDbReader::GetInstance()),
      m_values(&CValueCache::GetInstance())
{
}

const std::wstring* CClientConfig::Cached(const wchar_t* key)
{
    const std::wstring* cached = nullptr;
    return m_values->GetString(key, &cached) ? cached : nullptr;
}

const std::wstring* CClientConfig::Store(const wchar_t* key, const std::wstring& value)
{
    const std::wstring* stored = nullptr;
    return m_values->PutString(key, value.c_str(), &stored, PathTtlSeconds) ? stored : nullptr;
}

bool CClientConfig::Copy(const std::wstring* (CClientConfig::*get)(), std::wstring* out)
{
    CSharedLockGuard guard(m_lock);
    const std::wstring* answer = (this->*get)();
    if (!answer)
        return false;
    if (out)
        *out = *answer;
    return true;
}

const std::wstring* CClientConfig::GetRegistryPath(const wchar_t* name)
{
    if (!name)
        return nullptr;
    if (const std::wstring* cached = Cached(name))
        return cached;
    CSharedLockGuard guard(m_lock);

    CRegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, RegistryKeyPath, KEY_READ | RegistryView) != ERROR_SUCCESS)
        return nullptr;
    // The client writes short paths; data that does not fit is refused rather than cut.
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD bytes = MAX_PATH * sizeof(wchar_t);
    if (RegQueryValueExW(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS)
        return nullptr;
    std::wstring found(buffer, wcsnlen(buffer, bytes / sizeof(wchar_t)));
    const DWORD attributes = GetFileAttributesW(found.c_str());
    if (found.empty() || attributes == INVALID_FILE_ATTRIBUTES)
        return nullptr;
    COrbethPathHelper::AppendSlashIfDirectory(&found, attributes);
    return Store(name, found);
}

const std::wstring* CClientConfig::FindConfigFile(const std::wstring* directory, const wchar_t* fileName)
{
    if (!directory || !fileName || !*fileName)
        return nullptr;
    CSharedLockGuard guard(m_lock);
    // Kept under the file name alone: there is one configuration directory.
    if (const std::wstring* cached = Cached(fileName))
        return cached;
    const std::wstring candidate = *directory + fileName;
    const DWORD attributes = GetFileAttributesW(candidate.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    return Store(fileName, candidate);
}

const std::wstring* CClientConfig::GetRootDir()
{
    return GetRegistryPath(RootDirValue);
}

const std::wstring* CClientConfig::GetSyncDbPath()
{
    CSharedLockGuard guard(m_lock);
    return FindConfigFile(GetRegistryPath(ConfigDirValue), SyncDbFile);
}

const std::wstring* CClientConfig::GetDconfDbPath()
{
    CSharedLockGuard guard(m_lock);
    return FindConfigFile(GetRegistryPath(ConfigDirValue), DconfDbFile);
}

bool CClientConfig::CopyRootDir(std::wstring* root)
{
    return Copy(&CClientConfig::GetRootDir, root);
}

bool CClientConfig::CopySyncDbPath(std::wstring* path)
{
    return Copy(&CClientConfig::GetSyncDbPath, path);
}

bool CClientConfig::IsClientUserCached()
{
    return CachedClientUser() != nullptr;
}

bool CClientConfig::GetClientUser(std::wstring* user)
{
    if (Copy(&CClientConfig::CachedClientUser, user))
        return true;
    std::wstring dconf, read;
    if (!Copy(&CClientConfig::GetDconfDbPath, &dconf) || !m_reader->GetDriveUser(dconf.c_str(), &read) || read.empty())
        return false;
    CSharedLockGuard guard(m_lock);
    if (!Store(CValueCache::ClientUserKey, read))
        return false;
    if (user)
        *user = std::move(read);
    return true;
}

const std::wstring* CClientConfig::CachedClientUser()
{
    return Cached(CValueCache::ClientUserKey);
}

bool CClientConfig::IsSharingEnabled(uint32_t attributes)
{
    int flags = 0;
    std::wstring dconf;
    if (!m_values->GetInt(CValueCache::ShareStatusKey, &flags) && Copy(&CClientConfig::GetDconfDbPath, &dconf)) {
        // A failed query counts as "no sharing" for the same short life.
        flags = m_reader->GetShareLinkFlags(dconf.c_str());
        m_values->PutInt(CValueCache::ShareStatusKey, flags, nullptr, SharingTtlSeconds);
    }
    const int bit = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ShareLinkFolders : ShareLinkFiles;
    return (flags & bit) != 0;
}
