// The sync client as the module finds it: the answers come from the module's own readers.
#include <windows.h>

#include <json/json.h>

#include "client/ClientConfig.h"
#include "client/ClientContract.h"
#include "client/ClientDbReader.h"
#include "client/ServiceMonitor.h"
#include "doctor/Checks.h"
#include "doctor/Machine.h"
#include "doctor/Report.h"

using namespace ClientContract;

namespace {

constexpr DWORD ConnectTimeoutMs = 2000;
// A write of the client holds its database for moments; longer than this, it is worth a look.
constexpr DWORD BusyWaitMs = 2000;
constexpr DWORD BusyRetryMs = 100;

std::string ServiceStateText(int32_t state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return "stopped";
    case SERVICE_START_PENDING:
        return "starting";
    case SERVICE_STOP_PENDING:
        return "stopping";
    case SERVICE_RUNNING:
        return "running";
    case SERVICE_CONTINUE_PENDING:
        return "continuing";
    case SERVICE_PAUSE_PENDING:
        return "pausing";
    case SERVICE_PAUSED:
        return "paused";
    default:
        return "not installed, or its state cannot be read";
    }
}

// A folder the client's key names: its value, and whether it is there. False when it is not.
bool CheckFolder(CReport& report, REGSAM view, const wchar_t* value, const char* what, const char* key,
                 std::wstring* folder)
{
    Json::Value& facts = report.Facts()[key];
    if (!Machine::ReadString(HKEY_LOCAL_MACHINE, RegistryKeyPath, value, folder, view)) {
        facts["exists"] = false;
        report.Add(CReport::Problem, std::string(what) + ": the key has no value " + Narrow(value),
                   "repair or reinstall the Orbeth client, which writes it");
        return false;
    }
    const DWORD attributes = GetFileAttributesW(folder->c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    facts["path"] = Narrow(*folder);
    facts["exists"] = exists;
    if (!exists)
        report.Add(CReport::Problem,
                   std::string(what) + " " + Narrow(*folder) + " (" + Narrow(value) +
                       "): " + (attributes == INVALID_FILE_ATTRIBUTES ? "does not exist" : "is a file, not a folder"),
                   "start the Orbeth client, which makes it, or choose the folder again in its settings");
    else
        report.Add(CReport::Fact, std::string(what) + " " + Narrow(*folder) + " (" + Narrow(value) + "): exists");
    if (!folder->empty() && folder->back() != L'\\')
        *folder += L'\\';
    return exists;
}

// A database of the configuration folder: whether the module's reader opens it. The path when it
// does. A lock the client holds while it writes is waited out for a while, then only warned of.
bool OpensReadOnly(CReport& report, const std::wstring& folder, const wchar_t* file, Json::Value* facts,
                   std::wstring* path)
{
    *path = folder + file;
    (*facts)["path"] = Narrow(*path);
    const bool exists = GetFileAttributesW(path->c_str()) != INVALID_FILE_ATTRIBUTES;
    using Opens = CClientDbReader::Opens;
    Opens opens = Opens::No;
    for (const ULONGLONG until = GetTickCount64() + BusyWaitMs; exists;) {
        opens = CClientDbReader::GetInstance().Probe(path->c_str());
        if (opens != Opens::Busy || GetTickCount64() >= until)
            break;
        Sleep(BusyRetryMs);
    }
    (*facts)["exists"] = exists;
    (*facts)["opens_read_only"] = opens == Opens::Yes;
    (*facts)["busy"] = opens == Opens::Busy;
    if (!exists)
        report.Add(CReport::Problem, Narrow(file) + ": not found in " + Narrow(folder),
                   "start the Orbeth client and sign in: it makes its databases there");
    else if (opens == Opens::Busy)
        report.Add(CReport::Warning,
                   Narrow(file) + ": busy: the client is writing it, and held it locked for the " +
                       std::to_string(BusyWaitMs / 1000) + " s the doctor waited; nothing of it was read",
                   "run the doctor again in a moment; if it stays busy, quit the Orbeth client and start it again");
    else if (opens == Opens::No)
        report.Add(CReport::Problem,
                   Narrow(file) + ": does not open read-only as a SQLite database (not one, or damaged)",
                   "quit the Orbeth client and start it again; if this stays, repair or reinstall it");
    return opens == Opens::Yes;
}

void CheckDatabases(CReport& report, const std::wstring& configDir)
{
    CClientDbReader& reader = CClientDbReader::GetInstance();
    std::wstring path;
    Json::Value& sync = report.Facts()["sync_db"];
    if (OpensReadOnly(report, configDir, SyncDbFile, &sync, &path)) {
        const int batch = reader.GetMaxBatchId(path.c_str());
        std::wstring text;
        Json::Value folders;
        Json::CharReaderBuilder builder;
        builder["stackLimit"] = MaxJsonNesting;
        std::string utf8 = reader.GetLatestRemoteFolders(path.c_str(), &text) ? Narrow(text) : "";
        const std::unique_ptr<Json::CharReader> parser(builder.newCharReader());
        const bool listed =
            parser->parse(utf8.data(), utf8.data() + utf8.size(), &folders, nullptr) && folders.isArray();
        sync["latest_batch"] = batch;
        sync["remote_folders"] = listed ? static_cast<int>(folders.size()) : -1;
        const std::string line = Narrow(SyncDbFile) + ": opens read-only";
        if (batch < 0)
            report.Add(CReport::Warning, line + ", but its batches cannot be read",
                       "quit the Orbeth client and start it again");
        else
            report.Add(CReport::Fact, line + "; latest batch " + std::to_string(batch) + ", " +
                                          (listed ? std::to_string(folders.size()) : "unreadable") +
                                          (folders.size() == 1 ? " remote folder" : " remote folders"));
    }

    Json::Value& dconf = report.Facts()["dconf_db"];
    if (OpensReadOnly(report, configDir, DconfDbFile, &dconf, &path)) {
        std::wstring user;
        const bool signedIn = reader.GetDriveUser(path.c_str(), &user) && !user.empty();
        const int flags = reader.GetShareLinkFlags(path.c_str());
        dconf["user"] = Narrow(user);
        dconf["share_files"] = (flags & ShareLinkFiles) != 0;
        dconf["share_folders"] = (flags & ShareLinkFolders) != 0;
        const std::string sharing = std::string("sharing of files ") + (flags & ShareLinkFiles ? "on" : "off") +
                                    ", of folders " + (flags & ShareLinkFolders ? "on" : "off");
        if (signedIn)
            report.Add(CReport::Fact,
                       Narrow(DconfDbFile) + ": opens read-only; signed in as " + Narrow(user) + "; " + sharing);
        else
            report.Add(CReport::Problem,
                       Narrow(DconfDbFile) + ": opens read-only, but no user is signed in to the client (" + sharing +
                           "); the module shows badges only while one is",
                       "sign in to the Orbeth client");
    }
}

} // namespace

