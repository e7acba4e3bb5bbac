#include "client/SqliteDb.h"

#include <windows.h>
#include <sqlite3.h>

#include <climits>
#include <string>

#include "base/Utf8.h"

CSqliteDb::~CSqliteDb()
{
    Close();
    // A connection SQLite would not close (it never happens once statements are finalized)
    // is let go rather than leaked with a live handle.
    if (m_db)
        sqlite3_close_v2(m_db);
}

bool CSqliteDb::Open(const wchar_t* path, int flags)
{
    if (!path || !Close())
        return false;
    std::string utf8;
    if (!WideToUtf8(path, &utf8))
        return false;
    return sqlite3_open_v2(utf8.c_str(), &m_db, flags, nullptr) == SQLITE_OK;
}

bool CSqliteDb::Close()
{
    if (!m_db)
        return true;
    Finalize();
    if (sqlite3_close(m_db) != SQLITE_OK)
        return false;
    m_db = nullptr;
    return true;
}

bool CSqliteDb::Prepare(const wchar_t* sql)
{
    Finalize();
    if (!m_db || !sql)
        return false;
    return sqlite3_prepare16_v2(m_db, sql, -1, &m_statement, nullptr) == SQLITE_OK;
}

bool CSqliteDb::BindText(int index, std::wstring_view text)
{
    if (!m_statement || text.size() > INT_MAX / sizeof(wchar_t))
        return false;
    const int bytes = static_cast<int>(text.size() * sizeof(wchar_t));
    // An empty view may have no data pointer; SQLite would bind that as NULL, not as "".
    const void* data = text.data() ? static_cast<const void*>(text.data()) : L"";
    return sqlite3_bind_text16(m_statement, index, data, bytes, SQLITE_TRANSIENT) == SQLITE_OK;
}

bool CSqliteDb::Step()
{
    if (!m_statement)
        return false;
    if (sqlite3_step(m_statement) == SQLITE_ROW)
        return true;
    Finalize();
    return false;
}

bool CSqliteDb::Busy() const
{
    const int error = m_db ? sqlite3_errcode(m_db) & 0xFF : SQLITE_OK;
    return error == SQLITE_BUSY || error == SQLITE_LOCKED;
}

CSqliteDb::Stepped CSqliteDb::Next()
{
    if (!m_statement)
        return Stepped::Failed;
    switch (sqlite3_step(m_statement)) {
    case SQLITE_ROW:
        return Stepped::Row;
    case SQLITE_DONE:
        return Stepped::Done;
    default:
        return Stepped::Failed;
    }
}

bool CSqliteDb::Reset()
{
    return m_statement && sqlite3_reset(m_statement) == SQLITE_OK;
}

bool CSqliteDb::Execute(const wchar_t* sql)
{
    const bool done = Prepare(sql) && Next() == Stepped::Done;
    return Finalize() && done;
}

bool CSqliteDb::ColumnCollation(const char* table, const char* column, std::string* collation)
{
    const char* name = nullptr;
    if (!m_db || !collation ||
        sqlite3_table_column_metadata(m_db, "main", table, column, nullptr, &name, nullptr, nullptr, nullptr) !=
            SQLITE_OK ||
        !name)
        return false;
    *collation = name;
    return true;
}

bool CSqliteDb::FileIdentity(uint64_t identity[3])
{
    HANDLE file = nullptr;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!m_db || sqlite3_file_control(m_db, "main", SQLITE_FCNTL_WIN32_GET_HANDLE, &file) != SQLITE_OK || !file ||
        file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &information))
        return false;
    identity[0] = information.dwVolumeSerialNumber;
    identity[1] = (uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity[2] =
        (uint64_t(information.ftLastWriteTime.dwHighDateTime) << 32) | information.ftLastWriteTime.dwLowDateTime;
    return true;
}

bool CSqliteDb::ColumnInt64(int column, int64_t* value)
{
    if (!m_statement || !value)
        return false;
    *value = sqlite3_column_int64(m_statement, column);
    return true;
}

bool CSqliteDb::ColumnText(int column, std::wstring_view* text)
{
    if (!text)
        return false;
    *text = {};
    if (!m_statement)
        return false;
    const auto* chars = static_cast<const wchar_t*>(sqlite3_column_text16(m_statement, column));
    if (!chars)
        return false;
    const int bytes = sqlite3_column_bytes16(m_statement, column);
    *text = std::wstring_view(chars, static_cast<size_t>(bytes) / sizeof(wchar_t));
    return true;
}

bool CSqliteDb::Finalize()
{
    if (!m_statement)
        return true;
    const int result = sqlite3_finalize(m_statement);
    m_statement = nullptr;
    return result == SQLITE_OK;
}
