#include "tools/standin/StandInClient.h"

#include <sqlite3.h>

#include "base/RegistryKey.h"
#include "base/ServiceHandle.h"
#include "base/Utf8.h"
#include "client/ClientContract.h"

namespace {

// Batch ids grow across every stand-in of the process, so a new client never repeats one that
// the module has already seen.
int s_nextBatchId = 1;

std::wstring ModuleDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L'\\') + 1);
}

std::wstring Quoted(const std::wstring& text)
{
    std::wstring quoted = L"'";
    for (wchar_t c : text) {
        quoted += c;
        if (c == L'\'')
            quoted += c;
    }
    return quoted + L"'";
}

} // namespace

CStandInClient::CStandInClient(const wchar_t* user, int shareLink)
{
    m_rootDir = m_base.Child(L"Orbeth Sync\\");
    m_configDir = m_base.Child(L"Config\\");
    if (m_base.Path().empty() || !CreateDirectoryW(m_rootDir.c_str(), nullptr) ||
        !CreateDirectoryW(m_configDir.c_str(), nullptr)) {
        Fail("cannot make the stand-in's folders");
        return;
    }
    const bool made =
        ExecSync(L"CREATE TABLE ea(id INTEGER PRIMARY KEY AUTOINCREMENT, canonical_path TEXT UNIQUE, "
                 L"status INTEGER, uqid TEXT);"
                 L"CREATE TABLE batch(id INTEGER PRIMARY KEY, remote_folders TEXT);") &&
        AddBatch(L"[]") >= 0 &&
        ExecDconf(L"CREATE TABLE driveconfig(user TEXT, share_link INTEGER);"
                  L"INSERT INTO driveconfig VALUES (" +
                  (user ? Quoted(user) : std::wstring(L"NULL")) + L", " + std::to_wstring(shareLink) + L");") &&
        SetRegistryValue(ClientContract::ConfigDirValue, m_configDir.c_str()) &&
        SetRegistryValue(ClientContract::RootDirValue, m_rootDir.c_str());
    if (!made)
        Fail("cannot set up the stand-in client: " + m_error);
}

CStandInClient::~CStandInClient()
{
    DeleteRegistryKey();
}

std::wstring MakeTempFolder(const std::wstring& hint)
{
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH)
        return {};
    static LONG counter = 0;
    // A process of an earlier run may have had the same id and left its folder behind.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::wstring folder = std::wstring(temp) + hint + L" " + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(InterlockedIncrement(&counter));
        if (CreateDirectoryW(folder.c_str(), nullptr))
            return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return {};
}

LRESULT SendStatusPush(HWND window, const std::string& json, ULONG_PTR magic, DWORD cut)
{
    const DWORD size = static_cast<DWORD>(json.size() + 1);
    COPYDATASTRUCT data{magic, cut < size ? size - cut : 0, const_cast<char*>(json.c_str())};
    return SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
}

void PumpMessagesUntil(const std::function<bool()>& done)
{
    for (const DWORD until = GetTickCount() + 10000; !done() && GetTickCount() < until;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
}

bool RemoveFolderTree(const std::wstring& folder)
{
    // In the extended-length form: tests make paths longer than MAX_PATH, which the shell's own
    // delete leaves behind.
    const std::wstring base = folder.rfind(L"\\\\?\\", 0) == 0 ? folder : L"\\\\?\\" + folder;
    bool removed = true;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((base + L"\\*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring name = found.cFileName, path = base + L"\\" + name;
        if (name == L"." || name == L"..")
            continue;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL); // read-only or hidden items included
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            removed &= RemoveFolderTree(path);
        else
            removed &= DeleteFileW(path.c_str()) != FALSE;
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    SetFileAttributesW(base.c_str(), FILE_ATTRIBUTE_NORMAL);
    return RemoveDirectoryW(base.c_str()) && removed;
}

bool CStandInClient::Fail(const std::string& message)
{
    m_error = message;
    return false;
}

bool CStandInClient::SetRegistryValue(const wchar_t* name, const wchar_t* data)
{
    if (!data) {
        CRegistryKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, ClientContract::RegistryKeyPath,
                     KEY_SET_VALUE | ClientContract::RegistryView) != ERROR_SUCCESS)
            return true;
        const LONG result = RegDeleteValueW(key.Get(), name);
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND || Fail("cannot delete a registry value");
    }
    return SetRegistryData(name, data, static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t)));
}

bool CStandInClient::SetRegistryData(const wchar_t* name, const void* data, DWORD bytes)
{
    CRegistryKey key;
    if (key.Create(HKEY_LOCAL_MACHINE, ClientContract::RegistryKeyPath, KEY_SET_VALUE | ClientContract::RegistryView) !=
        ERROR_SUCCESS)
        return Fail("cannot create the client's registry key");
    if (RegSetValueExW(key.Get(), name, 0, REG_SZ, static_cast<const BYTE*>(data), bytes) != ERROR_SUCCESS)
        return Fail("cannot write a registry value");
    return true;
}

