#include <gtest/gtest.h>
#include <json/json.h>
#include <shlobj.h>
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OrbethExtensions_h.h"
#include "base/RegistryKey.h"
#include "base/Utf8.h"
#include "client/ClientContract.h"
#include "client/SqliteDb.h"
#include "tests/support/ClientEnvironment.h"
#include "tools/standin/LoadedExtension.h"
#include "tools/standin/Program.h"
#include "tools/standin/StandInWebService.h"

namespace {

const wchar_t Identifiers[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";
const wchar_t Approved[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const wchar_t CurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t ActiveSetup[] =
    L"SOFTWARE\\Microsoft\\Active Setup\\Installed Components\\{0A1B2C3D-0000-4000-8000-0000000000AB}";
// The package manager's record of the package registered for this user, as the doctor reads it where the
// package manager cannot be asked (under Wine).
const wchar_t Package[] = L"Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppModel\\"
                          L"Repository\\Packages\\Orbeth.Extensions_1.0.0.0_x64__4a1dzq9cyq9xe";

// orbeth-doctor.exe run as a user runs it, a process of its own: its exit code and output.
std::pair<DWORD, std::string> RunDoctor(const std::vector<std::wstring>& arguments, const std::wstring& folder = {})
{
    std::string output;
    const DWORD exitCode =
        RunProgramBeside(L"orbeth-doctor.exe", arguments, &output, folder.empty() ? nullptr : folder.c_str());
    return {exitCode, output};
}

Json::Value Parsed(const std::string& text)
{
    Json::Value root;
    std::unique_ptr<Json::CharReader>(Json::CharReaderBuilder().newCharReader())
        ->parse(text.data(), text.data() + text.size(), &root, nullptr);
    return root;
}

bool SetString(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring& text)
{
    return RegSetKeyValueW(root, key, name, REG_SZ, text.c_str(), DWORD(2 * (text.size() + 1))) == ERROR_SUCCESS;
}

// The Windows build, and the package registered for this user at a folder, or not at all.
bool Windows(const wchar_t* build, const std::wstring& packageAt = {})
{
    return SetString(HKEY_LOCAL_MACHINE, CurrentVersion, L"CurrentBuildNumber", build) &&
           (packageAt.empty() || SetString(HKEY_CURRENT_USER, Package, L"PackageRootFolder", packageAt));
}

HRESULT CallExport(const std::wstring& dll, const char* name)
{
    CLoadedExtension loaded(dll.c_str());
    const auto call = loaded.Export<HRESULT(STDAPICALLTYPE*)()>(name);
    return call ? call() : E_FAIL;
}

// What a row breaks in the setup where everything is in place, and the arguments it gives, in
// the doctor's current folder.
struct CSetup {
    CSetup(CStandInClient& c, CStandInWebService& w) : client(c), web(w) {}
    CStandInClient& client;
    CStandInWebService& web;
    std::vector<std::wstring> arguments;
    std::wstring folder;
    CSqliteDb holder;               // a connection of "the client" that holds a database locked
    std::vector<std::string> lines; // what the report must say: the row's, and what the setup adds
};

// A class of another program: its file is found where LoadLibrary looks.
const wchar_t OtherClass[] = L"{0A1B2C3D-0000-4000-8000-0000000000EE}";

// Other programs' identifiers, sorted before ours; those whose class is not registered do not load.
bool OtherIdentifiers(int loading, int notLoading)
{
    const std::wstring server = L"Software\\Classes\\CLSID\\" + std::wstring(OtherClass) + L"\\InprocServer32";
    bool made = SetString(HKEY_LOCAL_MACHINE, server.c_str(), nullptr, L"shell32.dll");
    for (int i = 0; i < loading + notLoading; ++i) {
        const std::wstring clsid = i < notLoading ? L"{0}" : OtherClass;
        made &= SetString(HKEY_LOCAL_MACHINE, (Identifiers + (L"\\    Other" + std::to_wstring(10 + i))).c_str(),
                          nullptr, clsid);
    }
    return made;
}

// One setup per row, made afresh: the stand-in client and its service, its web service, and the
// module registered; then the row breaks one thing and reads the doctor's report of it.
TEST(DoctorTest, EachSetupGetsItsExitCodeAndTheLinesThatSayWhatIsWrong)
{
    enum Registration { Registered, FileGone, Unregistered, Moved };
    const std::wstring key = ClientContract::RegistryKeyPath;
    // Moved: the DLL registered from a copy in a folder whose name PowerShell must have quoted.
    const CTempFolder moved(L"O'Neil");
    std::string quoted;
    ASSERT_TRUE(WideToUtf8(moved.Path(), &quoted));
    quoted.replace(quoted.find("O'Neil"), 6, "O''Neil");
    const std::wstring okKey = L"Software\\Classes\\CLSID\\{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}"; // in-sync
    std::wstring beside = Beside(L"");
    CharUpperBuffW(beside.data(), DWORD(beside.size()));
    const struct {
        const char* setup;
        std::function<bool(CSetup&)> change;
        DWORD exitCode;
        std::vector<std::string> lines;
        Registration registration = Registered;
        std::function<bool(const Json::Value&)> json = nullptr; // when the row reads the JSON too
        // clang-format off
    } rows[] = {
        {"all in place", nullptr, 0, {"Classes: all 5 registered, threading model Apartment, in ", "OrbethExtensions.dll: found, version 1.", "(the doctor's too)",
            "Approved shell extensions: all 4", "registered for files (*) and folders (Directory)", "  1 used     \"   001OrbethOk\" (ours",
            "found in the 32-bit view", "latest batch", "signed in as alice@example.org; sharing of files on, of folders on",
            "Service orbethSync: running", "127.0.0.1:8806: accepts connections", "Summary\n  Badges can show.\n"}, Registered,
            [](const Json::Value& facts) { return facts["client"]["service_state"] == "running"; }},
        {"no client key", [](CSetup&) { return CStandInClient::DeleteRegistryKey(); }, 1,
            {"PROBLEM: Registry key HKLM\\Software\\Orbeth Desktop Sync: not found, in either view"}},
        {"the key only in the 64-bit view", [&](CSetup& s) {
            CRegistryKey wide;
            return CStandInClient::DeleteRegistryKey() && wide.Create(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WRITE | KEY_WOW64_64KEY) == 0 &&
                   RegSetValueExW(wide.Get(), L"root_dir", 0, REG_SZ, reinterpret_cast<const BYTE*>(s.client.RootDir().c_str()), 2 * DWORD(s.client.RootDir().size() + 1)) == 0;
         }, 1, {"found only in the 64-bit view", "(on 64-bit Windows, HKLM\\Software\\WOW6432Node\\Orbeth Desktop Sync)",
                "reg import orbeth.reg /reg:32", "Summary\n  Badges cannot show: Registry key"}},
        {"the root missing", [](CSetup& s) { return s.client.SetRegistryValue(L"root_dir", L"C:\\Gone\\Orbeth"); }, 1,
            {"PROBLEM: Root folder C:\\Gone\\Orbeth (root_dir): does not exist"}},
        {"sync.db missing", [](CSetup& s) { return DeleteFileW(s.client.SyncDbPath().c_str()) != 0; }, 1, {"PROBLEM: sync.db: not found in"}},
        {"sync.db not a database", [](CSetup& s) { return CopyFileW(Beside(L"OrbethExtensions.dll").c_str(), s.client.SyncDbPath().c_str(), FALSE) != 0; }, 1,
            {"PROBLEM: sync.db: does not open read-only as a SQLite database"}},
        {"sync.db locked by the client while the doctor runs", [](CSetup& s) {
            return s.holder.Open(s.client.SyncDbPath().c_str(), SQLITE_OPEN_READWRITE) && s.holder.Prepare(L"BEGIN EXCLUSIVE") && !s.holder.Step();
         }, 0, {"WARNING: sync.db: busy: the client is writing it", "What to do: run the doctor again in a moment",
                "signed in as alice@example.org", "Summary\n  Badges can show. Yet: sync.db: busy"}, Registered,
            [](const Json::Value& facts) { return facts["client"]["sync_db"]["busy"] == true && facts["client"]["dconf_db"]["busy"] == false; }},
        {"a per-user registration naming a file that is gone", [&](CSetup&) { return SetString(HKEY_CURRENT_USER, (okKey + L"\\InprocServer32").c_str(), nullptr, L"C:\\Gone\\OrbethExtensions.dll"); }, 1,
            {"WARNING: In-sync overlay {", ": registered for this user too, at HKCU\\" + Utf8(okKey) + ", which overrides the machine's registration for this user (which names ",
             "PROBLEM: C:\\Gone\\OrbethExtensions.dll: does not exist", "What to do: delete the per-user registration that names it, as this user, in a command prompt: reg delete \"HKCU\\" + Utf8(okKey) + "\" /f",
             "Summary\n  The in-sync badge cannot show: C:\\Gone\\OrbethExtensions.dll: does not exist"}, Registered,
            [&](const Json::Value& f) { // the in-sync class, second in the table; the DLL the others name checked once
                return f["module"]["classes"][1]["per_user_key"] == "HKCU\\" + Utf8(okKey) && f["module"]["files"].size() == 2; }},
        {"a per-user registration naming the DLL", [&](CSetup&) { return SetString(HKEY_CURRENT_USER, (okKey + L"\\InprocServer32").c_str(), nullptr, Beside(L"OrbethExtensions.dll")) &&
                                                                   SetString(HKEY_CURRENT_USER, (okKey + L"\\InprocServer32").c_str(), L"ThreadingModel", L"Apartment") &&
                                                                   SetString(HKEY_CURRENT_USER, (Identifiers + std::wstring(L"\\ Mine")).c_str(), nullptr, L"{0}"); }, 0,
            {"OrbethExtensions.dll, threading model Apartment\n", "Identifiers under HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers are not listed",
             "Summary\n  Badges can show. Yet: In-sync overlay {"}},
        {"no user", [](CSetup& s) { return s.client.ExecDconf(L"UPDATE driveconfig SET user = NULL"); }, 1,
            {"PROBLEM: dconf.db: opens read-only, but no user is signed in", "What to do: sign in"}},
        {"the service stopped", [](CSetup&) { return StandInService::Stop(); }, 1,
            {"PROBLEM: Service orbethSync: stopped", "net start orbethSync"}, Registered,
            [](const Json::Value& facts) { return facts["client"]["service_state"] == "stopped"; }},
        {"nothing listening on 8806", [](CSetup& s) { return s.web.Stop(), true; }, 0,
            {"Summary\n  Badges can show. Yet: Local web service 127.0.0.1:8806: nothing accepts connections"}},
        {"12 other identifiers before ours", [](CSetup&) { return OtherIdentifiers(12, 0); }, 0,
            {" 11 used     \"    Other20\"", " 12 at risk  \"    Other21\"", " 13 at risk  \"   001OrbethOk\"", "WARNING: Near the end of the 15 slots, so perhaps not shown (Windows keeps some of them for its own overlays): "
             "\"   001OrbethOk\" (In-sync overlay) at 13, \"   002OrbethPending\" (Waiting overlay) at 14, \"   003OrbethError\" (Failed overlay) at 15.",
             "Before them: 12 identifiers of other programs that load, 0 that do not", "Summary\n  Badges can show. Yet: Near the end"}},
        {"13 other identifiers before ours", [](CSetup&) { return OtherIdentifiers(13, 0); }, 1,
            {"PROBLEM: Past the 15 slots, so never shown: \"   003OrbethError\" (Failed overlay) at 16. Before them: 13 identifiers",
             "Summary\n  The failed badge cannot show: Past the 15 slots"}, Registered,
            [](const Json::Value& facts) { return facts["summary"]["badges_that_cannot_show"] == Parsed(R"(["error"])"); }},
        {"15 other identifiers before ours", [](CSetup&) { return OtherIdentifiers(15, 0); }, 1,
            {" 16 unused   \"   001OrbethOk\"", "Summary\n  Badges cannot show: Past the 15 slots, so never shown: \"   001OrbethOk\" (In-sync overlay) at 16,"}},
        {"11 other identifiers, 3 that do not load", [](CSetup&) { return OtherIdentifiers(8, 3); }, 0,
            {"    no slot  \"    Other10\": does not load, its class {0} is not registered", "  8 used     \"    Other20\"",
             "Ours that load are all within the first 11 slots", "Counted with the identifiers that do not load, ours would stand at 12, 13, 14",
             "remove the identifiers that do not load (they show nothing), for example reg delete \"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers\\    Other10\" /f; "
             "remove those of programs no longer in use, for example reg delete \"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers\\    Other13\" /f"}},
        {"the registered DLL missing", nullptr, 1, {"OrbethExtensions.dll: does not exist (moved or deleted after it was registered)"}, FileGone},
        {"the module not registered", nullptr, 1, {"PROBLEM: Not registered: none of the module's 5 classes",
            "PROBLEM: None of the module's overlays has an identifier"}, Unregistered},
        {"odd paths", [](CSetup& s) {
            s.arguments = {s.client.PathOf(L"missing.txt"), L"C:\\" + std::wstring(32000, L'a'), L"CON", L"C:\\x\\com1.txt", L"\\\\.\\PhysicalDrive0",
                           L"\\\\host\\share\\x.txt", L"", s.client.DconfDbPath()};
            return true;
         }, 0, {"Badge: none. Step by step:\n    - the service orbethSync runs\n    - under the client's root folder",
                "it does not exist (its attributes cannot be read)\n  Menu, this path alone: inactive",
                "32003 characters long", "Names the device CON", "Names the device COM1", "Names the device PhysicalDrive0", "A network path: not opened", "An empty path",
                "not under the client's root folder", "Menu, this path alone: refused"}},
        {"paths as people type them", [&](CSetup& s) {
            const std::wstring file = s.client.PathOf(L"ok.txt"), folder = s.client.PathOf(L"Docs");
            std::wstring slashes = file;
            std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
            // "C:\...\Docs\" typed in a prompt arrives as C:\...\Docs"
            s.arguments = {slashes, L"\\\\?\\" + file, L"ok.txt", L"  " + file + L"  ", folder + L"\"", L"\\\\?\\UNC\\host\\share\\x.txt"};
            s.folder = s.client.RootDir();
            const std::wstring judged[] = {file, file, file, file, folder, L"\\\\host\\share\\x.txt"};
            for (size_t i = 0; i < std::size(judged); ++i)
                s.lines.push_back("Path " + Utf8(s.arguments[i]) + ", judged as " + Utf8(judged[i]) + (i < 5 ? "\n  Badge: in sync." : "\n  A network path"));
            return s.client.MakeFile(L"ok.txt") && s.client.MakeFolder(L"Docs") && s.client.SetStatus(L"/ok.txt", 2) && s.client.SetStatus(L"/docs/", 2);
         }, 0, {}, Registered, [](const Json::Value& f) { return f["paths"][2]["judged_path"].asString().find("Sync\\ok.txt") != std::string::npos && f["paths"][2]["badge"] == "ok"; }},
        {"long paths cut between characters", [](CSetup& s) {
            // Cut at 120 units, each would fall inside a character: a pair of surrogates, a letter and its accent.
            const std::wstring start = s.client.RootDir() + std::wstring(119 - s.client.RootDir().size(), L'\u00C9');
            // And half a pair, alone: only it is replaced.
            s.arguments = {start + L"\U0001F600" + std::wstring(10, L'x'), start + L"e\u0301" + std::wstring(10, L'x'),
                           start.substr(0, 70) + L"\xD800\u00C9.txt"};
            s.lines.insert(s.lines.end(), {"Path " + Utf8(start) + "... (130 characters)\n", "Path " + Utf8(start) + "... (131 characters)\n",
                                           "Path " + Utf8(start.substr(0, 70)) + "\uFFFD\u00C9.txt"});
            return true;
         }, 0, {}},
        {"Windows 11, the package at the DLL's folder, in other case and with a backslash", [&](CSetup&) { return Windows(L"22000", beside); }, 0,
            {"Windows 11 package Orbeth.Extensions 1.0.0.0: registered for this user, at ", "Summary\n  Badges can show.\n"}, Registered,
            [](const Json::Value& facts) { return facts["package"]["registered"] == true && facts["package"]["version"] == "1.0.0.0" && facts["package"]["windows_build"].asUInt() == 22000; }},
        {"Windows 11 without the package", [](CSetup&) { return Windows(L"22000") && SetString(HKEY_LOCAL_MACHINE, ActiveSetup, L"StubPath", L"powershell -Command \"Add-AppxPackage -Path 'C:\\Orbeth\\orbeth.MSIX'\""); }, 0,
            {"  WARNING: Windows 11 package Orbeth.Extensions: not registered for this user", "signing out and in again may be enough",
             "powershell -NoProfile -ExecutionPolicy Bypass -Command \"Add-AppxPackage -Path '" + quoted + "\\Orbeth.msix' -ExternalLocation '" + quoted + "'\""}, Moved},
        {"Windows 11, the package at another folder", [](CSetup&) { return Windows(L"22631", L"C:\\Program Files\\Orbeth"); }, 0,
            {"  WARNING: Windows 11 package Orbeth.Extensions 1.0.0.0: registered for this user at C:\\Program Files\\Orbeth, but the registered DLL is in " + quoted.substr(0, quoted.find("'")),
             "powershell -NoProfile -Command \"Get-AppxPackage -Name 'Orbeth.Extensions' | Remove-AppxPackage\", then powershell -NoProfile -ExecutionPolicy Bypass -Command \"Add-AppxPackage -Path '" + quoted}, Moved},
        {"Windows 10, the package anywhere", [](CSetup&) { return Windows(L"21999", L"C:\\Elsewhere"); }, 0,
            {"Windows build 21999, before Windows 11: the file manager has no first context menu there", "Summary\n  Badges can show.\n"}},
    };
    // clang-format on
    std::wstring build(16, L'\0'); // the prefix's own, put back after each row
    DWORD bytes = DWORD(2 * build.size());
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, CurrentVersion, L"CurrentBuildNumber", RRF_RT_REG_SZ, nullptr,
                           build.data(), &bytes),
              0);
    build.resize(bytes / 2 - 1);
    CRegistryKey approved; // Windows always has it; a fresh prefix may not
    ASSERT_EQ(approved.Create(HKEY_LOCAL_MACHINE, Approved, KEY_WRITE), ERROR_SUCCESS);
    ASSERT_TRUE(StandInService::Install());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.setup);
        {
            CStandInClient client;
            CStandInWebService web;
            const bool copied = row.registration == FileGone || row.registration == Moved;
            const std::wstring dll = copied ? moved.Child(L"OrbethExtensions.dll") : Beside(L"OrbethExtensions.dll");
            ASSERT_TRUE(client.Ready() && web.Ready() && StandInService::Start());
            ASSERT_TRUE(!copied || CopyFileW(Beside(L"OrbethExtensions.dll").c_str(), dll.c_str(), FALSE));
            ASSERT_TRUE(row.registration == Unregistered || CallExport(dll, "DllRegisterServer") == S_OK);
            ASSERT_TRUE(row.registration != FileGone || DeleteFileW(dll.c_str()));
            CSetup setup(client, web);
            setup.lines = row.lines;
            ASSERT_TRUE(!row.change || row.change(setup));
            const auto [exitCode, output] = RunDoctor(setup.arguments, setup.folder);
            EXPECT_EQ(exitCode, row.exitCode) << output;
            for (const std::string& line : setup.lines)
                EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
            if (row.json) {
                setup.arguments.push_back(L"--json");
                const auto [jsonExit, json] = RunDoctor(setup.arguments, setup.folder);
                const Json::Value facts = Parsed(json);
                EXPECT_TRUE(jsonExit == row.exitCode && facts["summary"]["exit_code"].asUInt() == row.exitCode &&
                            facts["summary"]["badges_can_show"] == (row.exitCode == 0) && row.json(facts) &&
                            facts["module"]["files"][0]["version"] == facts["module"]["doctor_version"])
                    << json;
            }
        }
        CallExport(Beside(L"OrbethExtensions.dll"), "DllUnregisterServer");
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
        RegDeleteKeyW(HKEY_CURRENT_USER, Package);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, ActiveSetup);
        EXPECT_TRUE(Windows(build.c_str()));
        for (int i = 10; i < 25; ++i)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, (Identifiers + (L"\\    Other" + std::to_wstring(i))).c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\CLSID\\" + std::wstring(OtherClass)).c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, okKey.c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, Identifiers);
    }
    EXPECT_EQ(RunDoctor({L"--bogus"}).first, 2u);
}

