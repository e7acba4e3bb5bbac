#include <gtest/gtest.h>
#include <sqlite3.h>

#include "client/SqliteDb.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(SqliteDbTest, ReadsRowsAndFinalizesWhenTheyRunOut)
{
    CTempDir dir;
    const std::wstring path = dir.Child(L"t.db");
    ExecSql(path, "CREATE TABLE t(n INTEGER, s TEXT); INSERT INTO t VALUES (7, 'a' || char(0) || 'b'), (NULL, NULL);");

    CSqliteDb db;
    ASSERT_TRUE(db.Open(path.c_str(), SQLITE_OPEN_READONLY));
    ASSERT_TRUE(db.Open(path.c_str(), SQLITE_OPEN_READONLY)) << "a second open closes the first";
    ASSERT_TRUE(db.Prepare(L"SELECT n, s FROM t ORDER BY n IS NULL"));
    ASSERT_TRUE(db.Step());
    int n = 0;
    std::wstring_view s;
    EXPECT_TRUE(db.ColumnInt(0, &n));
    EXPECT_EQ(n, 7);
    ASSERT_TRUE(db.ColumnText(1, &s));
    EXPECT_EQ(s, std::wstring_view(L"a\0b", 3)) << "the length comes from SQLite, not from a NUL";

    ASSERT_TRUE(db.Step());
    EXPECT_TRUE(db.ColumnInt(0, &n));
    EXPECT_EQ(n, 0) << "NULL reads as 0";
    EXPECT_FALSE(db.ColumnText(1, &s));

    EXPECT_FALSE(db.Step());
    EXPECT_FALSE(db.ColumnInt(0, &n)) << "the statement was finalized after the last row";
    EXPECT_FALSE(db.Prepare(L"SELECT nothing FROM nowhere"));
    EXPECT_TRUE(db.Close());
}

} // namespace
