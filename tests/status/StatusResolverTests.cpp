#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <random>
#include <string>
#include <thread>
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

TEST_F(StatusResolverTest, FilesAndFoldersGetTheirDatabaseStatus)
{
    ASSERT_TRUE(client->MakeFolder(L"Docs") && client->MakeFile(L"Docs\\a.txt") && client->MakeFile(L"Docs\\b.txt") &&
                client->MakeFile(L"c.txt") && client->MakeFile(L"d.txt"));
    ASSERT_TRUE(client->SetStatus(L"/docs/", StatusOk) && client->SetStatus(L"/docs/a.txt", StatusPending) &&
                client->SetStatus(L"/docs/b.txt", StatusError) &&
                client->SetStatus(L"/c.txt", StatusOk | StatusExcludedFlag));

    EXPECT_EQ(Answer(L"Docs"), "2 changed") << "nothing was known before";
    EXPECT_EQ(Answer(L"Docs"), "2") << "the second identifier is answered from the cache";
    EXPECT_EQ(Resolve(L"Docs\\a.txt"), StatusPending);
    EXPECT_EQ(Resolve(L"Docs\\b.txt"), StatusError);
    EXPECT_EQ(Answer(L"d.txt"), "-1");
    EXPECT_EQ(cache.Count(), 4) << "-1 is cached too";

    // The excluded bit reaches a record from the database and from the cache alike: the menu
    // is asked for after the icon was drawn.
    COrbethFileInfo record(client->PathOf(L"c.txt").c_str());
    EXPECT_EQ(resolver.GetFileInfoStatus(record), StatusOk);
    EXPECT_TRUE(record.IsExcluded());
    COrbethFileInfo again(client->PathOf(L"c.txt").c_str());
    EXPECT_EQ(resolver.GetFileInfoStatus(again), StatusOk);
    EXPECT_TRUE(again.IsExcluded());
    EXPECT_EQ(again.GetRelativePath(), L"/c.txt");
    EXPECT_EQ(Resolve(L"c.txt"), StatusOk);

    // Errors are kept for 600 s, other answers for 10 s.
    ASSERT_TRUE(client->SetStatus(L"/docs/b.txt", StatusOk) && client->SetStatus(L"/docs/a.txt", StatusOk));
    clock.AdvanceSeconds(11);
    EXPECT_EQ(Resolve(L"Docs\\a.txt"), StatusOk);
    EXPECT_EQ(Resolve(L"Docs\\b.txt"), StatusError);
    clock.AdvanceSeconds(590);
    EXPECT_EQ(Resolve(L"Docs\\b.txt"), StatusOk);
}

TEST_F(StatusResolverTest, TheRootAndOneCharacterNamesAreNeverLookedUp)
{
    ASSERT_TRUE(client->SetStatus(L"/", StatusOk) && client->SetStatus(L"/x", StatusOk) &&
                client->SetStatus(L"/y/", StatusPending));
    ASSERT_TRUE(client->MakeFile(L"x") && client->MakeFolder(L"y"));
    const std::wstring root = client->RootDir();
    const std::wstring rootWithoutSlash = root.substr(0, root.size() - 1);
    for (const std::wstring& path : {root, rootWithoutSlash}) {
        SCOPED_TRACE(testing::PrintToString(path));
        EXPECT_EQ(resolver.GetPathStatus(path.c_str(), FILE_ATTRIBUTE_DIRECTORY, nullptr), StatusNone);
        COrbethFileInfo record(path.c_str());
        EXPECT_TRUE(resolver.IsSyncRootFolder(record));
        EXPECT_EQ(record.GetRelativePath(), L"/");
    }
    EXPECT_EQ(Resolve(L"x"), StatusNone);
    EXPECT_EQ(Resolve(L"y"), StatusPending);
    COrbethFileInfo file(client->PathOf(L"x").c_str());
    EXPECT_FALSE(resolver.IsSyncRootFolder(file));
}

