#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>

#include <shlobj.h>
#include <shellapi.h> // after the headers that define what it needs
#include <wrl/client.h>

#include "OrbethExtensions_h.h"
#include "base/RegistryKey.h"
#include "module/ClassTable.h"
#include "module/RegObject.h"
#include "module/Registration.h"
#include "tools/standin/LoadedExtension.h"
#include "tools/standin/RegistryDump.h"
#include "tools/standin/StandInClient.h"

using Microsoft::WRL::ComPtr;
using namespace std::string_literals;

namespace {

const CLSID* const CreatableClasses[] = {&CLSID_OrbethOkIconOverlay,      &CLSID_OrbethPendingIconOverlay,
                                         &CLSID_OrbethErrorIconOverlay,   &CLSID_OrbethIconOverlayBHO,
                                         &CLSID_OrbethContextMenuHandler, &CLSID_OrbethExplorerCommand};

class ComServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dll.Loaded()); }

    ComPtr<IClassFactory> Factory(REFCLSID clsid)
    {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(dll.GetClassObject(clsid, IID_IClassFactory, &factory), S_OK);
        return factory;
    }

    CLoadedExtension dll;
};

// Unknown classes and interfaces and aggregation are refused, leaving nothing behind. A held factory
// (however many references), a live object and a server lock each keep the module; the table keeps
// each class's one factory. Each step, then whether the module may unload.
TEST_F(ComServerTest, RefusalsLeaveNothingAndFactoriesObjectsAndServerLocksKeepTheModule)
{
    const CLSID& ok = CLSID_OrbethOkIconOverlay;
    void* object = &object;
    EXPECT_EQ(dll.GetClassObject(GUID_NULL, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(dll.GetClassObject(ok, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(dll.GetClassObject(ok, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(Factory(ok)->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    ComPtr<IUnknown> outer, instance;
    ASSERT_EQ(Factory(ok)->CreateInstance(nullptr, IID_IUnknown, &outer), S_OK);
    for (const CLSID* clsid :
         CreatableClasses) { // aggregation, even for IUnknown, which the factory leaves to the class
        void *aggregated = &object, *unknown = &object;
        EXPECT_EQ(Factory(*clsid)->CreateInstance(outer.Get(), IID_IUnknown, &aggregated), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(Factory(*clsid)->CreateInstance(nullptr, IID_IClassFactory, &unknown), E_NOINTERFACE);
        EXPECT_TRUE(!aggregated && !unknown);
    }
    ComPtr<IClassFactory> factory;
    IClassFactory* kept = nullptr;
    // clang-format off
    const std::pair<std::function<void()>, HRESULT> steps[] = {
        {[&] { outer.Reset(); }, S_OK},
        {[&] { factory = Factory(ok), kept = factory.Get(), factory->AddRef(), factory->AddRef(), factory->Release(), factory->Release(); }, S_FALSE},
        {[&] { EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &instance), S_OK); factory.Reset(); }, S_FALSE},
        {[&] { instance.Reset(); }, S_OK},
        {[&] { EXPECT_EQ(Factory(ok).Get(), kept); for (const BOOL lock : {TRUE, TRUE, FALSE}) Factory(ok)->LockServer(lock); }, S_FALSE},
        {[&] { Factory(ok)->LockServer(FALSE); }, S_OK}};
    // clang-format on
    for (size_t i = 0; i < std::size(steps); ++i) {
        steps[i].first();
        EXPECT_EQ(dll.CanUnloadNow(), steps[i].second) << "step " << i;
    }
}

// Each overlay is one object through its interfaces and names an icon of this very file. IDispatch answers the
// loader's error until something registers the type library, then each dual interface's own type information.
TEST_F(ComServerTest, OverlaysHaveOneIdentityTheirIconAndTheirTypeInformation)
{
    wchar_t module[MAX_PATH], iconFile[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(dll.Module(), module, MAX_PATH), 0u);
    UnRegisterTypeLib(LIBID_OrbethExtensionsLib, 1, 0, 0x0409, SYS_WIN64);
    ComPtr<ITypeLib> library; // registered once the first overlay was refused
    ULONG held = 0;
    const std::tuple<const CLSID*, const IID*, int> overlays[] = {
        {&CLSID_OrbethErrorIconOverlay, &IID_IOrbethErrorIconOverlay, 0},
        {&CLSID_OrbethPendingIconOverlay, &IID_IOrbethPendingIconOverlay, 1},
        {&CLSID_OrbethOkIconOverlay, &IID_IOrbethOkIconOverlay, 2}};
    for (const auto& [clsid, dual, iconIndex] : overlays) {
        ComPtr<IUnknown> unknown, asDual;
        ComPtr<IDispatch> dispatch;
        ComPtr<IShellIconOverlayIdentifier> identifier;
        ASSERT_EQ(Factory(*clsid)->CreateInstance(nullptr, IID_IUnknown, &unknown), S_OK);
        ASSERT_TRUE(unknown->QueryInterface(*dual, &asDual) == S_OK && unknown.As(&dispatch) == S_OK &&
                    unknown->QueryInterface(IID_IShellIconOverlayIdentifier, &identifier) == S_OK);
        EXPECT_TRUE(unknown.Get() == asDual.Get() && unknown.Get() == dispatch.Get());
        int index = -1, priority = -1;
        DWORD flags = 0;
        HICON icon = nullptr; // loaded as the file manager loads it: by its position in the file
        ASSERT_TRUE(identifier->GetOverlayInfo(iconFile, MAX_PATH, &index, &flags) == S_OK &&
                    identifier->GetPriority(&priority) == S_OK);
        EXPECT_STREQ(iconFile, module);
        EXPECT_TRUE(index == iconIndex && flags == (ISIOI_ICONFILE | ISIOI_ICONINDEX) && priority == 0)
            << index << " " << flags << " " << priority;
        EXPECT_EQ(ExtractIconExW(iconFile, index, &icon, nullptr, 1), 1u);
        DestroyIcon(icon);

        ComPtr<ITypeInfo> info, again, its; // the library hands out one object per type
        if (!library) {
            EXPECT_EQ(dispatch->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
            ASSERT_EQ(LoadTypeLibEx(module, REGKIND_REGISTER, &library), S_OK);
            held = (library->AddRef(), library->Release());
        }
        ASSERT_TRUE(dispatch->GetTypeInfo(0, 0, &info) == S_OK && dispatch->GetTypeInfo(0, 0, &again) == S_OK &&
                    library->GetTypeInfoOfGuid(*dual, &its) == S_OK);
        EXPECT_TRUE(info.Get() == its.Get() && again.Get() == its.Get()) << "its own, and asked again, the kept one";
    }
    dll.Unload();
    EXPECT_EQ((library->AddRef(), library->Release()), held) << "the module let go of the library and its types";
    EXPECT_EQ(UnRegisterTypeLib(LIBID_OrbethExtensionsLib, 1, 0, 0x0409, SYS_WIN64), S_OK);
}

const std::wstring ApprovedKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const std::wstring Explorer = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\",
                   Connector = L"OrbethExtensions.IconOverlayConnector";
// In the class table's order, which registration follows: the menu, the ok, pending and error overlays, the helper
// object.
const std::wstring Classes[] = {L"{4D447825-B53E-4C8D-8A3C-24FF0FC9ED30}", L"{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}",
                                L"{345DCDDB-F6B4-4AFB-A4AA-4894E28A4A8C}", L"{1DDA3509-9FF3-40DA-8B00-3CFAEDB46577}",
                                L"{A491688A-E9AA-4537-AA05-46C61DF377F5}"};
const std::wstring Overlays = Explorer + L"ShellIconOverlayIdentifiers\\   ",
                   Menu = L"ContextMenuHandlers\\01OrbethContextMenu";

// What registration wrote, as "key { what is below it }" for each key it writes or whose values are
// all its own; empty when none is there.
std::wstring Ours()
{
    std::wstring text;
    const auto add = [&](HKEY root, const std::wstring& key) {
        if (const std::wstring below = DumpRegistry(root, key); !below.empty())
            text += key + L" { " + below + L" } ";
    };
    for (const std::wstring& key :
         {L"AppID\\{D68EEFFA-888A-49C3-991D-A63A3084A742}"s, L"AppID\\OrbethExtensions.DLL"s, Connector,
          Connector + L".1", L"*\\ShellEx\\" + Menu, L"Directory\\shellex\\" + Menu})
        add(HKEY_CLASSES_ROOT, key);
    for (const std::wstring& clsid : Classes)
        add(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid);
    for (const std::wstring& key : {ApprovedKey, Overlays + L"001OrbethOk", Overlays + L"002OrbethPending",
                                    Overlays + L"003OrbethError", Explorer + L"Browser Helper Objects\\" + Classes[4]})
        add(HKEY_LOCAL_MACHINE, key);
    return text;
}

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
    HRESULT Install(BOOL install, LPCWSTR line)
    {
        return dll.Export<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>("DllInstall")(install, line);
    }

    static std::wstring CopyOf(HMODULE module, const std::wstring& to)
    {
        wchar_t from[MAX_PATH];
        return GetModuleFileNameW(module, from, MAX_PATH) && CopyFileW(from, to.c_str(), FALSE) ? to : L"";
    }

    // Registered from a folder whose name has a single quote, which the scripts must write twice.
    CTempFolder folder{L"it's here"};
    CLoadedExtension original;
    const std::wstring module = CopyOf(original.Module(), folder.Child(L"OrbethExtensions.dll"));
    CLoadedExtension dll{module.c_str()};
};

// Without the right to approve extensions, and from a missing or empty script (EmptyScript.rc is this program's only
// one), nothing is registered. Twice is once: a ForceRemove key's stale subkey goes; the caller's locale comes back.
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
    const std::wstring once = Ours(), server = L"InprocServer32|=" + std::wstring(module) +
                                               L"; InprocServer32|ThreadingModel=Apartment";
    for (const std::wstring& clsid : Classes)
        EXPECT_NE(DumpRegistry(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid).find(server), std::wstring::npos)
            << testing::PrintToString(clsid);
    EXPECT_EQ(DumpRegistry(HKEY_CLASSES_ROOT, L"CLSID\\{167BA3A7-BB78-437A-A4DF-8F69B00C9BE7}"), L"")
        << "the Windows 11 menu's class is the package's to declare";
    EXPECT_NE(once.find(ApprovedKey + L" { |" + Classes[3] + L"=OrbethIconOverlay; |" + Classes[2] +
                        L"=OrbethIconOverlay; |" + Classes[0] + L"=OrbethContextMenu; |" + Classes[1] +
                        L"=OrbethIconOverlay } "),
              std::wstring::npos)
        << "the helper object is not approved";

    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, (L"CLSID\\" + Classes[1] + L"\\OldVersion").c_str(), nullptr, REG_SZ,
                              L"", 2),
              ERROR_SUCCESS);
    const LCID locale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(locale));
    EXPECT_EQ(Register(), S_OK);
    EXPECT_TRUE(Ours() == once && GetThreadLocale() == locale);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, (Connector + L"\\Foreign").c_str(), nullptr, REG_SZ, L"", 2),
              ERROR_SUCCESS);
    EXPECT_TRUE(Install(FALSE, nullptr) == S_OK && GetThreadLocale() == locale);
    EXPECT_EQ(Ours(), Connector + L" { |=OrbethIconOverlayBHO Class; Foreign|= } ");
    RegDeleteTreeW(HKEY_CLASSES_ROOT, Connector.c_str());
    EXPECT_TRUE(Unregister() == S_OK && Ours().empty());
}

