#include <sqlite3.h>

#include <string>
#include <thread>
#include <vector>

#include "base/Utf8.h"
#include "bench/Bench.h"
#include "client/ClientContract.h"
#include "status/FolderReads.h"
#include "status/StatusCache.h"
#include "status/StatusResolver.h"
#include "tools/clock/ControlledClock.h"
#include "tools/standin/StandInClient.h"

namespace {

constexpr int FolderSize = 10000;

// A folder of the stand-in's sync root whose items the database lists: their paths as the file
// manager gives them (the items need not exist: the attributes are the caller's), and their rows.
struct CColdFolder {
    std::wstring canonical; // "/cold/"
    std::vector<std::wstring> paths, keys;
};

CColdFolder MakeFolder(const CStandInClient& client, const std::wstring& name, int count)
{
    CColdFolder folder{L"/" + name + L"/", {}, {}};
    for (wchar_t& c : folder.canonical)
        c = towlower(c);
    for (int i = 0; i < count; ++i) {
        const std::wstring file = L"Report " + std::to_wstring(i) + L".txt";
        folder.paths.push_back(client.PathOf(name + L"\\" + file));
        folder.keys.push_back(folder.canonical + L"report " + std::to_wstring(i) + L".txt");
    }
    return folder;
}

bool InsertRows(CStandInClient& client, const CColdFolder& folder)
{
    std::wstring sql = L"BEGIN;";
    for (size_t i = 0; i < folder.keys.size(); ++i)
        sql += L"INSERT INTO ea(canonical_path, status) VALUES ('" + folder.keys[i] + L"', " + std::to_wstring(i % 3) +
               L");";
    return client.ExecSync(sql + L"COMMIT;");
}

void ClearCaches()
{
    CStatusCache::GetInstance().Clear();
    CFolderReads::GetInstance().Clear();
}

// The file manager drawing the items cold: three identifiers ask for each.
void Draw(const std::vector<std::wstring>& paths, size_t count, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE)
{
    COrbethStatusResolver& resolver = COrbethStatusResolver::GetInstance();
    for (size_t i = 0; i < count; ++i) {
        for (int identifier = 0; identifier < 3; ++identifier)
            KeepValue(resolver.GetPathStatus(paths[i].c_str(), attributes, nullptr));
    }
}

// The two floors, SQLite alone on a fresh read-only connection: one row, or the whole folder in
// one statement.
int BareRowRead(const std::string& db, const std::wstring& key)
{
    sqlite3* connection = nullptr;
    int status = -1;
    if (sqlite3_open_v2(db.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare16_v2(connection, ClientContract::SelectEntryStatusSql, -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_bind_text16(statement, 1, key.data(), int(key.size() * sizeof(wchar_t)), SQLITE_TRANSIENT) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            status = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(connection);
    return status;
}

int BareFolderRead(const std::string& db, const std::wstring& folder)
{
    sqlite3* connection = nullptr;
    int rows = 0;
    if (sqlite3_open_v2(db.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        std::wstring above = folder;
        above.back() = L'0';
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare16_v2(connection, ClientContract::SelectFolderRangeSql, -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_bind_text16(statement, 1, folder.data(), int(folder.size() * 2), SQLITE_TRANSIENT) == SQLITE_OK &&
            sqlite3_bind_text16(statement, 2, above.data(), int(above.size() * 2), SQLITE_TRANSIENT) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                KeepValue(sqlite3_column_text16(statement, 0));
                rows += sqlite3_column_int(statement, 1) >= 0;
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(connection);
    return rows;
}

// Nanoseconds of one call of pass, which does work units of work, per unit.
template <typename Pass> double PerUnit(size_t units, Pass&& pass)
{
    long once = 1;
    auto body = [&](long) { pass(); };
    return TimePass(once, body) / double(units);
}

void ReportWithFolder(const char* name, const CBenchFigures& figures, double target, double folderNs)
{
    ReportBench(name, figures, target);
    std::printf("    one whole cold folder: %.1f ms\n", folderNs / 1e6);
}

} // namespace

void RunColdFolderBenchmarks()
{
    CStandInClient client;
    if (!client.Ready() || !StandInService::Install() || !StandInService::Start()) {
        std::printf("bench cold folders: cannot set up the stand-in client (%s)\n", client.LastError().c_str());
        return;
    }
    ControlledClock::AdvanceSeconds(601); // the settings kept of the benchmarks' earlier clients
    std::string db;
    WideToUtf8(client.SyncDbPath(), &db);
    const CColdFolder folder = MakeFolder(client, L"Cold", FolderSize);
    constexpr size_t Sampled = 200; // single-row reads per floor pass
    size_t next = 0;
    const auto rowReads = [&] {
        return PerUnit(Sampled, [&] {
            for (size_t i = 0; i < Sampled; ++i)
                KeepValue(BareRowRead(db, folder.keys[next++ % FolderSize]));
        });
    };
    const auto coldFolder = [&] {
        ClearCaches();
        return PerUnit(FolderSize, [&] { Draw(folder.paths, FolderSize); });
    };

    // With the client's index on the paths, then in a table without one.
    if (!InsertRows(client, folder)) {
        std::printf("bench cold folders: %s\n", client.LastError().c_str());
        return;
    }
    CBenchFigures cold = ComparePasses(7, coldFolder, rowReads);
    ReportWithFolder("resolver_folder_10000_cold_per_item", cold, 0.02, cold.ns * FolderSize);
    const CBenchFigures bare = ComparePasses(
        9, coldFolder, [&] { return PerUnit(FolderSize, [&] { KeepValue(BareFolderRead(db, folder.canonical)); }); });
    ReportWithFolder("resolver_folder_10000_cold_per_item_against_one_folder_read", bare, 2.0, bare.ns * FolderSize);

    if (!client.ExecSync(L"DROP TABLE ea; CREATE TABLE ea(id INTEGER PRIMARY KEY AUTOINCREMENT, canonical_path TEXT, "
                         L"status INTEGER, uqid TEXT);") ||
        !InsertRows(client, folder)) {
        std::printf("bench cold folders: %s\n", client.LastError().c_str());
        return;
    }
    cold = ComparePasses(7, coldFolder, rowReads);
    ReportWithFolder("resolver_folder_10000_cold_per_item_without_index", cold, 0.02, cold.ns * FolderSize);

    // The root of a database of 200,000 rows in deep subtrees, of which the first screen shows 40
    // items: 20 folders, then 20 files. At worst as dear as their 40 single-row reads.
    constexpr int RootItems = 40;
    std::vector<std::wstring> rootPaths, rootKeys;
    for (int i = 0; i < RootItems; ++i) {
        const std::wstring name = i < 20 ? L"dir" + std::to_wstring(i) : L"file " + std::to_wstring(i) + L".txt";
        rootPaths.push_back(client.PathOf(name));
        rootKeys.push_back(L"/" + name + (i < 20 ? L"/" : L""));
    }
    const bool deep = client.ExecSync(
        L"DROP TABLE ea; CREATE TABLE ea(id INTEGER PRIMARY KEY AUTOINCREMENT, canonical_path TEXT UNIQUE, "
        L"status INTEGER, uqid TEXT);"
        L"WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 199999) "
        L"INSERT INTO ea(canonical_path, status) SELECT '/dir' || (i % 50) || '/sub' || (i / 50 % 20) || '/deep' || "
        L"(i / 1000 % 10) || '/file ' || i || '.txt', i % 3 FROM n;"
        L"WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 49) "
        L"INSERT INTO ea(canonical_path, status) SELECT '/dir' || i || '/', 2 FROM n UNION ALL "
        L"SELECT '/file ' || (i + 20) || '.txt', 1 FROM n;");
    if (!deep) {
        std::printf("bench cold folders: %s\n", client.LastError().c_str());
        return;
    }
    const CBenchFigures root = ComparePasses(
        15,
        [&] {
            ClearCaches();
            return PerUnit(1, [&] {
                Draw(std::vector<std::wstring>(rootPaths.begin(), rootPaths.begin() + 20), 20,
                     FILE_ATTRIBUTE_DIRECTORY);
                Draw(std::vector<std::wstring>(rootPaths.begin() + 20, rootPaths.end()), 20);
            });
        },
        [&] {
            return PerUnit(1, [&] {
                for (const std::wstring& key : rootKeys)
                    KeepValue(BareRowRead(db, key));
            });
        });
    ReportWithFolder("resolver_root_of_200000_rows_first_40_items", root, 1.5, root.ns);

    // Eight windows opening eight cold folders of 2,000 items at once, against one thread asking
    // the same folders in turn: the lock is off the reads, so two cores share the work.
    constexpr int Threads = 8, ThreadFolderSize = 2000;
    std::vector<CColdFolder> folders;
    bool made = client.ExecSync(L"DELETE FROM ea;");
    for (int i = 0; made && i < Threads; ++i) {
        folders.push_back(MakeFolder(client, L"Window " + std::to_wstring(i), ThreadFolderSize));
        made = InsertRows(client, folders.back());
    }
    if (!made) {
        std::printf("bench cold folders: %s\n", client.LastError().c_str());
        return;
    }
    const CBenchFigures threads = ComparePasses(
        7,
        [&] {
            ClearCaches();
            return PerUnit(1, [&] {
                std::vector<std::thread> windows;
                for (const CColdFolder& one : folders)
                    windows.emplace_back([&one] { Draw(one.paths, ThreadFolderSize); });
                for (std::thread& window : windows)
                    window.join();
            });
        },
        [&] {
            ClearCaches();
            return PerUnit(1, [&] {
                for (const CColdFolder& one : folders)
                    Draw(one.paths, ThreadFolderSize);
            });
        });
    ReportWithFolder("resolver_cold_8_threads", threads, 1.1, threads.ns / Threads);
    ClearCaches();
}
