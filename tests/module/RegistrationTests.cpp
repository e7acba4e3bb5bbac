#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/RegistryKey.h"
#include "base/UniqueHandle.h"
#include "module/Registration.h"
#include "tests/support/DllUnderTest.h"
#include "tests/support/RegistryDump.h"
#include "tests/support/TestSupport.h"

namespace {

const wchar_t ApprovedKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const std::wstring ExplorerKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
const std::wstring Connector = L"OrbethExtensions.IconOverlayConnector";
// In the class table's order, which registration follows.
const std::wstring Menu = L"{4D447825-B53E-4C8D-8A3C-24FF0FC9ED30}";
const std::wstring Ok = L"{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}";
const std::wstring Pending = L"{345DCDDB-F6B4-4AFB-A4AA-4894E28A4A8C}";
const std::wstring Error = L"{1DDA3509-9FF3-40DA-8B00-3CFAEDB46577}";
const std::wstring Bho = L"{A491688A-E9AA-4537-AA05-46C61DF377F5}";

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
    void SetUp() override
    {
        ASSERT_TRUE(dll.Loaded());
        CRegistryKey approved; // Windows always has this key; a fresh prefix may not
        ASSERT_EQ(approved.Create(HKEY_LOCAL_MACHINE, ApprovedKey, KEY_WRITE), ERROR_SUCCESS);
    }
    void TearDown() override { Unregister(); }

    HRESULT Register() { return dll.Export<HRESULT(STDAPICALLTYPE*)()>("DllRegisterServer")(); }
    HRESULT Unregister() { return dll.Export<HRESULT(STDAPICALLTYPE*)()>("DllUnregisterServer")(); }
    HRESULT Install(BOOL install, LPCWSTR line) { return dll.Export<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>("DllInstall")(install, line); }

    // Every key and value that registration may touch and that names the module or its classes.
    std::map<std::wstring, std::wstring> Ours()
    {
        std::map<std::wstring, std::wstring> tree, ours;
        for (const std::wstring& key : std::initializer_list<std::wstring>{L"AppID\\{D68EEFFA-888A-49C3-991D-A63A3084A742}", L"AppID\\OrbethExtensions.DLL",
                                        L"*\\ShellEx\\ContextMenuHandlers", L"Directory\\shellex\\ContextMenuHandlers",
                                        L"CLSID\\" + Menu, L"CLSID\\" + Ok, L"CLSID\\" + Pending, L"CLSID\\" + Error,
                                        L"CLSID\\" + Bho, Connector, Connector + L".1"})
            DumpRegistry(HKEY_CLASSES_ROOT, key, &tree);
        for (const std::wstring& key : {ExplorerKey + L"ShellIconOverlayIdentifiers", ExplorerKey + L"Browser Helper Objects",
                                        std::wstring(ApprovedKey)})
            DumpRegistry(HKEY_LOCAL_MACHINE, key, &tree);
        for (const auto& [path, value] : tree) {
            for (const std::wstring& mark : {std::wstring(L"Orbeth"), Menu, Ok, Pending, Error, Bho, std::wstring(L"{D68EEFFA")})
                if (path.find(mark) != std::wstring::npos)
                    ours[path] = value;
        }
        return ours;
    }

    CDllUnderTest dll;
};

