#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/RegistryKey.h"
#include "tests/support/DllUnderTest.h"
#include "tests/support/RegistryDump.h"
#include "tests/support/TestSupport.h"
#include "tools/StandInClient.h"

namespace {

const wchar_t ApprovedKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const wchar_t ExplorerKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer";

std::wstring Read(HKEY root, const std::wstring& path, const wchar_t* name = nullptr)
{
    std::map<std::wstring, std::wstring> tree;
    DumpRegistry(root, path, &tree);
    const auto found = tree.find(path + L"|" + (name ? name : L""));
    return found == tree.end() ? (tree.count(path) ? L"<no value>" : L"<no key>") : found->second;
}

// Registration changes the prefix's own classes and machine keys, as it does on Windows.
class RegistrationTest : public ::testing::Test {
protected:
    using Entry = HRESULT(STDAPICALLTYPE*)();
    using InstallEntry = HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR);

    void SetUp() override
    {
        ASSERT_TRUE(dll.Loaded());
        // Windows always has this key; a fresh prefix may not.
        CRegistryKey approved;
        ASSERT_EQ(approved.Create(HKEY_LOCAL_MACHINE, ApprovedKey, KEY_WRITE), ERROR_SUCCESS);
        GetModuleFileNameW(dll.Module(), modulePath, MAX_PATH);
    }
    void TearDown() override { Unregister(); }

    HRESULT Register() { return dll.Export<Entry>("DllRegisterServer")(); }
    HRESULT Unregister() { return dll.Export<Entry>("DllUnregisterServer")(); }
    HRESULT Install(BOOL install, LPCWSTR commandLine) { return dll.Export<InstallEntry>("DllInstall")(install, commandLine); }

    // Everything registration may touch.
    std::map<std::wstring, std::wstring> Snapshot()
    {
        std::map<std::wstring, std::wstring> tree;
        for (const wchar_t* key : {L"AppID\\{D68EEFFA-888A-49C3-991D-A63A3084A742}", L"AppID\\OrbethExtensions.DLL",
                                   L"CLSID\\{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}",
                                   L"CLSID\\{345DCDDB-F6B4-4AFB-A4AA-4894E28A4A8C}",
                                   L"CLSID\\{1DDA3509-9FF3-40DA-8B00-3CFAEDB46577}",
                                   L"CLSID\\{A491688A-E9AA-4537-AA05-46C61DF377F5}",
                                   L"CLSID\\{4D447825-B53E-4C8D-8A3C-24FF0FC9ED30}",
                                   L"OrbethExtensions.IconOverlayConnector", L"OrbethExtensions.IconOverlayConnector.1",
                                   L"*\\ShellEx\\ContextMenuHandlers", L"Directory\\shellex\\ContextMenuHandlers"})
            DumpRegistry(HKEY_CLASSES_ROOT, key, &tree);
        DumpRegistry(HKEY_LOCAL_MACHINE, std::wstring(ExplorerKey) + L"\\ShellIconOverlayIdentifiers", &tree);
        DumpRegistry(HKEY_LOCAL_MACHINE, std::wstring(ExplorerKey) + L"\\Browser Helper Objects", &tree);
        DumpRegistry(HKEY_LOCAL_MACHINE, ApprovedKey, &tree);
        return tree;
    }

    CDllUnderTest dll;
    wchar_t modulePath[MAX_PATH] = {};
};

