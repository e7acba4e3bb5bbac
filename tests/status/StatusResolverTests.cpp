#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "status/FileInfo.h"
#include "status/StatusCache.h"
#include "status/StatusResolver.h"
#include "tests/support/ClientEnvironment.h"

namespace {

class StatusResolverTest : public ClientEnvironmentTest {
protected:
    // Resolves an item of the sync root as an overlay identifier asks for it.
    int32_t Resolve(const std::wstring& relative, bool* changed = nullptr)
    {
        const std::wstring path = client->PathOf(relative);
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
        ASSERT_GE(client->AddBatch(remoteFolders), 0);
        clock.AdvanceSeconds(11);
        cache.Clear();
    }

    COrbethStatusResolver& resolver = COrbethStatusResolver::GetInstance();
    CStatusCache& cache = CStatusCache::GetInstance();
};

TEST_F(StatusResolverTest, NoStatusWhileTheServiceDoesNotRun)
{
    ASSERT_TRUE(client->MakeFile(L"a.txt"));
    ASSERT_TRUE(client->SetStatus(L"/a.txt", StatusOk));
    const std::function<bool()> stops[] = {StandInService::Stop, StandInService::Pause, StandInService::Remove};
    for (const auto& stop : stops) {
        ASSERT_TRUE(StandInService::Install() && StandInService::Start());
        ASSERT_TRUE(stop());
        clock.AdvanceSeconds(11);
        EXPECT_EQ(Answer(L"a.txt"), "-1");
        EXPECT_EQ(cache.Count(), 0) << "the status cache is not touched";
    }
}

TEST_F(StatusResolverTest, EachItemGetsItsDatabaseStatus)
{
    for (const wchar_t* folder : {L"Docs", L"y", L"\u00DCbung"})
        ASSERT_TRUE(client->MakeFolder(folder));
    for (const wchar_t* file : {L"Docs\\a.txt", L"Docs\\b.txt", L"c.txt", L"d.txt", L"x", L"Docs\\Report.TXT",
                                L"\u00DCbung\\\u00C9norme.txt", L"E\u0301te\u0301.txt"}) // the last decomposed on disk
        ASSERT_TRUE(client->MakeFile(file));
    ASSERT_TRUE(client->MakeFile(L"hidden.txt", FILE_ATTRIBUTE_HIDDEN) && client->MakeFile(L"system.txt", FILE_ATTRIBUTE_SYSTEM) &&
                client->MakeFolder(L"Hidden", FILE_ATTRIBUTE_HIDDEN));
    const std::pair<const wchar_t*, int32_t> dbRows[] = {
        {L"/docs/", StatusOk}, {L"/docs/a.txt", StatusPending}, {L"/docs/b.txt", StatusError},
        {L"/c.txt", StatusOk | StatusExcludedFlag}, {L"/", StatusOk}, {L"/x", StatusOk}, {L"/y/", StatusPending},
        {L"/hidden.txt", StatusOk}, {L"/system.txt", StatusOk}, {L"/hidden/", StatusOk}, {L"/missing.txt", StatusOk},
        {L"/docs/report.txt", StatusPending}, {L"/\u00FCbung/\u00E9norme.txt", StatusOk}, {L"/\u00E9t\u00E9.txt", StatusError}};
    for (const auto& [canonical, status] : dbRows)
        ASSERT_TRUE(client->SetStatus(canonical, status));

    // In order, as overlay identifiers ask: the answer, and whether the cache now holds the path.
    const struct {
        const wchar_t* item;
        const char* answer;
        bool cached;
    } rows[] = {
        {L"Docs", "2 changed", true}, {L"Docs", "2", true}, // the second identifier is answered from the cache
        {L"Docs\\a.txt", "1 changed", true}, {L"Docs\\b.txt", "0 changed", true},
        {L"c.txt", "2 changed", true}, {L"d.txt", "-1", true},
        {L"x", "-1", true}, {L"y", "1 changed", true}, // "/x", a one-character name, is never looked up
        {L"hidden.txt", "-1", false}, {L"system.txt", "-1", false}, {L"Hidden", "-1", false}, {L"missing.txt", "-1", false},
        // Case variants and Unicode forms meet in one canonical path; the cache keys the exact text.
        {L"Docs\\Report.TXT", "1 changed", true}, {L"DOCS\\report.txt", "1 changed", true},
        {L"\u00DCbung\\\u00C9norme.txt", "2 changed", true}, {L"E\u0301te\u0301.txt", "0 changed", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.item)));
        EXPECT_EQ(Answer(row.item), row.answer);
        EXPECT_EQ(cache.Get(client->PathOf(row.item).c_str(), nullptr, nullptr), row.cached);
    }
    EXPECT_EQ(cache.Count(), 11);

    // The root, with or without its backslash, has no status and is the sync root.
    const std::wstring root = client->RootDir();
    for (const std::wstring& path : {root, root.substr(0, root.size() - 1)}) {
        EXPECT_EQ(resolver.GetPathStatus(path.c_str(), FILE_ATTRIBUTE_DIRECTORY, nullptr), StatusNone);
        COrbethFileInfo record(path.c_str());
        EXPECT_TRUE(resolver.IsSyncRootFolder(record));
        EXPECT_EQ(record.GetRelativePath(), L"/");
    }
    COrbethFileInfo file(client->PathOf(L"x").c_str());
    EXPECT_FALSE(resolver.IsSyncRootFolder(file));
    EXPECT_EQ(resolver.GetPathStatus(nullptr, FILE_ATTRIBUTE_ARCHIVE, nullptr), StatusNone);
    EXPECT_TRUE(resolver.IsUnderRootFolder(client->PathOf(L"hidden.txt").c_str())) << "the menu's test has no filter";
    // A sibling folder whose name begins with the root's name is not under the root.
    const std::wstring sibling = root.substr(0, root.size() - 1) + L"Other\\a.txt";
    EXPECT_FALSE(resolver.IsUnderRootFolder(sibling.c_str()));
    EXPECT_EQ(resolver.GetPathStatus(sibling.c_str(), FILE_ATTRIBUTE_ARCHIVE, nullptr), StatusNone);

    // Errors are kept for 600 s, other answers for 10 s.
    ASSERT_TRUE(client->SetStatus(L"/docs/b.txt", StatusOk) && client->SetStatus(L"/docs/a.txt", StatusOk));
    clock.AdvanceSeconds(11);
    EXPECT_EQ(Resolve(L"Docs\\a.txt"), StatusOk);
    EXPECT_EQ(Resolve(L"Docs\\b.txt"), StatusError);
    clock.AdvanceSeconds(590);
    EXPECT_EQ(Resolve(L"Docs\\b.txt"), StatusOk);

    // The excluded bit reaches a record from the database and from the cache alike: the menu
    // is asked for after the icon was drawn.
    cache.Clear();
    for (int i = 0; i < 2; ++i) {
        COrbethFileInfo record(client->PathOf(L"c.txt").c_str());
        EXPECT_EQ(resolver.GetFileInfoStatus(record), StatusOk);
        EXPECT_TRUE(record.IsExcluded());
        EXPECT_EQ(record.GetRelativePath(), L"/c.txt");
    }
}

