#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OrbethExtensions_h.h"
#include "tests/support/DllUnderTest.h"
#include "tools/DropList.h"
#include "tools/StandInClient.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr UINT FirstId = 100;
const char* const CommandTexts[] = {"&Share", "&Copy link", "&Comments", "&View Versions", "&View in Cloud"};

// A right-click as the file manager makes it: the items (relative to the sync root; "" is the
// root, "<outside>" a file outside it) as a drop list, or a folder as an id list.
struct CClick {
    CClick(std::vector<std::wstring> items = {}, std::wstring folder = {}, bool byIdList = false)
        : items(std::move(items)), folder(std::move(folder)), byIdList(byIdList)
    {
    }
    std::vector<std::wstring> items;
    std::wstring folder;
    bool byIdList;
};

// The context menu handler through the built DLL, against a stand-in client whose sync root holds
// a sample tree: every row of a table gets a freshly loaded DLL, so no cache carries over.
class ContextMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(client.Ready()) << client.LastError();
        ASSERT_TRUE(StandInService::Install() && StandInService::Start());
        std::wstring rows = L"BEGIN;";
        const auto row = [&](const std::wstring& canonical, int status, const wchar_t* uqid, const wchar_t* id = L"NULL") {
            rows += L"INSERT INTO ea(id, canonical_path, status, uqid) VALUES (" + std::wstring(id) + L", '" +
                    canonical + L"', " + std::to_wstring(status) + L", '" + uqid + L"');";
        };
        for (const wchar_t* folder : {L"Docs", L"Docs\\Sub", L"Docs\\NoId", L"Many", L"Waiting"})
            ASSERT_TRUE(client.MakeFolder(folder));
        for (const wchar_t* file : {L"a.txt", L"b.txt", L"zero.txt", L"nouqid.txt", L"pending.txt", L"excluded.txt"})
            ASSERT_TRUE(client.MakeFile(file));
        row(L"/a.txt", 2, L"A1");
        row(L"/b.txt", 2, L"B1");
        row(L"/zero.txt", 2, L"0");
        row(L"/nouqid.txt", 2, L"");
        row(L"/pending.txt", 1, L"P1");
        row(L"/excluded.txt", 8 | 1, L"E1");
        row(L"/docs/", 2, L"");
        row(L"/docs/sub/", 2, L"");
        row(L"/docs/noid/", 2, L"", L"0");
        for (const std::wstring& name : Numbered(L"", 17)) {
            ASSERT_TRUE(client.MakeFile(L"Many\\" + name) && client.MakeFile(L"Waiting\\" + name));
            row(L"/many/" + name, 2, L"M");
            // In "Waiting" the first sixteen wait to sync; only the seventeenth is in sync.
            row(L"/waiting/" + name, name == L"17.txt" ? 2 : 1, L"W");
        }
        ASSERT_TRUE(client.ExecSync(rows + L"COMMIT;")) << client.LastError();
    }

    std::wstring PathOf(const std::wstring& item)
    {
        if (item == L"<outside>")
            return client.DconfDbPath();
        const std::wstring root = client.RootDir();
        return item.empty() ? root.substr(0, root.size() - 1) : client.PathOf(item);
    }
    // "1.txt" to "count.txt" in the folder.
    static std::vector<std::wstring> Numbered(const std::wstring& folder, int count)
    {
        std::vector<std::wstring> items;
        for (int i = 1; i <= count; ++i)
            items.push_back(folder + std::to_wstring(i) + L".txt");
        return items;
    }

    ComPtr<IContextMenu> NewHandler(CDllUnderTest& dll)
    {
        ComPtr<IContextMenu> handler;
        handler.Attach(dll.Create<IContextMenu>(CLSID_OrbethContextMenuHandler, IID_IContextMenu));
        EXPECT_NE(handler, nullptr);
        return handler;
    }
    HRESULT Initialize(IContextMenu* handler, const CClick& click)
    {
        ComPtr<IShellExtInit> init;
        EXPECT_EQ(handler->QueryInterface(IID_PPV_ARGS(&init)), S_OK);
        std::vector<std::wstring> paths;
        for (const std::wstring& item : click.items)
            paths.push_back(PathOf(item));
        ComPtr<IDataObject> data;
        data.Attach(MakeDropList(paths));
        PIDLIST_ABSOLUTE folder = click.byIdList ? ILCreateFromPathW(PathOf(click.folder).c_str()) : nullptr;
        EXPECT_EQ(folder != nullptr, click.byIdList);
        const HRESULT result = init->Initialize(folder, data.Get(), nullptr);
        ILFree(folder);
        return result;
    }

    // The handler's part of a menu that held "Open" and "Properties", with the entry asked for
    // between them: "Full(6) +-+-+" (form, count, each command enabled or greyed), "Excluded(2)",
    // "Inactive(1)", or "none(0)". Everything else about the entry is checked on the way.
    std::string Query(IContextMenu* handler, UINT flags = CMF_NORMAL, UINT idCmdLast = 0x7FFF)
    {
        HMENU menu = CreatePopupMenu();
        InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING, 1, L"Open");
        InsertMenuW(menu, 1, MF_BYPOSITION | MF_STRING, 2, L"Properties");
        const HRESULT result = handler->QueryContextMenu(menu, 1, FirstId, idCmdLast, flags);
        std::string seen = Describe(menu, result);
        DestroyMenu(menu);
        return seen;
    }

    std::string Describe(HMENU menu, HRESULT result)
    {
        EXPECT_EQ(HRESULT_SEVERITY(result), SEVERITY_SUCCESS);
        const std::string count = "(" + std::to_string(HRESULT_CODE(result)) + ")";
        if (GetMenuItemCount(menu) == 2)
            return "none" + count;
        EXPECT_EQ(GetMenuItemCount(menu), 5);
        EXPECT_EQ(GetMenuItemID(menu, 0), 1u);
        EXPECT_EQ(GetMenuState(menu, 1, MF_BYPOSITION) & MF_SEPARATOR, UINT(MF_SEPARATOR));
        EXPECT_EQ(GetMenuState(menu, 3, MF_BYPOSITION) & MF_SEPARATOR, UINT(MF_SEPARATOR));
        EXPECT_EQ(GetMenuItemID(menu, 4), 2u);

        wchar_t text[64] = {};
        MENUITEMINFOW entry{};
        entry.cbSize = sizeof(entry);
        entry.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_STRING | MIIM_STATE | MIIM_BITMAP;
        entry.dwTypeData = text;
        entry.cch = 64;
        EXPECT_TRUE(GetMenuItemInfoW(menu, 2, TRUE, &entry));
        EXPECT_STREQ(text, L"Orbeth");
        std::string form;
        int background = COLOR_MENU;
        if (!entry.hSubMenu) {
            form = "Inactive";
            EXPECT_EQ(entry.wID, FirstId);
            EXPECT_TRUE(entry.fState & MFS_DISABLED);
            background = COLOR_INACTIVECAPTION;
        } else if (GetMenuItemCount(entry.hSubMenu) == 1) {
            form = "Excluded";
            EXPECT_EQ(entry.wID, FirstId + 1);
            EXPECT_EQ(Line(entry.hSubMenu, 0, FirstId), "-&File excluded from sync by your administrator");
        } else {
            form = "Full ";
            EXPECT_EQ(entry.wID, FirstId + 5);
            EXPECT_EQ(GetMenuItemCount(entry.hSubMenu), 5);
            for (UINT i = 0; i < 5; ++i) {
                const std::string line = Line(entry.hSubMenu, i, FirstId + i);
                EXPECT_EQ(line.substr(1), CommandTexts[i]);
                form += line[0];
            }
        }
        EXPECT_FALSE(entry.fState & MFS_DISABLED && entry.hSubMenu) << "only the inactive entry is greyed";
        EXPECT_EQ(Corners(entry.hbmpItem), GetSysColor(background)) << form;
        return form + count;
    }

    // "+text" or "-text" (greyed) for a line of a submenu, whose identifier is checked.
    static std::string Line(HMENU menu, UINT position, UINT id)
    {
        wchar_t text[64] = {};
        GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
        EXPECT_EQ(GetMenuItemID(menu, int(position)), id);
        const bool greyed = GetMenuState(menu, position, MF_BYPOSITION) & MF_GRAYED;
        std::string line(1, greyed ? '-' : '+');
        for (const wchar_t* c = text; *c; ++c)
            line += char(*c);
        return line;
    }

    // The colour of the bitmap's four corners, which must agree; the middle keeps the picture's.
    static COLORREF Corners(HBITMAP bitmap)
    {
        BITMAP description{};
        if (!GetObjectW(bitmap, sizeof(description), &description))
            return CLR_INVALID;
        HDC dc = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(dc, bitmap);
        const int right = description.bmWidth - 1, bottom = description.bmHeight - 1;
        COLORREF corner = GetPixel(dc, 0, 0);
        for (const POINT p : {POINT{right, 0}, POINT{0, bottom}, POINT{right, bottom}}) {
            if (GetPixel(dc, p.x, p.y) != corner)
                corner = CLR_INVALID;
        }
        EXPECT_NE(GetPixel(dc, right / 2, bottom / 2), corner) << "the picture itself is kept";
        SelectObject(dc, old);
        DeleteDC(dc);
        return corner;
    }

    std::string Open(CDllUnderTest& dll, const CClick& click, int shareFlags = 3)
    {
        EXPECT_TRUE(client.ExecDconf(L"UPDATE driveconfig SET share_link = " + std::to_wstring(shareFlags) + L";"));
        ComPtr<IContextMenu> handler = NewHandler(dll);
        if (!handler)
            return "no handler";
        const HRESULT init = Initialize(handler.Get(), click);
        const std::string seen = Query(handler.Get());
        EXPECT_EQ(init == S_OK, seen.rfind("none", 0) != 0) << "only an accepted selection has a menu";
        return seen;
    }

    CStandInClient client;
};

