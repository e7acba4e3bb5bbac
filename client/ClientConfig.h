#pragma once

#include <cstdint>
#include <string>

class CSharedLock;
class CClientDbReader;
class CValueCache;

// Finds what the module needs to know of the sync client: its configuration and root folders
// (from its registry key), its two databases, its user and its sharing flags. Each answer is kept
// in the value cache (600 s, 10 s for the sharing flags); a missing answer is not kept, so the
// next call looks again.
//
// The answers are the strings held in the value cache, null for none. A caller holds the shared
// lock across the call and its use of the text (the overlay path reads the root this way without
// copying it); the Copy forms take the lock and copy for callers that keep the text. The registry
// and the file system are asked under the lock, the databases never: the user and the sharing
// flags are read outside it, so callers of those must not hold it.
class CClientConfig {
public:
    static constexpr int32_t PathTtlSeconds = 600;
    static constexpr int32_t SharingTtlSeconds = 10;

    static CClientConfig& GetInstance();

    CClientConfig();

    // A registry value of the client's key naming an existing file or folder; a folder gets a
    // trailing backslash.
    const std::wstring* GetRegistryPath(const wchar_t* name);
    // An existing file (not a folder) of that name in the directory, which ends in a backslash.
    const std::wstring* FindConfigFile(const std::wstring* directory, const wchar_t* fileName);
    const std::wstring* GetRootDir();
    const std::wstring* GetSyncDbPath();
    const std::wstring* GetDconfDbPath();
    // Read from dconf.db when none is kept; true while the client has a user, copied out when
    // user is given.
    bool GetClientUser(std::wstring* user);
    // Whether a user is kept; reads nothing, so a caller may hold the lock.
    bool IsClientUserCached();

    bool CopyRootDir(std::wstring* root);
    bool CopySyncDbPath(std::wstring* path);

    // Bit 0 of the client's flags enables sharing of files, bit 1 of folders.
    bool IsSharingEnabled(uint32_t attributes);

private:
    const std::wstring* Cached(const wchar_t* key);
    const std::wstring* CachedClientUser();
    const std::wstring* Store(const wchar_t* key, const std::wstring& value);
    bool Copy(const std::wstring* (CClientConfig::*get)(), std::wstring* out);

    CSharedLock* m_lock;
    CClientDbReader* m_reader;
    CValueCache* m_values;
};