TEST_F(StatusResolverTest, OnlyManagedPathsUnderTheRootAreResolved)
{
    ASSERT_TRUE(client->MakeFile(L"hidden.txt", FILE_ATTRIBUTE_HIDDEN) &&
                client->MakeFile(L"system.txt", FILE_ATTRIBUTE_SYSTEM) && client->MakeFolder(L"Hidden", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(client->SetStatus(L"/hidden.txt", StatusOk) && client->SetStatus(L"/system.txt", StatusOk) &&
                client->SetStatus(L"/hidden/", StatusOk));
    EXPECT_EQ(Resolve(L"hidden.txt"), StatusNone);
    EXPECT_EQ(Resolve(L"system.txt"), StatusNone);
    EXPECT_EQ(Resolve(L"Hidden"), StatusNone);
    EXPECT_EQ(Resolve(L"missing.txt"), StatusNone);
    EXPECT_EQ(cache.Count(), 0) << "unmanaged paths are not cached";
    EXPECT_TRUE(resolver.IsUnderRootFolder(client->PathOf(L"hidden.txt").c_str())) << "the menu's test has no filter";

    // A sibling folder whose name begins with the root's name is not under the root.
    const std::wstring root = client->RootDir();
    const std::wstring sibling = root.substr(0, root.size() - 1) + L"Other\\a.txt";
    EXPECT_FALSE(resolver.IsUnderRootFolder(sibling.c_str()));
    EXPECT_EQ(resolver.GetPathStatus(sibling.c_str(), FILE_ATTRIBUTE_ARCHIVE, nullptr), StatusNone);
    EXPECT_EQ(resolver.GetPathStatus(nullptr, FILE_ATTRIBUTE_ARCHIVE, nullptr), StatusNone);
}

TEST_F(StatusResolverTest, CaseVariantsAndUnicodeFormsMeetInOneCanonicalPath)
{
    ASSERT_TRUE(client->MakeFolder(L"Docs") && client->MakeFile(L"Docs\\Report.TXT"));
    ASSERT_TRUE(client->MakeFolder(L"\u00DCbung") && client->MakeFile(L"\u00DCbung\\\u00C9norme.txt"));
    ASSERT_TRUE(client->MakeFile(L"E\u0301te\u0301.txt")); // decomposed on disk
    ASSERT_TRUE(client->SetStatus(L"/docs/report.txt", StatusPending) &&
                client->SetStatus(L"/\u00FCbung/\u00E9norme.txt", StatusOk) &&
                client->SetStatus(L"/\u00E9t\u00E9.txt", StatusError));
    EXPECT_EQ(Resolve(L"Docs\\Report.TXT"), StatusPending);
    EXPECT_EQ(Resolve(L"DOCS\\report.txt"), StatusPending);
    EXPECT_EQ(cache.Count(), 2) << "the cache keys the exact text";
    EXPECT_EQ(Resolve(L"\u00DCbung\\\u00C9norme.txt"), StatusOk);
    EXPECT_EQ(Resolve(L"E\u0301te\u0301.txt"), StatusError);
}

TEST_F(StatusResolverTest, FoldersAboveRemoteFoldersAreInSync)
{
    ASSERT_TRUE(client->MakeFolder(L"Projects") && client->MakeFolder(L"Projects\\Shared") &&
                client->MakeFolder(L"Projects\\Shared\\Deep") && client->MakeFolder(L"Other") &&
                client->MakeFile(L"Projects\\notes.txt"));
    NewBatch(LR"(["/Projects/Shared/Deep"])");

    EXPECT_EQ(Answer(L"Projects"), "2 changed");
    EXPECT_EQ(Resolve(L"Projects\\Shared"), StatusOk);
    EXPECT_EQ(Resolve(L"Projects\\Shared\\Deep"), StatusNone) << "the listed folder itself is not its own ancestor";
    EXPECT_EQ(Resolve(L"Other"), StatusNone);
    EXPECT_EQ(Resolve(L"Projects\\notes.txt"), StatusNone);
    cache.Clear();
    EXPECT_EQ(Resolve(L"Projects", nullptr), StatusOk);

    // A database row wins over the fallback.
    ASSERT_TRUE(client->SetStatus(L"/projects/", StatusPending));
    cache.Clear();
    EXPECT_EQ(Resolve(L"Projects"), StatusPending);
}

TEST_F(StatusResolverTest, RemoteFolderTextsThatAreNotAnArrayOfStrings)
{
    ASSERT_TRUE(client->MakeFolder(L"A") && client->MakeFolder(L"A\\B") && client->MakeFolder(L"C") &&
                client->MakeFolder(L"C\\D"));
    const struct {
        const wchar_t* text;
        int32_t a;
        int32_t c;
    } steps[] = {
        {LR"(["/A/B"])", StatusOk, StatusNone},
        {L"[]", StatusNone, StatusNone},
        {LR"(["/A/B", "/C/D"])", StatusOk, StatusOk},
        {L"not JSON at all", StatusOk, StatusOk},     // the list stays as it was
        {L"", StatusOk, StatusOk},                    // so does an empty text
        {LR"({"x": "/A/B"})", StatusNone, StatusNone}, // valid but not an array: emptied
        {LR"([1, {"a": "/A/B"}, ["/A/B"], null, "/C/D"])", StatusNone, StatusOk},
        {LR"("/A/B")", StatusNone, StatusNone},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(step.text)));
        NewBatch(step.text);
        EXPECT_EQ(Resolve(L"A"), step.a);
        EXPECT_EQ(Resolve(L"C"), step.c);
    }
}

