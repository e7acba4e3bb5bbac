#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/RegistryKey.h"
#include "module/RegObject.h"

namespace {

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
    bool Exists(const std::wstring& path)
    {
        CRegistryKey key;
        return key.Open(HKEY_CURRENT_USER, (std::wstring(Scratch) + L"\\" + path).c_str(), KEY_READ) == ERROR_SUCCESS;
    }
    // A value's type and bytes, or type REG_NONE when it is missing.
    std::pair<DWORD, std::vector<BYTE>> Value(const std::wstring& path, const wchar_t* name)
    {
        CRegistryKey key;
        std::vector<BYTE> data(1024);
        DWORD type = REG_NONE, size = static_cast<DWORD>(data.size());
        if (key.Open(HKEY_CURRENT_USER, (std::wstring(Scratch) + (path.empty() ? L"" : L"\\") + path).c_str(),
                     KEY_READ) != ERROR_SUCCESS ||
            RegQueryValueExW(key.Get(), name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            return {REG_NONE, {}};
        data.resize(size);
        return {type, data};
    }
    std::wstring Text(const std::wstring& path, const wchar_t* name)
    {
        const auto value = Value(path, name);
        return value.first == REG_SZ ? std::wstring(reinterpret_cast<const wchar_t*>(value.second.data())) : L"<none>";
    }

    CRegObject reg;
};

TEST_F(RegObjectTest, QuotesReplacementsAndValueTypes)
{
    // Registration doubles the quotes of what it puts inside quotes.
    ASSERT_EQ(reg.AddReplacement(L"MODULE", L"C:\\it''s here\\x.dll"), S_OK);
    ASSERT_EQ(reg.AddReplacement(L"module", L"second text loses"), S_OK);
    EXPECT_EQ(reg.AddReplacement(nullptr, L"x"), E_INVALIDARG);
    ASSERT_EQ(Run(L"'  001 It''s' = s 'say ''hi'' 100%%' { InprocServer32 = s '%Module%' { val ThreadingModel = s "
                  L"Apartment } }\r\n\tNumbers { val D = d 4294967295 val B = b 0aFF val Bad = b 0z val M = m "
                  L"'a\\0b' val Empty = m '' }"),
              S_OK);
    EXPECT_EQ(Text(L"  001 It's", nullptr), L"say 'hi' 100%");
    EXPECT_EQ(Text(L"  001 It's\\InprocServer32", nullptr), L"C:\\it's here\\x.dll");
    EXPECT_EQ(Text(L"  001 It's\\InprocServer32", L"ThreadingModel"), L"Apartment");
    const auto dword = Value(L"Numbers", L"D");
    EXPECT_EQ(dword.first, DWORD(REG_DWORD));
    EXPECT_EQ(dword.second, (std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Value(L"Numbers", L"B").second, (std::vector<BYTE>{0x0A, 0xFF}));
    EXPECT_EQ(Value(L"Numbers", L"Bad").second, (std::vector<BYTE>{0x00})) << "a non-hex digit counts as 0";
    const auto multi = Value(L"Numbers", L"M");
    EXPECT_EQ(multi.first, DWORD(REG_MULTI_SZ));
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(multi.second.data()), multi.second.size() / 2),
              std::wstring(L"a\0b\0\0", 5));
}

TEST_F(RegObjectTest, BrokenScriptsFailAndLeaveNothingBehind)
{
    ASSERT_EQ(reg.AddReplacement(L"A23456789012345678901234567890123", L"x"), S_OK);
    const struct {
        std::wstring entries;
        HRESULT error;
    } cases[] = {
        {L"Key = s '%Unknown%'", DISP_E_EXCEPTION},
        {L"Key = s '%A23456789012345678901234567890123%'", E_FAIL},
        {L"Key = s '100% sure", DISP_E_EXCEPTION},
        {L"Key = s 'no closing quote }", DISP_E_EXCEPTION},
        {L"'Parent\\Child' = s x", DISP_E_EXCEPTION},
        {L"Key = s " + std::wstring(4095, L'x'), DISP_E_EXCEPTION},
        {L"Key = q x", DISP_E_EXCEPTION},
        {L"Key { val Name s x }", DISP_E_EXCEPTION},
        {L"Key { val Odd = b 0aF }", E_FAIL},
        {L"Key { val NotANumber = d twelve }", DISP_E_TYPEMISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.entries.substr(0, 60)));
        EXPECT_EQ(Run(c.entries), c.error);
        EXPECT_FALSE(Exists(L"Key")) << "the failing block was taken back";
    }
    EXPECT_EQ(reg.RunScript(L"HKCU { Software { OrbethScriptTest { Key", true), DISP_E_EXCEPTION);
    EXPECT_EQ(reg.RunScript(L"HKXX { }", true), DISP_E_EXCEPTION);
    EXPECT_EQ(reg.RunScript(L"HKCU Software", true), DISP_E_EXCEPTION);
    EXPECT_EQ(reg.RunScript(L" \r\n\t", true), S_OK) << "an empty script does nothing";
    EXPECT_FALSE(Exists(L"Key"));
    EXPECT_EQ(Run(L"Key = s '" + std::wstring(4094, L'x') + L"'"), S_OK) << "4094 characters fit";
}

