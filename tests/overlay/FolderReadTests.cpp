#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "OrbethExtensions_h.h"
#include "base/PathHelper.h"
#include "client/ClientDbReader.h"
#include "status/FolderReads.h"
#include "status/StatusResolver.h"
#include "tests/support/ClientEnvironment.h"
#include "tools/standin/LoadedExtension.h"

using Microsoft::WRL::ComPtr;

namespace {

struct CItem {
    std::wstring relative; // as the file manager names it under the root: "Plain\\it's3\\a_b1.txt"
    bool folder;
};

// Names the keys must keep apart or together: SQL wildcards and quotes, capitals, one letter
// composed and decomposed, letters outside ASCII.
const wchar_t* const Stems[] = {L"Report",    L"100%",       L"a_b",  L"it's",  L"MiXed",
                                L"caf\u00e9", L"cafe\u0301", L"日本", L"Straße"};
// A row's status as SQL: the states, the excluded bit, -1, below -1, NULL, bits above 32, text.
const wchar_t* const Statuses[] = {L"0", L"1", L"2", L"3", L"10", L"-1", L"-7", L"NULL", L"8589934594", L"'1'"};

std::wstring Quoted(std::wstring text)
{
    for (size_t at = text.find(L'\''); at != std::wstring::npos; at = text.find(L'\'', at + 2))
        text.insert(at, 1, L'\'');
    return L"'" + text + L"'";
}

class FolderReadTest : public ClientEnvironmentTest {
protected:
    void Grow(const std::wstring& folder, int depth)
    {
        const int count = depth ? int(random() % 20) : 40;
        for (int i = 0; i < count; ++i) {
            const bool isFolder = depth < 4 && random() % 4 == 0;
            const std::wstring child =
                folder + L"\\" + Stems[random() % std::size(Stems)] + std::to_wstring(i) + (isFolder ? L"" : L".txt");
            items.push_back({child, isFolder});
            if (isFolder)
                Grow(child, depth + 1);
        }
    }
    std::wstring Key(const CItem& item)
    {
        std::wstring key = L"/" + item.relative + (item.folder ? L"/" : L"");
        std::replace(key.begin(), key.end(), L'\\', L'/');
        COrbethPathHelper::CanonicalizeInPlace(&key);
        return key;
    }
    std::wstring FolderOf(const CItem& item)
    {
        const std::wstring key = Key(item);
        return key.substr(0, CFolderReads::NameStart(key));
    }
    // Rows for five items in six; some with a second row (the first stands where the table allows
    // it) or a row under the key in capitals, which is no item's.
    std::wstring Rows(bool unique)
    {
        std::wstring sql = L"BEGIN;";
        const auto row = [&](const std::wstring& key) {
            sql += L"INSERT INTO ea(canonical_path, status) VALUES (" + Quoted(key) + L", " +
                   Statuses[random() % std::size(Statuses)] + L");";
        };
        for (const CItem& item : items) {
            if (random() % 6 == 0)
                continue;
            row(Key(item));
            if (!unique && random() % 8 == 0)
                row(Key(item));
            if (random() % 8 == 0) {
                std::wstring upper = Key(item);
                CharUpperBuffW(upper.data(), DWORD(upper.size()));
                row(upper);
            }
        }
        return sql + L"COMMIT;";
    }
    // Each item's status, and "+" where the resolver reported a change, with this many children
    // read at once (0: every item from its own row), from empty caches or from what they hold.
    std::vector<std::string> Answers(size_t bound, bool emptyCaches = true)
    {
        if (emptyCaches) {
            reads.SetBound(bound);
            CStatusCache::GetInstance().Clear();
        }
        std::vector<std::string> answers;
        for (const CItem& item : items) {
            bool changed = false;
            const int32_t status = resolver.GetPathStatus(client.PathOf(item.relative).c_str(),
                                                          item.folder ? FILE_ATTRIBUTE_DIRECTORY : 0, &changed);
            answers.push_back(std::to_string(status) + (changed ? "+" : ""));
        }
        return answers;
    }
    void ExpectSame(const std::vector<std::string>& expected, const std::vector<std::string>& actual,
                    bool statusesOnly = false)
    {
        ASSERT_EQ(expected.size(), actual.size());
        const auto status = [statusesOnly](const std::string& answer) {
            return statusesOnly ? answer.substr(0, answer.find('+')) : answer;
        };
        int shown = 0;
        for (size_t i = 0; i < expected.size() && shown < 5; ++i) {
            if (status(expected[i]) != status(actual[i])) {
                ++shown;
                ADD_FAILURE() << testing::PrintToString(items[i].relative) << ": " << actual[i] << ", not "
                              << expected[i];
            }
        }
    }

