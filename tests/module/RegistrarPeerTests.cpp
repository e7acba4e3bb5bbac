#include <gtest/gtest.h>

#include <map>
#include <string>

#include "atliface.h"
#include "base/RegistryKey.h"
#include "module/RegObject.h"
#include "tests/support/DllUnderTest.h"
#include "tests/support/RegistryDump.h"

namespace {

// The system's own registrar speaks the same script language: an independent reference.
const IID IID_Registrar = {0x44ec053b, 0x400f, 0x11d0, {0x9d, 0xcd, 0x00, 0xa0, 0xc9, 0x03, 0x91, 0xd3}};
const CLSID CLSID_Registrar = {0x44ec053a, 0x400f, 0x11d0, {0x9d, 0xcd, 0x00, 0xa0, 0xc9, 0x03, 0x91, 0xd3}};

const wchar_t Scratch[] = L"Software\\OrbethRegistrarPeer";
const wchar_t Module[] = L"C:\\Program Files\\It''s Orbeth\\OrbethExtensions.dll";
const wchar_t AppId[] = L"{D68EEFFA-888A-49C3-991D-A63A3084A742}";

// Runs body with HKCR and HKLM redirected to scratch keys of the current user.
template <typename Body> void WithScratchRoots(const std::wstring& name, Body body)
{
    CRegistryKey classes, machine;
    const std::wstring base = std::wstring(Scratch) + L"\\" + name;
    ASSERT_EQ(classes.Create(HKEY_CURRENT_USER, (base + L"\\HKCR").c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(machine.Create(HKEY_CURRENT_USER, (base + L"\\HKLM").c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, classes.Get());
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine.Get());
    body();
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
}

std::map<std::wstring, std::wstring> Tree(const std::wstring& name)
{
    std::map<std::wstring, std::wstring> tree;
    const std::wstring base = std::wstring(Scratch) + L"\\" + name;
    DumpRegistry(HKEY_CURRENT_USER, base, &tree);
    std::map<std::wstring, std::wstring> relative;
    for (const auto& [path, data] : tree)
        relative[path.substr(base.size())] = data;
    return relative;
}

// Each of the module's scripts, from the built DLL's resources, applied by both interpreters.
TEST(RegistrarPeerTest, BothInterpretersBuildTheSameTrees)
{
    CDllUnderTest dll;
    ASSERT_TRUE(dll.Loaded());
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    IRegistrar* peer = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_Registrar,
                               reinterpret_cast<void**>(&peer)),
              S_OK);
    RegDeleteTreeW(HKEY_CURRENT_USER, Scratch);

    for (UINT script = 101; script <= 106; ++script) {
        SCOPED_TRACE(script);
        HRSRC found = FindResourceW(dll.Module(), MAKEINTRESOURCEW(script), L"REGISTRY");
        ASSERT_NE(found, nullptr);
        const auto* bytes = static_cast<const char*>(LockResource(LoadResource(dll.Module(), found)));
        const DWORD size = SizeofResource(dll.Module(), found);
        ASSERT_NE(bytes[size - 1], '\0') << "stored without a terminating NUL";
        std::wstring text(size, L'\0');
        text.resize(MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), text.data(), static_cast<int>(size)));

        CRegObject ours;
        ours.AddReplacement(L"MODULE", Module);
        ours.AddReplacement(L"APPID", AppId);
        peer->ClearReplacements();
        peer->AddReplacement(L"MODULE", Module);
        peer->AddReplacement(L"APPID", AppId);

        for (const bool registering : {true, false}) {
            SCOPED_TRACE(registering ? "register" : "unregister");
            HRESULT ourResult = E_FAIL, peerResult = E_FAIL;
            WithScratchRoots(L"Ours", [&] { ourResult = ours.RunScript(text.c_str(), registering); });
            WithScratchRoots(L"Peer", [&] {
                peerResult = registering ? peer->StringRegister(text.c_str()) : peer->StringUnregister(text.c_str());
            });
            EXPECT_EQ(ourResult, S_OK);
            EXPECT_EQ(peerResult, S_OK);
            const auto ourTree = Tree(L"Ours");
            EXPECT_EQ(ourTree, Tree(L"Peer"));
            if (registering) {
                EXPECT_GT(ourTree.size(), 6u) << "the script wrote something to compare";
                const auto inproc = ourTree.find(L"\\HKCR\\CLSID\\{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}\\InprocServer32|");
                if (inproc != ourTree.end()) {
                    EXPECT_EQ(inproc->second, L"C:\\Program Files\\It's Orbeth\\OrbethExtensions.dll");
                }
            }
        }
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, Scratch);
    peer->Release();
    CoUninitialize();
}

} // namespace
