#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <string>

#include "base/SharedLock.h"
#include "base/Utf8.h"
#include "client/ClientContract.h"
#include "client/ClientDbReader.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr char ClientSchema[] = R"sql(
    CREATE TABLE ea(id INTEGER, canonical_path TEXT, status INTEGER, uqid TEXT);
    CREATE TABLE batch(id INTEGER PRIMARY KEY, remote_folders TEXT);
)sql";

class ClientDbReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ExecSql(syncDb, ClientSchema);
        ExecSql(syncDb, R"sql(
            INSERT INTO ea VALUES (11, '/docs/', 2, '0');
            INSERT INTO ea VALUES (0, '/docs/a.txt', 9, 'c0ffee00c0ffee00c0ffee00c0ffee00');
            INSERT INTO ea VALUES (NULL, '/nulls.txt', NULL, NULL);
            INSERT INTO batch VALUES (3, '["/newest/"]');
            INSERT INTO batch VALUES (1, '["/oldest/"]');
        )sql");
        ExecSql(dconfDb, R"sql(
            CREATE TABLE driveconfig(user TEXT, share_link INTEGER);
            INSERT INTO driveconfig VALUES ('alice@example.org', 3);
            INSERT INTO driveconfig VALUES ('bob@example.org', 0);
        )sql");
    }

    CClientDbReader& reader = CClientDbReader::GetInstance();
    CTempDir dir;
    const std::wstring syncDb = dir.Child(L"sync.db");
    const std::wstring dconfDb = dir.Child(L"dconf.db");
};

TEST_F(ClientDbReaderTest, EveryQueryReadsItsColumn)
{
    std::wstring user;
    EXPECT_TRUE(reader.GetDriveUser(dconfDb.c_str(), &user));
    EXPECT_EQ(user, L"alice@example.org");
    EXPECT_EQ(reader.GetShareLinkFlags(dconfDb.c_str()), 3);

    std::wstring folders;
    EXPECT_TRUE(reader.GetLatestRemoteFolders(syncDb.c_str(), &folders));
    EXPECT_EQ(folders, L"[\"/newest/\"]") << "the row with the highest id, not the last inserted";
    EXPECT_EQ(reader.GetMaxBatchId(syncDb.c_str()), 3);

    EXPECT_EQ(reader.GetFolderStatus(syncDb.c_str(), L"/docs/"), 2);
    EXPECT_EQ(reader.GetFileStatus(syncDb.c_str(), L"/docs/a.txt"), 9) << "raw, not masked";
    EXPECT_EQ(reader.GetEntryId(syncDb.c_str(), L"/docs/"), 11);
    std::wstring uqid;
    EXPECT_TRUE(reader.GetEntryUqid(syncDb.c_str(), L"/docs/a.txt", &uqid));
    EXPECT_EQ(uqid, L"c0ffee00c0ffee00c0ffee00c0ffee00");

    // The generic runners take any single-value query.
    int value = 0;
    EXPECT_TRUE(reader.QueryInt(syncDb.c_str(), L"SELECT COUNT(*) FROM ea", &value));
    EXPECT_EQ(value, 3);
    std::wstring text;
    EXPECT_TRUE(reader.QueryText(syncDb.c_str(), L"SELECT canonical_path FROM ea WHERE id = 11", &text));
    EXPECT_EQ(text, L"/docs/");
}

