#include <sqlite3.h>

#include <string>
#include <vector>

#include "base/Utf8.h"
#include "bench/Bench.h"
#include "client/ClientContract.h"
#include "status/StatusCache.h"
#include "status/StatusResolver.h"
#include "tools/standin/StandInClient.h"

namespace {

constexpr int FileCount = 10000;

// The floor of a database miss: the same query on a fresh read-only connection, bare.
int BareStatusQuery(const std::string& dbPath, const std::wstring& canonicalPath)
{
    sqlite3* db = nullptr;
    int status = -1;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare16_v2(db, ClientContract::SelectEntryStatusSql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_bind_text16(statement, 1, canonicalPath.data(), int(canonicalPath.size() * sizeof(wchar_t)),
                                SQLITE_TRANSIENT) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            status = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return status;
}

} // namespace

bool MakeReports(CStandInClient& client, const std::wstring& folder, int count, std::wstring (*values)(int),
                 std::vector<std::wstring>* paths, std::vector<std::wstring>* canonical)
{
    std::wstring lower = folder;
    for (wchar_t& c : lower)
        c = towlower(c);
    std::wstring rows = L"BEGIN;";
    for (int i = 0; i < count; ++i) {
        const std::wstring name = L"Report " + std::to_wstring(i) + L".txt";
        if ((i == 0 && !client.MakeFolder(folder)) || !client.MakeFile(folder + L"\\" + name))
            return false;
        paths->push_back(client.PathOf(folder + L"\\" + name));
        canonical->push_back(L"/" + lower + L"/report " + std::to_wstring(i) + L".txt");
        rows +=
            L"INSERT INTO ea(canonical_path, status, uqid) VALUES ('" + canonical->back() + L"', " + values(i) + L");";
    }
    return client.ExecSync(rows + L"COMMIT;");
}

void RunResolverBenchmarks()
{
    if (!StandInService::Install() || !StandInService::Start()) {
        std::printf("bench resolver: cannot start the stand-in service\n");
        return;
    }
    CStandInClient client;
    std::vector<std::wstring> paths;
    std::vector<std::wstring> canonical;
    if (!MakeReports(
            client, L"Big", FileCount, [](int i) { return std::to_wstring(i % 3) + L", NULL"; }, &paths, &canonical)) {
        std::printf("bench resolver: %s\n", client.LastError().c_str());
        return;
    }

    COrbethStatusResolver& resolver = COrbethStatusResolver::GetInstance();
    CStatusCache& cache = CStatusCache::GetInstance();
    const DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    std::string dbPath;
    WideToUtf8(client.SyncDbPath(), &dbPath);
    const auto bareQuery = [&](long i) { KeepValue(BareStatusQuery(dbPath, canonical[size_t(i) % FileCount])); };

    // Misses: every question is about a path the cache has not seen (cleared between passes), of
    // a folder read at once before.
    long missed = 0;
    const CBenchFigures miss = Compare(
        4, 201,
        [&](long) {
            if (missed % FileCount == 0)
                cache.Clear();
            KeepValue(resolver.GetPathStatus(paths[size_t(missed++ % FileCount)].c_str(), attributes, nullptr));
        },
        bareQuery);
    ReportBench("resolver_get_path_status_miss", miss, 1.3);

    // The folder as the file manager draws it, warm: three identifiers ask for each item (the
    // cold folders have benchmarks of their own).
    const auto drawFolder = [&](long i) {
        for (int identifier = 0; identifier < 3; ++identifier)
            KeepValue(resolver.GetPathStatus(paths[size_t(i)].c_str(), attributes, nullptr));
    };

    const auto threeGets = [&](long i) {
        int32_t status;
        for (int identifier = 0; identifier < 3; ++identifier)
            KeepValue(cache.Get(paths[size_t(i)].c_str(), &status, nullptr));
    };
    ReportBench("resolver_folder_10000_warm_per_item", Compare(FileCount, 51, drawFolder, threeGets), 2.0);

    const auto hit = [&](long i) {
        KeepValue(resolver.GetPathStatus(paths[size_t(i) % FileCount].c_str(), attributes, nullptr));
    };
    const auto get = [&](long i) {
        int32_t status;
        KeepValue(cache.Get(paths[size_t(i) % FileCount].c_str(), &status, nullptr));
    };
    ReportBench("resolver_get_path_status_hit", Compare(FileCount, 101, hit, get), 2.0);

    RunOverlayBenchmarks(paths);
    cache.Clear();
}
