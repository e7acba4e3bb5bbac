#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/Module.h"
#include "module/RegObject.h"
#include "tests/support/RegistryDump.h"

namespace {

// Scripts run against a scratch key of the current user, removed again after each case.
class RegObjectTest : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, Scratch); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, Scratch); }

    static constexpr wchar_t Scratch[] = L"Software\\OrbethScriptTest";
    CRegObject reg;
};

TEST_F(RegObjectTest, EachScriptLeavesItsTreeOrFailsLeavingNothing)
{
    // Registration doubles the quotes of what it puts inside quotes; the first pair of a name wins.
    ASSERT_EQ(reg.AddReplacement(L"MODULE", L"C:\\it''s here\\x.dll"), S_OK);
    ASSERT_EQ(reg.AddReplacement(L"module", L"second text loses"), S_OK);
    ASSERT_EQ(reg.AddReplacement(L"A23456789012345678901234567890123", L"x"), S_OK);
    EXPECT_EQ(reg.AddReplacement(nullptr, L"x"), E_INVALIDARG);
    const std::wstring longest(4094, L'x'), scratch = L"HKCU { NoRemove Software { NoRemove OrbethScriptTest { ";
    // The entries of the scratch key (a whole script if it names its roots), run after "before"
    // was registered; strings show as themselves, other values as their type and bytes.
    const struct {
        std::wstring entries;
        HRESULT result;
        std::wstring tree;
        std::wstring before = L"";
        bool registering = true;
    } cases[] = {
        {L"'  001 It''s' = s 'say ''hi'' 100%%'", S_OK, L"  001 It's|=say 'hi' 100%"},
        {L"K { InprocServer32 = s '%Module%' }", S_OK, L"K\\InprocServer32|=C:\\it's here\\x.dll"},
        {L"K\r\n{\tval ThreadingModel = s Apartment }", S_OK, L"K|ThreadingModel=Apartment"},
        {L"K = s '" + longest + L"'", S_OK, L"K|=" + longest},
        {L"K { val D = d 4294967295 val B = b 0aFF val Z = b 0z }", S_OK, // a non-hex digit counts as 0
         L"K|B=type 3 0aff; K|D=type 4 ffffffff; K|Z=type 3 00"},
        {L"K { val M = m 'a\\0b' val T = m '~\\0z~\\0' val E = m '' }", S_OK,
         L"K|E=type 7 00000000; K|M=type 7 61000000620000000000; K|T=type 7 7e0000007a007e00000000000000"},
        {L"Key = s '%Unknown%'", DISP_E_EXCEPTION, L""}, {L"Key = s '%A23456789012345678901234567890123%'", E_FAIL, L""},
        {L"Key = s '100% sure", DISP_E_EXCEPTION, L""}, {L"Key = s 'no closing quote }", DISP_E_EXCEPTION, L""},
        {L"'Parent\\Child' = s x", DISP_E_EXCEPTION, L""}, {L"Key = s " + std::wstring(4095, L'x'), DISP_E_EXCEPTION, L""},
        {L"Key = q x", DISP_E_EXCEPTION, L""}, {L"Key { val Name s x }", DISP_E_EXCEPTION, L""},
        {L"Key { val Odd = b 0aF }", E_FAIL, L""}, {L"Key { val NotANumber = d twelve }", DISP_E_TYPEMISMATCH, L""},
        {L"Key { A = s 1", DISP_E_EXCEPTION, L""}, {L"HKXX { }", DISP_E_EXCEPTION, L""},
        {L"HKCU Software", DISP_E_EXCEPTION, L""}, {L" \r\n\t", S_OK, L""}, // an empty script does nothing
        // A failing root block is taken back; the earlier ones stay.
        {scratch + L"First = s 1 } } }\r\n" + scratch + L"Key = s 2 { Deep = s 3 } Third { val Broken = b 123 } } } }", E_FAIL,
         L"First|=1"},
        // ForceRemove rebuilds from scratch; Delete creates nothing, not even from its block; CLSID
        // is never deleted, by either.
        {L"ForceRemove Class = s new { Fresh = s y } ForceRemove CLSID { Mine = s z } Delete Gone = s ignored "
         L"{ Recreated = s no } Delete Absent Delete clsid", S_OK, L"Class|=new; Class\\Fresh|=y; CLSID\\Foreign|=kept; CLSID\\Mine|=z",
         L"Class { Stale { Older = s x } } CLSID { Foreign = s kept } Gone { Child = s x }"},
        // NoRemove keys stay even when empty, so do keys with foreign subkeys, and NoRemove values;
        // values do not keep a key. What does not exist is skipped, its block included.
        {L"NoRemove Kept { Mine = s 1 { val Setting = s x } } Shared { Ours = s 2 } Plain = s 3 { val Goes = s z } "
         L"Values { NoRemove val Stays = s y val Goes = s z } Nowhere { Deeper { val X = s 1 } } ForceRemove Also = s 2", S_OK,
         L"Kept; Shared\\Foreign|=other; Values|Stays=y; Values\\Child|=c",
         L"NoRemove Kept { Mine = s 1 { val Setting = s x } } Shared { Ours = s 2 Foreign = s other } Plain = s 3 { val Goes = s z } "
         L"Values { val Stays = s y val Goes = s z Child = s c }", false},
        {L"HKCU { NoRemove Software { OrbethNeverMade { A { B = s 1 } } } }", S_OK, L"", L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.entries.substr(0, 60)));
        RegDeleteTreeW(HKEY_CURRENT_USER, Scratch);
        ASSERT_EQ(reg.RunScript((scratch + c.before + L" } } }").c_str(), true), S_OK);
        const bool whole = c.entries.rfind(L"HK", 0) == 0 || c.entries.find_first_not_of(L" \r\n\t") == std::wstring::npos;
        EXPECT_EQ(reg.RunScript((whole ? c.entries : scratch + c.entries + L" } } }").c_str(), c.registering), c.result);
        EXPECT_EQ(DumpRegistry(HKEY_CURRENT_USER, Scratch), c.tree);
    }
}