// Columns of the full form's marks: Share, Copy link, Comments, View Versions, View in Cloud.
TEST_F(ContextMenuTest, EachSelectionGetsItsFormAndItsEnabledCommands)
{
    const struct {
        const char* what;
        CClick click;
        int shareFlags;
        const char* menu;
    } rows[] = {
        {"one in-sync file with a cloud entry", {{L"a.txt"}}, 3, "Full +++++(6)"},
        {"the same, files shareable only", {{L"a.txt"}}, 1, "Full +++++(6)"},
        {"the same, folders shareable only", {{L"a.txt"}}, 2, "Full --+++(6)"},
        {"the same, nothing shareable", {{L"a.txt"}}, 0, "Full --+++(6)"},
        {"uqid \"0\"", {{L"zero.txt"}}, 3, "Full ----+(6)"},
        {"empty uqid", {{L"nouqid.txt"}}, 3, "Full ----+(6)"},
        {"two in-sync files", {{L"a.txt", L"b.txt"}}, 3, "Full +----(6)"},
        {"one shareable file among two", {{L"a.txt", L"zero.txt"}}, 3, "Full ++---(6)"},
        {"a file and a folder", {{L"a.txt", L"Docs\\Sub"}}, 3, "Full -----(6)"},
        {"a folder with an entry id", {{L"Docs\\Sub"}}, 3, "Full ++--+(6)"},
        {"the same, files shareable only", {{L"Docs\\Sub"}}, 1, "Full ----+(6)"},
        {"a folder with entry id 0", {{L"Docs\\NoId"}}, 3, "Full ----+(6)"},
        {"a folder directly under the root", {{L"Docs"}}, 3, "Full ----+(6)"},
        {"the root folder, by drop list", {{L""}}, 3, "Full ----+(6)"},
        {"the root folder, by id list", {{}, L"", true}, 3, "Full ----+(6)"},
        {"15 shareable files", {Numbered(L"Many\\", 15)}, 3, "Full +----(6)"},
        {"16 shareable files", {Numbered(L"Many\\", 16)}, 3, "Full -----(6)"},
        {"a pending file", {{L"pending.txt"}}, 3, "Inactive(1)"},
        {"16 pending files", {Numbered(L"Waiting\\", 16)}, 3, "Inactive(1)"},
        {"the in-sync file is the 17th", {Numbered(L"Waiting\\", 17)}, 3, "Inactive(1)"},
        {"an excluded file", {{L"excluded.txt"}}, 3, "Excluded(2)"},
        {"pending, then excluded", {{L"pending.txt", L"excluded.txt"}}, 3, "Excluded(2)"},
        {"excluded, then in sync", {{L"excluded.txt", L"a.txt"}}, 3, "Full ++---(6)"},
        {"a file outside the root", {{L"<outside>"}}, 3, "none(0)"},
        {"starting outside the root", {{L"<outside>", L"a.txt"}}, 3, "none(0)"},
        {"starting under the root, then outside", {{L"a.txt", L"<outside>"}}, 3, "Full ++---(6)"},
        {"an empty drop list", {{}}, 3, "none(0)"},
        {"a folder id list with a data object", {{L"a.txt"}, L"Docs\\Sub", true}, 3, "Full ++--+(6)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        CDllUnderTest dll;
        ASSERT_TRUE(dll.Loaded());
        EXPECT_EQ(Open(dll, row.click, row.shareFlags), row.menu);
    }
}

TEST_F(ContextMenuTest, FlagsAndTheIdentifierRangeDecideWhetherAnythingIsAdded)
{
    CDllUnderTest dll;
    ASSERT_TRUE(dll.Loaded());
    const struct {
        const wchar_t* item;
        UINT flags;
        UINT idCmdLast;
        const char* menu;
    } rows[] = {
        {L"a.txt", CMF_NORMAL, FirstId + 5, "Full +++++(6)"},
        {L"a.txt", CMF_NORMAL, FirstId + 4, "none(0)"},
        {L"a.txt", CMF_NORMAL, FirstId - 1, "none(0)"},
        {L"excluded.txt", CMF_NORMAL, FirstId + 1, "Excluded(2)"},
        {L"excluded.txt", CMF_NORMAL, FirstId, "none(0)"},
        {L"pending.txt", CMF_NORMAL, FirstId, "Inactive(1)"},
        {L"a.txt", CMF_DEFAULTONLY, 0x7FFF, "none(0)"},
        {L"a.txt", CMF_VERBSONLY, 0x7FFF, "none(0)"},
        {L"a.txt", CMF_NOVERBS, 0x7FFF, "none(0)"},
        {L"a.txt", CMF_DEFAULTONLY | CMF_EXPLORE, 0x7FFF, "Full +++++(6)"},
        {L"a.txt", CMF_EXPLORE | CMF_NOVERBS, 0x7FFF, "Full +++++(6)"},
        {L"a.txt", CMF_EXTENDEDVERBS | CMF_CANRENAME, 0x7FFF, "Full +++++(6)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.flags << " " << row.idCmdLast);
        ComPtr<IContextMenu> handler = NewHandler(dll);
        ASSERT_EQ(Initialize(handler.Get(), {{row.item}}), S_OK);
        EXPECT_EQ(Query(handler.Get(), row.flags, row.idCmdLast), row.menu);
        EXPECT_EQ(Query(handler.Get()), Open(dll, {{row.item}})) << "nothing was decided for a menu left empty";
    }
}

TEST_F(ContextMenuTest, GetCommandStringNamesTheVerbOnly)
{
    CDllUnderTest dll;
    ComPtr<IContextMenu> handler = NewHandler(dll);
    ASSERT_NE(handler, nullptr);
    const struct {
        UINT_PTR idCmd;
        UINT type;
        HRESULT result;
        const wchar_t* written;
    } rows[] = {
        {0, GCS_VERBA, E_INVALIDARG, L"untouched"},     {0, GCS_VALIDATEA, E_INVALIDARG, L"untouched"},
        {0, GCS_VERBW, S_OK, L"Orbeth sh"},             {0, GCS_HELPTEXTA, S_OK, L"untouched"},
        {0, GCS_HELPTEXTW, S_OK, L"untouched"},         {0, GCS_VALIDATEW, S_OK, L"untouched"},
        {0, 3, S_OK, L"untouched"},                     {0, 7, S_OK, L"untouched"},
        {1, GCS_VERBW, E_INVALIDARG, L"untouched"},     {5, GCS_HELPTEXTW, E_INVALIDARG, L"untouched"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.idCmd << " " << row.type);
        wchar_t name[16] = L"untouched";
        EXPECT_EQ(handler->GetCommandString(row.idCmd, row.type, nullptr, reinterpret_cast<CHAR*>(name), 10),
                  row.result);
        EXPECT_STREQ(name, row.written);
    }
    EXPECT_EQ(handler->GetCommandString(0, GCS_VERBW, nullptr, nullptr, 10), E_POINTER);
}

// Each handler acts on the items its own Initialize captured, whatever other handlers do.
TEST_F(ContextMenuTest, HandlersAliveAtOnceKeepTheirOwnSelections)
{
    CDllUnderTest dll;
    ComPtr<IContextMenu> first = NewHandler(dll), second = NewHandler(dll);
    ASSERT_TRUE(first && second);
    ASSERT_EQ(Initialize(first.Get(), {{L"a.txt"}}), S_OK);
    ASSERT_EQ(Initialize(second.Get(), {{L"pending.txt"}}), S_OK);
    EXPECT_EQ(Query(first.Get()), "Full +++++(6)");
    EXPECT_EQ(Query(second.Get()), "Inactive(1)");
    EXPECT_EQ(Initialize(second.Get(), {{L"<outside>"}}), E_INVALIDARG);
    EXPECT_EQ(Query(first.Get()), "Full +++++(6)") << "a refused selection elsewhere empties nothing here";

    // Two windows, two threads: each Initialize runs before the other thread asks for its menu.
    HANDLE captured[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::string menus[2];
    const wchar_t* items[2] = {L"excluded.txt", L"Docs\\Sub"};
    std::vector<std::thread> windows;
    for (int i = 0; i < 2; ++i) {
        windows.emplace_back([&, i] {
            ComPtr<IContextMenu> handler = NewHandler(dll);
            const HRESULT init = handler ? Initialize(handler.Get(), {{items[i]}}) : E_FAIL;
            SetEvent(captured[i]);
            WaitForMultipleObjects(2, captured, TRUE, 10000);
            menus[i] = init == S_OK ? Query(handler.Get()) : "not initialised";
        });
    }
    for (std::thread& window : windows)
        window.join();
    EXPECT_EQ(menus[0], "Excluded(2)");
    EXPECT_EQ(menus[1], "Full ++--+(6)");
    CloseHandle(captured[0]);
    CloseHandle(captured[1]);
}

// A path longer than MAX_PATH is read whole: cut short, it would name another item.
TEST_F(ContextMenuTest, LongPathsAreReadWhole)
{
    std::wstring folder = L"Deep";
    ASSERT_TRUE(client.MakeFolder(folder));
    while (client.PathOf(folder).size() < 300) {
        folder += L"\\" + std::wstring(40, L'd');
        ASSERT_TRUE(client.MakeFolder(folder));
    }
    ASSERT_TRUE(client.MakeFile(folder + L"\\long.txt"));
    std::wstring canonical = L"/" + folder + L"/long.txt";
    for (wchar_t& c : canonical)
        c = c == L'\\' ? L'/' : towlower(c);
    ASSERT_TRUE(client.ExecSync(L"INSERT INTO ea(canonical_path, status, uqid) VALUES ('" + canonical + L"', 2, 'L');"));
    CDllUnderTest dll;
    EXPECT_EQ(Open(dll, {{folder + L"\\long.txt"}}), "Full +++++(6)");
}

} // namespace