TEST_F(RegistrationTest, RegistersEveryKeyTheFileManagerReads)
{
    ASSERT_EQ(Register(), S_OK);
    const std::wstring module = modulePath;
    const std::wstring overlays = std::wstring(ExplorerKey) + L"\\ShellIconOverlayIdentifiers\\";
    const std::wstring bho = std::wstring(ExplorerKey) + L"\\Browser Helper Objects\\{A491688A-E9AA-4537-AA05-46C61DF377F5}";
    struct CExpected {
        HKEY root;
        std::wstring path;
        const wchar_t* name;
        std::wstring data;
    };
    std::vector<CExpected> expected = {
        {HKEY_CLASSES_ROOT, L"AppID\\{D68EEFFA-888A-49C3-991D-A63A3084A742}", nullptr, L"OrbethExtensions"},
        {HKEY_CLASSES_ROOT, L"AppID\\OrbethExtensions.DLL", L"AppID", L"{D68EEFFA-888A-49C3-991D-A63A3084A742}"},
        {HKEY_CLASSES_ROOT, L"OrbethExtensions.IconOverlayConnector.1\\CLSID", nullptr,
         L"{A491688A-E9AA-4537-AA05-46C61DF377F5}"},
        {HKEY_CLASSES_ROOT, L"OrbethExtensions.IconOverlayConnector", nullptr, L"OrbethIconOverlayBHO Class"},
        {HKEY_CLASSES_ROOT, L"OrbethExtensions.IconOverlayConnector\\CurVer", nullptr,
         L"OrbethExtensions.IconOverlayConnector.1"},
        {HKEY_CLASSES_ROOT, L"CLSID\\{A491688A-E9AA-4537-AA05-46C61DF377F5}\\ProgID", nullptr,
         L"OrbethExtensions.IconOverlayConnector.1"},
        {HKEY_CLASSES_ROOT, L"CLSID\\{A491688A-E9AA-4537-AA05-46C61DF377F5}\\VersionIndependentProgID", nullptr,
         L"OrbethExtensions.IconOverlayConnector"},
        {HKEY_CLASSES_ROOT, L"CLSID\\{A491688A-E9AA-4537-AA05-46C61DF377F5}\\TypeLib", nullptr,
         L"{D02A047D-6E2A-470D-9B81-C1B12225B05C}"},
        {HKEY_CLASSES_ROOT, L"*\\ShellEx\\ContextMenuHandlers\\01OrbethContextMenu", nullptr,
         L"{4D447825-B53E-4C8D-8A3C-24FF0FC9ED30}"},
        {HKEY_CLASSES_ROOT, L"Directory\\shellex\\ContextMenuHandlers\\01OrbethContextMenu", nullptr,
         L"{4D447825-B53E-4C8D-8A3C-24FF0FC9ED30}"},
        {HKEY_LOCAL_MACHINE, bho, nullptr, L"OrbethIconOverlayBHO"},
        {HKEY_LOCAL_MACHINE, bho, L"NoInternetExplorer", L"type 4 01000000"},
    };
    // Every class: its name and its in-process server, this very module.
    const struct {
        const wchar_t* clsid;
        const wchar_t* name;
        const wchar_t* identifier; // the overlay's entry, three spaces first
        const wchar_t* approved;
    } classes[] = {
        {L"{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}", L"OrbethOkIconOverlay", L"   001OrbethOk", L"OrbethIconOverlay"},
        {L"{345DCDDB-F6B4-4AFB-A4AA-4894E28A4A8C}", L"OrbethPendingIconOverlay", L"   002OrbethPending",
         L"OrbethIconOverlay"},
        {L"{1DDA3509-9FF3-40DA-8B00-3CFAEDB46577}", L"OrbethErrorIconOverlay", L"   003OrbethError",
         L"OrbethIconOverlay"},
        {L"{A491688A-E9AA-4537-AA05-46C61DF377F5}", L"OrbethIconOverlayBHO", nullptr, nullptr},
        {L"{4D447825-B53E-4C8D-8A3C-24FF0FC9ED30}", L"OrbethContextMenuHandler", nullptr, L"OrbethContextMenu"},
    };
    for (const auto& c : classes) {
        const std::wstring key = std::wstring(L"CLSID\\") + c.clsid;
        expected.push_back({HKEY_CLASSES_ROOT, key, nullptr, std::wstring(c.name) + L" Class"});
        expected.push_back({HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, module});
        expected.push_back({HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"});
        if (c.identifier) {
            expected.push_back({HKEY_CLASSES_ROOT, key + L"\\Programmable", nullptr, L"<no value>"});
            expected.push_back({HKEY_LOCAL_MACHINE, overlays + c.identifier, nullptr, c.clsid});
        }
        // The browser helper object is not an approved extension.
        expected.push_back({HKEY_LOCAL_MACHINE, ApprovedKey, c.clsid, c.approved ? c.approved : L"<no value>"});
    }
    for (const auto& e : expected) {
        SCOPED_TRACE(testing::PrintToString(e.path + L"|" + (e.name ? e.name : L"")));
        EXPECT_EQ(Read(e.root, e.path, e.name), e.data);
    }
}

TEST_F(RegistrationTest, RegisteringAgainRebuildsAndUnregisteringLeavesTheSharedKeys)
{
    ASSERT_EQ(Register(), S_OK);
    const auto once = Snapshot();
    CRegistryKey stale;
    ASSERT_EQ(stale.Create(HKEY_CLASSES_ROOT, L"CLSID\\{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}\\OldVersion", KEY_WRITE),
              ERROR_SUCCESS);
    stale.Close();
    ASSERT_EQ(Register(), S_OK);
    EXPECT_EQ(Snapshot(), once) << "twice is once; the stale subkey of a ForceRemove key is gone";

    const LCID locale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(locale));
    ASSERT_EQ(Register(), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale) << "the caller's locale comes back";
    ASSERT_EQ(stale.Create(HKEY_CLASSES_ROOT, L"OrbethExtensions.IconOverlayConnector\\Foreign", KEY_WRITE),
              ERROR_SUCCESS);
    stale.Close();
    ASSERT_EQ(Unregister(), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale) << "the caller's locale comes back";
    std::vector<std::wstring> left;
    for (const auto& [path, value] : Snapshot()) {
        for (const wchar_t* mark : {L"Orbeth", L"{C6012E3E", L"{345DCDDB", L"{1DDA3509", L"{A491688A", L"{4D447825",
                                    L"{D68EEFFA"}) {
            if (path.find(mark) != std::wstring::npos) {
                left.push_back(path);
                break;
            }
        }
    }
    // Of all that was written, only the key that a foreign subkey holds is left, default value and all.
    EXPECT_EQ(left, (std::vector<std::wstring>{L"OrbethExtensions.IconOverlayConnector",
                                               L"OrbethExtensions.IconOverlayConnector\\Foreign",
                                               L"OrbethExtensions.IconOverlayConnector|"}));
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"OrbethExtensions.IconOverlayConnector");
    for (const wchar_t* kept : {L"AppID", L"CLSID", L"*\\ShellEx\\ContextMenuHandlers",
                                L"Directory\\shellex\\ContextMenuHandlers"})
        EXPECT_NE(Read(HKEY_CLASSES_ROOT, kept), L"<no key>") << testing::PrintToString(std::wstring(kept));
    EXPECT_EQ(Unregister(), S_OK) << "nothing left to take away is no error";
}

