#include "client/ClientDbReader.h"

#include <sqlite3.h>

#include <algorithm>
#include <mutex>
#include <new>

#include "client/ClientContract.h"
#include "client/FolderRows.h"
#include "client/SqliteDb.h"

using namespace ClientContract;

CClientDbReader& CClientDbReader::GetInstance()
{
    static CClientDbReader instance;
    return instance;
}

CClientDbReader::CClientDbReader() = default;

bool CClientDbReader::Open(CSqliteDb& db, const wchar_t* dbPath)
{
    m_connections.fetch_add(1, std::memory_order_relaxed);
    return db.Open(dbPath, SQLITE_OPEN_READONLY);
}

template <typename Read>
bool CClientDbReader::Run(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter, Read read)
{
    if (!dbPath || (parameter && !parameter->data()))
        return false;
    try {
        const std::lock_guard<std::mutex> gate(m_gate);
        CSqliteDb db;
        return Open(db, dbPath) && db.Prepare(sql) && (!parameter || db.BindText(1, *parameter)) && db.Step() &&
               read(db);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

CClientDbReader::Opens CClientDbReader::Probe(const wchar_t* dbPath)
{
    if (!dbPath)
        return Opens::No;
    try {
        const std::lock_guard<std::mutex> gate(m_gate);
        CSqliteDb db;
        if (Open(db, dbPath) && db.Prepare(L"SELECT COUNT(*) FROM sqlite_master") && db.Step())
            return Opens::Yes;
        return db.Busy() ? Opens::Busy : Opens::No;
    } catch (const std::bad_alloc&) {
        return Opens::No;
    }
}

bool CClientDbReader::RunInt(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter,
                             int64_t* value)
{
    int64_t read = 0;
    if (!Run(dbPath, sql, parameter, [&read](CSqliteDb& db) { return db.ColumnInt64(0, &read); }))
        return false;
    *value = read;
    return true;
}

bool CClientDbReader::RunText(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter,
                              std::wstring* text)
{
    std::wstring read;
    const bool ok = Run(dbPath, sql, parameter, [&read](CSqliteDb& db) {
        std::wstring_view column;
        if (!db.ColumnText(0, &column))
            return false;
        read.assign(column); // copied before the statement is finalized
        return true;
    });
    if (!ok)
        return false;
    *text = std::move(read);
    return true;
}

bool CClientDbReader::QueryInt(const wchar_t* dbPath, const wchar_t* sql, int* value)
{
    int64_t read = 0;
    if (!value || !RunInt(dbPath, sql, nullptr, &read))
        return false;
    *value = static_cast<int>(read);
    return true;
}

bool CClientDbReader::QueryText(const wchar_t* dbPath, const wchar_t* sql, std::wstring* text)
{
    return text && RunText(dbPath, sql, nullptr, text);
}

bool CClientDbReader::GetDriveUser(const wchar_t* dconfPath, std::wstring* user)
{
    return QueryText(dconfPath, SelectDriveUserSql, user);
}

int CClientDbReader::GetShareLinkFlags(const wchar_t* dconfPath)
{
    int flags = 0;
    return QueryInt(dconfPath, SelectShareLinkSql, &flags) ? flags : 0;
}

bool CClientDbReader::GetLatestRemoteFolders(const wchar_t* syncPath, std::wstring* remoteFolders)
{
    return QueryText(syncPath, SelectLatestRemoteFoldersSql, remoteFolders);
}

int CClientDbReader::GetMaxBatchId(const wchar_t* syncPath)
{
    // MAX over an empty table is one NULL row, which reads as 0; -1 means the query failed.
    int id = -1;
    return QueryInt(syncPath, SelectMaxBatchIdSql, &id) ? id : -1;
}

int CClientDbReader::GetEntryStatus(const wchar_t* syncPath, std::wstring_view canonicalPath)
{
    int64_t status = StatusNone;
    return RunInt(syncPath, SelectEntryStatusSql, &canonicalPath, &status) ? static_cast<int>(status) : StatusNone;
}

int64_t CClientDbReader::GetEntryId(const wchar_t* syncPath, std::wstring_view canonicalPath)
{
    int64_t id = -1;
    return RunInt(syncPath, SelectEntryIdSql, &canonicalPath, &id) ? id : -1;
}

bool CClientDbReader::GetEntryUqid(const wchar_t* syncPath, std::wstring_view canonicalPath, std::wstring* uqid)
{
    return uqid && RunText(syncPath, SelectEntryUqidSql, &canonicalPath, uqid);
}

size_t CClientDbReader::CountCloudEntries(const wchar_t* syncPath, const std::vector<std::wstring>& canonicalPaths,
                                          size_t enough)
{
    size_t known = 0;
    const std::lock_guard<std::mutex> gate(m_gate);
    CSqliteDb db;
    if (!syncPath || canonicalPaths.empty() || enough == 0 || !Open(db, syncPath))
        return 0;
    for (const std::wstring& path : canonicalPaths) {
        const bool folder = !path.empty() && path.back() == L'/';
        if (!db.Prepare(folder ? SelectEntryIdSql : SelectEntryUqidSql) || !db.BindText(1, path) || !db.Step())
            continue;
        int64_t id = 0;
        std::wstring_view uqid;
        if (folder ? db.ColumnInt64(0, &id) && id > 0 : db.ColumnText(0, &uqid) && !uqid.empty() && uqid != L"0") {
            if (++known == enough)
                break;
        }
    }
    return known;
}

CClientDbReader::Shape CClientDbReader::ShapeOf(CSqliteDb& db)
{
    // The file, its last write and its schema's version: a file put in its place (even one that
    // got the same index), a write, or an index made in the journal is looked at again.
    uint64_t identity[4] = {};
    int64_t version = 0;
    const bool identified =
        db.FileIdentity(identity) && db.Prepare(L"PRAGMA schema_version") && db.Step() && db.ColumnInt64(0, &version);
    db.Finalize();
    identity[3] = static_cast<uint64_t>(version);
    if (identified && m_shape != Shape::Unknown && std::equal(identity, identity + 4, m_shapeOf))
        return m_shape;
    // The single-row query compares with the column's own collation; a folder read follows only
    // the binary one, byte for byte.
    std::string collation;
    if (!db.ColumnCollation("ea", "canonical_path", &collation))
        return Shape::Unknown;
    int64_t seekable = 0;
    const Shape shape = sqlite3_stricmp(collation.c_str(), "BINARY") != 0 ? Shape::ItemByItem
                        : !(db.Prepare(SelectPathIndexSql) && db.Step() && db.ColumnInt64(0, &seekable))
                            ? Shape::Unknown
                        : seekable ? Shape::Seekable
                                   : Shape::OnePass;
    db.Finalize();
    if (identified && shape != Shape::Unknown) {
        std::copy(identity, identity + 4, m_shapeOf);
        m_shape = shape;
    }
    return shape;
}

CClientDbReader::FolderRead CClientDbReader::ReadFolder(const wchar_t* syncPath, std::wstring_view folder, size_t bound,
                                                        CFolderRows* rows)
{
    if (!syncPath || !rows || folder.empty() || folder.back() != L'/')
        return FolderRead::Failed;
    rows->Clear();
    FolderRead read = FolderRead::Failed;
    try {
        read = ReadRows(syncPath, folder, bound, rows);
    } catch (const std::bad_alloc&) {
    }
    if (read != FolderRead::Rows)
        rows->Clear(); // nothing of a read that did not finish
    return read;
}

CClientDbReader::FolderRead CClientDbReader::ReadRows(const wchar_t* syncPath, std::wstring_view folder, size_t bound,
                                                      CFolderRows* rows)
{
    const std::lock_guard<std::mutex> gate(m_gate);
    CSqliteDb db;
    if (!Open(db, syncPath))
        return FolderRead::Failed;
    const Shape shape = ShapeOf(db);
    if (shape == Shape::Unknown)
        return FolderRead::Failed;
    if (shape == Shape::ItemByItem)
        return FolderRead::NotHere;
    const bool seek = shape == Shape::Seekable;
    std::wstring above(folder);
    above.back() = L'0';
    // One read transaction: the seeks past each subtree all see the same database.
    if (!db.Execute(L"BEGIN") || !db.Prepare(seek ? SelectFolderRangeSql : SelectFolderChildrenSql) ||
        !db.BindText(1, folder) || !db.BindText(2, above))
        return FolderRead::Failed;
    // A child costs one row, a child folder with a subtree two: more than that means the keys
    // do not come in the order the seeks rely on.
    const size_t stepLimit = 2 * bound + 2;
    size_t children = 0, steps = 0;
    for (;;) {
        const CSqliteDb::Stepped stepped = db.Next();
        if (stepped == CSqliteDb::Stepped::Failed)
            return FolderRead::Failed;
        if (stepped == CSqliteDb::Stepped::Done)
            break;
        m_rowsRead.fetch_add(1, std::memory_order_relaxed);
        if (++steps > stepLimit)
            return FolderRead::TooMany;
        std::wstring_view key;
        if (!db.ColumnText(0, &key) || key.size() <= folder.size() || key.substr(0, folder.size()) != folder)
            continue; // the folder's own row, or a key of another folder that the range let in
        const std::wstring_view name = key.substr(folder.size());
        const size_t slash = name.find(L'/');
        if (slash == std::wstring_view::npos || slash + 1 == name.size()) {
            if (++children > bound)
                return FolderRead::TooMany;
            int64_t status = StatusNone;
            db.ColumnInt64(1, &status);
            rows->Add(name, static_cast<int32_t>(status));
        } else if (seek) {
            // Past this child folder's subtree: on to the first key not under "<folder><child>/".
            std::wstring next(key.substr(0, folder.size() + slash));
            next.push_back(L'0');
            if (!db.Reset() || !db.BindText(1, next))
                return FolderRead::Failed;
        }
    }
    rows->Seal();
    return FolderRead::Rows;
}