// Each name of each root, written to and taken back through the real registry; the performance
// data root is known, but holds no keys to make.
TEST_F(RegObjectTest, EveryRootKeyNameReachesItsKey)
{
    const std::pair<std::wstring, HKEY> roots[] = {
        {L"HKCR", HKEY_CLASSES_ROOT}, {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}, {L"HKCU", HKEY_CURRENT_USER},
        {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER}, {L"HKLM", HKEY_LOCAL_MACHINE}, {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKU", HKEY_USERS}, {L"HKEY_USERS", HKEY_USERS}, {L"HKDD", HKEY_DYN_DATA}, {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
        {L"HKCC", HKEY_CURRENT_CONFIG}, {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG}, {L"HKPD", HKEY_PERFORMANCE_DATA},
        {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA}};
    for (const auto& [name, root] : roots) {
        SCOPED_TRACE(testing::PrintToString(name));
        const std::wstring script = name + L" { OrbethRootTest { val Name = s " + name + L" } }";
        const bool makesKeys = root != HKEY_PERFORMANCE_DATA;
        const HRESULT result = reg.RunScript(script.c_str(), true);
        EXPECT_TRUE(makesKeys ? result == S_OK : FAILED(result) && result != DISP_E_EXCEPTION);
        EXPECT_EQ(DumpRegistry(root, L"OrbethRootTest"), makesKeys ? L"|Name=" + name : L"");
        EXPECT_EQ(reg.RunScript(script.c_str(), false), makesKeys ? S_OK : result);
        EXPECT_EQ(DumpRegistry(root, L"OrbethRootTest"), L"");
    }
}

// The module runs every clean-up registered with it when it goes, the newest first.
TEST(ModuleTest, EveryCleanUpRunsAtUnload)
{
    static std::vector<int> ran;
    int first = 1, second = 2;
    {
        COrbethExtensionsModule module;
        const auto record = [](void* id) { ran.push_back(*static_cast<int*>(id)); };
        ASSERT_TRUE(module.AddTermFunc(record, &first) && module.AddTermFunc(record, &second));
        EXPECT_TRUE(ran.empty());
    }
    EXPECT_EQ(ran, (std::vector<int>{2, 1}));
}

} // namespace
