#include <gtest/gtest.h>

#include <string>

#include "base/RegistryKey.h"
#include "base/UniqueHandle.h"
#include "module/Registration.h"
#include "tests/support/DllUnderTest.h"
#include "tests/support/RegistryDump.h"
#include "tests/support/TestSupport.h"

namespace {

const std::wstring ApprovedKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const std::wstring Explorer = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\", Connector = L"OrbethExtensions.IconOverlayConnector";
// In the class table's order, which registration follows: the menu, the ok, pending and error overlays, the helper object.
const std::wstring Classes[] = {L"{4D447825-B53E-4C8D-8A3C-24FF0FC9ED30}", L"{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}",
                                L"{345DCDDB-F6B4-4AFB-A4AA-4894E28A4A8C}", L"{1DDA3509-9FF3-40DA-8B00-3CFAEDB46577}",
                                L"{A491688A-E9AA-4537-AA05-46C61DF377F5}"};
// Every key that registration writes, or whose values are all its own.
const std::pair<HKEY, std::wstring> Keys[] = {
    {HKEY_CLASSES_ROOT, L"AppID\\{D68EEFFA-888A-49C3-991D-A63A3084A742}"}, {HKEY_CLASSES_ROOT, L"AppID\\OrbethExtensions.DLL"},
    {HKEY_CLASSES_ROOT, Connector}, {HKEY_CLASSES_ROOT, Connector + L".1"}, {HKEY_CLASSES_ROOT, L"CLSID\\" + Classes[0]},
    {HKEY_CLASSES_ROOT, L"CLSID\\" + Classes[1]}, {HKEY_CLASSES_ROOT, L"CLSID\\" + Classes[2]}, {HKEY_CLASSES_ROOT, L"CLSID\\" + Classes[3]},
    {HKEY_CLASSES_ROOT, L"CLSID\\" + Classes[4]}, {HKEY_CLASSES_ROOT, L"*\\ShellEx\\ContextMenuHandlers\\01OrbethContextMenu"},
    {HKEY_CLASSES_ROOT, L"Directory\\shellex\\ContextMenuHandlers\\01OrbethContextMenu"}, {HKEY_LOCAL_MACHINE, ApprovedKey},
    {HKEY_LOCAL_MACHINE, Explorer + L"ShellIconOverlayIdentifiers\\   001OrbethOk"}, {HKEY_LOCAL_MACHINE, Explorer + L"ShellIconOverlayIdentifiers\\   002OrbethPending"},
    {HKEY_LOCAL_MACHINE, Explorer + L"ShellIconOverlayIdentifiers\\   003OrbethError"}, {HKEY_LOCAL_MACHINE, Explorer + L"Browser Helper Objects\\" + Classes[4]}};

// What registration wrote, as "key { what is below it }" for each of those keys; empty when none is there.
std::wstring Ours()
{
    std::wstring text;
    for (const auto& [root, key] : Keys) {
        const std::wstring below = DumpRegistry(root, key);
        text += below.empty() ? L"" : key + L" { " + below + L" } ";
    }
    return text;
}

// Registration changes the prefix's own classes and machine keys, as it does on Windows.
class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dll.Loaded());
        CRegistryKey approved; // Windows always has this key; a fresh prefix may not
        ASSERT_EQ(approved.Create(HKEY_LOCAL_MACHINE, ApprovedKey.c_str(), KEY_WRITE), ERROR_SUCCESS);
    }
    void TearDown() override { Unregister(); }

    HRESULT Register() { return dll.Export<HRESULT(STDAPICALLTYPE*)()>("DllRegisterServer")(); }
    HRESULT Unregister() { return dll.Export<HRESULT(STDAPICALLTYPE*)()>("DllUnregisterServer")(); }
    HRESULT Install(BOOL install, LPCWSTR line) { return dll.Export<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>("DllInstall")(install, line); }

    CDllUnderTest dll;
};

