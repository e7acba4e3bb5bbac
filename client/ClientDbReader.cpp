#include "client/ClientDbReader.h"

#include <sqlite3.h>

#include <new>
#include <optional>

#include "base/SharedLock.h"
#include "client/ClientContract.h"
#include "client/SqliteDb.h"

using namespace ClientContract;

CClientDbReader& CClientDbReader::GetInstance()
{
    static CClientDbReader instance;
    return instance;
}

CClientDbReader::CClientDbReader() : m_lock(GetSharedLock())
{
}

template <typename Read>
bool CClientDbReader::Run(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter,
                          LockScope scope, Read read)
{
    if (!dbPath || (parameter && !parameter->data()))
        return false;
    try {
        std::optional<CSharedLockGuard> wholeQuery;
        if (scope == LockScope::WholeQuery)
            wholeQuery.emplace(m_lock);
        CSqliteDb db;
        if (!db.Open(dbPath, SQLITE_OPEN_READONLY))
            return false;
        CSharedLockGuard statement(m_lock);
        const bool ok = db.Prepare(sql) && (!parameter || db.BindText(1, *parameter)) && db.Step() && read(db);
        db.Finalize();
        return ok;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CClientDbReader::RunInt(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter,
                             LockScope scope, int64_t* value)
{
    int64_t read = 0;
    if (!Run(dbPath, sql, parameter, scope, [&read](CSqliteDb& db) { return db.ColumnInt64(0, &read); }))
        return false;
    *value = read;
    return true;
}

bool CClientDbReader::RunText(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter,
                              std::wstring* text)
{
    std::wstring read;
    const bool ok = Run(dbPath, sql, parameter, LockScope::WholeQuery, [&read](CSqliteDb& db) {
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
    if (!value || !RunInt(dbPath, sql, nullptr, LockScope::WholeQuery, &read))
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

int CClientDbReader::GetFileStatus(const wchar_t* syncPath, std::wstring_view canonicalPath)
{
    // Files are the bulk of overlay questions: the open runs outside the lock so that other
    // threads are held up only while the statement runs.
    int64_t status = StatusNone;
    return RunInt(syncPath, SelectEntryStatusSql, &canonicalPath, LockScope::StatementOnly, &status)
               ? static_cast<int>(status)
               : StatusNone;
}

int CClientDbReader::GetFolderStatus(const wchar_t* syncPath, std::wstring_view canonicalPath)
{
    int64_t status = StatusNone;
    return RunInt(syncPath, SelectEntryStatusSql, &canonicalPath, LockScope::WholeQuery, &status)
               ? static_cast<int>(status)
               : StatusNone;
}

int64_t CClientDbReader::GetEntryId(const wchar_t* syncPath, std::wstring_view canonicalPath)
{
    int64_t id = -1;
    return RunInt(syncPath, SelectEntryIdSql, &canonicalPath, LockScope::WholeQuery, &id) ? id : -1;
}

bool CClientDbReader::GetEntryUqid(const wchar_t* syncPath, std::wstring_view canonicalPath, std::wstring* uqid)
{
    return uqid && RunText(syncPath, SelectEntryUqidSql, &canonicalPath, uqid);
}