// The badge the doctor tells for each path of a sample tree is the one the DLL's overlays claim.
class DoctorAgreementTest : public ClientEnvironmentTest {};

TEST_F(DoctorAgreementTest, ItsBadgesAreTheOverlaysOwn)
{
    constexpr DWORD Folder = FILE_ATTRIBUTE_DIRECTORY;
    const struct {
        const wchar_t* item;
        DWORD attributes;
        int status; // of its row; -1 for none
        // clang-format off
    } items[] = {
        {L"ok.txt", 0, 2}, {L"pending.txt", 0, 1}, {L"error.txt", 0, 0}, {L"three.txt", 0, 3}, {L"excluded.txt", 0, 10},
        {L"excluded pending.txt", 0, 9}, {L"norow.txt", 0, -1}, {L"x", 0, 2}, {L"hidden.txt", FILE_ATTRIBUTE_HIDDEN, 2},
        {L"Docs", Folder, 1}, {L"Docs\\\u00C9t\u00E9.txt", 0, 2}, {L"Shared", Folder, -1}, {L"Shared\\Team", Folder, -1},
    };
    // clang-format on
    std::vector<std::wstring> paths = {client.RootDir(), client.PathOf(L"gone.txt"), client.DconfDbPath()};
    for (const auto& item : items) {
        ASSERT_TRUE(item.attributes & Folder ? client.MakeFolder(item.item)
                                             : client.MakeFile(item.item, item.attributes));
        std::wstring row = L"/" + std::wstring(item.item) + (item.attributes & Folder ? L"/" : L"");
        CharLowerBuffW(row.data(), DWORD(row.size()));
        std::replace(row.begin(), row.end(), L'\\', L'/');
        ASSERT_TRUE(item.status < 0 || client.SetStatus(row, item.status));
        paths.push_back(client.PathOf(item.item));
    }
    ASSERT_GE(client.AddBatch(LR"(["/Shared/Team"])"), 0);
    std::vector<std::wstring> arguments = paths;
    arguments.push_back(L"--json");
    const Json::Value report = Parsed(RunDoctor(arguments).second);
    ASSERT_EQ(report["paths"].size(), paths.size());

    CLoadedExtension dll;
    const CLSID* overlays[] = {&CLSID_OrbethErrorIconOverlay, &CLSID_OrbethPendingIconOverlay,
                               &CLSID_OrbethOkIconOverlay};
    const char* names[] = {"error", "pending", "ok"};
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string claimed = "none";
        for (size_t j = 0; j < 3; ++j) {
            const auto identifier =
                dll.Create<IShellIconOverlayIdentifier>(*overlays[j], IID_IShellIconOverlayIdentifier);
            if (identifier->IsMemberOf(paths[i].c_str(), GetFileAttributesW(paths[i].c_str())) == S_OK)
                claimed = names[j];
        }
        EXPECT_EQ(report["paths"][Json::ArrayIndex(i)]["badge"].asString(), claimed)
            << testing::PrintToString(paths[i]);
    }
}

} // namespace
