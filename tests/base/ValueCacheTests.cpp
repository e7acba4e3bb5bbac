#include <gtest/gtest.h>

#include <string>

#include "base/SharedLock.h"
#include "base/ValueCache.h"
#include "tests/support/TestSupport.h"

namespace {

// What each typed get answers: the value as text, or "-" for false.
std::string Read(CValueCache& cache, const wchar_t* key)
{
    CSharedLockGuard guard(GetSharedLock()); // the string stays ours only under the lock
    const std::wstring* text = nullptr;
    int number = 0;
    unsigned long word = 0;
    return (cache.GetString(key, &text) ? "s" + std::string(text->begin(), text->end()) : "-") + " " +
           (cache.GetInt(key, &number) ? std::to_string(number) : "-") + " " +
           (cache.GetULong(key, &word) ? std::to_string(word) : "-");
}

TEST(ValueCacheTest, EachValueLivesItsTtlAndIsReadOnlyAsItsType)
{
    // Put as 's'tring, 'i'nt, 'u'nsigned long, or 'r': a string replaced by an unsigned long.
    const struct {
        char type;
        const wchar_t* text;
        unsigned long number;
        int ttl;
        uint64_t advance;
        const char* read;
    } rows[] = {
        {'i', nullptr, 3, 10, 10, "- 3 -"}, {'i', nullptr, 3, 10, 11, "- - -"},
        {'s', L"127.0.0.1:8806", 0, -1, 600, "s127.0.0.1:8806 - -"}, {'s', L"127.0.0.1:8806", 0, -1, 601, "- - -"},
        {'s', L"", 0, 10, 0, "s - -"}, {'u', nullptr, 0xFFFFFFFF, 100, 50, "- - 4294967295"},
        {'r', L"C:\\Config\\", 7, 100, 99, "- - 7"}, {'r', L"C:\\Config\\", 7, 100, 101, "- - -"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(1, row.type) + row.read);
        CFrozenClock clock;
        CValueCache cache;
        CSharedLockGuard guard(GetSharedLock());
        const std::wstring* text = nullptr;
        int number = 0;
        unsigned long word = 0;
        if (row.type == 's' || row.type == 'r') {
            ASSERT_TRUE(cache.PutString(L"key", row.text, &text, row.type == 'r' ? 1 : row.ttl));
            EXPECT_EQ(*text, row.text);
        }
        if (row.type == 'i') {
            EXPECT_TRUE(cache.PutInt(L"key", int(row.number), &number, row.ttl));
            EXPECT_EQ(number, int(row.number));
        } else if (row.type == 'u' || row.type == 'r') {
            EXPECT_TRUE(cache.PutULong(L"key", row.number, &word, row.ttl));
            EXPECT_EQ(word, row.number);
        }
        clock.AdvanceSeconds(row.advance);
        EXPECT_EQ(Read(cache, L"key"), row.read);
        EXPECT_EQ(cache.Count(), row.read == std::string("- - -") ? 0u : 1u) << "the get that finds it expired removes it";
    }
}

TEST(ValueCacheTest, WithoutAKeyAValueOrAnOutArgumentTheAnswerIsFalse)
{
    CValueCache cache;
    int value = 42;
    EXPECT_FALSE(cache.PutInt(nullptr, 1, &value, 10) || cache.PutString(L"k", nullptr, nullptr, 10) || cache.GetInt(L"k", &value));
    EXPECT_EQ(cache.Count(), 0u);
    EXPECT_EQ(value, 42);
    // Stored all the same when the out argument is missing.
    EXPECT_FALSE(cache.PutInt(L"batch_id", 7, nullptr, 10) || cache.PutString(L"text", L"v", nullptr, 10));
    EXPECT_FALSE(cache.GetInt(L"batch_id", nullptr) || cache.GetInt(L"Batch_ID", &value)) << "keys are compared exactly";
    EXPECT_EQ(Read(cache, L"batch_id") + Read(cache, L"text"), "- 7 -sv - -");
}

} // namespace