// Folders above a folder the client syncs from the cloud are in sync, as each new batch lists them.
TEST_F(StatusResolverTest, FoldersAboveRemoteFoldersAreInSync)
{
    for (const wchar_t* folder : {L"A", L"A\\B", L"A\\B\\Deep", L"C", L"C\\D"})
        ASSERT_TRUE(client->MakeFolder(folder));
    ASSERT_TRUE(client->MakeFile(L"A\\notes.txt"));
    const struct {
        const wchar_t* text;
        const char* a;
        int32_t c;
    } steps[] = {
        {LR"(["/A/B/Deep"])", "2 changed", StatusNone},
        {L"[]", "-1", StatusNone},
        {LR"(["/A/B", "/C/D"])", "2 changed", StatusOk},
        {L"not JSON at all", "2 changed", StatusOk},     // the list stays as it was
        {L"", "2 changed", StatusOk},                    // so does an empty text
        {LR"({"x": "/A/B"})", "-1", StatusNone}, // valid but not an array: emptied
        {LR"([1, {"a": "/A/B"}, ["/A/B"], null, "/C/D"])", "-1", StatusOk},
        {LR"("/A/B")", "-1", StatusNone},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(step.text)));
        NewBatch(step.text);
        EXPECT_EQ(Answer(L"A"), step.a);
        EXPECT_EQ(Resolve(L"C"), step.c);
    }
    NewBatch(LR"(["/A/B/Deep"])");
    EXPECT_EQ(Resolve(L"A\\B"), StatusOk);
    EXPECT_EQ(Resolve(L"A\\B\\Deep"), StatusNone) << "the listed folder itself is not its own ancestor";
    EXPECT_EQ(Resolve(L"A\\notes.txt"), StatusNone);
    // A database row wins over the fallback.
    ASSERT_TRUE(client->SetStatus(L"/a/", StatusPending));
    cache.Clear();
    EXPECT_EQ(Resolve(L"A"), StatusPending);
}

