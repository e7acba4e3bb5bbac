#include <gtest/gtest.h>

#include <string>

#include "base/PathHelper.h"

namespace {

const std::wstring Root = L"C:\\Users\\me\\Orbeth\\";

// Under the root means the root or below it after a separator; the relative path starts with a
// slash, and a folder's ends with one ("-" when there is none).
TEST(PathHelperTest, PathsUnderTheRootAndTheirRelativeForm)
{
    const struct {
        const wchar_t* path;
        DWORD attributes;
        const wchar_t* relative;
    } rows[] = {
        {L"C:\\Users\\me\\Orbeth\\", FILE_ATTRIBUTE_DIRECTORY, L"/"},
        {L"C:\\Users\\me\\Orbeth", FILE_ATTRIBUTE_DIRECTORY, L"/"},
        {L"C:\\Users\\me\\Orbeth\\a", FILE_ATTRIBUTE_ARCHIVE, L"/a"},
        {L"C:\\Users\\me\\Orbeth\\Docs", FILE_ATTRIBUTE_DIRECTORY, L"/Docs/"},
        {L"C:\\Users\\me\\Orbeth\\Docs\\", FILE_ATTRIBUTE_DIRECTORY, L"/Docs/"},
        {L"C:\\Users\\me\\Orbeth\\Docs\\Sub\\A.txt", FILE_ATTRIBUTE_ARCHIVE, L"/Docs/Sub/A.txt"},
        {L"c:\\users\\ME\\orbeth\\Docs\\a.txt", FILE_ATTRIBUTE_ARCHIVE, L"/Docs/a.txt"},
        {L"C:\\Users\\me\\OrbethOther\\a.txt", 0, L"-"},
        {L"C:\\Users\\me\\Orbeth.old", 0, L"-"},
        {L"C:\\Users\\me\\Orbet", 0, L"-"},
        {L"C:\\Users\\me", FILE_ATTRIBUTE_DIRECTORY, L"-"},
        {L"D:\\Users\\me\\Orbeth\\a", 0, L"-"},
        {L"C:/Users/me/Orbeth/a", 0, L"-"},
        {L"", 0, L"-"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.path)));
        const bool under = row.relative != std::wstring(L"-");
        EXPECT_EQ(COrbethPathHelper::IsPathUnderRoot(Root, row.path), under);
        std::wstring relative = L"-";
        // Only asked for paths already known to be under the root.
        EXPECT_TRUE(!under || COrbethPathHelper::MakeRelativePath(Root, row.path, row.attributes, &relative));
        EXPECT_EQ(relative, row.relative);
        EXPECT_EQ(COrbethPathHelper::IsManagedPath(Root, row.path, row.attributes | FILE_ATTRIBUTE_READONLY), under);
        for (const DWORD unmanaged : {DWORD(FILE_ATTRIBUTE_HIDDEN), DWORD(FILE_ATTRIBUTE_SYSTEM), DWORD(FILE_ATTRIBUTE_DEVICE),
                                      DWORD(FILE_ATTRIBUTE_OFFLINE), DWORD(FILE_ATTRIBUTE_VIRTUAL), INVALID_FILE_ATTRIBUTES})
            EXPECT_FALSE(COrbethPathHelper::IsManagedPath(Root, row.path, row.attributes | unmanaged)) << unmanaged;
    }
    EXPECT_FALSE(COrbethPathHelper::IsPathUnderRoot(L"", L"C:\\a"));
    EXPECT_FALSE(COrbethPathHelper::IsPathUnderRoot(Root, std::wstring_view()));
    EXPECT_TRUE(COrbethPathHelper::IsPathUnderRoot(L"D:\\", L"D:\\file.txt")) << "a drive as the root";
    std::wstring relative = L"unchanged";
    EXPECT_FALSE(COrbethPathHelper::MakeRelativePath(Root, L"C:\\Users", FILE_ATTRIBUTE_DIRECTORY, &relative));
    EXPECT_FALSE(COrbethPathHelper::MakeRelativePath(L"", L"C:\\a", 0, &relative));
    EXPECT_EQ(relative, L"unchanged");
}

TEST(PathHelperTest, NormalisationComposesAndLowerCasingCoversNonAscii)
{
    std::wstring decomposed = L"/U\u0308bung/E\u0301norme.txt";
    COrbethPathHelper::NormalizeInPlace(&decomposed);
    EXPECT_EQ(decomposed, L"/\u00DCbung/\u00C9norme.txt");
    COrbethPathHelper::LowerCaseInPlace(&decomposed);
    EXPECT_EQ(decomposed, L"/\u00FCbung/\u00E9norme.txt");

    // Long decomposed texts grow or shrink; the result must still be the composed form.
    std::wstring longText;
    std::wstring composed;
    for (int i = 0; i < 2000; ++i) {
        longText += L"a\u0301\u1100\u1161";
        composed += L"\u00E1\uAC00";
    }
    COrbethPathHelper::NormalizeInPlace(&longText);
    EXPECT_EQ(longText, composed);

    std::wstring mixed = L"/ÀÉÎÕÜ-ÑÇ-ΣΑΣ-ЖЁ-ABC/\xD801\xDC00\xD835\xDC00";
    COrbethPathHelper::LowerCaseInPlace(&mixed);
    EXPECT_EQ(mixed, L"/àéîõü-ñç-σασ-жё-abc/\xD801\xDC00\xD835\xDC00") << "surrogates stay as they are";

    std::wstring alreadyComposed = L"/docs/a.txt";
    COrbethPathHelper::NormalizeInPlace(&alreadyComposed);
    EXPECT_EQ(alreadyComposed, L"/docs/a.txt");
}

} // namespace
