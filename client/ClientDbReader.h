#pragma once

#include <atomic>
#include <mutex>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CSqliteDb;
class CFolderRows;

// Queries on the client's databases. Every read opens the file read-only, reads and closes it
// again, so no handle stays open on the client's files. No busy timeout is set: a database the
// client holds locked fails at once.
//
// No statement runs under the shared lock: threads that only need the caches never wait for a
// disk. The reads take turns instead, behind a gate of their own that is taken under no other
// lock: the client replaces its files by renaming over them, which fails while any connection
// is open, and connections of many threads at once would leave it no moment to do so. The gate
// also guards what the reader remembers of the sync database's shape.
class CClientDbReader {
public:
    static CClientDbReader& GetInstance();

    CClientDbReader();

    bool QueryInt(const wchar_t* dbPath, const wchar_t* sql, int* value);
    // Whether the file opens read-only as a database and its schema reads; Busy while another
    // connection holds a lock that stops readers.
    enum class Opens { Yes, Busy, No };
    Opens Probe(const wchar_t* dbPath);
    bool QueryText(const wchar_t* dbPath, const wchar_t* sql, std::wstring* text);

    // From dconf.db. The out string is left unchanged on failure; the flags are 0.
    bool GetDriveUser(const wchar_t* dconfPath, std::wstring* user);
    int GetShareLinkFlags(const wchar_t* dconfPath);

    // From sync.db. The out strings are left unchanged on failure; the numbers are -1.
    bool GetLatestRemoteFolders(const wchar_t* syncPath, std::wstring* remoteFolders);
    int GetMaxBatchId(const wchar_t* syncPath);
    // Raw `status` of the item with this canonical path (unmasked).
    int GetEntryStatus(const wchar_t* syncPath, std::wstring_view canonicalPath);
    int64_t GetEntryId(const wchar_t* syncPath, std::wstring_view canonicalPath);
    bool GetEntryUqid(const wchar_t* syncPath, std::wstring_view canonicalPath, std::wstring* uqid);
    // How many of the items with these canonical paths (a folder's ends in "/") the client knows
    // in the cloud, counting no further than enough: a folder by an id above 0, a file by a uqid
    // neither empty nor "0". One connection for all; an item that cannot be read is not known.
    size_t CountCloudEntries(const wchar_t* syncPath, const std::vector<std::wstring>& canonicalPaths, size_t enough);

    enum class FolderRead {
        Rows,    // the rows hold every child the database lists
        TooMany, // more children than the bound
        NotHere, // this table's paths compare in a way the reads cannot follow: ask item by item
        Failed,  // no database, busy, or broken mid-read
    };
    // The statuses of the direct children of the folder with this canonical path (ending in "/"),
    // compared exactly as the single-row query compares them, on one connection and in one read
    // transaction. Bounded by the children, however deep the folder's subtree.
    FolderRead ReadFolder(const wchar_t* syncPath, std::wstring_view folder, size_t bound, CFolderRows* rows);

    // Counts since the process started, for the tests: connections opened, rows stepped over.
    uint64_t Connections() const { return m_connections.load(std::memory_order_relaxed); }
    uint64_t RowsRead() const { return m_rowsRead.load(std::memory_order_relaxed); }

private:
    template <typename Read>
    bool Run(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter, Read read);
    bool Open(CSqliteDb& db, const wchar_t* dbPath);
    // All 64 bits of the column; the statuses, flags and batch numbers keep the low 32 of them.
    bool RunInt(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter, int64_t* value);
    bool RunText(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter, std::wstring* text);

    // Throws std::bad_alloc.
    FolderRead ReadRows(const wchar_t* syncPath, std::wstring_view folder, size_t bound, CFolderRows* rows);

    enum class Shape { Unknown, Seekable, OnePass, ItemByItem };
    // Learnt once per database file, on the connection given.
    Shape ShapeOf(CSqliteDb& db);

    std::mutex m_gate;
    // The last sync database looked at (its file's identity and schema version), and its shape.
    uint64_t m_shapeOf[4] = {};
    Shape m_shape = Shape::Unknown;
    std::atomic<uint64_t> m_connections{0};
    std::atomic<uint64_t> m_rowsRead{0};
};
