#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/RegistryKey.h"
#include "module/Module.h"
#include "module/RegObject.h"

namespace {

using Value = std::pair<DWORD, std::vector<BYTE>>;

// A value's type and bytes as the registry holds them; REG_NONE when it is missing.
Value Read(HKEY root, const std::wstring& path, const wchar_t* name = nullptr)
{
    std::vector<BYTE> data(16384);
    DWORD type = REG_NONE, size = static_cast<DWORD>(data.size());
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, &type, data.data(), &size) != ERROR_SUCCESS)
        return {REG_NONE, {}};
    data.resize(size);
    return {type, data};
}

Value Sz(std::wstring_view text, DWORD type = REG_SZ) // the text and one more NUL
{
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    std::vector<BYTE> data(bytes, bytes + text.size() * sizeof(wchar_t));
    data.resize(data.size() + sizeof(wchar_t));
    return {type, data};
}

// Scripts run against a scratch key of the current user, removed again after each test.
class RegObjectTest : public ::testing::Test {
protected:
    static constexpr wchar_t Scratch[] = L"Software\\OrbethScriptTest";

    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, Scratch); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, Scratch); }

    // The script's entries, placed inside the scratch key.
    HRESULT Run(const std::wstring& entries, bool registering = true)
    {
        return reg.RunScript((L"HKCU { NoRemove Software { NoRemove OrbethScriptTest { " + entries + L" } } }").c_str(),
                             registering);
    }
    Value At(const std::wstring& path, const wchar_t* name = nullptr)
    {
        return Read(HKEY_CURRENT_USER, std::wstring(Scratch) + L"\\" + path, name);
    }
    bool Exists(const std::wstring& path)
    {
        CRegistryKey key;
        return key.Open(HKEY_CURRENT_USER, (std::wstring(Scratch) + L"\\" + path).c_str(), KEY_READ) == ERROR_SUCCESS;
    }

    CRegObject reg;
};

TEST_F(RegObjectTest, ValuesOfEveryTypeQuotesAndReplacements)
{
    // Registration doubles the quotes of what it puts inside quotes; the first pair of a name wins.
    ASSERT_EQ(reg.AddReplacement(L"MODULE", L"C:\\it''s here\\x.dll"), S_OK);
    ASSERT_EQ(reg.AddReplacement(L"module", L"second text loses"), S_OK);
    EXPECT_EQ(reg.AddReplacement(nullptr, L"x"), E_INVALIDARG);
    const std::wstring longest(4094, L'x');
    const struct {
        std::wstring entries;
        const wchar_t *key, *name;
        Value expected;
    } cases[] = {
        {L"'  001 It''s' = s 'say ''hi'' 100%%'", L"  001 It's", nullptr, Sz(L"say 'hi' 100%")},
        {L"K { InprocServer32 = s '%Module%' }", L"K\\InprocServer32", nullptr, Sz(L"C:\\it's here\\x.dll")},
        {L"K\r\n{\tval ThreadingModel = s Apartment }", L"K", L"ThreadingModel", Sz(L"Apartment")},
        {L"K = s '" + longest + L"'", L"K", nullptr, Sz(longest)},
        {L"K { val D = d 4294967295 }", L"K", L"D", {REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}}},
        {L"K { val B = b 0aFF }", L"K", L"B", {REG_BINARY, {0x0A, 0xFF}}},
        {L"K { val B = b 0z }", L"K", L"B", {REG_BINARY, {0x00}}}, // a non-hex digit counts as 0
        {L"K { val M = m 'a\\0b' }", L"K", L"M", Sz({L"a\0b\0", 4}, REG_MULTI_SZ)},
        {L"K { val M = m '~\\0z~\\0' }", L"K", L"M", Sz({L"~\0z~\0\0", 6}, REG_MULTI_SZ)},
        {L"K { val M = m '' }", L"K", L"M", Sz({L"\0", 1}, REG_MULTI_SZ)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.entries.substr(0, 50)));
        ASSERT_EQ(Run(c.entries), S_OK);
        EXPECT_EQ(At(c.key, c.name), c.expected);
    }
}

