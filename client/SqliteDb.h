#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

// One SQLite connection and at most one prepared statement; closed when destroyed.
// Every operation answers false on failure.
class CSqliteDb {
public:
    CSqliteDb() = default;
    ~CSqliteDb();
    CSqliteDb(const CSqliteDb&) = delete;
    CSqliteDb& operator=(const CSqliteDb&) = delete;

    // Closes any open connection first. A handle that SQLite hands back from a failed open is
    // kept and released by the next Close.
    bool Open(const wchar_t* path, int flags);
    // False, with the connection kept, when SQLite refuses to close it.
    bool Close();
    bool Prepare(const wchar_t* sql);
    // Binds text to the 1-based parameter; SQLite keeps its own copy.
    bool BindText(int index, std::wstring_view text);
    // True for a row; otherwise the statement is finalized.
    bool Step();
    enum class Stepped { Row, Done, Failed };
    // Steps without finalizing at the end, so that the statement can be reset and bound again.
    Stepped Next();
    // Back to before the first row, the bindings kept.
    bool Reset();
    // A statement that returns no rows, prepared, run and finalized.
    bool Execute(const wchar_t* sql);
    // The collation a column was declared with ("BINARY" when none was).
    bool ColumnCollation(const char* table, const char* column, std::string* collation);
    // What tells the open file and its state from another: volume, file index (new when the file
    // is replaced, though a later file may have it again) and last write.
    bool FileIdentity(uint64_t identity[3]);
    // All 64 bits: the client's ids run past 2^31.
    bool ColumnInt64(int column, int64_t* value);
    // The text stays valid until the statement is finalized. NULL is a failure.
    bool ColumnText(int column, std::wstring_view* text);
    bool Finalize();
    // Whether the last failure was a lock another connection holds: the client writing.
    bool Busy() const;

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_statement = nullptr;
};