// A lasting key cannot be made below a volatile one: with the overlay identifiers' key volatile, the second class's
// script fails half-way. The classes after it are not registered, the error comes back, and install takes all back.
TEST_F(RegistrationTest, AScriptFailingHalfWayStopsRegistrationAndInstallTakesItAllBack)
{
    const std::wstring identifiers = Explorer + L"ShellIconOverlayIdentifiers";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, identifiers.c_str());
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, identifiers.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_READ,
                              nullptr, &made, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(made);
    const HRESULT refused = HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(Register(), refused);
    for (size_t i = 0; i < std::size(Classes); ++i) // the menu stays; the ok overlay's failing part was taken back
        EXPECT_EQ(DumpRegistry(HKEY_CLASSES_ROOT, L"CLSID\\" + Classes[i]).empty(), i > 1) << i;
    EXPECT_TRUE(Install(TRUE, nullptr) == refused && Ours().empty());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, identifiers.c_str());
}

// The interpreter alone, against a scratch key of the current user.
TEST(RegObjectTest, EachScriptLeavesItsTreeOrFailsLeavingNothing)
{
    const wchar_t Scratch[] = L"Software\\OrbethScriptTest";
    CRegObject reg;
    // Registration doubles the quotes of what it puts inside quotes; the first pair of a name wins.
    ASSERT_EQ(reg.AddReplacement(L"MODULE", L"C:\\it''s here\\x.dll"), S_OK);
    ASSERT_EQ(reg.AddReplacement(L"module", L"second text loses"), S_OK);
    ASSERT_EQ(reg.AddReplacement(L"A23456789012345678901234567890123", L"x"), S_OK);
    EXPECT_EQ(reg.AddReplacement(nullptr, L"x"), E_INVALIDARG);
    const std::wstring longest(4094, L'x'), scratch = L"HKCU { NoRemove Software { NoRemove OrbethScriptTest { ";
    // open and close wrapped levels times around nothing: keys nested in blocks, or the path of the deepest.
    const auto nested = [](int levels, const wchar_t* open, const wchar_t* close) {
        std::wstring text;
        for (int level = 0; level < levels; ++level)
            text = open + text + close;
        return text;
    };
    // The entries of the scratch key (or a whole script, if it names its roots), run after "before" was registered.
    const struct {
        std::wstring entries;
        HRESULT result;
        std::wstring tree;
        std::wstring before = L"";
        bool registering = true;
        // clang-format off
    } cases[] = {
        {L"'  001 It''s' = s 'say ''hi'' 100%%'", S_OK, L"  001 It's|=say 'hi' 100%"},
        {L"K { InprocServer32 = s '%Module%' }", S_OK, L"K\\InprocServer32|=C:\\it's here\\x.dll"},
        {L"K = s '" + longest + L"'", S_OK, L"K|=" + longest},
        {L"K\r\n{\tval D = d 4294967295 val B = b 19aF val Z = b 0z }", S_OK, // a non-hex digit counts as 0
         L"K|B=type 3 19af; K|D=type 4 ffffffff; K|Z=type 3 00"},
        {L"K { val M = m 'a\\0b' val T = m '~\\0z~\\0' val E = m '' }", S_OK,
         L"K|E=type 7 00000000; K|M=type 7 61000000620000000000; K|T=type 7 7e0000007a007e00000000000000"},
        {L"Key = s '%Unknown%'", DISP_E_EXCEPTION, L""}, {L"Key = s '%A23456789012345678901234567890123%'", E_FAIL, L""},
        {L"Key = s '100% sure", DISP_E_EXCEPTION, L""}, {L"Key = s 'no closing quote }", DISP_E_EXCEPTION, L""}, {L"Key = q x", DISP_E_EXCEPTION, L""},
        {L"'Parent\\Child' = s x", DISP_E_EXCEPTION, L""}, {L"ForceRemove '' { }", DISP_E_EXCEPTION, L"Kept|=x", L"Kept = s x"}, {L"Key = s " + std::wstring(4095, L'x'), DISP_E_EXCEPTION, L""}, {L"HKXX { }", DISP_E_EXCEPTION, L""},
        {L"Key { val Name s x }", DISP_E_EXCEPTION, L""}, {L"Key { val Odd = b 0aF }", E_FAIL, L""}, {L"Key { A = s 1", DISP_E_EXCEPTION, L""},
        {L"Key { val NotANumber = d twelve }", DISP_E_TYPEMISMATCH, L""}, {L"HKCU Software", DISP_E_EXCEPTION, L""},
        {L" \r\n\t", S_OK, L""}, // an empty script does nothing
        // A failing root block is taken back; the earlier ones stay.
        {scratch + L"First = s 1 } } }\r\n" + scratch + L"Key = s 2 { Deep = s 3 } Third { val Broken = b 123 } } } }", E_FAIL,
         L"First|=1"},
        // ForceRemove rebuilds from scratch; Delete makes nothing, not even from its block; CLSID is never deleted.
        {L"ForceRemove Class = s new { Fresh = s y } ForceRemove CLSID { Mine = s z } Delete Gone = s ignored "
         L"{ Recreated = s no } Delete Absent Delete clsid", S_OK, L"Class|=new; Class\\Fresh|=y; CLSID\\Foreign|=kept; CLSID\\Mine|=z",
         L"Class { Stale { Older = s x } } CLSID { Foreign = s kept } Gone { Child = s x }"},
        // NoRemove keys stay even empty, as do keys with foreign subkeys and NoRemove values; what is not there is skipped.
        {L"NoRemove Kept { Mine = s 1 { val Setting = s x } } Shared { Ours = s 2 } Plain = s 3 { val Goes = s z } "
         L"Values { NoRemove val Stays = s y val Goes = s z } Nowhere { Deeper { val X = s 1 } } ForceRemove Also = s 2", S_OK,
         L"Kept; Shared\\Foreign|=other; Values|Stays=y; Values\\Child|=c",
         L"NoRemove Kept { Mine = s 1 { val Setting = s x } } Shared { Ours = s 2 Foreign = s other } Plain = s 3 { val Goes = s z } "
         L"Values { val Stays = s y val Goes = s z Child = s c }", false},
        {L"HKCU { NoRemove Software { OrbethNeverMade { A { B = s 1 } } } }", S_OK, L"", L"", false},
        {L"HKEY_CURRENT_USER { NoRemove Software { NoRemove OrbethScriptTest { Long = s name } } }", S_OK, L"Long|=name"},
        // With the scratch key's three, 64 nested blocks are taken; more are refused before any change, in either mode.
        {nested(61, L"K { ", L"} "), S_OK, nested(60, L"K\\", L"") + L"K"},
        {nested(62, L"K { ", L"} "), DISP_E_EXCEPTION, L"Kept|=x", L"Kept = s x"},
        {nested(1997, L"K { ", L"} "), DISP_E_EXCEPTION, L"Kept|=x", L"Kept = s x", false},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.entries.substr(0, 60)));
        RegDeleteTreeW(HKEY_CURRENT_USER, Scratch);
        ASSERT_EQ(reg.RunScript((scratch + c.before + L" } } }").c_str(), true), S_OK);
        const bool whole =
            c.entries.rfind(L"HK", 0) == 0 || c.entries.find_first_not_of(L" \r\n\t") == std::wstring::npos;
        EXPECT_EQ(reg.RunScript((whole ? c.entries : scratch + c.entries + L" } } }").c_str(), c.registering),
                  c.result);
        EXPECT_EQ(DumpRegistry(HKEY_CURRENT_USER, Scratch), c.tree);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, Scratch);
}

// The class table lets go of the factories it made when it goes.
TEST(ModuleTest, TheClassTableReleasesItsFactoriesWhenItGoes)
{
    IClassFactory* factory = nullptr;
    auto classes = std::make_unique<CClassTable>();
    ASSERT_EQ(classes->GetClassObject(CLSID_OrbethOkIconOverlay, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    classes.reset();
    EXPECT_EQ(factory->Release(), 0u) << "the table's reference went with it";
}

} // namespace
