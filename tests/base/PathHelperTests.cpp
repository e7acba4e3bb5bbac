#include <gtest/gtest.h>

#include <string>

#include "base/PathHelper.h"

namespace {

// Decomposed texts grow or shrink as they are composed; lower-casing covers non-ASCII letters.
TEST(PathHelperTest, NormalisationComposesAndLowerCasingCoversNonAscii)
{
    std::wstring text, composed;
    for (int i = 0; i < 2000; ++i) {
        text += L"a\u0301\u1100\u1161";
        composed += L"\u00E1\uAC00";
    }
    COrbethPathHelper::NormalizeInPlace(&text);
    EXPECT_EQ(text, composed);
    std::wstring mixed = L"/ÀÉÎÕÜ-ÑÇ-ΣΑΣ-ЖЁ-ABC/\xD801\xDC00\xD835\xDC00";
    COrbethPathHelper::LowerCaseInPlace(&mixed);
    EXPECT_EQ(mixed, L"/àéîõü-ñç-σασ-жё-abc/\xD801\xDC00\xD835\xDC00") << "surrogates stay as they are";
}

} // namespace