TEST_F(StatusResolverTest, CachedStatusesStandUntilTheyExpire)
{
    ASSERT_TRUE(client->MakeFile(L"e.txt"));
    ASSERT_TRUE(client->SetStatus(L"/e.txt", StatusPending));
    EXPECT_EQ(Resolve(L"e.txt"), StatusPending);

    ASSERT_TRUE(client->SetStatus(L"/e.txt", StatusOk));
    EXPECT_EQ(Answer(L"e.txt"), "1") << "fresh entries never reach the database";
    clock.AdvanceSeconds(11);
    EXPECT_EQ(Answer(L"e.txt"), "2 changed");

    // Without a row the expired status is given back and kept again, as a pushed status would be.
    ASSERT_TRUE(client->RemoveStatus(L"/e.txt"));
    for (int i = 0; i < 3; ++i) {
        clock.AdvanceSeconds(11);
        EXPECT_EQ(Answer(L"e.txt"), "2");
    }
    EXPECT_EQ(cache.Count(), 1);
    clock.AdvanceSeconds(11);
    ASSERT_TRUE(client->SetStatus(L"/e.txt", -5));
    EXPECT_EQ(Resolve(L"e.txt"), StatusOk) << "a status below -1 is no row";
    clock.AdvanceSeconds(11);
    ASSERT_TRUE(client->SetStatus(L"/e.txt", StatusOk | StatusExcludedFlag));
    EXPECT_EQ(Answer(L"e.txt"), "2 changed") << "the extra bits differ from the cached status";
}

TEST_F(StatusResolverTest, LosingTheUserOrTheDatabaseDropsEveryStatus)
{
    ASSERT_TRUE(client->MakeFile(L"a.txt") && client->MakeFile(L"b.txt"));
    ASSERT_TRUE(client->SetStatus(L"/a.txt", StatusOk) && client->SetStatus(L"/b.txt", StatusPending));
    EXPECT_EQ(Resolve(L"a.txt"), StatusOk);
    EXPECT_EQ(Resolve(L"b.txt"), StatusPending);

    // The client signs out: the first answer clears the cache, later ones change nothing.
    ASSERT_TRUE(client->ExecDconf(L"UPDATE driveconfig SET user = '';"));
    clock.AdvanceSeconds(601);
    EXPECT_EQ(Answer(L"a.txt"), "-1 changed");
    EXPECT_EQ(cache.Count(), 0);
    EXPECT_EQ(Answer(L"a.txt"), "-1");
    EXPECT_EQ(Resolve(L"b.txt", nullptr), StatusNone);

    // Signed in again, then the sync database goes: what is known without it is answered once,
    // then everything is dropped.
    ASSERT_TRUE(client->ExecDconf(L"UPDATE driveconfig SET user = 'alice@example.org';"));
    EXPECT_EQ(Resolve(L"a.txt"), StatusOk);
    ASSERT_TRUE(DeleteFileW(client->SyncDbPath().c_str()));
    clock.AdvanceSeconds(601);
    EXPECT_EQ(Answer(L"a.txt"), "2 changed");
    EXPECT_EQ(cache.Count(), 0);
    EXPECT_EQ(Answer(L"a.txt"), "-1 changed");
    EXPECT_EQ(Resolve(L"a.txt", nullptr), StatusNone);

    // Without a root nothing is resolved or stored.
    ASSERT_TRUE(client->SetRegistryValue(L"root_dir", nullptr));
    clock.AdvanceSeconds(601);
    EXPECT_EQ(Answer(L"b.txt"), "-1");
    EXPECT_EQ(cache.Count(), 0);
}

TEST_F(StatusResolverTest, ThreadsResolveWhileTheClientWritesItsDatabase)
{
    constexpr int FileCount = 40;
    for (int i = 0; i < FileCount; ++i) {
        const std::wstring name = L"f" + std::to_wstring(i) + L".txt";
        ASSERT_TRUE(client->MakeFile(name));
        ASSERT_TRUE(client->SetStatus(L"/" + name, i % 3));
    }
    std::atomic<bool> writing{true};
    std::atomic<int> invalid{0};
    std::thread writer([&] {
        for (int round = 0; round < 30; ++round) {
            for (int i = 0; i < FileCount; i += 7)
                client->SetStatus(L"/f" + std::to_wstring(i) + L".txt", (i + round) % 3);
        }
        writing = false;
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            std::mt19937 random(t);
            // Every reader runs its full share, and at least until the writer is done.
            for (int n = 0; n < 1500 || writing; ++n) {
                const std::wstring path = client->PathOf(L"f" + std::to_wstring(random() % FileCount) + L".txt");
                bool changed = false;
                const int32_t status = resolver.GetPathStatus(path.c_str(), FILE_ATTRIBUTE_ARCHIVE, &changed);
                if (status < StatusNone || status > StatusOk)
                    ++invalid;
                if (n % 50 == 0)
                    clock.AdvanceSeconds(3);
            }
        });
    }
    writer.join();
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(invalid.load(), 0);
    EXPECT_TRUE(cache.VerifyInvariants());

    // Once everything has expired, each file answers the database's final word.
    clock.AdvanceSeconds(601);
    cache.Clear();
    for (int i = 0; i < FileCount; ++i) {
        const int expected = i % 7 == 0 ? (i + 29) % 3 : i % 3;
        EXPECT_EQ(Resolve(L"f" + std::to_wstring(i) + L".txt"), expected) << i;
    }
}

} // namespace