    std::mt19937 random{20261208};
    std::vector<CItem> items;
    COrbethStatusResolver& resolver = COrbethStatusResolver::GetInstance();
    CFolderReads& reads = CFolderReads::GetInstance();
    CClientDbReader& reader = CClientDbReader::GetInstance();
};

// Random trees, in a table with an index on the paths and in one without: every item answers from
// its folder's read what its own row answers, here and through the DLL's overlays; each folder is
// read once, over its children only; and no answer outlives the read it came from by more than a
// status's life.
TEST_F(FolderReadTest, EveryItemAnswersWhatItsOwnRowWouldWithOneReadPerFolder)
{
    CLoadedExtension dll;
    std::vector<ComPtr<IShellIconOverlayIdentifier>> identifiers;
    for (const CLSID* clsid :
         {&CLSID_OrbethErrorIconOverlay, &CLSID_OrbethPendingIconOverlay, &CLSID_OrbethOkIconOverlay})
        identifiers.push_back(dll.Create<IShellIconOverlayIdentifier>(*clsid, IID_IShellIconOverlayIdentifier));
    const size_t bound = reads.Bound();
    std::vector<CItem> trees[2];
    std::wstring remote = L"[";
    for (int tree = 0; tree < 2; ++tree) {
        items.clear();
        Grow(tree ? L"Plain" : L"Indexed", 0);
        // Asked folder by folder, as a window shows them.
        std::stable_sort(items.begin(), items.end(),
                         [&](const CItem& a, const CItem& b) { return FolderOf(a) < FolderOf(b); });
        trees[tree] = items;
        for (int i = 0; i < 3; ++i) // folders the client syncs from the cloud, deep down
            remote += (i || tree ? L",\"/" : L"\"/") + items[random() % items.size()].relative + L"\"";
    }
    std::replace(remote.begin(), remote.end(), L'\\', L'/');
    ASSERT_GE(client.AddBatch(remote + L"]"), 0);

    for (int tree = 0; tree < 2; ++tree) {
        SCOPED_TRACE(tree ? "without an index" : "with an index");
        items = trees[tree];
        if (tree) {
            ASSERT_TRUE(client.ExecSync(L"DROP TABLE ea; CREATE TABLE ea(id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                        L"canonical_path TEXT, status INTEGER, uqid TEXT);"));
        }
        ASSERT_TRUE(client.ExecSync(Rows(tree == 0)));
        std::set<std::wstring> folders;
        for (const CItem& item : items)
            folders.insert(FolderOf(item));
        clock.AdvanceSeconds(11);

        const std::vector<std::string> single = Answers(0);
        const uint64_t rowsBefore = reader.RowsRead(), connectionsBefore = reader.Connections();
        ExpectSame(single, Answers(bound));
        // A folder costs its own row, one per child and one more per child folder's subtree.
        EXPECT_LE(reader.RowsRead() - rowsBefore, items.size() * 3 / 2 + 2 * folders.size()) << items.size();
        EXPECT_LE(reader.Connections() - connectionsBefore, folders.size() + 2);
        EXPECT_LE(reads.Count(), CFolderReads::MaxFolders) << "the oldest reads made room";

        std::vector<std::string> badges, expected;
        for (size_t item = 0; item < items.size(); ++item) {
            int32_t status = StatusNone;
            for (int32_t i = 0; i < 3; ++i) {
                if (identifiers[i]->IsMemberOf(client.PathOf(items[item].relative).c_str(),
                                               items[item].folder ? FILE_ATTRIBUTE_DIRECTORY : 0) == S_OK)
                    status = i;
            }
            badges.push_back(std::to_string(status));
            expected.push_back(single[item].substr(0, 1) == "3" ? "-1" : single[item]); // no badge for 3
        }
        ExpectSame(expected, badges, true);

        // The top folder's first item reads it; the others are answered from that read 6 s later,
        // and asked again once it is 11 s old, after pending and in sync swapped places (errors
        // are kept longer, and a row that goes leaves the answer before it).
        std::vector<CItem> children;
        std::copy_if(trees[tree].begin(), trees[tree].end(), std::back_inserter(children),
                     [&](const CItem& item) { return FolderOf(item) == FolderOf(items.front()); });
        items = {children.front()};
        Answers(bound);
        items = children;
        clock.AdvanceSeconds(6);
        Answers(bound, false);
        ASSERT_TRUE(client.ExecSync(L"UPDATE ea SET status = 3 - (status & 3) WHERE status & 3 IN (1, 2);"));
        clock.AdvanceSeconds(5);
        const std::vector<std::string> later = Answers(bound, false);
        ExpectSame(Answers(0), later, true);
    }
}

} // namespace