TEST_F(RegistrationTest, WithoutTheApprovedKeyNothingIsRegistered)
{
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, ApprovedKey), ERROR_SUCCESS);
    EXPECT_EQ(Register(), E_ACCESSDENIED);
    EXPECT_EQ(Read(HKEY_CLASSES_ROOT, L"CLSID\\{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}"), L"<no key>");
    EXPECT_EQ(Install(TRUE, nullptr), E_ACCESSDENIED);
    CRegistryKey approved;
    ASSERT_EQ(approved.Create(HKEY_LOCAL_MACHINE, ApprovedKey, KEY_WRITE), ERROR_SUCCESS);

    // The command line means nothing.
    for (const wchar_t* commandLine : {static_cast<const wchar_t*>(nullptr), L"", L"user", L"/i"}) {
        EXPECT_EQ(Install(TRUE, commandLine), S_OK);
        EXPECT_EQ(Read(HKEY_CLASSES_ROOT, L"CLSID\\{345DCDDB-F6B4-4AFB-A4AA-4894E28A4A8C}"),
                  L"OrbethPendingIconOverlay Class");
        EXPECT_EQ(Install(FALSE, commandLine), S_OK);
        EXPECT_EQ(Read(HKEY_CLASSES_ROOT, L"CLSID\\{345DCDDB-F6B4-4AFB-A4AA-4894E28A4A8C}"), L"<no key>");
    }
}

// regsvr32 as an installer runs it, from a folder whose name has a single quote.
TEST_F(RegistrationTest, Regsvr32RegistersAModulePathWithAQuote)
{
    CTempDir dir(L"it's here");
    const std::wstring copy = dir.Child(L"OrbethExtensions.dll");
    ASSERT_TRUE(CopyFileW(modulePath, copy.c_str(), FALSE));
    const auto run = [](std::wstring commandLine) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            return DWORD(-1);
        WaitForSingleObject(process.hProcess, 60000);
        DWORD code = DWORD(-1);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return code;
    };
    ASSERT_EQ(run(L"regsvr32.exe /s \"" + copy + L"\""), 0u);
    EXPECT_EQ(Read(HKEY_CLASSES_ROOT, L"CLSID\\{1DDA3509-9FF3-40DA-8B00-3CFAEDB46577}\\InprocServer32"), copy);
    EXPECT_EQ(run(L"regsvr32.exe /s /u \"" + copy + L"\""), 0u);
    EXPECT_EQ(Read(HKEY_CLASSES_ROOT, L"CLSID\\{1DDA3509-9FF3-40DA-8B00-3CFAEDB46577}"), L"<no key>");
}

} // namespace
