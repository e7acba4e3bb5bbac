#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CSharedLock;
class CClientConfig;
class CClientDbReader;
class CStatusCache;
class CValueCache;
class COrbethFileInfo;

// Answers the sync status of a path, as the overlays and the menu ask it. The cheap, cached
// answers come first (service state, root folder, attributes and prefix, client user, batch id,
// status cache); only a miss reaches the client's sync database. Every answer, -1 included, is
// kept in the status cache.
class COrbethStatusResolver {
public:
    static COrbethStatusResolver& GetInstance();

    COrbethStatusResolver();
    COrbethStatusResolver(const COrbethStatusResolver&) = delete;
    COrbethStatusResolver& operator=(const COrbethStatusResolver&) = delete;

    // -1, or the status masked to its two low bits. changed (may be null) is set when the answer
    // differs from what was known, or when the whole status cache was dropped.
    int32_t GetPathStatus(const wchar_t* path, uint32_t attributes, bool* changed);
    // The same for a record; the raw status, exclusion bit included, is stored into it.
    int32_t GetFileInfoStatus(COrbethFileInfo& record);
    // The raw status or -1. path must be NUL-terminated at length; relativePath, when given, is
    // used as it is instead of being built from the path.
    int32_t ResolveStatus(const wchar_t* path, size_t length, uint32_t attributes, const std::wstring* relativePath,
                          bool* changed);

    bool IsUnderRootFolder(const wchar_t* path);
    bool IsSyncRootFolder(COrbethFileInfo& record);
    void MakeRelativePathFor(const wchar_t* path, uint32_t attributes, std::wstring* relative);
    bool GetSyncDbPath(std::wstring* path);
    // Normalised (form C) and lower-cased, as the client keys its items.
    static void CanonicalizeInPlace(std::wstring* text);

    bool GetLocalEndpoint(std::wstring* endpoint);
    bool IsServiceRunning();

private:
    bool GetBatchId(int* id);
    // Reads the latest batch id and remembers it; true when it differs from the one before.
    bool IsNewBatch();
    void ReadRemoteFoldersText(std::wstring* text);
    void ReloadRemoteFolders();
    // True for a directory's relative path that is a proper ancestor of a listed remote folder.
    bool IsAncestorOfRemoteFolder(const std::wstring& relative);

    CClientConfig* m_config;
    CValueCache* m_values;
    CSharedLock* m_lock;
    CStatusCache* m_statusCache;
    CClientDbReader* m_reader;
    std::vector<std::wstring> m_remoteFolders; // canonical, each ending in "/"
    std::atomic<int32_t> m_lastBatchId{-1};    // read on every resolution, so without the lock
};