TEST_F(RegistrationTest, RegistersEveryKeyTheFileManagerReadsOnceAndTakesThemBack)
{
    ASSERT_EQ(Register(), S_OK);
    wchar_t module[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(dll.Module(), module, MAX_PATH), 0u);
    const std::wstring bho = ExplorerKey + L"Browser Helper Objects\\" + Bho, clsid = L"CLSID\\";
    struct CExpected {
        HKEY root;
        std::wstring path;
        const wchar_t* name;
        std::wstring data;
    };
    std::vector<CExpected> expected = {
        {HKEY_CLASSES_ROOT, L"AppID\\{D68EEFFA-888A-49C3-991D-A63A3084A742}", nullptr, L"OrbethExtensions"},
        {HKEY_CLASSES_ROOT, L"AppID\\OrbethExtensions.DLL", L"AppID", L"{D68EEFFA-888A-49C3-991D-A63A3084A742}"},
        {HKEY_CLASSES_ROOT, Connector + L".1\\CLSID", nullptr, Bho}, {HKEY_CLASSES_ROOT, Connector, nullptr, L"OrbethIconOverlayBHO Class"},
        {HKEY_CLASSES_ROOT, Connector + L"\\CurVer", nullptr, Connector + L".1"},
        {HKEY_CLASSES_ROOT, clsid + Bho + L"\\ProgID", nullptr, Connector + L".1"},
        {HKEY_CLASSES_ROOT, clsid + Bho + L"\\VersionIndependentProgID", nullptr, Connector},
        {HKEY_CLASSES_ROOT, clsid + Bho + L"\\TypeLib", nullptr, L"{D02A047D-6E2A-470D-9B81-C1B12225B05C}"},
        {HKEY_CLASSES_ROOT, L"*\\ShellEx\\ContextMenuHandlers\\01OrbethContextMenu", nullptr, Menu},
        {HKEY_CLASSES_ROOT, L"Directory\\shellex\\ContextMenuHandlers\\01OrbethContextMenu", nullptr, Menu},
        {HKEY_LOCAL_MACHINE, bho, nullptr, L"OrbethIconOverlayBHO"},
        {HKEY_LOCAL_MACHINE, bho, L"NoInternetExplorer", L"type 4 01000000"},
    };
    // Every class: its name, this very module as its server, its overlay entry (three spaces
    // first) and its approval; the browser helper object is not an approved extension.
    const struct {
        std::wstring clsid;
        const wchar_t *name, *identifier, *approved;
    } classes[] = {{Ok, L"OrbethOkIconOverlay", L"   001OrbethOk", L"OrbethIconOverlay"},
                   {Pending, L"OrbethPendingIconOverlay", L"   002OrbethPending", L"OrbethIconOverlay"},
                   {Error, L"OrbethErrorIconOverlay", L"   003OrbethError", L"OrbethIconOverlay"},
                   {Bho, L"OrbethIconOverlayBHO", nullptr, nullptr},
                   {Menu, L"OrbethContextMenuHandler", nullptr, L"OrbethContextMenu"}};
    for (const auto& c : classes) {
        const std::wstring key = clsid + c.clsid;
        expected.push_back({HKEY_CLASSES_ROOT, key, nullptr, std::wstring(c.name) + L" Class"});
        expected.push_back({HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, module});
        expected.push_back({HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"});
        if (c.identifier) {
            expected.push_back({HKEY_CLASSES_ROOT, key + L"\\Programmable", nullptr, L"<no value>"});
            expected.push_back({HKEY_LOCAL_MACHINE, ExplorerKey + L"ShellIconOverlayIdentifiers\\" + c.identifier, nullptr, c.clsid});
        }
        expected.push_back({HKEY_LOCAL_MACHINE, ApprovedKey, c.clsid.c_str(), c.approved ? c.approved : L"<no value>"});
    }
    for (const auto& e : expected) {
        SCOPED_TRACE(testing::PrintToString(e.path + L"|" + (e.name ? e.name : L"")));
        EXPECT_EQ(Read(e.root, e.path, e.name), e.data);
    }

    // Twice is once: the stale subkey of a ForceRemove key goes. The caller's locale comes back.
    const auto once = Ours();
    CRegistryKey stale;
    ASSERT_EQ(stale.Create(HKEY_CLASSES_ROOT, (clsid + Ok + L"\\OldVersion").c_str(), KEY_WRITE), ERROR_SUCCESS);
    stale.Close();
    const LCID locale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(locale));
    ASSERT_EQ(Register(), S_OK);
    EXPECT_EQ(Ours(), once);
    EXPECT_EQ(GetThreadLocale(), locale);
    ASSERT_EQ(stale.Create(HKEY_CLASSES_ROOT, (Connector + L"\\Foreign").c_str(), KEY_WRITE), ERROR_SUCCESS);
    stale.Close();
    ASSERT_EQ(Unregister(), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale);
    // Of all that was written, only the key that a foreign subkey holds is left, default value and all.
    const auto left = Ours();
    EXPECT_TRUE(left.size() == 3 && left.count(Connector + L"\\Foreign")) << left.size();
    RegDeleteTreeW(HKEY_CLASSES_ROOT, Connector.c_str());
    for (const wchar_t* kept : {L"AppID", L"CLSID", L"*\\ShellEx\\ContextMenuHandlers", L"Directory\\shellex\\ContextMenuHandlers"})
        EXPECT_NE(Read(HKEY_CLASSES_ROOT, kept), L"<no key>") << testing::PrintToString(std::wstring(kept));
    EXPECT_EQ(Unregister(), S_OK) << "nothing left to take away is no error";
}

TEST_F(RegistrationTest, WithoutTheApprovedKeyNothingIsRegistered)
{
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, ApprovedKey), ERROR_SUCCESS);
    EXPECT_EQ(Register(), E_ACCESSDENIED);
    EXPECT_EQ(Install(TRUE, nullptr), E_ACCESSDENIED);
    EXPECT_TRUE(Ours().empty());
    CRegistryKey approved;
    ASSERT_EQ(approved.Create(HKEY_LOCAL_MACHINE, ApprovedKey, KEY_WRITE), ERROR_SUCCESS);
    for (const wchar_t* commandLine : {static_cast<const wchar_t*>(nullptr), L"", L"user", L"/i"}) { // not read
        EXPECT_EQ(Install(TRUE, commandLine), S_OK);
        EXPECT_EQ(Read(HKEY_CLASSES_ROOT, L"CLSID\\" + Pending), L"OrbethPendingIconOverlay Class");
        EXPECT_EQ(Install(FALSE, commandLine), S_OK);
        EXPECT_TRUE(Ours().empty());
    }
}