void CheckClient(CReport& report)
{
    const std::string keyName = "HKLM\\" + Narrow(RegistryKeyPath);
    report.Begin("client", "Client (the Orbeth desktop sync client)");
    Json::Value& facts = report.Facts();
    REGSAM view = RegistryView;
    if (Machine::KeyExists(HKEY_LOCAL_MACHINE, RegistryKeyPath, RegistryView)) {
        facts["registry_key"] = "32-bit view";
        report.Add(CReport::Fact, "Registry key " + keyName + ": found in the 32-bit view, where the module reads it");
    } else if (Machine::KeyExists(HKEY_LOCAL_MACHINE, RegistryKeyPath, KEY_WOW64_64KEY)) {
        facts["registry_key"] = "64-bit view only";
        view = KEY_WOW64_64KEY;
        report.Add(CReport::Problem,
                   "Registry key " + keyName +
                       ": found only in the 64-bit view; the module reads only the 32-bit view (on 64-bit Windows, "
                       "HKLM\\Software\\WOW6432Node\\" +
                       Narrow(RegistryKeyPath).substr(Narrow(RegistryKeyPath).find('\\') + 1) + ")",
                   "reinstall the Orbeth client, whose installer writes the 32-bit view; or copy the key there, as "
                   "administrator: reg export \"" +
                       keyName + "\" orbeth.reg /reg:64, then reg import orbeth.reg /reg:32");
    } else {
        facts["registry_key"] = "missing";
        report.Add(CReport::Problem, "Registry key " + keyName + ": not found, in either view",
                   "install (or repair) the Orbeth desktop sync client");
    }

    if (facts["registry_key"] != "missing") {
        std::wstring root, config;
        CheckFolder(report, view, RootDirValue, "Root folder", "root_dir", &root);
        // The module's own answer: it refuses what it cannot use (a value longer than MAX_PATH).
        if (view == RegistryView && GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES &&
            !CClientConfig::GetInstance().CopyRootDir(nullptr))
            report.Add(CReport::Problem, "Root folder: the module cannot use the value (longer than 260 characters?)",
                       "choose a shorter sync folder in the Orbeth client's settings");
        if (CheckFolder(report, view, ConfigDirValue, "Configuration folder", "config_dir", &config))
            CheckDatabases(report, config);
    }

    const int32_t state = ServiceMonitor::QueryServiceState(ServiceName);
    facts["service_state"] = ServiceStateText(state);
    const std::string service = "Service " + Narrow(ServiceName) + ": " + ServiceStateText(state);
    if (state == SERVICE_RUNNING)
        report.Add(CReport::Fact, service);
    else if (state < 0)
        report.Add(CReport::Problem, service + "; the module shows badges only while it runs",
                   "install (or repair) the Orbeth desktop sync client");
    else
        report.Add(CReport::Problem, service + "; the module shows badges only while it runs",
                   "start the Orbeth client, or as administrator: net start " + Narrow(ServiceName));

    const std::string endpoint = Narrow(LocalHost) + ":" + std::to_string(LocalPort);
    const bool listening = Machine::AcceptsConnection(LocalHost, LocalPort, ConnectTimeoutMs);
    facts["local_service_accepts"] = listening;
    if (listening)
        report.Add(CReport::Fact, "Local web service " + endpoint + ": accepts connections (only connected to)");
    else
        report.Add(CReport::Warning,
                   "Local web service " + endpoint +
                       ": nothing accepts connections, so the menu's Share and Copy link reach nobody",
                   "start the Orbeth client, whose local web service listens there");
}