TEST_F(RegObjectTest, AFailingRootBlockIsTakenBackAndEarlierOnesStay)
{
    const HRESULT result = reg.RunScript(L"HKCU { NoRemove Software { NoRemove OrbethScriptTest { First = s 1 } } }\r\n"
                                         L"HKCU { NoRemove Software { NoRemove OrbethScriptTest { Second = s 2 { "
                                         L"Deep = s 3 } Third { val Broken = b 123 } } } }",
                                         true);
    EXPECT_EQ(result, E_FAIL);
    EXPECT_TRUE(Exists(L"First"));
    EXPECT_FALSE(Exists(L"Second"));
    EXPECT_FALSE(Exists(L"Third"));
}

TEST_F(RegObjectTest, ForceRemoveAndDeleteSpareProtectedNames)
{
    ASSERT_EQ(Run(L"Class { Stale { Older = s x } } CLSID { Foreign = s kept } Gone { Child = s x }"), S_OK);
    ASSERT_EQ(Run(L"ForceRemove Class = s new { Fresh = s y } ForceRemove CLSID { Mine = s z } "
                  L"Delete Gone = s ignored { Recreated = s no } Delete Absent Delete clsid"),
              S_OK);
    EXPECT_FALSE(Exists(L"Class\\Stale")) << "ForceRemove rebuilds from scratch";
    EXPECT_EQ(Text(L"Class", nullptr), L"new");
    EXPECT_TRUE(Exists(L"Class\\Fresh"));
    EXPECT_TRUE(Exists(L"CLSID\\Foreign")) << "CLSID is never deleted, by ForceRemove or Delete";
    EXPECT_TRUE(Exists(L"CLSID\\Mine"));
    EXPECT_FALSE(Exists(L"Gone")) << "Delete creates nothing, not even from its block";
    EXPECT_FALSE(Exists(L"Absent"));
}

TEST_F(RegObjectTest, UnregisteringKeepsNoRemoveAndForeignKeys)
{
    const std::wstring script =
        L"NoRemove Kept { Mine = s 1 { val Setting = s x } } Shared { Ours = s 2 } Plain = s 3 { NoRemove val "
        L"Stays = s y val Goes = s z val Missing = s w }";
    ASSERT_EQ(Run(script), S_OK);
    ASSERT_EQ(Run(L"Shared { Foreign = s other }"), S_OK);
    ASSERT_EQ(Run(script, false), S_OK);
    EXPECT_TRUE(Exists(L"Kept")) << "NoRemove survives even when empty";
    EXPECT_FALSE(Exists(L"Kept\\Mine"));
    EXPECT_TRUE(Exists(L"Shared\\Foreign")) << "a key with foreign subkeys stays";
    EXPECT_FALSE(Exists(L"Shared\\Ours"));
    EXPECT_FALSE(Exists(L"Plain")) << "values do not keep a key";

    ASSERT_EQ(Run(L"Values { NoRemove val Stays = s y val Goes = s z } Values { Child = s c }"), S_OK);
    ASSERT_EQ(Run(L"Values { NoRemove val Stays = s y val Goes = s z }", false), S_OK);
    EXPECT_EQ(Text(L"Values", L"Stays"), L"y");
    EXPECT_EQ(Text(L"Values", L"Goes"), L"<none>");

    // What does not exist is skipped, its block included, and that is success.
    EXPECT_EQ(Run(L"Nowhere { Deeper { val X = s 1 } } ForceRemove Also = s 2", false), S_OK);
    EXPECT_EQ(reg.RunScript(L"HKCU { NoRemove Software { OrbethNeverMade { A { B = s 1 } } } }", false), S_OK);
}

} // namespace