bool CStandInClient::DeleteRegistryKey()
{
    const LONG result =
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ClientContract::RegistryKeyPath, ClientContract::RegistryView, 0);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool CStandInClient::MakeFolder(const std::wstring& relative, DWORD attributes)
{
    const std::wstring path = PathOf(relative);
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return Fail("cannot make a folder");
    return !attributes || SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_DIRECTORY) ||
           Fail("cannot set a folder's attributes");
}

bool CStandInClient::MakeFile(const std::wstring& relative, DWORD attributes)
{
    HANDLE file = CreateFileW(PathOf(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              attributes ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail("cannot make a file");
    CloseHandle(file);
    return true;
}

bool CStandInClient::SetStatus(const std::wstring& canonicalPath, int status)
{
    return ExecSync(L"INSERT INTO ea(canonical_path, status, uqid) VALUES (" + Quoted(canonicalPath) + L", " +
                    std::to_wstring(status) + L", 'u" + std::to_wstring(status) +
                    L"') ON CONFLICT(canonical_path) DO UPDATE SET status = excluded.status;");
}

bool CStandInClient::RemoveStatus(const std::wstring& canonicalPath)
{
    return ExecSync(L"DELETE FROM ea WHERE canonical_path = " + Quoted(canonicalPath) + L";");
}

int CStandInClient::AddBatch(const std::wstring& remoteFolders)
{
    const int id = s_nextBatchId++;
    return ExecSync(L"INSERT INTO batch VALUES (" + std::to_wstring(id) + L", " + Quoted(remoteFolders) + L");") ? id
                                                                                                                 : -1;
}

bool CStandInClient::ExecSync(const std::wstring& sql)
{
    return Exec(SyncDbPath(), sql);
}

bool CStandInClient::ExecDconf(const std::wstring& sql)
{
    return Exec(DconfDbPath(), sql);
}

bool CStandInClient::Exec(const std::wstring& dbPath, const std::wstring& sql)
{
    std::string text, error;
    if (!WideToUtf8(sql, &text))
        return Fail("text that is not UTF-16");
    return ExecSqlOnFile(dbPath, text, &error) || Fail("SQLite: " + error);
}

bool ExecSqlOnFile(const std::wstring& dbPath, const std::string& utf8Sql, std::string* error)
{
    std::string path;
    if (!WideToUtf8(dbPath, &path)) {
        *error = "a path that is not UTF-16";
        return false;
    }
    sqlite3* db = nullptr;
    int result = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (result == SQLITE_OK) {
        // The module reads while the stand-in writes, as with the real client.
        sqlite3_busy_timeout(db, 5000);
        result = sqlite3_exec(db, utf8Sql.c_str(), nullptr, nullptr, nullptr);
    }
    *error = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return result == SQLITE_OK;
}

namespace StandInService {

namespace {

bool WaitForState(SC_HANDLE service, DWORD wanted)
{
    for (int i = 0; i < 200; ++i) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status))
            return false;
        if (status.dwCurrentState == wanted)
            return true;
        Sleep(50);
    }
    return false;
}

bool Control(DWORD control, DWORD wanted)
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    CServiceHandle service(manager ? OpenServiceW(manager.Get(), ClientContract::ServiceName, SERVICE_ALL_ACCESS)
                                   : nullptr);
    if (!service)
        return false;
    SERVICE_STATUS status{};
    if (control == 0) {
        if (!StartServiceW(service.Get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            return false;
    } else if (!ControlService(service.Get(), control, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        return false;
    }
    return WaitForState(service.Get(), wanted);
}

} // namespace

bool Install()
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return false;
    if (CServiceHandle existing(OpenServiceW(manager.Get(), ClientContract::ServiceName, SERVICE_QUERY_STATUS));
        existing)
        return true;
    const std::wstring binary = L"\"" + ModuleDirectory() + L"orbeth_standin_service.exe\"";
    CServiceHandle service(CreateServiceW(manager.Get(), ClientContract::ServiceName, L"Orbeth sync (stand-in)",
                                          SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                          SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr, nullptr,
                                          nullptr));
    return static_cast<bool>(service);
}

bool Remove()
{
    Stop();
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CServiceHandle service(manager ? OpenServiceW(manager.Get(), ClientContract::ServiceName, DELETE) : nullptr);
    if (!service)
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    return DeleteService(service.Get()) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

bool Start()
{
    // A paused service counts as started for the service manager, but not for the module.
    if (State() == SERVICE_PAUSED)
        return Continue();
    return Control(0, SERVICE_RUNNING);
}

bool Stop()
{
    return Control(SERVICE_CONTROL_STOP, SERVICE_STOPPED);
}

bool Pause()
{
    return Control(SERVICE_CONTROL_PAUSE, SERVICE_PAUSED);
}

bool Continue()
{
    return Control(SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING);
}

DWORD State()
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    CServiceHandle service(manager ? OpenServiceW(manager.Get(), ClientContract::ServiceName, SERVICE_QUERY_STATUS)
                                   : nullptr);
    SERVICE_STATUS status{};
    return service && QueryServiceStatus(service.Get(), &status) ? status.dwCurrentState : 0;
}

} // namespace StandInService