// One file's answers as the database, the clock and the client change, step by step.
TEST_F(StatusResolverTest, AnswersFollowTheDatabaseTheClockAndTheClient)
{
    ASSERT_TRUE(client->MakeFile(L"a.txt") && client->MakeFile(L"b.txt"));
    const auto set = [&](const wchar_t* path, int status) { return [=, this] { return client->SetStatus(path, status); }; };
    const auto user = [&](const wchar_t* name) {
        return [=, this] { return client->ExecDconf(L"UPDATE driveconfig SET user = '" + std::wstring(name) + L"';"); };
    };
    const std::function<bool()> nothing = [] { return true; };
    const struct {
        std::function<bool()> change;
        uint64_t advance;
        const wchar_t* item;
        const char* answer;
        int32_t count; // of cached statuses; -1 when it does not matter
    } steps[] = {
        {set(L"/a.txt", 1), 0, L"a.txt", "1 changed", 1},
        {set(L"/a.txt", 2), 0, L"a.txt", "1", 1}, // a fresh entry never reaches the database
        {nothing, 11, L"a.txt", "2 changed", 1},
        // Without a row the expired status is given back and kept again, as a pushed one would be.
        {[&] { return client->RemoveStatus(L"/a.txt"); }, 11, L"a.txt", "2", 1},
        {nothing, 11, L"a.txt", "2", 1},
        {set(L"/a.txt", -5), 11, L"a.txt", "2", 1}, // a status below -1 is no row
        {set(L"/a.txt", StatusOk | StatusExcludedFlag), 11, L"a.txt", "2 changed", 1}, // the extra bits differ
        {set(L"/b.txt", StatusPending), 0, L"b.txt", "1 changed", 2},
        // The client signs out: the first answer clears the cache, later ones change nothing.
        {user(L""), 601, L"a.txt", "-1 changed", 0},
        {nothing, 0, L"a.txt", "-1", 0},
        {nothing, 0, L"b.txt", "-1", 0},
        // Signed in again, then the sync database goes: what is known without it is answered
        // once, then everything is dropped.
        {user(L"alice@example.org"), 0, L"a.txt", "2 changed", 1},
        {[&] { return DeleteFileW(client->SyncDbPath().c_str()) != FALSE; }, 601, L"a.txt", "2 changed", 0},
        {nothing, 0, L"a.txt", "-1 changed", -1},
        // Without a root nothing is resolved or stored.
        {[&] { return client->SetRegistryValue(L"root_dir", nullptr); }, 601, L"b.txt", "-1", 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(&step - steps);
        ASSERT_TRUE(step.change());
        clock.AdvanceSeconds(step.advance);
        EXPECT_EQ(Answer(step.item), step.answer);
        EXPECT_TRUE(step.count < 0 || cache.Count() == step.count) << cache.Count();
    }
}

} // namespace
