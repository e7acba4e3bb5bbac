#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "status/StatusCache.h"
#include "status/StatusResolver.h"
#include "tests/support/ClientEnvironment.h"

namespace {

class StatusResolverTest : public ClientEnvironmentTest {
protected:
    // Resolves an item of the sync root as an overlay identifier asks for it.
    int32_t Resolve(const std::wstring& relative, bool* changed = nullptr)
    {
        const std::wstring path = client.PathOf(relative);
        return resolver.GetPathStatus(path.c_str(), GetFileAttributesW(path.c_str()), changed);
    }
    // The status and whether the resolver reported a change: "1" or "1 changed".
    std::string Answer(const std::wstring& relative)
    {
        bool changed = false;
        const int32_t status = Resolve(relative, &changed);
        return std::to_string(status) + (changed ? " changed" : "");
    }
    // A new batch makes the resolver read the remote folders again once the batch id expires.
    void NewBatch(const std::wstring& remoteFolders)
    {
        ASSERT_GE(client.AddBatch(remoteFolders), 0);
        clock.AdvanceSeconds(11);
        cache.Clear();
    }

    COrbethStatusResolver& resolver = COrbethStatusResolver::GetInstance();
    CStatusCache& cache = CStatusCache::GetInstance();
};

// Folders above a folder the client syncs from the cloud are in sync, as each new batch lists them.
TEST_F(StatusResolverTest, FoldersAboveRemoteFoldersAreInSync)
{
    for (const wchar_t* folder : {L"A", L"A\\B", L"A\\B\\Deep", L"C", L"C\\D"})
        ASSERT_TRUE(client.MakeFolder(folder));
    ASSERT_TRUE(client.MakeFile(L"A\\notes.txt"));
    const struct {
        std::wstring text;
        const char* a;
        int32_t c;
        // clang-format off
    } steps[] = {
        {LR"(["/A/B/Deep"])", "2 changed", StatusNone},
        {L"[]", "-1", StatusNone},
        {LR"(["/A/B", "/C/D"])", "2 changed", StatusOk},
        {L"not JSON at all", "2 changed", StatusOk},     // the list stays as it was
        {L"", "2 changed", StatusOk},                    // so does an empty text
        {L"[" + std::wstring(17, L'[') + std::wstring(18, L']'), "2 changed", StatusOk}, // and one nested deeper than the client's
        {std::wstring(100000, L'[') + std::wstring(100000, L']'), "2 changed", StatusOk},
        {LR"({"x": "/A/B"})", "-1", StatusNone}, // valid but not an array: emptied
        {LR"([1, {"a": "/A/B"}, ["/A/B"], null, "/C/D"])", "-1", StatusOk},
        {LR"("/A/B")", "-1", StatusNone},
    };
    // clang-format on
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::PrintToString(step.text.substr(0, 40)));
        NewBatch(step.text);
        EXPECT_EQ(Answer(L"A"), step.a);
        EXPECT_EQ(Resolve(L"C"), step.c);
    }
    NewBatch(LR"(["/A/B/Deep"])");
    const std::wstring a = client.PathOf(L"A"), unknown;
    EXPECT_EQ(resolver.ResolveStatus(a.c_str(), a.size(), FILE_ATTRIBUTE_DIRECTORY, &unknown, nullptr), StatusNone)
        << "a folder whose relative path is not known is no ancestor";
    EXPECT_EQ(Resolve(L"A\\B"), StatusOk);
    EXPECT_EQ(Resolve(L"A\\B\\Deep"), StatusNone) << "the listed folder itself is not its own ancestor";
    EXPECT_EQ(Resolve(L"A\\notes.txt"), StatusNone);
    // A database row wins over the fallback.
    ASSERT_TRUE(client.SetStatus(L"/a/", StatusPending));
    cache.Clear();
    EXPECT_EQ(Resolve(L"A"), StatusPending);
}

// One file's answers as the database, the clock and the client change, step by step.
TEST_F(StatusResolverTest, AnswersFollowTheDatabaseTheClockAndTheClient)
{
    ASSERT_TRUE(client.MakeFile(L"a.txt") && client.MakeFile(L"b.txt"));
    const auto set = [&](const wchar_t* path, int status) {
        return [=, this] { return client.SetStatus(path, status); };
    };
    const auto user = [&](const wchar_t* name) {
        return [=, this] { return client.ExecDconf(L"UPDATE driveconfig SET user = '" + std::wstring(name) + L"';"); };
    };
    const std::function<bool()> nothing = [] { return true; };
    const struct {
        std::function<bool()> change;
        uint64_t advance;
        const wchar_t* item;
        const char* answer;
        int32_t count; // of cached statuses; -1 when it does not matter
        // clang-format off
    } steps[] = {
        {set(L"/a.txt", 1), 0, L"a.txt", "1 changed", 1},
        {set(L"/a.txt", 2), 0, L"a.txt", "1", 1}, // a fresh entry never reaches the database
        {nothing, 11, L"a.txt", "2 changed", 1},
        // Without a row the expired status is given back and kept again, as a pushed one would be.
        {[&] { return client.RemoveStatus(L"/a.txt"); }, 11, L"a.txt", "2", 1},
        {nothing, 11, L"a.txt", "2", 1},
        {set(L"/a.txt", -5), 11, L"a.txt", "2", 1}, // a status below -1 is no row
        {set(L"/a.txt", StatusOk | StatusExcludedFlag), 11, L"a.txt", "2 changed", 1}, // the extra bits differ
        {nothing, 11, L"a.txt", "2", 1}, // and then they are the same again
        {set(L"/b.txt", StatusPending), 11, L"b.txt", "1 changed", 2}, // past the life of its folder's read
        {StandInService::Stop, 11, L"a.txt", "-1", 2}, // no status, the cache untouched, while the service is stopped
        {StandInService::Start, 11, L"b.txt", "1", -1},
        // The client signs out: the first answer clears the cache, later ones change nothing.
        {user(L""), 601, L"a.txt", "-1 changed", 0},
        {nothing, 0, L"a.txt", "-1", 0},
        {nothing, 0, L"b.txt", "-1", 0},
        // Signed in again, then the sync database goes: what is known without it is answered once and
        // everything is dropped, which is news only while other items' answers were kept.
        {user(L"alice@example.org"), 0, L"a.txt", "2 changed", 1},
        {nothing, 0, L"b.txt", "1 changed", 2},
        {[&] { return DeleteFileW(client.SyncDbPath().c_str()) != FALSE; }, 601, L"a.txt", "2 changed", 0},
        {nothing, 0, L"a.txt", "-1", 0},
        // Without a root nothing is resolved or stored.
        {[&] { return client.SetRegistryValue(L"root_dir", nullptr); }, 601, L"b.txt", "-1", 0},
    };
    // clang-format on
    for (const auto& step : steps) {
        SCOPED_TRACE(&step - steps);
        ASSERT_TRUE(step.change());
        clock.AdvanceSeconds(step.advance);
        EXPECT_EQ(Answer(step.item), step.answer);
        EXPECT_TRUE(step.count < 0 || cache.Count() == step.count) << cache.Count();
    }
}

} // namespace
