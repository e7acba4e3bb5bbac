#include <gtest/gtest.h>

#include <string>

#include "base/SharedLock.h"
#include "base/ValueCache.h"
#include "tests/support/TestSupport.h"

namespace {

class ValueCacheTest : public ::testing::Test {
protected:
    CFrozenClock clock;
    CValueCache cache;
};

TEST_F(ValueCacheTest, IntLivesItsTtlAndIsNotReadAsAnotherType)
{
    int stored = 0;
    EXPECT_TRUE(cache.PutInt(L"share_status", 3, &stored, 10));
    EXPECT_EQ(stored, 3);

    clock.AdvanceSeconds(10);
    int value = 0;
    EXPECT_TRUE(cache.GetInt(L"share_status", &value));
    EXPECT_EQ(value, 3);
    const std::wstring* text = nullptr;
    unsigned long number = 0;
    EXPECT_FALSE(cache.GetString(L"share_status", &text));
    EXPECT_FALSE(cache.GetULong(L"share_status", &number));
    EXPECT_TRUE(cache.GetInt(L"share_status", &value)) << "a get of another type leaves the entry";

    clock.AdvanceSeconds(1);
    EXPECT_FALSE(cache.GetInt(L"share_status", &value));
    EXPECT_EQ(cache.Count(), 0u) << "an expired entry is removed by the get that finds it";
}

TEST_F(ValueCacheTest, NegativeTtlMeansSixHundredSeconds)
{
    EXPECT_FALSE(cache.PutString(L"lfs_base_url", L"127.0.0.1:8806", nullptr, -1))
        << "without an out argument the put stores but answers false";
    clock.AdvanceSeconds(600);
    const std::wstring* text = nullptr;
    ASSERT_TRUE(cache.GetString(L"lfs_base_url", &text));
    EXPECT_EQ(*text, L"127.0.0.1:8806");
    clock.AdvanceSeconds(1);
    EXPECT_FALSE(cache.GetString(L"lfs_base_url", &text));
}

TEST_F(ValueCacheTest, PutOfAnotherTypeReplacesValueTypeAndExpiry)
{
    const std::wstring* stored = nullptr;
    CSharedLockGuard guard(GetSharedLock()); // the string stays ours only under the lock
    ASSERT_TRUE(cache.PutString(L"config_dir", L"C:\\Config\\", &stored, 5));
    EXPECT_EQ(*stored, L"C:\\Config\\");

    unsigned long state = 0;
    EXPECT_TRUE(cache.PutULong(L"config_dir", 0xFFFFFFFFul, &state, 100));
    EXPECT_EQ(state, 0xFFFFFFFFul);
    clock.AdvanceSeconds(50);
    EXPECT_FALSE(cache.GetString(L"config_dir", &stored));
    unsigned long read = 0;
    EXPECT_TRUE(cache.GetULong(L"config_dir", &read));
    EXPECT_EQ(read, 0xFFFFFFFFul) << "-1 as a DWORD comes back unchanged";
    EXPECT_EQ(cache.Count(), 1u);
}

TEST_F(ValueCacheTest, MissingKeysNullArgumentsAndTextsAreHandled)
{
    int value = 42;
    EXPECT_FALSE(cache.GetInt(L"batch_id", &value));
    EXPECT_EQ(value, 42);
    EXPECT_FALSE(cache.PutInt(nullptr, 1, &value, 10));
    EXPECT_FALSE(cache.PutString(L"k", nullptr, nullptr, 10));
    EXPECT_EQ(cache.Count(), 0u);

    cache.PutInt(L"batch_id", 7, nullptr, 10);
    EXPECT_FALSE(cache.GetInt(L"batch_id", nullptr)) << "no out pointer, no answer";
    EXPECT_FALSE(cache.GetInt(L"Batch_ID", &value)) << "keys are compared exactly";

    const std::wstring* text = nullptr;
    cache.PutString(L"root_dir", L"", nullptr, 10);
    ASSERT_TRUE(cache.GetString(L"root_dir", &text));
    EXPECT_TRUE(text->empty());
}

} // namespace
