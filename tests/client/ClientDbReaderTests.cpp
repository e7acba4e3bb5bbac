#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <tuple>

#include "base/SharedLock.h"
#include "client/ClientDbReader.h"
#include "client/FolderRows.h"
#include "client/SqliteDb.h"
#include "tools/standin/StandInClient.h"

namespace {

void ExecSql(const std::wstring& dbPath, const std::string& sql)
{
    std::string error;
    ASSERT_TRUE(ExecSqlOnFile(dbPath, sql, &error)) << error << "\nin: " << sql;
}

constexpr char SyncDb[] = R"sql(
    CREATE TABLE ea(id INTEGER, canonical_path TEXT, status INTEGER, uqid TEXT);
    CREATE TABLE batch(id INTEGER PRIMARY KEY, remote_folders TEXT);
    INSERT INTO ea VALUES (11, '/docs/', 2, '0'), (0, '/docs/a.txt', 9, 'c0ffee00');
    INSERT INTO batch VALUES (3, '["/newest/"]'), (1, '["/oldest/"]');
)sql";
constexpr char DconfDb[] = R"sql(
    CREATE TABLE driveconfig(user TEXT, share_link INTEGER);
    INSERT INTO driveconfig VALUES ('alice@example.org', 3), ('bob@example.org', 0);
)sql";

// Every query in one line: file status, folder status, entry id, last batch, sharing flags, then
// user, remote folders and uqid, "-" for a failed read that left its text as it was.
std::wstring ReadAll(const wchar_t* sync, const wchar_t* dconf)
{
    CClientDbReader& reader = CClientDbReader::GetInstance();
    std::wstring line, user = L"-", folders = L"-", uqid = L"-";
    for (const int64_t number : std::initializer_list<int64_t>{
             reader.GetEntryStatus(sync, L"/docs/a.txt"), reader.GetEntryStatus(sync, L"/docs/"),
             reader.GetEntryId(sync, L"/docs/"), reader.GetMaxBatchId(sync), reader.GetShareLinkFlags(dconf)})
        line += std::to_wstring(number) + L" ";
    for (const bool read : {reader.GetDriveUser(dconf, &user), reader.GetLatestRemoteFolders(sync, &folders),
                            reader.GetEntryUqid(sync, L"/docs/a.txt", &uqid)})
        line += read ? L"+" : L"-";
    return line + L" " + user + L" " + folders + L" " + uqid;
}