// Without the right to approve extensions, and from a missing or empty script (this program's
// resources hold an empty one, EmptyScript.rc, and no other), nothing is registered. Registering
// twice is once: the stale subkey of a ForceRemove key goes, and the caller's locale comes back.
// Unregistering leaves only a key that a foreign subkey holds; nothing left to take away is no error.
TEST_F(RegistrationTest, RegistersEveryClassOnceAndTakesItAllBack)
{
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, ApprovedKey.c_str()), ERROR_SUCCESS);
    EXPECT_TRUE(Register() == E_ACCESSDENIED && Install(TRUE, nullptr) == E_ACCESSDENIED && Ours().empty());
    CRegistryKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, ApprovedKey.c_str(), KEY_WRITE), ERROR_SUCCESS);
    for (const UINT resource : {107u, 108u}) {
        SetLastError(ERROR_SUCCESS); // it fails even when no call before left an error code
        EXPECT_TRUE(FAILED(UpdateRegistryFromResource(resource, true)) && Ours().empty()) << resource;
    }
    ASSERT_EQ(Install(TRUE, L"/i"), S_OK); // the command line is not read
    // A few entries of each kind, then the whole tree. Every class is served by this very module.
    wchar_t module[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(dll.Module(), module, MAX_PATH), 0u);
    const std::wstring once = Ours(), server = L"InprocServer32|=" + std::wstring(module) + L"; InprocServer32|ThreadingModel=Apartment";
    size_t servers = 0;
    for (size_t at = once.find(server); at != std::wstring::npos; at = once.find(server, at + 1))
        ++servers;
    EXPECT_EQ(servers, std::size(Classes));
    for (const std::wstring& part : {ApprovedKey + L" { |" + Classes[3] + L"=OrbethIconOverlay; |" + Classes[2] + L"=OrbethIconOverlay; |" +
                                         Classes[0] + L"=OrbethContextMenu; |" + Classes[1] + L"=OrbethIconOverlay } ",
                                     L"   002OrbethPending { |=" + Classes[2] + L" } ", std::wstring(L"|NoInternetExplorer=type 4 01000000")})
        EXPECT_NE(once.find(part), std::wstring::npos) << testing::PrintToString(part);

    ASSERT_EQ(key.Create(HKEY_CLASSES_ROOT, (L"CLSID\\" + Classes[1] + L"\\OldVersion").c_str(), KEY_WRITE), ERROR_SUCCESS);
    key.Close();
    const LCID locale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(locale));
    EXPECT_EQ(Register(), S_OK);
    EXPECT_TRUE(Ours() == once && GetThreadLocale() == locale);
    ASSERT_EQ(key.Create(HKEY_CLASSES_ROOT, (Connector + L"\\Foreign").c_str(), KEY_WRITE), ERROR_SUCCESS);
    key.Close();
    EXPECT_TRUE(Install(FALSE, nullptr) == S_OK && GetThreadLocale() == locale);
    EXPECT_EQ(Ours(), Connector + L" { |=OrbethIconOverlayBHO Class; Foreign } ");
    RegDeleteTreeW(HKEY_CLASSES_ROOT, Connector.c_str());
    for (const wchar_t* kept : {L"AppID", L"CLSID", L"*\\ShellEx\\ContextMenuHandlers", L"Directory\\shellex\\ContextMenuHandlers"})
        EXPECT_EQ(key.Open(HKEY_CLASSES_ROOT, kept, KEY_READ), ERROR_SUCCESS) << testing::PrintToString(std::wstring(kept));
    EXPECT_TRUE(Unregister() == S_OK && Ours().empty());
}

// A lasting key cannot be made below a volatile one: with the overlay identifiers' key volatile,
// the second class's script fails half-way. The classes after it are not registered, the error
// comes back, and install takes back all that registration wrote.
TEST_F(RegistrationTest, AScriptFailingHalfWayStopsRegistrationAndInstallTakesItAllBack)
{
    const std::wstring identifiers = Explorer + L"ShellIconOverlayIdentifiers";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, identifiers.c_str());
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, identifiers.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_READ, nullptr, &made, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(made);
    const HRESULT refused = HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(Register(), refused);
    for (size_t i = 0; i < std::size(Classes); ++i) // the menu stays; the ok overlay's failing part was taken back
        EXPECT_EQ(DumpRegistry(HKEY_CLASSES_ROOT, L"CLSID\\" + Classes[i]).empty(), i > 1) << i;
    EXPECT_TRUE(Install(TRUE, nullptr) == refused && Ours().empty());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, identifiers.c_str());
}

// regsvr32 as an installer runs it, from a folder whose name has a single quote.
TEST_F(RegistrationTest, Regsvr32RegistersAModulePathWithAQuote)
{
    CTempDir dir(L"it's here");
    wchar_t module[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(dll.Module(), module, MAX_PATH), 0u);
    const std::wstring copy = dir.Child(L"OrbethExtensions.dll"), quoted = L"\"" + copy + L"\"";
    ASSERT_TRUE(CopyFileW(module, copy.c_str(), FALSE));
    for (const std::wstring options : {L"/s", L"/s /u"}) {
        std::wstring commandLine = L"regsvr32.exe " + options + L" " + quoted;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        CUniqueHandle<HANDLE, &CloseHandle> running(process.hProcess), thread(process.hThread);
        DWORD code = DWORD(-1);
        EXPECT_TRUE(WaitForSingleObject(running.Get(), 60000) == WAIT_OBJECT_0 && GetExitCodeProcess(running.Get(), &code) && code == 0) << code;
        EXPECT_EQ(DumpRegistry(HKEY_CLASSES_ROOT, L"CLSID\\" + Classes[3] + L"\\InprocServer32"),
                  options == L"/s" ? L"|=" + copy + L"; |ThreadingModel=Apartment" : L"");
    }
}

} // namespace
