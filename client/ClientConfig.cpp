#include "client/ClientConfig.h"

#include "client/ClientContract.h"
#include "client/ClientDbReader.h"
#include "client/RegistryKey.h"
#include "status/PathHelper.h"
#include "status/SharedLock.h"
#include "status/ValueCache.h"

using namespace ClientContract;

CClientConfig& CClientConfig::GetInstance()
{
    static CClientConfig instance;
    return instance;
}

CClientConfig::CClientConfig()
    : m_lock(GetSharedLock()), m_reader(&CClientDbReader::GetInstance()), m_values(&CValueCache::GetInstance())
{
}

bool CClientConfig::CopyCached(const wchar_t* key, std::wstring* out)
{
    const std::wstring* cached = nullptr;
    if (!m_values->GetString(key, &cached))
        return false;
    if (out)
        *out = *cached;
    return true;
}

bool CClientConfig::GetRegistryPath(const wchar_t* name, std::wstring* path)
{
    if (!name)
        return false;
    CSharedLockGuard guard(m_lock);
    if (CopyCached(name, path))
        return true;

    CRegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, RegistryKeyPath, KEY_READ | RegistryView) != ERROR_SUCCESS)
        return false;
    // The client writes short paths; data that does not fit is refused rather than cut.
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD bytes = MAX_PATH * sizeof(wchar_t);
    if (RegQueryValueExW(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS)
        return false;
    std::wstring found(buffer, wcsnlen(buffer, bytes / sizeof(wchar_t)));
    const DWORD attributes = GetFileAttributesW(found.c_str());
    if (found.empty() || attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    COrbethPathHelper::AppendSlashIfDirectory(&found, attributes);
    m_values->PutString(name, found.c_str(), nullptr, PathTtlSeconds);
    if (path)
        *path = std::move(found);
    return true;
}

bool CClientConfig::FindConfigFile(const std::wstring* directory, const wchar_t* fileName, std::wstring* path)
{
    if (!directory || !fileName || !*fileName)
        return false;
    CSharedLockGuard guard(m_lock);
    // Kept under the file name alone: there is one configuration directory.
    if (CopyCached(fileName, path))
        return true;
    const std::wstring candidate = *directory + fileName;
    const DWORD attributes = GetFileAttributesW(candidate.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    m_values->PutString(fileName, candidate.c_str(), nullptr, PathTtlSeconds);
    if (path)
        *path = candidate;
    return true;
}

bool CClientConfig::FindInConfigDir(const wchar_t* fileName, std::wstring* path)
{
    CSharedLockGuard guard(m_lock);
    std::wstring configDir;
    return GetRegistryPath(ConfigDirValue, &configDir) && FindConfigFile(&configDir, fileName, path);
}

bool CClientConfig::GetRootDir(std::wstring* root)
{
    return GetRegistryPath(RootDirValue, root);
}

bool CClientConfig::GetSyncDbPath(std::wstring* path)
{
    return FindInConfigDir(SyncDbFile, path);
}

bool CClientConfig::GetDconfDbPath(std::wstring* path)
{
    return FindInConfigDir(DconfDbFile, path);
}

bool CClientConfig::GetClientUser(std::wstring* user)
{
    CSharedLockGuard guard(m_lock);
    if (CopyCached(CValueCache::ClientUserKey, user))
        return true;
    std::wstring dconf;
    std::wstring found;
    if (!GetDconfDbPath(&dconf) || !m_reader->GetDriveUser(dconf.c_str(), &found) || found.empty())
        return false;
    m_values->PutString(CValueCache::ClientUserKey, found.c_str(), nullptr, PathTtlSeconds);
    if (user)
        *user = std::move(found);
    return true;
}

bool CClientConfig::IsSharingEnabled(uint32_t attributes)
{
    int flags = 0;
    if (!m_values->GetInt(CValueCache::ShareStatusKey, &flags)) {
        CSharedLockGuard guard(m_lock);
        std::wstring dconf;
        if (GetDconfDbPath(&dconf)) {
            // A failed query counts as "no sharing" for the same short life.
            flags = m_reader->GetShareLinkFlags(dconf.c_str());
            m_values->PutInt(CValueCache::ShareStatusKey, flags, nullptr, SharingTtlSeconds);
        }
    }
    const int bit = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ShareLinkFolders : ShareLinkFiles;
    return (flags & bit) != 0;
}