TEST_F(ClientDbReaderTest, MissingRowsAndNullColumnsGiveFailureValuesOrZero)
{
    std::wstring unchanged = L"unchanged";
    EXPECT_EQ(reader.GetFileStatus(syncDb.c_str(), L"/docs/missing.txt"), -1);
    EXPECT_EQ(reader.GetFolderStatus(syncDb.c_str(), L"/missing/"), -1);
    EXPECT_EQ(reader.GetEntryId(syncDb.c_str(), L"/missing/"), -1);
    EXPECT_FALSE(reader.GetEntryUqid(syncDb.c_str(), L"/missing.txt", &unchanged));
    EXPECT_EQ(reader.GetFileStatus(syncDb.c_str(), L"/DOCS/A.TXT"), -1) << "the canonical path is matched exactly";

    // SQLite reads NULL as 0 for numbers and as no text for strings.
    EXPECT_EQ(reader.GetFileStatus(syncDb.c_str(), L"/nulls.txt"), 0);
    EXPECT_EQ(reader.GetEntryId(syncDb.c_str(), L"/nulls.txt"), 0);
    EXPECT_FALSE(reader.GetEntryUqid(syncDb.c_str(), L"/nulls.txt", &unchanged));
    EXPECT_EQ(unchanged, L"unchanged");

    ExecSql(dconfDb, "DELETE FROM driveconfig; INSERT INTO driveconfig VALUES (NULL, NULL);");
    EXPECT_FALSE(reader.GetDriveUser(dconfDb.c_str(), &unchanged));
    EXPECT_EQ(reader.GetShareLinkFlags(dconfDb.c_str()), 0);
    ExecSql(dconfDb, "DELETE FROM driveconfig;");
    EXPECT_FALSE(reader.GetDriveUser(dconfDb.c_str(), &unchanged));
    EXPECT_EQ(unchanged, L"unchanged");

    ExecSql(syncDb, "INSERT INTO batch VALUES (4, NULL);");
    EXPECT_FALSE(reader.GetLatestRemoteFolders(syncDb.c_str(), &unchanged));
    EXPECT_EQ(unchanged, L"unchanged");
}

TEST_F(ClientDbReaderTest, EmptyAndMissingTablesAreTold)
{
    ExecSql(syncDb, "DELETE FROM batch;");
    EXPECT_EQ(reader.GetMaxBatchId(syncDb.c_str()), 0) << "MAX over no rows is one NULL row";
    std::wstring folders = L"unchanged";
    EXPECT_FALSE(reader.GetLatestRemoteFolders(syncDb.c_str(), &folders));

    ExecSql(syncDb, "DROP TABLE batch; DROP TABLE ea;");
    EXPECT_EQ(reader.GetMaxBatchId(syncDb.c_str()), -1);
    EXPECT_EQ(reader.GetFileStatus(syncDb.c_str(), L"/docs/a.txt"), -1);
    ExecSql(dconfDb, "DROP TABLE driveconfig;");
    EXPECT_EQ(reader.GetShareLinkFlags(dconfDb.c_str()), 0);
    EXPECT_EQ(folders, L"unchanged");
}

TEST_F(ClientDbReaderTest, FilesThatCannotBeReadGiveFailureValues)
{
    const std::wstring notADb = dir.Child(L"notes.db");
    WriteFileBytes(notADb, "This is a text file, not an SQLite database; it is long enough to have a header.\n");
    const std::wstring missing = dir.Child(L"missing.db");
    for (const wchar_t* path : {notADb.c_str(), missing.c_str(), static_cast<const wchar_t*>(nullptr)}) {
        std::wstring text = L"unchanged";
        EXPECT_EQ(reader.GetMaxBatchId(path), -1);
        EXPECT_EQ(reader.GetFileStatus(path, L"/docs/a.txt"), -1);
        EXPECT_EQ(reader.GetFolderStatus(path, L"/docs/"), -1);
        EXPECT_EQ(reader.GetShareLinkFlags(path), 0);
        EXPECT_FALSE(reader.GetDriveUser(path, &text));
        EXPECT_EQ(text, L"unchanged");
    }
    EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES) << "read-only opens create nothing";
}