// The path is a bound parameter, matched exactly for the length given: quotes, LIKE wildcards and
// non-ASCII letters are plain characters of it. The caller may hold the shared lock meanwhile.
TEST(ClientDbReaderTest, EveryQueryReadsItsColumnOrFailsLeavingItsOutputAndPathsMatchOnlyTheirOwnRow)
{
    const wchar_t* failed = L"-1 -1 -1 -1 0 --- - - -";
    // The SQL run on each database, the sync database's file (dconf's too unless it is sync.db), the
    // answers, and whether the client holds both databases locked (no busy timeout: the query fails).
    // clang-format off
    const std::tuple<const char*, const char*, const wchar_t*, std::wstring, bool> cases[] = {
        {"", "", L"sync.db", L"9 2 11 3 3 +++ alice@example.org [\"/newest/\"] c0ffee00", false}, // raw status, highest batch
        {"UPDATE ea SET id = NULL, status = NULL, uqid = NULL; INSERT INTO batch VALUES (4, NULL);",
         "UPDATE driveconfig SET user = NULL, share_link = NULL;", L"sync.db", L"0 0 0 4 0 --- - - -", false},
        {"UPDATE ea SET id = '12', status = 'x', uqid = 7;", "UPDATE driveconfig SET user = 5, share_link = '2';", L"sync.db",
         L"0 0 12 3 2 +++ 5 [\"/newest/\"] 7", false},
        {"DELETE FROM ea; DELETE FROM batch;", "DELETE FROM driveconfig;", L"sync.db", L"-1 -1 -1 0 0 --- - - -", false},
        {"DROP TABLE ea; DROP TABLE batch;", "DROP TABLE driveconfig;", L"sync.db", failed, false},
        {"", "", L"missing.db", failed, false}, {"", "", nullptr, failed, false}, {"", "", L"sync.db", failed, true}};
    // clang-format on
    for (const auto& [syncSql, dconfSql, file, expected, locked] : cases) {
        SCOPED_TRACE(testing::PrintToString(expected));
        CTempFolder dir;
        ExecSql(dir.Child(L"sync.db"), std::string(SyncDb) + syncSql);
        ExecSql(dir.Child(L"dconf.db"), std::string(DconfDb) + dconfSql);
        CSqliteDb holders[2];
        for (int i = 0; locked && i < 2; ++i)
            ASSERT_TRUE(holders[i].Open(dir.Child(i ? L"sync.db" : L"dconf.db").c_str(), SQLITE_OPEN_READWRITE) &&
                        holders[i].Prepare(L"BEGIN EXCLUSIVE") && !holders[i].Step());
        const std::wstring sync = dir.Child(file ? file : L""),
                           dconf = sync == dir.Child(L"sync.db") ? dir.Child(L"dconf.db") : sync;
        EXPECT_EQ(ReadAll(file ? sync.c_str() : nullptr, file ? dconf.c_str() : nullptr), expected);
        EXPECT_EQ(GetFileAttributesW(dir.Child(L"missing.db").c_str()), INVALID_FILE_ATTRIBUTES) << "read-only";
    }

    CTempFolder dir(L"Übung ñ 日本");
    const std::wstring sync = dir.Child(L"sync.db");
    ExecSql(sync, (std::string(SyncDb) + R"sql(INSERT INTO ea VALUES (21, '/say "hi".txt', 1, ''),
        (22, '/it''s.txt', 0, 'a' || char(0) || 'b'), (23, '/100%.txt', 2, ''), (26, '/müller/ärger 日本.txt', 1, ''),
        (2147483648, '/2^31/', 2, ''), (4294967296, '/2^32/', 2, '');)sql"));
    // clang-format off
    const std::pair<std::wstring_view, int64_t> rows[] = {
        {L"/say \"hi\".txt", 21}, {L"/it's.txt", 22}, {L"/100%.txt", 23}, {L"/müller/ärger 日本.txt", 26}, {L"/100_.txt", -1},
        {L"/2^31/", 2147483648}, {L"/2^32/", 4294967296}, // all of the id, not its low 32 bits
        {L"/docs/\" OR canonical_path != \"", -1}, {std::wstring_view(L"/docs/\0x", 8), -1}, {std::wstring_view(L"/docs/xyz", 6), 11}};
    // clang-format on
    CSharedLockGuard held(GetSharedLock());
    for (const auto& [path, id] : rows)
        EXPECT_EQ(CClientDbReader::GetInstance().GetEntryId(sync.c_str(), path), id)
            << testing::PrintToString(std::wstring(path));
    std::wstring uqid;
    EXPECT_TRUE(CClientDbReader::GetInstance().GetEntryUqid(sync.c_str(), L"/it's.txt", &uqid) &&
                uqid == std::wstring(L"a\0b", 3))
        << "SQLite's length, not the first NUL's";
}

// A folder's children read at once, whatever the table: in a UTF-16 database, whose key order the
// seeks past subtrees cannot follow; with paths compared in another collation (then read item by
// item); past the bound; without the table; held locked by the client.
TEST(ClientDbReaderTest, AFolderReadFindsExactlyItsChildrenOrSaysWhyNot)
{
    const std::string rows = "INSERT INTO ea VALUES ('/a/', 1), ('/a/x/', 2), ('/a/x/deep.txt', 0), ('/a/x' || "
                             "char(303) || '.txt', 1), ('/a/y.txt', NULL), ('/a/Y.txt', 3), ('/a0', 1), ('/b/a/', 2);";
    const std::string unique = "CREATE TABLE ea(canonical_path TEXT UNIQUE, status INTEGER);" + rows;
    const std::wstring read = L"4: x/=2 x\u012F.txt=1 y.txt=0 Y.txt=3";
    // clang-format off
    const std::tuple<std::string, size_t, bool, std::wstring> cases[] = {
        {unique, 10, false, read}, {"PRAGMA encoding = 'UTF-16le';" + unique, 10, false, read},
        {"CREATE TABLE ea(canonical_path TEXT, status INTEGER);" + rows, 10, false, read},
        {"CREATE TABLE ea(canonical_path TEXT COLLATE NOCASE, status INTEGER);" + rows, 10, false, L"item by item"},
        {unique, 3, false, L"too many"}, {"CREATE TABLE other(x);", 10, false, L"failed"}, {unique, 10, true, L"failed"}};
    // clang-format on
    for (const auto& [sql, bound, locked, expected] : cases) {
        SCOPED_TRACE(sql.substr(0, 60));
        CTempFolder dir;
        ExecSql(dir.Child(L"sync.db"), sql);
        CSqliteDb holder;
        ASSERT_TRUE(!locked || (holder.Open(dir.Child(L"sync.db").c_str(), SQLITE_OPEN_READWRITE) &&
                                holder.Prepare(L"BEGIN EXCLUSIVE") && !holder.Step()));
        CFolderRows children;
        const auto outcome =
            CClientDbReader::GetInstance().ReadFolder(dir.Child(L"sync.db").c_str(), L"/a/", bound, &children);
        std::wstring answer = std::to_wstring(children.Count()) + L":";
        for (const wchar_t* name : {L"x/", L"x\u012F.txt", L"y.txt", L"Y.txt", L"x/deep.txt", L"", L"a0"}) {
            int32_t status = 0;
            if (children.Find(name, &status))
                answer += L" " + std::wstring(name) + L"=" + std::to_wstring(status);
        }
        using Read = CClientDbReader::FolderRead;
        EXPECT_EQ(outcome == Read::Rows      ? answer
                  : outcome == Read::TooMany ? L"too many"
                  : outcome == Read::NotHere ? L"item by item"
                                             : L"failed",
                  expected);
        EXPECT_TRUE(outcome == Read::Rows || children.Count() == 0) << "nothing of a read that did not finish";
    }
}

// A connection lets go of its file when opened again and when it goes, a statement still prepared
// or not: the client may then replace the file.
TEST(SqliteDbTest, AConnectionLetsGoOfItsFile)
{
    CTempFolder dir;
    ExecSql(dir.Child(L"a.db"), "CREATE TABLE t(x);");
    ExecSql(dir.Child(L"b.db"), "CREATE TABLE t(x);");
    {
        CSqliteDb db;
        ASSERT_TRUE(db.Open(dir.Child(L"a.db").c_str(), SQLITE_OPEN_READONLY) &&
                    db.Open(dir.Child(L"b.db").c_str(), SQLITE_OPEN_READONLY));
        EXPECT_FALSE(db.Prepare(L"SELECT x FROM nowhere")) << "a statement that cannot be made is a failure";
        ASSERT_TRUE(db.Prepare(L"SELECT x FROM t"));
        EXPECT_TRUE(DeleteFileW(dir.Child(L"a.db").c_str())) << "opened again";
    }
    EXPECT_TRUE(DeleteFileW(dir.Child(L"b.db").c_str())) << "gone";
}

} // namespace
