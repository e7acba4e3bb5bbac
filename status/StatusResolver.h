#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CSharedLock;
class CClientConfig;
class CClientDbReader;
class CFolderReads;
class CStatusCache;
class CValueCache;
class COrbethFileInfo;

// Why ResolveStatus answered what it did, for a caller that asks (the doctor). The overlays pass
// none, and then nothing of it is built: each step costs one pointer test.
struct CResolveTrace {
    // In the order ResolveStatus decides: reaching one means every check before it passed.
    enum Decision {
        NoPath,
        ServiceNotRunning,
        NoRoot,
        OutsideRoot,
        FilteredByAttribute, // missing (no attributes) or one of the unmanaged attributes
        NoUser,
        Cached,        // the status cache's answer
        NoRowByDesign, // the root itself or a one-character name directly under it
        NoSyncDb,
        Row,              // rowStatus is the row's raw status
        NoRow,            // and nothing else gives one
        NoRowKeptEarlier, // no row now; an expired answer of the status cache stands
        RemoteAncestor,   // no row, but a folder above one the client syncs from the cloud
    };
    Decision decision = NoPath;
    std::wstring root;     // the root the path was compared with
    std::wstring relative; // made from the path; canonical once the database was asked
    int32_t rowStatus = -1;
};

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
    // trace, when given, is told why.
    int32_t GetPathStatus(const wchar_t* path, uint32_t attributes, bool* changed, CResolveTrace* trace = nullptr);
    // The same for a record; the raw status, exclusion bit included, is stored into it.
    int32_t GetFileInfoStatus(COrbethFileInfo& record);
    // The raw status or -1. path must be NUL-terminated at length; relativePath, when given, is
    // used as it is instead of being built from the path.
    int32_t ResolveStatus(const wchar_t* path, size_t length, uint32_t attributes, const std::wstring* relativePath,
                          bool* changed, CResolveTrace* trace = nullptr);

    bool IsUnderRootFolder(const wchar_t* path);
    bool IsSyncRootFolder(COrbethFileInfo& record);
    void MakeRelativePathFor(const wchar_t* path, uint32_t attributes, std::wstring* relative);
    bool GetSyncDbPath(std::wstring* path);

    bool GetLocalEndpoint(std::wstring* endpoint);
    bool IsServiceRunning();

private:
    // The raw status of the item with this canonical path, from its folder's read when it can be
    // read at once, else from the item's own row; readTick gets the tick of a folder read, 0 for now.
    int32_t ReadStatus(const std::wstring& syncDb, const std::wstring& canonical, uint64_t* readTick);
    // Reads the latest batch id outside the lock and keeps it for a while; -1 when it failed.
    int ReadBatchId();
    // True when the batch id differs from the one before, which it replaces.
    bool IsNewBatch(int batchId);
    void ReadRemoteFoldersText(std::wstring* text);
    void ReloadRemoteFolders();
    // True for a directory's relative path that is a proper ancestor of a listed remote folder.
    bool IsAncestorOfRemoteFolder(const std::wstring& relative);

    CClientConfig* m_config;
    CValueCache* m_values;
    CSharedLock* m_lock;
    CStatusCache* m_statusCache;
    CClientDbReader* m_reader;
    CFolderReads* m_folders;
    std::vector<std::wstring> m_remoteFolders; // canonical, each ending in "/"
    std::atomic<int32_t> m_lastBatchId{-1};    // read on every resolution, so without the lock
};
