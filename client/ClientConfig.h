#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class CClientDbReader;
class CValueCache;

// Finds what the module needs to know of the sync client: its configuration and root folders
// (from its registry key), its two databases, its user and its sharing flags. Each answer is kept
// in the value cache (600 s, 10 s for the sharing flags); a missing answer is not kept, so the
// next call looks again. Answers are copies, taken under the shared lock.
class CClientConfig {
public:
    static constexpr int32_t PathTtlSeconds = 600;
    static constexpr int32_t SharingTtlSeconds = 10;

    static CClientConfig& GetInstance();

    CClientConfig();

    // A registry value of the client's key naming an existing file or folder; a folder gets a
    // trailing backslash.
    bool GetRegistryPath(const wchar_t* name, std::wstring* path);
    // An existing file (not a folder) of that name in the directory, which ends in a backslash.
    bool FindConfigFile(const std::wstring* directory, const wchar_t* fileName, std::wstring* path);
    bool GetRootDir(std::wstring* root);
    bool GetSyncDbPath(std::wstring* path);
    bool GetDconfDbPath(std::wstring* path);
    // The client's user; a null output only asks whether there is one.
    bool GetClientUser(std::wstring* user);
    // Bit 0 of the client's flags enables sharing of files, bit 1 of folders.
    bool IsSharingEnabled(uint32_t attributes);

private:
    bool FindInConfigDir(const wchar_t* fileName, std::wstring* path);
    bool CopyCached(const wchar_t* key, std::wstring* out);

    CRITICAL_SECTION* m_lock;
    CClientDbReader* m_reader;
    CValueCache* m_values;
};
