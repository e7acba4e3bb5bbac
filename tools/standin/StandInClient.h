#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "client/ClientContract.h"

// A new folder under the temporary directory, named from the hint, the process and a counter
// (no trailing backslash); empty when it cannot be made.
std::wstring MakeTempFolder(const std::wstring& hint);
// Deletes a folder with everything in it.
bool RemoveFolderTree(const std::wstring& folder);
// A temporary folder that goes, with everything in it, when the object goes.
class CTempFolder {
public:
    explicit CTempFolder(const std::wstring& hint = L"Orbeth") : m_path(MakeTempFolder(hint)) {}
    ~CTempFolder()
    {
        if (!m_path.empty())
            RemoveFolderTree(m_path);
    }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::wstring& Path() const { return m_path; } // empty when it could not be made
    std::wstring Child(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// A stand-in for the sync client in the Wine prefix, made of the real parts the module reads:
// the client's registry key (32-bit view of HKLM), a configuration folder with sync.db and
// dconf.db, and a sync root to put files and folders in. Everything it made is removed when it
// goes. Functions answer false on failure and leave a message in LastError().
class CStandInClient {
public:
    // Makes the folders and the databases (schema, a driveconfig row, batch 1 with no remote
    // folders) and points the registry at them.
    CStandInClient(const wchar_t* user = L"alice@example.org", int shareLink = 3);
    ~CStandInClient();
    CStandInClient(const CStandInClient&) = delete;
    CStandInClient& operator=(const CStandInClient&) = delete;

    bool Ready() const { return m_error.empty(); }
    const std::string& LastError() const { return m_error; }

    // Both with a trailing backslash.
    const std::wstring& RootDir() const { return m_rootDir; }
    const std::wstring& ConfigDir() const { return m_configDir; }
    std::wstring SyncDbPath() const { return m_configDir + L"sync.db"; }
    std::wstring DconfDbPath() const { return m_configDir + L"dconf.db"; }
    // The full path of a relative path with backslashes ("Docs\\a.txt").
    std::wstring PathOf(const std::wstring& relative) const { return m_rootDir + relative; }

    // Registry values of the client's key; a null value is deleted.
    bool SetRegistryValue(const wchar_t* name, const wchar_t* data);
    bool SetRegistryData(const wchar_t* name, const void* data, DWORD bytes);
    static bool DeleteRegistryKey();

    bool MakeFolder(const std::wstring& relative, DWORD attributes = 0);
    bool MakeFile(const std::wstring& relative, DWORD attributes = 0);

    // The item's row in sync.db, keyed by its canonical path ("/docs/a.txt", "/docs/").
    bool SetStatus(const std::wstring& canonicalPath, int status);
    bool RemoveStatus(const std::wstring& canonicalPath);
    // A new batch with this remote_folders text (JSON); answers its id, or -1.
    int AddBatch(const std::wstring& remoteFolders);
    bool ExecSync(const std::wstring& sql);
    bool ExecDconf(const std::wstring& sql);

private:
    bool Exec(const std::wstring& dbPath, const std::wstring& sql);
    bool Fail(const std::string& message);

    CTempFolder m_base{L"Orbeth stand-in"};
    std::wstring m_rootDir;
    std::wstring m_configDir;
    std::string m_error;
};

// The client's status push: a UTF-8 JSON array of {"filepath", "status"} objects sent to a
// window of the file manager, as WM_COPYDATA with the push magic (or another, to play a foreign
// sender) and the text's size with its NUL (less "cut" bytes, to play a broken one). Answers
// SendMessage's result.
LRESULT SendStatusPush(HWND window, const std::string& json, ULONG_PTR magic = ClientContract::PushMagic,
                       DWORD cut = 0);
// Handles this thread's messages as they come until done() is true, for at most 10 s, as a window
// of the file manager must while another thread sends to it.
void PumpMessagesUntil(const std::function<bool()>& done);

// Runs SQL (several statements allowed) on a database file, creating it if needed, waiting up to
// 5 s for a lock as the client does. False with SQLite's message on failure.
bool ExecSqlOnFile(const std::wstring& dbPath, const std::string& utf8Sql, std::string* error);

// The stand-in service "orbethSync", run from orbeth_standin_service.exe beside this program.
// Each transition waits until the service manager reports the new state.
namespace StandInService {

bool Install();
bool Remove();
bool Start();
bool Stop();
bool Pause();
bool Continue();
// The current state, or 0 when the service is not installed.
DWORD State();

} // namespace StandInService
