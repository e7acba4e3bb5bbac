#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CSharedLock;
class CSqliteDb;

// Single-value queries on the client's databases. Every query opens the file read-only, reads
// column 0 of the first row and closes it again, so no handle stays open on the client's files.
// No busy timeout is set: a database the client holds locked fails at once.
// Statements run only under the shared lock.
class CClientDbReader {
public:
    static CClientDbReader& GetInstance();

    CClientDbReader();

    bool QueryInt(const wchar_t* dbPath, const wchar_t* sql, int* value);
    bool QueryText(const wchar_t* dbPath, const wchar_t* sql, std::wstring* text);

    // From dconf.db. The out string is left unchanged on failure; the flags are 0.
    bool GetDriveUser(const wchar_t* dconfPath, std::wstring* user);
    int GetShareLinkFlags(const wchar_t* dconfPath);

    // From sync.db. The out strings are left unchanged on failure; the numbers are -1.
    bool GetLatestRemoteFolders(const wchar_t* syncPath, std::wstring* remoteFolders);
    int GetMaxBatchId(const wchar_t* syncPath);
    // Raw `status` of the item with this canonical path (unmasked).
    int GetFileStatus(const wchar_t* syncPath, std::wstring_view canonicalPath);
    int GetFolderStatus(const wchar_t* syncPath, std::wstring_view canonicalPath);
    int64_t GetEntryId(const wchar_t* syncPath, std::wstring_view canonicalPath);
    bool GetEntryUqid(const wchar_t* syncPath, std::wstring_view canonicalPath, std::wstring* uqid);

private:
    enum class LockScope { WholeQuery, StatementOnly };

    template <typename Read>
    bool Run(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter, LockScope scope, Read read);
    // All 64 bits of the column; the statuses, flags and batch numbers keep the low 32 of them.
    bool RunInt(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter, LockScope scope,
                int64_t* value);
    bool RunText(const wchar_t* dbPath, const wchar_t* sql, const std::wstring_view* parameter, std::wstring* text);

    CSharedLock* m_lock;
};