// Each name of each root, written to and taken back through the real registry.
TEST_F(RegObjectTest, EveryRootKeyNameReachesItsKey)
{
    const struct {
        const wchar_t *shortName, *longName;
        HKEY key;
    } roots[] = {{L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}, {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                 {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {L"HKU", L"HKEY_USERS", HKEY_USERS},
                 {L"HKDD", L"HKEY_DYN_DATA", HKEY_DYN_DATA}, {L"HKCC", L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
                 {L"HKPD", L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA}}; // known, but holds no keys to make
    for (const auto& root : roots) {
        for (const std::wstring name : {root.shortName, root.longName}) {
            SCOPED_TRACE(testing::PrintToString(name));
            const std::wstring script = name + L" { OrbethRootTest { val Name = s " + name + L" } }";
            const HRESULT result = reg.RunScript(script.c_str(), true);
            EXPECT_TRUE(root.key == HKEY_PERFORMANCE_DATA ? FAILED(result) && result != DISP_E_EXCEPTION : result == S_OK);
            EXPECT_EQ(Read(root.key, L"OrbethRootTest", L"Name"), root.key == HKEY_PERFORMANCE_DATA ? Value() : Sz(name));
            EXPECT_EQ(reg.RunScript(script.c_str(), false), root.key == HKEY_PERFORMANCE_DATA ? result : S_OK);
            EXPECT_EQ(Read(root.key, L"OrbethRootTest", L"Name").first, DWORD(REG_NONE));
        }
    }
}

TEST_F(RegObjectTest, BrokenScriptsFailAndLeaveNothingBehind)
{
    ASSERT_EQ(reg.AddReplacement(L"A23456789012345678901234567890123", L"x"), S_OK);
    const struct {
        std::wstring text;
        HRESULT error;
        bool whole = false; // the whole script, not entries of the scratch key
    } cases[] = {
        {L"Key = s '%Unknown%'", DISP_E_EXCEPTION}, {L"Key = s '%A23456789012345678901234567890123%'", E_FAIL},
        {L"Key = s '100% sure", DISP_E_EXCEPTION}, {L"Key = s 'no closing quote }", DISP_E_EXCEPTION},
        {L"'Parent\\Child' = s x", DISP_E_EXCEPTION}, {L"Key = s " + std::wstring(4095, L'x'), DISP_E_EXCEPTION},
        {L"Key = q x", DISP_E_EXCEPTION}, {L"Key { val Name s x }", DISP_E_EXCEPTION},
        {L"Key { val Odd = b 0aF }", E_FAIL}, {L"Key { val NotANumber = d twelve }", DISP_E_TYPEMISMATCH},
        {L"HKCU { Software { OrbethScriptTest { Key", DISP_E_EXCEPTION, true}, {L"HKXX { }", DISP_E_EXCEPTION, true},
        {L"HKCU Software", DISP_E_EXCEPTION, true}, {L" \r\n\t", S_OK, true}, // an empty script does nothing
        // A failing root block is taken back; the earlier ones stay.
        {L"HKCU { NoRemove Software { NoRemove OrbethScriptTest { First = s 1 } } }\r\nHKCU { NoRemove Software { "
         L"NoRemove OrbethScriptTest { Key = s 2 { Deep = s 3 } Third { val Broken = b 123 } } } }", E_FAIL, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text.substr(0, 60)));
        EXPECT_EQ(c.whole ? reg.RunScript(c.text.c_str(), true) : Run(c.text), c.error);
        EXPECT_FALSE(Exists(L"Key") || Exists(L"Third")) << "the failing block was taken back";
    }
    EXPECT_TRUE(Exists(L"First"));
}

TEST_F(RegObjectTest, ForceRemoveAndDeleteSpareProtectedNames)
{
    ASSERT_EQ(Run(L"Class { Stale { Older = s x } } CLSID { Foreign = s kept } Gone { Child = s x }"), S_OK);
    ASSERT_EQ(Run(L"ForceRemove Class = s new { Fresh = s y } ForceRemove CLSID { Mine = s z } "
                  L"Delete Gone = s ignored { Recreated = s no } Delete Absent Delete clsid"),
              S_OK);
    EXPECT_FALSE(Exists(L"Class\\Stale")) << "ForceRemove rebuilds from scratch";
    EXPECT_EQ(At(L"Class"), Sz(L"new"));
    EXPECT_TRUE(Exists(L"Class\\Fresh"));
    EXPECT_TRUE(Exists(L"CLSID\\Foreign")) << "CLSID is never deleted, by ForceRemove or Delete";
    EXPECT_TRUE(Exists(L"CLSID\\Mine"));
    EXPECT_FALSE(Exists(L"Gone")) << "Delete creates nothing, not even from its block";
    EXPECT_FALSE(Exists(L"Absent"));
}

TEST_F(RegObjectTest, UnregisteringKeepsNoRemoveAndForeignKeys)
{
    const std::wstring script = L"NoRemove Kept { Mine = s 1 { val Setting = s x } } Shared { Ours = s 2 } Plain = s 3 "
                                L"{ NoRemove val Stays = s y val Goes = s z val Missing = s w }";
    ASSERT_EQ(Run(script), S_OK);
    ASSERT_EQ(Run(L"Shared { Foreign = s other } Values { NoRemove val Stays = s y val Goes = s z Child = s c }"), S_OK);
    ASSERT_EQ(Run(script + L" Values { NoRemove val Stays = s y val Goes = s z }", false), S_OK);
    EXPECT_TRUE(Exists(L"Kept")) << "NoRemove survives even when empty";
    EXPECT_FALSE(Exists(L"Kept\\Mine"));
    EXPECT_TRUE(Exists(L"Shared\\Foreign")) << "a key with foreign subkeys stays";
    EXPECT_FALSE(Exists(L"Shared\\Ours"));
    EXPECT_FALSE(Exists(L"Plain")) << "values do not keep a key";
    EXPECT_EQ(At(L"Values", L"Stays"), Sz(L"y"));
    EXPECT_EQ(At(L"Values", L"Goes").first, DWORD(REG_NONE));
    // What does not exist is skipped, its block included, and that is success.
    EXPECT_EQ(Run(L"Nowhere { Deeper { val X = s 1 } } ForceRemove Also = s 2", false), S_OK);
    EXPECT_EQ(reg.RunScript(L"HKCU { NoRemove Software { OrbethNeverMade { A { B = s 1 } } } }", false), S_OK);
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
