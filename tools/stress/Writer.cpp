#include "tools/stress/Writer.h"

#include <sqlite3.h>

#include <random>
#include <vector>

#include "base/Utf8.h"
#include "tools/standin/StandInClient.h"
#include "tools/stress/Items.h"

namespace {

std::string Utf8(const std::wstring& text)
{
    std::string utf8;
    WideToUtf8(text, &utf8);
    return utf8;
}

class CWriter {
public:
    CWriter(const std::wstring& syncDb, uint32_t draw) : m_syncDb(syncDb), m_random(draw) {}
    ~CWriter() { Unlock(); }
    CWriter(const CWriter&) = delete;
    CWriter& operator=(const CWriter&) = delete;

    std::string Handle(const std::string& command)
    {
        if (command == "lock")
            return Lock() ? "locked" : "error " + m_error;
        if (command == "unlock")
            return Unlock() ? "unlocked" : "error " + m_error;
        if (command == "corrupt" || command == "truncate")
            return Damage(command == "truncate") ? command + " done" : "error " + m_error;
        if (command == "restore")
            return Restore() ? "restored" : "error " + m_error;
        if (command == "replace") {
            const std::wstring fresh = m_syncDb + L".new";
            return CopyTo(fresh) && Rewrite(fresh, true) ? RenameOver(fresh) : "error " + m_error;
        }
        if (command == "quiet") {
            m_writing = false;
            return std::to_string(m_rewrites) + " " + std::to_string(m_failed);
        }
        return "error unknown command";
    }

    // One rewrite of the live file, unless it is held or damaged on purpose.
    void Step()
    {
        if (m_writing && !m_lock && !m_damaged && !Rewrite(m_syncDb, ++m_steps % 8 == 0))
            ++m_failed;
    }

private:
    // Forty volatile items changed or removed (they come back with the next change), in one
    // transaction as the client writes; with a new batch when asked.
    bool Rewrite(const std::wstring& db, bool newBatch)
    {
        std::wstring sql = L"BEGIN;";
        for (int i = 0; i < 40; ++i) {
            int item = 0;
            do
                item = std::uniform_int_distribution<int>(0, StressItems::Count - 1)(m_random);
            while (!StressItems::IsVolatile(item));
            const int statuses[] = {-1,
                                    StatusError,
                                    StatusPending,
                                    StatusOk,
                                    StatusPending | StatusExcludedFlag,
                                    StatusOk | StatusExcludedFlag};
            const int status = statuses[std::uniform_int_distribution<int>(0, 5)(m_random)];
            const std::wstring key = L"'" + StressItems::Canonical(item) + L"'";
            sql += status < 0 ? L"DELETE FROM ea WHERE canonical_path = " + key + L";"
                              : L"INSERT INTO ea(canonical_path, status, uqid) VALUES (" + key + L", " +
                                    std::to_wstring(status) +
                                    L", 'u') ON CONFLICT(canonical_path) DO UPDATE SET status = excluded.status;";
        }
        if (newBatch)
            sql += L"INSERT INTO batch VALUES ((SELECT MAX(id) + 1 FROM batch), '" +
                   std::wstring(StressItems::CloudRemoteFolders) + L"');";
        // Without waiting for the disk at each commit: only the module's readers matter here.
        if (!ExecSqlOnFile(db, "PRAGMA synchronous = OFF;" + Utf8(sql + L"COMMIT;"), &m_error))
            return false;
        ++m_rewrites;
        return true;
    }

    bool CopyTo(const std::wstring& copy)
    {
        DeleteFileW(copy.c_str());
        return ExecSqlOnFile(m_syncDb, "VACUUM INTO '" + Utf8(copy) + "';", &m_error);
    }