// A lasting key cannot be made below a volatile one: with the overlay identifiers' key volatile,
// the second class's script fails half-way. The classes after it are not registered, the error
// comes back, and install takes back all that registration wrote.
TEST_F(RegistrationTest, AScriptFailingHalfWayStopsRegistrationAndInstallTakesItAllBack)
{
    const std::wstring identifiers = ExplorerKey + L"ShellIconOverlayIdentifiers";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, identifiers.c_str());
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, identifiers.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_READ,
                              nullptr, &made, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(made);
    const HRESULT refused = HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(Register(), refused);
    EXPECT_EQ(Read(HKEY_CLASSES_ROOT, L"CLSID\\" + Menu), L"OrbethContextMenuHandler Class");
    for (const std::wstring& after : {Pending, Error, Bho})
        EXPECT_EQ(Read(HKEY_CLASSES_ROOT, L"CLSID\\" + after), L"<no key>");
    EXPECT_EQ(Install(TRUE, nullptr), refused);
    EXPECT_TRUE(Ours().empty());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, identifiers.c_str());
}

// This program's resources hold an empty script (EmptyScript.rc) and no other: both it and a
// missing one fail, even when no call before left an error code, and write nothing.
TEST_F(RegistrationTest, AMissingOrEmptyScriptFailsAndWritesNothing)
{
    const auto before = Ours();
    for (const UINT resource : {107u, 108u}) {
        SCOPED_TRACE(resource);
        SetLastError(ERROR_SUCCESS);
        EXPECT_TRUE(FAILED(UpdateRegistryFromResource(resource, true)));
        EXPECT_EQ(Ours(), before);
    }
}

// regsvr32 as an installer runs it, from a folder whose name has a single quote.
TEST_F(RegistrationTest, Regsvr32RegistersAModulePathWithAQuote)
{
    CTempDir dir(L"it's here");
    wchar_t module[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(dll.Module(), module, MAX_PATH), 0u);
    const std::wstring copy = dir.Child(L"OrbethExtensions.dll"), server = L"CLSID\\" + Error;
    ASSERT_TRUE(CopyFileW(module, copy.c_str(), FALSE));
    for (const std::wstring& options : {std::wstring(L"/s"), std::wstring(L"/s /u")}) {
        std::wstring commandLine = L"regsvr32.exe " + options + L" \"" + copy + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        CUniqueHandle<HANDLE, &CloseHandle> running(process.hProcess), thread(process.hThread);
        DWORD code = DWORD(-1);
        EXPECT_TRUE(WaitForSingleObject(running.Get(), 60000) == WAIT_OBJECT_0 && GetExitCodeProcess(running.Get(), &code));
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(Read(HKEY_CLASSES_ROOT, server + L"\\InprocServer32"), options == L"/s" ? copy : L"<no key>");
    }
}

} // namespace
