#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "status/Utf8.h"
#include "tools/StandInClient.h"

#include <algorithm>

namespace {
uint64_t s_lastFrozenTicks = 0;
}

CFrozenClock::CFrozenClock()
{
    // An hour past both the present and the previous test's time: whatever the process-wide
    // caches kept from an earlier test has expired.
    CClock::Freeze(std::max(CClock::NowTicks(), s_lastFrozenTicks) + 3600 * CClock::TicksPerSecond);
}

CFrozenClock::~CFrozenClock()
{
    s_lastFrozenTicks = CClock::NowTicks();
    CClock::Unfreeze();
}

CTempDir::CTempDir(const std::wstring& nameHint)
{
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) {
        ADD_FAILURE() << "no temporary directory";
        return;
    }
    static LONG counter = 0;
    m_path = std::wstring(base) + nameHint + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(InterlockedIncrement(&counter));
    if (!CreateDirectoryW(m_path.c_str(), nullptr))
        ADD_FAILURE() << "cannot create the temporary directory, error " << GetLastError();
}

CTempDir::~CTempDir()
{
    if (!m_path.empty())
        RemoveFolderTree(m_path);
}

void ExecSql(const std::wstring& dbPath, const char* sql)
{
    std::string utf8;
    ASSERT_TRUE(WideToUtf8(dbPath, &utf8));
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(utf8.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    char* error = nullptr;
    const int result = opened == SQLITE_OK ? sqlite3_exec(db, sql, nullptr, nullptr, &error) : opened;
    const std::string message = error ? error : (db ? sqlite3_errmsg(db) : "no connection");
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(result, SQLITE_OK) << message << "\nin: " << sql;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(ok && written == bytes.size());
}