// The path is a bound parameter: quotes and LIKE wildcards are plain characters of it.
TEST_F(ClientDbReaderTest, PathsWithQuotesAndPercentMatchOnlyTheirOwnRow)
{
    ExecSql(syncDb, R"sql(
        INSERT INTO ea VALUES (21, '/say "hi".txt', 1, 'q1');
        INSERT INTO ea VALUES (22, '/it''s.txt', 0, 'q2');
        INSERT INTO ea VALUES (23, '/100%.txt', 2, 'q3');
        INSERT INTO ea VALUES (24, '/100%25.txt', 1, 'q4');
        INSERT INTO ea VALUES (25, '/a" OR "1"="1', 2, 'q5');
    )sql");
    const struct {
        const wchar_t* path;
        int id;
    } rows[] = {{L"/say \"hi\".txt", 21}, {L"/it's.txt", 22}, {L"/100%.txt", 23}, {L"/100%25.txt", 24},
                {L"/a\" OR \"1\"=\"1", 25}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.path)));
        EXPECT_EQ(reader.GetEntryId(syncDb.c_str(), row.path), row.id);
    }
    EXPECT_EQ(reader.GetFileStatus(syncDb.c_str(), L"/it's.txt"), 0);
    EXPECT_EQ(reader.GetEntryId(syncDb.c_str(), L"/100_.txt"), -1);
    EXPECT_EQ(reader.GetEntryId(syncDb.c_str(), L"/x\" OR \"1\"=\"1"), -1);
    EXPECT_EQ(reader.GetEntryId(syncDb.c_str(), L"/docs/\" OR canonical_path != \""), -1);
    EXPECT_EQ(reader.GetEntryId(syncDb.c_str(), std::wstring_view(L"/docs/\0x", 8)), -1)
        << "the length given is the length matched";
    EXPECT_EQ(reader.GetEntryId(syncDb.c_str(), std::wstring_view(L"/docs/xyz", 6)), 11);
}

TEST_F(ClientDbReaderTest, NonAsciiDatabasePathsAndCanonicalPaths)
{
    CTempDir unicodeDir(L"Übung ñ 日本");
    const std::wstring db = unicodeDir.Child(L"sync.db");
    ExecSql(db, ClientSchema);
    std::string row;
    ASSERT_TRUE(WideToUtf8(L"INSERT INTO ea VALUES (5, '/müller/ärger 日本.txt', 1, 'u');", &row));
    ExecSql(db, row.c_str());
    EXPECT_EQ(reader.GetFileStatus(db.c_str(), L"/müller/ärger 日本.txt"), 1);
    EXPECT_EQ(reader.GetFileStatus(db.c_str(), L"/mu\u0308ller/ärger 日本.txt"), -1)
        << "normalising is the caller's business";
}

TEST_F(ClientDbReaderTest, ExclusivelyLockedDatabaseFailsAtOnce)
{
    std::string path;
    ASSERT_TRUE(WideToUtf8(syncDb, &path));
    sqlite3* client = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &client, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(client, "BEGIN EXCLUSIVE; UPDATE ea SET status = 1;", nullptr, nullptr, nullptr),
              SQLITE_OK);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reader.GetFileStatus(syncDb.c_str(), L"/docs/a.txt"), -1);
    EXPECT_EQ(reader.GetFolderStatus(syncDb.c_str(), L"/docs/"), -1);
    EXPECT_EQ(reader.GetMaxBatchId(syncDb.c_str()), -1);
    std::wstring folders = L"unchanged";
    EXPECT_FALSE(reader.GetLatestRemoteFolders(syncDb.c_str(), &folders));
    // No busy timeout: a wait would show as seconds here, not milliseconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    sqlite3_exec(client, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(client);
    EXPECT_EQ(reader.GetFileStatus(syncDb.c_str(), L"/docs/a.txt"), 9);
}

TEST_F(ClientDbReaderTest, QueriesRunWhileTheCallerHoldsTheSharedLock)
{
    CSharedLockGuard held(GetSharedLock());
    EXPECT_EQ(reader.GetFileStatus(syncDb.c_str(), L"/docs/a.txt"), 9);
    EXPECT_EQ(reader.GetFolderStatus(syncDb.c_str(), L"/docs/"), 2);
}

} // namespace