    bool Lock()
    {
        if (m_lock)
            return true;
        sqlite3* opened = nullptr;
        const bool ok = sqlite3_open_v2(Utf8(m_syncDb).c_str(), &opened, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                        sqlite3_busy_timeout(opened, 5000) == SQLITE_OK && // the readers' shared locks are short
                        sqlite3_exec(opened, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr) == SQLITE_OK;
        m_lock.Reset(opened);
        if (!ok) {
            m_error = sqlite3_errmsg(opened);
            m_lock.Reset();
        }
        return ok;
    }

    bool Unlock()
    {
        const bool ok = !m_lock || sqlite3_exec(m_lock.Get(), "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!ok)
            m_error = sqlite3_errmsg(m_lock.Get());
        m_lock.Reset();
        return ok;
    }

    // Damaged while held, so no reader meets half-written bytes it could take for a right row.
    bool Damage(bool truncate)
    {
        if (!CopyTo(m_syncDb + L".keep") || !Lock())
            return false;
        CHandle file(NullIfInvalid(CreateFileW(m_syncDb.c_str(), GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, 0, nullptr)));
        LARGE_INTEGER size{};
        bool done = file && GetFileSizeEx(file.Get(), &size);
        if (done && truncate) {
            const LARGE_INTEGER half{.QuadPart = size.QuadPart / 2};
            done = SetFilePointerEx(file.Get(), half, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get());
        } else if (done) {
            std::vector<char> garbage(static_cast<size_t>(size.QuadPart));
            for (char& byte : garbage)
                byte = static_cast<char>(m_random());
            DWORD written = 0;
            done = WriteFile(file.Get(), garbage.data(), static_cast<DWORD>(garbage.size()), &written, nullptr) &&
                   written == garbage.size();
        }
        file.Reset();
        m_damaged = done;
        m_lock.Reset(); // the transaction wrote nothing, so letting go needs no valid file
        if (!done)
            m_error = "cannot damage the file";
        return done;
    }

    // The kept bytes written back in place: while the file cannot be read, every overlay question
    // opens it (for the batch id), so a rename over it would wait for seconds.
    bool Restore()
    {
        const std::wstring keep = m_syncDb + L".keep";
        CHandle from(NullIfInvalid(
            CreateFileW(keep.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
        CHandle to(NullIfInvalid(CreateFileW(m_syncDb.c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, 0, nullptr)));
        LARGE_INTEGER size{};
        std::vector<char> bytes;
        DWORD read = 0, written = 0;
        if (from && to && GetFileSizeEx(from.Get(), &size)) {
            bytes.resize(static_cast<size_t>(size.QuadPart));
            m_damaged = !(ReadFile(from.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                          read == bytes.size() &&
                          WriteFile(to.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                          written == bytes.size() && SetEndOfFile(to.Get()));
        }
        from.Reset();
        DeleteFileW(keep.c_str());
        if (m_damaged)
            m_error = "cannot write the kept copy back";
        return !m_damaged;
    }

    // The module's readers open the file without sharing its deletion, so the rename must find
    // a moment when none has it open; it tries for up to 8 s (the run's watchdog allows 10).
    std::string RenameOver(const std::wstring& from)
    {
        const uint64_t start = GetTickCount64();
        for (int attempt = 1; GetTickCount64() - start < 8000; ++attempt) {
            if (MoveFileExW(from.c_str(), m_syncDb.c_str(), MOVEFILE_REPLACE_EXISTING))
                return "renamed after " + std::to_string(attempt) + " attempt(s) in " +
                       std::to_string(GetTickCount64() - start) + " ms";
            Sleep(1);
        }
        return "error the file stayed open for 8 s: " + std::to_string(GetLastError());
    }

    std::wstring m_syncDb;
    std::mt19937 m_random;
    std::string m_error;
    CSqliteConnection m_lock; // while held exclusively
    bool m_writing = true, m_damaged = false;
    int m_steps = 0, m_rewrites = 0, m_failed = 0;
};

bool WriteLine(HANDLE pipe, const std::string& text)
{
    const std::string line = text + "\n";
    DWORD written = 0;
    return WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) && written == line.size();
}

// One line from the pipe, without its end; false when the other side is gone.
bool ReadLine(HANDLE pipe, std::string* line)
{
    line->clear();
    for (char c;;) {
        DWORD read = 0;
        if (!ReadFile(pipe, &c, 1, &read, nullptr) || read == 0)
            return false;
        if (c == '\n')
            return true;
        *line += c;
    }
}

} // namespace

int RunWriter(const std::wstring& syncDb, uint32_t draw)
{
    const HANDLE commands = GetStdHandle(STD_INPUT_HANDLE), replies = GetStdHandle(STD_OUTPUT_HANDLE);
    CWriter writer(syncDb, draw);
    for (;;) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(commands, nullptr, 0, nullptr, &waiting, nullptr))
            return 1; // the run is gone
        std::string command;
        if (waiting == 0) {
            writer.Step();
            Sleep(20);
        } else if (!ReadLine(commands, &command) || command == "quit" || !WriteLine(replies, writer.Handle(command))) {
            return 0;
        }
    }
}

bool CWriterProcess::Start(const std::wstring& syncDb, uint32_t draw, int items)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr, commands = nullptr, replies = nullptr;
    if (!CreatePipe(&childIn, &commands, &inheritable, 0))
        return false;
    CHandle in(childIn);
    m_commands.Reset(commands);
    if (!CreatePipe(&replies, &childOut, &inheritable, 0))
        return false;
    CHandle out(childOut);
    m_replies.Reset(replies);
    SetHandleInformation(commands, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(replies, HANDLE_FLAG_INHERIT, 0);

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" writer \"" + syncDb + L"\" " + std::to_wstring(draw) +
                               L" " + std::to_wstring(items);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = childOut;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    m_process.Reset(process.hProcess);
    return true;
}

std::string CWriterProcess::Ask(const std::string& command)
{
    std::string reply;
    return m_process && WriteLine(m_commands.Get(), command) && ReadLine(m_replies.Get(), &reply) ? reply : "";
}

CWriterProcess::~CWriterProcess()
{
    if (m_process)
        WriteLine(m_commands.Get(), "quit");
    m_commands.Reset();
    m_replies.Reset();
    if (m_process && WaitForSingleObject(m_process.Get(), 5000) != WAIT_OBJECT_0)
        TerminateProcess(m_process.Get(), 1);
}
