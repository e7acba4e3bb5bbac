#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "OrbethExtensions_h.h"
#include "base/Utf8.h"
#include "base/GdiObject.h"
#include "menu/ContextMenuHandler.h"
#include "menu/MenuBitmap.h"
#include "menu/MenuCommands.h"
#include "module/ComObject.h"
#include "tests/support/ClientEnvironment.h"
#include "tools/standin/DropList.h"
#include "tools/standin/LoadedExtension.h"
#include "tools/standin/Program.h"
#include "tools/standin/StandInWebService.h"
#include "tools/standin/UrlCapture.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr UINT FirstId = 100;

// A right-click: items under the sync root ("" is the root, "<outside>" a file outside it, "<beside>"
// a file in a folder beside it whose name is as long as the root's) as a
// drop list, optionally a folder as an id list, and the menu's flags and last identifier.
struct CClick {
    CClick(std::vector<std::wstring> i = {}, const wchar_t* f = nullptr, UINT m = CMF_NORMAL, UINT last = 0x7FFF)
        : items(std::move(i)),
          folder(f),
          flags(m),
          idCmdLast(last)
    {
    }
    std::vector<std::wstring> items;
    const wchar_t* folder;
    UINT flags, idCmdLast;
};

// "menu" (opaque, coloured middle) or "inactive" (half opaque, no colour) for a size x size 32-bit
// top-down premultiplied bitmap clear at its corners, else "?". Top-down is seen in the pixels: Wine
// reports a top-down section's height as positive.
std::string Picture(HBITMAP bitmap, int size = GetSystemMetrics(SM_CXSMICON))
{
    DIBSECTION dib{};
    if (GetObjectW(bitmap, sizeof(dib), &dib) != sizeof(dib) || dib.dsBm.bmBitsPixel != 32 ||
        dib.dsBm.bmWidth != size || dib.dsBm.bmHeight != size)
        return "?";
    const auto* pixels = static_cast<const uint32_t*>(dib.dsBm.bmBits);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    bool premultiplied = true, coloured = false, topDown = true;
    for (int i = 0; i < size * size; ++i) {
        const BYTE* p = reinterpret_cast<const BYTE*>(pixels + i); // blue, green, red, alpha
        premultiplied &= std::max({p[0], p[1], p[2]}) <= p[3];
        coloured |= std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}) > 8;
        topDown &= GetPixel(dc, i % size, i / size) == RGB(p[2], p[1], p[0]);
    }
    DeleteDC((SelectObject(dc, old), dc));
    const uint32_t corners = (pixels[0] | pixels[size - 1] | pixels[size * (size - 1)] | pixels[size * size - 1]) >> 24,
                   middle = pixels[size * (size / 2) + size / 2] >> 24;
    if (!premultiplied || !topDown || corners != 0)
        return "?";
    return middle == 255 && coloured ? "menu" : middle == 127 && !coloured ? "inactive" : "?";
}

// A menu as text: "~" marks a greyed item, "#" its identifier, "@" its bitmap's background, "{}"
// its submenu, "-" a separator.
std::string Render(HMENU menu)
{
    std::string text;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t name[128] = {};
        MENUITEMINFOW item{};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_STRING | MIIM_STATE | MIIM_BITMAP | MIIM_FTYPE;
        item.dwTypeData = name;
        item.cch = 128;
        EXPECT_TRUE(GetMenuItemInfoW(menu, i, TRUE, &item));
        text += i ? "|" : "";
        if (item.fType & MFT_SEPARATOR) {
            text += "-";
            continue;
        }
        std::string utf8;
        WideToUtf8(name, &utf8);
        text += (item.fState & MFS_DISABLED ? "~" : "") + utf8 + "#" + std::to_string(item.wID);
        text += item.hbmpItem ? "@" + Picture(item.hbmpItem) : "";
        text += item.hSubMenu ? "{" + Render(item.hSubMenu) + "}" : "";
    }
    return text;
}

// What the file manager's menu of "Open" and "Properties" must look like after the entry was
// asked for between them, for "Full +--++" (each command enabled or greyed), "Excluded",
// "Inactive", "none" or "refused" (by Initialize); and the count of identifiers used.
// The menu's texts: its title, the five commands, the excluded line.
using CTexts = std::vector<std::string>;
// clang-format off
const CTexts English = {"Orbeth", "&Share", "&Copy link", "&Comments", "&View Versions", "&View in Cloud",
                        "&File excluded from sync by your administrator"};
// clang-format on

std::string Expected(const std::string& form, const CTexts& texts = English)
{
    if (form == "none" || form == "refused")
        return "Open#1|Properties#2 (0)";
    std::string entry = texts[0] + "#105@menu{", count = "6";
    for (size_t i = 0; i < 5 && form.size() == 10; ++i)
        entry += (i ? "|" : "") + std::string(form[5 + i] == '-' ? "~" : "") + texts[1 + i] + "#" +
                 std::to_string(FirstId + i);
    entry += "}";
    if (form == "Inactive")
        entry = "~" + texts[0] + "#100@inactive", count = "1";
    else if (form == "Excluded")
        entry = texts[0] + "#101@menu{~" + texts[6] + "#100}", count = "2";
    return "Open#1|-|" + entry + "|-|Properties#2 (" + count + ")";
}

// A command's title, as text.
std::string Title(IExplorerCommand* command, IShellItemArray* items)
{
    LPWSTR title = nullptr;
    std::string utf8;
    if (SUCCEEDED(command->GetTitle(items, &title)))
        WideToUtf8(title, &utf8);
    CoTaskMemFree(title);
    return utf8;
}

// The sub-commands of a root, all handed out at once; the enumerator is walked again by Reset, Skip and Clone.
std::vector<ComPtr<IExplorerCommand>> SubCommands(IExplorerCommand* root)
{
    ComPtr<IEnumExplorerCommand> list, clone;
    IExplorerCommand* given[8] = {};
    ULONG fetched = 0;
    EXPECT_EQ(root->EnumSubCommands(&list), S_OK);
    EXPECT_EQ(list->Next(8, given, &fetched), S_FALSE);
    std::vector<ComPtr<IExplorerCommand>> lines(given, given + fetched);
    for (ULONG i = 0; i < fetched; ++i)
        given[i]->Release(); // the vector holds its own reference
    if (lines.empty())
        return lines;
    EXPECT_TRUE(list->Reset() == S_OK && list->Skip(fetched) == S_OK && list->Skip(1) == S_FALSE &&
                list->Reset() == S_OK && list->Skip(fetched - 1) == S_OK && list->Clone(&clone) == S_OK);
    ComPtr<IExplorerCommand> last;
    EXPECT_EQ(clone->Next(1, &last, nullptr), S_OK);
    EXPECT_TRUE(last && Title(last.Get(), nullptr) == Title(lines.back().Get(), nullptr));
    return lines;
}

// The Windows 11 entry for the items, with the site it is given, in the words of the form table:
// "refused" when hidden, else its form with each command enabled or greyed. The root is asked first
// (quickly, which must wait for the database, then slowly), or its lines are, the last one first:
// the answer must not depend on the order.
std::string ExplorerForm(CLoadedExtension& dll, IShellItemArray* items, IUnknown* site = nullptr,
                         bool linesFirst = false, const CTexts& texts = English)
{
    ComPtr<IExplorerCommand> root = dll.Create<IExplorerCommand>(CLSID_OrbethExplorerCommand, IID_IExplorerCommand);
    ComPtr<IObjectWithSite> sited;
    if (site && (FAILED(root.As(&sited)) || FAILED(sited->SetSite(site))))
        return "no site";
    EXPCMDSTATE state = ECS_ENABLED;
    EXPCMDFLAGS flags = ECF_ISSEPARATOR;
    std::vector<ComPtr<IExplorerCommand>> lines;
    if (linesFirst) {
        EXPECT_TRUE(root->GetFlags(&flags) == S_OK && flags == ECF_HASSUBCOMMANDS);
        lines = SubCommands(root.Get());
        for (size_t i = lines.size(); i-- > 0;)
            lines[i]->GetState(items, TRUE, &state);
    } else if (root->GetState(items, FALSE, &state) != E_PENDING) {
        return state == ECS_HIDDEN ? "refused" : "decided quickly";
    }
    if (root->GetState(items, TRUE, &state) != S_OK || state == ECS_HIDDEN)
        return "refused";
    EXPECT_TRUE(root->GetFlags(&flags) == S_OK && flags == ECF_HASSUBCOMMANDS && Title(root.Get(), items) == texts[0]);
    if (lines.empty())
        lines = SubCommands(root.Get());
    std::string shown; // "~" before a greyed line, "|" after each
    for (const ComPtr<IExplorerCommand>& line : lines) {
        EXPCMDSTATE lineState = ECS_ENABLED;
        line->GetState(items, TRUE, &lineState);
        if (lineState != ECS_HIDDEN)
            shown += (lineState == ECS_DISABLED ? "~" : "") + Title(line.Get(), items) + "|";
    }
    if (state == ECS_DISABLED && shown.empty())
        return "Inactive";
    if (state == ECS_ENABLED && shown == "~" + texts[6] + "|")
        return "Excluded";
    std::string form = "Full ", rest = shown;
    for (size_t i = 1; i <= 5; ++i) {
        const std::string command = texts[i] + "|";
        const bool greyed = rest.rfind("~", 0) == 0;
        if (rest.compare(greyed, command.size(), command) != 0)
            break;
        form += greyed ? "-" : "+";
        rest.erase(0, greyed + command.size());
    }
    return state == ECS_ENABLED && form.size() == 10 && rest.empty() ? form
                                                                     : "root " + std::to_string(state) + ": " + shown;
}

// The handler through the built DLL, against a stand-in client whose sync root holds a sample tree.
class ContextMenuTest : public ClientEnvironmentTest {
protected:
    void SetUp() override
    {
        ClientEnvironmentTest::SetUp();
        ASSERT_TRUE(service.Ready() && browser.Ready()) << service.LastError() << browser.LastError();
        // "<beside>" exists too: the Windows 11 menu is handed only items that exist.
        for (const wchar_t* folder : {L"..\\Orbeth Save", L"..\\Orbeth Save\\Docs", L"Docs", L"Docs\\Sub",
                                      L"Docs\\NoId", L"Many", L"Waiting", L"Team Docs", L"50%", L"Docs\\MixedCase"})
            ASSERT_TRUE(client.MakeFolder(folder));
        // id NULL gets the next row number, so above 0.
        std::wstring rows = L"BEGIN;INSERT INTO ea(id, canonical_path, status, uqid) VALUES (NULL, '/a.txt', 2, 'A1'), "
                            L"(NULL, '/b.txt', 2, 'B1'), (NULL, '/zero.txt', 2, '0'), (NULL, '/nouqid.txt', 2, ''), "
                            L"(NULL, '/pending.txt', 1, 'P1'), (NULL, '/excluded.txt', 9, 'E1'), "
                            L"(NULL, '/docs/', 2, ''), (NULL, '/docs/sub/', 2, ''), (0, '/docs/noid/', 2, '');";
        for (const wchar_t* file : {L"..\\Orbeth Save\\Docs\\b.txt", L"a.txt", L"b.txt", L"zero.txt", L"nouqid.txt",
                                    L"pending.txt", L"excluded.txt", L"Team Docs\\a&b.txt", L"Notes (draft)",
                                    L"50%\\x.txt", L"Docs\\MixedCase\\Read Me.TXT", L"x{1}[2]'&,#%^~@$+=!.txt"})
            ASSERT_TRUE(client.MakeFile(file));
        for (const std::wstring& name : Numbered(L"", 17)) {
            ASSERT_TRUE(client.MakeFile(L"Many\\" + name) && client.MakeFile(L"Waiting\\" + name));
            // In "Waiting" only the seventeenth is in sync.
            rows += L"INSERT INTO ea(canonical_path, status, uqid) VALUES ('/many/" + name +
                    L"', 2, 'M'), ('/waiting/" + name + L"', " + (name == L"17.txt" ? L"2" : L"1") + L", 'W');";
        }
        // A path longer than MAX_PATH, read whole: cut short, it would name another item.
        std::wstring canonical = L"/deep";
        for (deep = L"Deep"; client.MakeFolder(deep) && client.PathOf(deep).size() < 300;
             canonical += L"/" + std::wstring(40, L'd'))
            deep += L"\\" + std::wstring(40, L'D');
        deep += L"\\long.txt";
        rows += L"INSERT INTO ea(canonical_path, status, uqid) VALUES ('" + canonical + L"/long.txt', 2, 'L');";
        ASSERT_TRUE(client.MakeFile(deep) && client.ExecSync(rows + L"COMMIT;")) << client.LastError();
    }

    static std::vector<std::wstring> Numbered(const std::wstring& folder, int count)
    {
        std::vector<std::wstring> items;
        for (int i = 1; i <= count; ++i)
            items.push_back(folder + std::to_wstring(i) + L".txt");
        return items;
    }
    std::wstring PathOf(const std::wstring& item)
    {
        const std::wstring root = client.RootDir();
        return item == L"<outside>"  ? client.DconfDbPath()
               : item == L"<beside>" ? root.substr(0, root.size() - 5) + L"Save\\Docs\\b.txt"
               : item.empty()        ? root.substr(0, root.size() - 1)
                                     : client.PathOf(item);
    }

    ComPtr<IContextMenu> Initialized(CLoadedExtension& dll, const CClick& click, HRESULT* result = nullptr)
    {
        ComPtr<IContextMenu> handler = dll.Create<IContextMenu>(CLSID_OrbethContextMenuHandler, IID_IContextMenu);
        std::vector<std::wstring> paths;
        for (const std::wstring& item : click.items)
            paths.push_back(PathOf(item));
        const HRESULT initialized =
            InitializeHandler(handler.Get(), paths, click.folder ? PathOf(click.folder).c_str() : nullptr);
        if (result)
            *result = initialized;
        return handler;
    }

    // The file manager's menu after QueryContextMenu, with the count of identifiers used.
    static std::string Query(IContextMenu* handler, const CClick& click)
    {
        HMENU menu = CreatePopupMenu();
        AppendMenuW(menu, MF_STRING, 1, L"Open");
        AppendMenuW(menu, MF_STRING, 2, L"Properties");
        const HRESULT result = handler->QueryContextMenu(menu, 1, FirstId, click.idCmdLast, click.flags);
        EXPECT_TRUE(SUCCEEDED(result));
        std::string seen = Render(menu) + " (" + std::to_string(HRESULT_CODE(result)) + ")";
        DestroyMenu(menu);
        return seen;
    }

    // The command's result, once the page it should open ("" for none) was opened.
    HRESULT Invoke(CLoadedExtension& dll, const CClick& click, UINT offset, const std::wstring& page = L"")
    {
        ComPtr<IContextMenu> handler = Initialized(dll, click);
        CMINVOKECOMMANDINFO info{};
        info.cbSize = sizeof(info);
        info.lpVerb = MAKEINTRESOURCEA(offset);
        const HRESULT result = handler->InvokeCommand(&info);
        if (!page.empty()) {
            pages.push_back(page);
            EXPECT_TRUE(browser.WaitForUrls(pages.size(), 10000)) << "no page";
        }
        return result;
    }
    // What the Windows 11 file manager hands its command for the click: the items' array, or for a
    // folder's background no array and a site whose view shows the folder. False when it could not
    // hand out these items (Wine's shell names no path longer than MAX_PATH).
    bool Windows11(const CClick& click, ComPtr<IShellItemArray>* items, ComPtr<IUnknown>* site)
    {
        if (click.folder) {
            *site = MakeCommandSite(nullptr, PathOf(click.folder).c_str());
            return true;
        }
        std::vector<std::wstring> paths;
        for (const std::wstring& item : click.items)
            paths.push_back(PathOf(item));
        *items = MakeItemArray(paths);
        return *items || paths.empty();
    }
    // The same command picked in the Windows 11 entry, the array handed to the root alone, as the
    // lines then work on what it captured. S_FALSE, with nothing run, when the entry does not
    // enable that line for the selection.
    HRESULT InvokeExplorer(CLoadedExtension& dll, const CClick& click, UINT offset, const std::wstring& page)
    {
        ComPtr<IShellItemArray> items;
        ComPtr<IUnknown> site;
        ComPtr<IObjectWithSite> sited;
        ComPtr<IExplorerCommand> root = dll.Create<IExplorerCommand>(CLSID_OrbethExplorerCommand, IID_IExplorerCommand);
        if (!Windows11(click, &items, &site) ||
            (site && (FAILED(root.As(&sited)) || FAILED(sited->SetSite(site.Get())))))
            return S_FALSE;
        EXPCMDSTATE state = ECS_HIDDEN;
        EXPECT_EQ(root->GetState(items.Get(), TRUE, &state), S_OK);
        const std::vector<ComPtr<IExplorerCommand>> lines = SubCommands(root.Get());
        EXPECT_EQ(lines.at(offset)->GetState(nullptr, FALSE, &state), S_OK);
        const HRESULT result = lines[offset]->Invoke(nullptr, nullptr);
        if (state != ECS_ENABLED)
            return result == E_INVALIDARG ? S_FALSE : result;
        if (!page.empty()) {
            pages.push_back(page);
            EXPECT_TRUE(browser.WaitForUrls(pages.size(), 10000)) << "no page";
        }
        return result;
    }
    // Every page opened so far, each arrived whole as one argument of the browser.
    void ExpectPages()
    {
        std::vector<std::vector<std::wstring>> opened;
        for (const std::wstring& page : pages)
            opened.push_back({L"http://127.0.0.1:8806/" + page});
        EXPECT_EQ(browser.Arguments(), opened);
    }

    CStandInWebService service; // the client's local web service
    CUrlCapture browser;
    std::vector<std::wstring> pages;
    std::wstring deep;
};

TEST_F(ContextMenuTest, EachSelectionGetsItsFormAndItsEnabledCommands)
{
    // Columns of "Full": Share, Copy link, Comments, View Versions, View in Cloud.
    const struct {
        const char* what;
        CClick click;
        int shareFlags;
        const char* form;
        // clang-format off
    } rows[] = {
        {"an in-sync file with a cloud entry", {{L"a.txt"}}, 3, "Full +++++"},
        {"the same, folders shareable only", {{L"a.txt"}}, 2, "Full --+++"},
        {"uqid \"0\"", {{L"zero.txt"}}, 3, "Full ----+"},
        {"empty uqid", {{L"nouqid.txt"}}, 3, "Full ----+"},
        {"two shareable files", {{L"a.txt", L"b.txt"}}, 3, "Full +----"},
        {"one shareable file of two", {{L"a.txt", L"zero.txt"}}, 3, "Full ++---"},
        {"a file and a folder", {{L"a.txt", L"Docs\\Sub"}}, 3, "Full -----"},
        {"a folder with an entry id", {{L"Docs\\Sub"}}, 3, "Full ++--+"},
        {"the same, files shareable only", {{L"Docs\\Sub"}}, 1, "Full ----+"},
        {"a folder with entry id 0", {{L"Docs\\NoId"}}, 3, "Full ----+"},
        {"a folder directly under the root", {{L"Docs"}}, 3, "Full ----+"},
        {"the root folder in a drop list", {{L""}}, 3, "Full ----+"},
        {"15 shareable files", {Numbered(L"Many\\", 15)}, 3, "Full +----"},
        {"16 shareable files", {Numbered(L"Many\\", 16)}, 3, "Full -----"},
        {"a pending file", {{L"pending.txt"}}, 3, "Inactive"},
        {"the in-sync file is the 17th", {Numbered(L"Waiting\\", 17)}, 3, "Inactive"},
        {"an excluded file", {{L"excluded.txt"}}, 3, "Excluded"},
        {"pending, then excluded", {{L"pending.txt", L"excluded.txt"}}, 3, "Excluded"},
        {"excluded, then in sync", {{L"excluded.txt", L"a.txt"}}, 3, "Full ++---"},
        {"starting outside the root", {{L"<outside>", L"a.txt"}}, 3, "refused"},
        {"starting under the root, then beside it", {{L"a.txt", L"<beside>"}}, 3, "Full -----"},
        {"an empty drop list", {}, 3, "refused"},
        {"a folder id list with a data object", {{L"a.txt"}, L"Docs\\Sub"}, 3, "Full ++--+"},
        {"the root's background", {{}, L""}, 3, "Full ----+"},
        {"a path longer than 300 characters", {{deep}}, 3, "Full +++++"},
        // Identifiers past idCmdLast belong to other handlers; some menus take no entry at all.
        {"six identifiers for the full form", {{L"a.txt"}, nullptr, 0, FirstId + 5}, 3, "Full +++++"},
        {"five for the full form", {{L"a.txt"}, nullptr, 0, FirstId + 4}, 3, "none"},
        {"one for the excluded form", {{L"excluded.txt"}, nullptr, 0, FirstId}, 3, "none"},
        {"none at all", {{L"pending.txt"}, nullptr, 0, FirstId - 1}, 3, "none"},
        {"a default-only menu", {{L"a.txt"}, nullptr, CMF_DEFAULTONLY}, 3, "none"},
        {"a verbs-only menu", {{L"a.txt"}, nullptr, CMF_VERBSONLY}, 3, "none"},
        {"a no-verbs menu", {{L"a.txt"}, nullptr, CMF_NOVERBS}, 3, "none"},
        {"the explorer's default-only menu", {{L"a.txt"}, nullptr, CMF_DEFAULTONLY | CMF_EXPLORE}, 3, "Full +++++"},
        {"extended verbs", {{L"a.txt"}, nullptr, CMF_EXTENDEDVERBS}, 3, "Full +++++"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        // A fresh DLL for each row: nothing cached, the sharing flags included, carries over.
        CLoadedExtension dll;
        ASSERT_TRUE(client.ExecDconf(L"UPDATE driveconfig SET share_link = " + std::to_wstring(row.shareFlags)));
        HRESULT init = E_FAIL;
        ComPtr<IContextMenu> handler = Initialized(dll, row.click, &init);
        ASSERT_NE(handler, nullptr);
        EXPECT_EQ(init, std::string(row.form) == "refused" ? E_INVALIDARG : S_OK);
        EXPECT_EQ(Query(handler.Get(), row.click), Expected(row.form));
        // The Windows 11 entry from the same model, asked in either order: only the rows of a whole menu
        // concern it. A folder's background, which the classic menu gets as an id list, comes through the site.
        ComPtr<IShellItemArray> items;
        ComPtr<IUnknown> site;
        if (row.click.flags != CMF_NORMAL || row.click.idCmdLast != CClick().idCmdLast ||
            !Windows11(row.click, &items, &site))
            continue;
        for (const bool linesFirst : {false, true})
            EXPECT_EQ(ExplorerForm(dll, items.Get(), site.Get(), linesFirst), row.form) << linesFirst;
    }
    {
        // An item without a file-system path (the computer's own folder) is left out, as the classic
        // menu's drop list leaves it out: alone it is refused, before a file it leaves the file's menu.
        CLoadedExtension dll;
        std::unique_ptr<ITEMIDLIST, decltype(&ILFree)> computer(nullptr, &ILFree), file(nullptr, &ILFree);
        PIDLIST_ABSOLUTE id = nullptr;
        ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &id), S_OK);
        computer.reset(id);
        file.reset(ILCreateFromPathW(PathOf(L"a.txt").c_str()));
        ComPtr<IShellItemArray> alone, before;
        PCIDLIST_ABSOLUTE list[] = {computer.get(), file.get()};
        ASSERT_TRUE(SHCreateShellItemArrayFromIDLists(1, list, &alone) == S_OK &&
                    SHCreateShellItemArrayFromIDLists(2, list, &before) == S_OK);
        EXPECT_EQ(ExplorerForm(dll, alone.Get()), "refused");
        EXPECT_EQ(ExplorerForm(dll, before.Get()), "Full +++++");

        // Windows 11 lists the command in its classic menu too, beside the classic entry: it hides
        // where its site gives a file view's window, and shows where the site gives the navigation
        // pane's tree, no window or no site.
        const ComPtr<IShellItemArray> items = MakeItemArray({PathOf(L"a.txt")});
        const auto window = [](const wchar_t* name) {
            WNDCLASSW type{};
            type.lpfnWndProc = DefWindowProcW;
            type.lpszClassName = name;
            RegisterClassW(&type);
            return CreateWindowW(name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        };
        const HWND view = window(L"SHELLDLL_DefView"), tree = window(L"NamespaceTreeControl");
        ASSERT_TRUE(view && tree);
        EXPECT_EQ(ExplorerForm(dll, items.Get(), MakeCommandSite(view, nullptr).Get()), "refused");
        EXPECT_EQ(ExplorerForm(dll, items.Get(), MakeCommandSite(tree, nullptr).Get()), "Full +++++");
        EXPECT_EQ(ExplorerForm(dll, items.Get(), MakeCommandSite(nullptr, nullptr).Get()), "Full +++++");
        DestroyWindow(view);
        DestroyWindow(tree);

        // A root given another folder's background with another site forgets the first folder.
        const ComPtr<IExplorerCommand> root =
            dll.Create<IExplorerCommand>(CLSID_OrbethExplorerCommand, IID_IExplorerCommand);
        ComPtr<IObjectWithSite> sited;
        EXPCMDSTATE states[2] = {};
        ASSERT_EQ(root.As(&sited), S_OK);
        for (const int i : {0, 1}) {
            sited->SetSite(MakeCommandSite(nullptr, PathOf(i ? L"Waiting" : L"Docs\\Sub").c_str()).Get());
            root->GetState(nullptr, TRUE, &states[i]);
        }
        EXPECT_TRUE(states[0] == ECS_ENABLED && states[1] == ECS_DISABLED) << states[0] << states[1];
    }
    // A handler initialised again forgets the first selection, the kinds of its items included.
    CLoadedExtension dll;
    ComPtr<IContextMenu> handler = Initialized(dll, {{L"a.txt"}});
    ASSERT_EQ(InitializeHandler(handler.Get(), {PathOf(L"Docs\\Sub")}, nullptr), S_OK);
    EXPECT_EQ(Query(handler.Get(), {}), Expected("Full ++--+"));
}

// A drop list is read only within its memory: one shorter than its header, or without its end,
// is refused; a whole one is read, narrow or wide.
TEST_F(ContextMenuTest, DropListsAreReadWithinTheirMemory)
{
    ASSERT_TRUE(client.MakeFile(L"a.txt"));
    const std::wstring path = client.PathOf(L"a.txt");
    const std::string narrow(path.begin(), path.end()), // the temporary folder's path is ASCII
        wide(reinterpret_cast<const char*>(path.data()), path.size() * sizeof(wchar_t));
    const auto list = [](BOOL isWide, const std::string& names) {
        const DROPFILES header{sizeof(DROPFILES), {0, 0}, FALSE, isWide};
        return std::string(reinterpret_cast<const char*>(&header), sizeof header) + names;
    };
    const struct {
        std::string bytes;
        HRESULT result;
    } rows[] = {
        {"\x14", E_INVALIDARG},
        {list(FALSE, narrow + '\0'), E_INVALIDARG},
        {list(TRUE, wide + std::string(3, '\0')), E_INVALIDARG},
        {list(FALSE, narrow + std::string(2, '\0')), S_OK},
        {list(TRUE, wide + std::string(4, '\0')), S_OK},
    };
    CLoadedExtension dll;
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        ComPtr<IShellExtInit> handler = dll.Create<IShellExtInit>(CLSID_OrbethContextMenuHandler, IID_IShellExtInit);
        EXPECT_EQ(handler->Initialize(nullptr, MakeDropListFromBytes(row.bytes).Get(), nullptr), row.result);
    }
}

TEST_F(ContextMenuTest, EachCommandPostsAndOpensWhatItShould)
{
    // Named outside ASCII, which the language runs' locales cannot name: made here, not for every test.
    ASSERT_TRUE(client.MakeFile(L"\u00fcber.txt"));
    const std::string id(CStandInWebService::ShareLinkId);
    CReply clients; // status 0: the client's own answers, an id for "uid" 1 and nothing for 2
    clients.status = 0;
    const wchar_t* sharing = L"sync_sharing?path_type=folder&share_link_uuid=";
    const char* docsSub = R"({"uid":1,"paths":["/Docs/Sub/"],"path_type":"folder"})";
    std::wstring deepPage = L"open_cfs?link_type=preview&fpath=%2FDeep"; // longer than MAX_PATH
    for (auto i = std::count(deep.begin(), deep.end(), L'\\'); i > 1; --i)
        deepPage += L"%2F" + std::wstring(40, L'D');
    const struct {
        CClick click;
        UINT offset;
        CReply reply;
        const char* body;  // what reached the service; null for nothing
        std::wstring page; // what the browser was asked for; empty for nothing
        // clang-format off
    } rows[] = {
        {{{L"a.txt"}}, 1, clients, R"({"uid":2,"paths":["/a.txt"],"path_type":"file"})", L""},
        {{{L"a.txt", L"b.txt"}}, 0, clients, R"({"uid":1,"paths":["/a.txt","/b.txt"],"path_type":"file"})",
         L"sync_sharing?path_type=file&share_link_uuid=" + std::wstring(id.begin(), id.end())},
        {{{L"Docs", L"Docs\\Sub"}}, 1, clients, R"({"uid":2,"paths":["/Docs/","/Docs/Sub/"],"path_type":"folder"})", L""},
        {{{L"a.txt", L"Docs\\Sub"}}, 1, clients, R"({"uid":2,"paths":["/a.txt","/Docs/Sub/"]})", L""},
        {{{L"\u00fcber.txt", L"Docs\\MixedCase\\Read Me.TXT"}}, 1, clients,
         "{\"uid\":2,\"paths\":[\"/\xc3\xbc" "ber.txt\",\"/Docs/MixedCase/Read Me.TXT\"],\"path_type\":\"file\"}", L""},
        {{{L"x{1}[2]'&,#%^~@$+=!.txt"}}, 1, clients, R"({"uid":2,"paths":["/x{1}[2]'&,#%^~@$+=!.txt"],"path_type":"file"})", L""},
        // Not a name Windows allows, and so not found: counted as a folder, still valid JSON.
        {{{L"say \"hi\"\x01.txt"}}, 1, clients, R"({"uid":2,"paths":["/say \"hi\"\u0001.txt/"],"path_type":"folder"})", L""},
        // The share link id: joined from its chunks (300 ms apart), exactly 32 characters, escaped, read within bounds.
        {{{L"Docs\\Sub"}}, 0, {200, {id.substr(0, 16), id.substr(16)}, 0, CReply::Normal, 300}, docsSub,
         sharing + std::wstring(id.begin(), id.end())},
        {{{L"Docs\\Sub"}}, 0, {200, {id.substr(1)}}, docsSub, L""},
        {{{L"Docs\\Sub"}}, 0, {500, {id}}, docsSub, sharing + std::wstring(id.begin(), id.end())},
        {{{L"Docs\\Sub"}}, 0, {200, {"\" --kiosk \"file:///etc/passwd\" x"}}, docsSub,
         sharing + std::wstring(L"%22%20--kiosk%20%22file:///etc/passwd%22%20x")},
        {{{L"Docs\\Sub"}}, 0, {200, {"\xc3", "\xa9" + id.substr(1)}}, docsSub,
         sharing + std::wstring(L"%c3%a9") + std::wstring(id.begin() + 1, id.end())},
        {{{L"Docs\\Sub"}}, 0, {200, {}, 0, CReply::Endless}, docsSub, L""},
        // The pages, with the path escaped.
        {{{L"Team Docs\\a&b.txt"}}, 2, clients, nullptr, L"sync_note?path_type=file&fpath=%2FTeam%20Docs%2Fa%26b.txt"},
        {{{L"50%\\x.txt"}}, 3, clients, nullptr, L"view_versions?path_type=file&fpath=%2F50%25%2Fx.txt"},
        {{{L"\u00fcber.txt"}}, 4, clients, nullptr, L"open_cfs?link_type=preview&fpath=%2F%c3%bcber.txt"},
        {{{L"Notes (draft)"}}, 4, clients, nullptr, L"open_cfs?link_type=preview&fpath=%2FNotes%20(draft)"},
        {{{L"Docs\\Sub"}}, 4, clients, nullptr, L"open_cfs?link_type=folder&fpath=%2FDocs%2FSub"},
        {{{L"Team Docs\\a&b.txt", L"a.txt"}}, 4, clients, nullptr, L"open_cfs?link_type=folder&fpath=%2FTeam%20Docs"},
        {{{L"a.txt", L"Docs"}}, 4, clients, nullptr, L"open_cfs?link_type=home"},
        {{{}, L""}, 4, clients, nullptr, L"open_cfs?link_type=home"},
        {{{deep}}, 4, clients, nullptr, deepPage + L"%2Flong.txt"},
    };
    // clang-format on
    CLoadedExtension dll;
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.page) + (row.body ? row.body : ""));
        row.reply.status ? service.SetReply(row.reply) : service.UseClientReplies();
        const size_t before = service.Requests().size();
        EXPECT_EQ(Invoke(dll, row.click, row.offset, row.page), S_OK);
        const bool sent = service.WaitForRequests(before + 1, row.body ? 10000 : 0);
        EXPECT_EQ(sent ? service.Requests().back().Summary() : "",
                  row.body ? std::string("POST /select_context_menu Orbeth Extensions/1.0 ") + row.body : "");
        // The Windows 11 entry's line runs the same command: the same post, the same page.
        const size_t classic = service.Requests().size();
        const HRESULT explorer = InvokeExplorer(dll, row.click, row.offset, row.page);
        if (explorer == S_FALSE) { // a line the entry greys runs nothing
            EXPECT_FALSE(service.WaitForRequests(classic + 1, 100));
            continue;
        }
        EXPECT_EQ(explorer, S_OK);
        EXPECT_EQ(service.WaitForRequests(classic + 1, row.body ? 10000 : 0) ? service.Requests().back().Summary() : "",
                  sent ? service.Requests()[classic - 1].Summary() : "");
    }
    ExpectPages();
}

// Only the entry's own verbs are answered; a refused command takes the selection with it, and a
// failure opens nothing.
TEST_F(ContextMenuTest, ForeignVerbsAreRefusedAndFailuresOpenNothing)
{
    CLoadedExtension dll;
    ComPtr<IContextMenu> handler = Initialized(dll, {{L"a.txt"}});
    // Only the wide verb of the entry's own identifier is written, cut to the buffer.
    wchar_t name[16] = L"untouched";
    const auto ask = [&](UINT_PTR id, UINT type) {
        return handler->GetCommandString(id, type, nullptr, reinterpret_cast<CHAR*>(name), 10);
    };
    EXPECT_TRUE(ask(0, GCS_VERBA) == E_INVALIDARG && ask(0, GCS_VALIDATEW) == S_OK &&
                ask(1, GCS_VERBW) == E_INVALIDARG);
    EXPECT_STREQ(name, L"untouched");
    EXPECT_TRUE(ask(0, GCS_VERBW) == S_OK && wcscmp(name, L"Orbeth sh") == 0)
        << testing::PrintToString(std::wstring(name));
    EXPECT_EQ(handler->GetCommandString(0, GCS_VERBW, nullptr, nullptr, 10), E_POINTER);
    CMINVOKECOMMANDINFO info{};
    info.cbSize = sizeof(info);
    for (LPCSTR verb :
         {LPCSTR("open"), LPCSTR(MAKEINTRESOURCEA(5)), LPCSTR(MAKEINTRESOURCEA(6)), LPCSTR(MAKEINTRESOURCEA(0xFFFF))}) {
        info.lpVerb = verb;
        EXPECT_EQ(handler->InvokeCommand(&info), E_INVALIDARG);
        info.lpVerb = MAKEINTRESOURCEA(1);
        EXPECT_EQ(handler->InvokeCommand(&info), E_INVALIDARG) << "the selection went with the refused command";
        handler = Initialized(dll, {{L"a.txt"}});
    }
    EXPECT_EQ(handler->InvokeCommand(nullptr), E_INVALIDARG);
    // A selection that leaves the root names no path the client could share.
    EXPECT_TRUE(Invoke(dll, {{L"a.txt", L"<beside>"}}, 0) == E_INVALIDARG &&
                Invoke(dll, {{L"a.txt", L"<beside>"}}, 1) == E_INVALIDARG);
    // The Windows 11 entry's lines, kept from a full menu and handed an excluded file, send nothing either.
    {
        const ComPtr<IShellItemArray> full = MakeItemArray({PathOf(L"a.txt")}),
                                      excluded = MakeItemArray({PathOf(L"excluded.txt")});
        ComPtr<IExplorerCommand> root = dll.Create<IExplorerCommand>(CLSID_OrbethExplorerCommand, IID_IExplorerCommand);
        EXPCMDSTATE state = ECS_HIDDEN;
        ASSERT_EQ(root->GetState(full.Get(), TRUE, &state), S_OK);
        const std::vector<ComPtr<IExplorerCommand>> lines = SubCommands(root.Get());
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_TRUE(lines[0]->Invoke(excluded.Get(), nullptr) == E_INVALIDARG &&
                    lines[1]->Invoke(excluded.Get(), nullptr) == E_INVALIDARG);
        EXPECT_TRUE(root->QueryInterface(IID_IUnknown, nullptr) == E_POINTER && root->GetFlags(nullptr) == E_POINTER &&
                    root->GetState(full.Get(), TRUE, nullptr) == E_POINTER &&
                    lines[0]->GetState(full.Get(), TRUE, nullptr) == E_POINTER);
        // The site it is given is the site it answers.
        ComPtr<IObjectWithSite> sited;
        ComPtr<IUnknown> site, given;
        ASSERT_TRUE(root.As(&sited) == S_OK && full.As(&given) == S_OK);
        EXPECT_TRUE(sited->SetSite(given.Get()) == S_OK && sited->GetSite(IID_PPV_ARGS(&site)) == S_OK &&
                    site == given);
        sited->SetSite(nullptr);
        // Its icon is the module's own, by resource id.
        LPWSTR icon = nullptr;
        wchar_t module[MAX_PATH] = {};
        GetModuleFileNameW(dll.Module(), module, MAX_PATH);
        EXPECT_EQ(root->GetIcon(nullptr, &icon), S_OK);
        EXPECT_EQ(std::wstring(icon ? icon : L""), std::wstring(module) + L",-204");
        CoTaskMemFree(icon);
    }
    EXPECT_TRUE(service.Requests().empty());

    // A service that answers garbage fails the command; half an id, cut off by a closed
    // connection, is no id and opens nothing. Either way the next command goes through again.
    const std::string id(CStandInWebService::ShareLinkId);
    for (const auto& [fault, result] : {std::pair{CReply::Garbage, E_FAIL}, std::pair{CReply::Cut, S_OK}}) {
        service.SetReply({200, {id}, 0, fault});
        EXPECT_EQ(Invoke(dll, {{L"a.txt"}}, 0), result) << fault;
    }
    service.UseClientReplies();
    EXPECT_EQ(Invoke(dll, {{L"a.txt"}}, 1), S_OK);
    ASSERT_TRUE(browser.SetCommand(L"\"C:\\no such browser.exe\" \"%1\""));
    EXPECT_EQ(Invoke(dll, {{L"a.txt"}}, 2), E_FAIL) << "a page the shell could not open";
    service.Stop();
    EXPECT_EQ(Invoke(dll, {{L"a.txt"}}, 0), E_FAIL) << "nothing listening";
    EXPECT_EQ(Invoke(dll, {{L"a.txt"}}, 1), E_FAIL);
    ExpectPages();
}

// The file manager may ask one Windows 11 entry from two threads: each answer is that of its own items.
TEST_F(ContextMenuTest, OneWindows11EntryAnswersTwoThreadsEachForItsItems)
{
    CLoadedExtension dll;
    {
        const ComPtr<IExplorerCommand> root =
            dll.Create<IExplorerCommand>(CLSID_OrbethExplorerCommand, IID_IExplorerCommand);
        const std::vector<ComPtr<IExplorerCommand>> lines = SubCommands(root.Get());
        const ComPtr<IShellItemArray> arrays[] = {MakeItemArray({PathOf(L"a.txt")}),
                                                  MakeItemArray({PathOf(L"pending.txt")})};
        std::atomic<int> wrong{0};
        const auto ask = [&](int which) {
            for (int i = 0; i < 200; ++i) {
                EXPCMDSTATE state = ECS_HIDDEN, line = ECS_HIDDEN;
                if (root->GetState(arrays[which].Get(), TRUE, &state) != S_OK ||
                    lines.back()->GetState(arrays[which].Get(), TRUE, &line) != S_OK ||
                    state != (which == 0 ? ECS_ENABLED : ECS_DISABLED) || line != ECS_HIDDEN)
                    ++wrong;
            }
        };
        std::thread other(ask, 1);
        ask(0);
        other.join();
        EXPECT_EQ(wrong, 0);
    }
    // Every line and enumerator handed out gave its reference back: the module may go.
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

// A reply still arriving 30 s after the request was sent is dropped: the share link id, sent a
// character at a time, opens no page for a file whose reply the clock overtook, only for a folder.
TEST_F(ContextMenuTest, AReplyIsNotReadPastItsTime)
{
    CReply trickle;
    for (const char c : std::string(CStandInWebService::ShareLinkId))
        trickle.chunks.emplace_back(1, c);
    service.SetReply(trickle);
    CMINVOKECOMMANDINFO share{};
    share.cbSize = sizeof(share);
    for (const wchar_t* item : {L"a.txt", L"Docs\\Sub"}) { // the handler in this process, whose clock the test moves
        ComPtr<IContextMenu> handler;
        ASSERT_EQ(CreateComObject<COrbethContextMenuHandler>(nullptr, IID_PPV_ARGS(&handler)), S_OK);
        ASSERT_EQ(InitializeHandler(handler.Get(), {client.PathOf(item)}), S_OK);
        std::thread clockHand([&] {
            if (*item == L'a' && service.WaitForRequests(1, 10000))
                clock.AdvanceSeconds(31);
        });
        EXPECT_EQ(handler->InvokeCommand(&share), S_OK);
        clockHand.join();
    }
    pages.push_back(L"sync_sharing?path_type=folder&share_link_uuid=0123456789abcdef0123456789ABCDEF");
    ASSERT_TRUE(browser.WaitForUrls(1, 10000));
    ExpectPages();
}

// The entry's picture at each scale's menu size, from the DLL's icon: clear corners, opaque middle,
// premultiplied, the size the menu draws at that DPI. Wine answers GetSystemMetricsForDpi for any
// DPI; the system DPI of a running process cannot be changed, so the DLL's own menu is seen at 96.
TEST(MenuPictureTest, EachScaleGetsItsOwnSizeOfTheIcon)
{
    CLoadedExtension dll;
    const HINSTANCE module = GetModuleHandleW(L"OrbethExtensions.dll");
    for (const UINT dpi : {96u, 120u, 144u, 168u, 192u, 240u}) { // 16 to 40 px; 28 is scaled down from 32
        const int size = int(dpi) / 6;
        EXPECT_EQ(MenuIconSize(dpi), size) << dpi;
        EXPECT_EQ(Picture(CBitmap(MakeMenuBitmap(module, MenuIconResource, size, false)).Get(), size), "menu") << dpi;
        EXPECT_EQ(Picture(CBitmap(MakeMenuBitmap(module, MenuIconResource, size, true)).Get(), size), "inactive");
    }
    // Every scale's size in each icon group, the overlays' (201 to 203) and the menu's, so that none
    // is scaled from another: 125% and 250% ask for 20 and 40 px.
    for (const int group : {201, 202, 203, MenuIconResource}) {
        const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(group), RT_GROUP_ICON);
        const auto* entries = found ? static_cast<const BYTE*>(LockResource(LoadResource(module, found))) : nullptr;
        std::vector<int> sizes;
        for (int i = 0; entries && i < *reinterpret_cast<const WORD*>(entries + 4); ++i)
            sizes.push_back(entries[6 + 14 * i] ? entries[6 + 14 * i] : 256); // 14 bytes an entry; 0 is 256
        const std::vector<int> menu = {16, 20, 24, 32, 40, 48}, overlay = {16, 20, 24, 32, 40, 48, 64, 256};
        EXPECT_EQ(sizes, group == MenuIconResource ? menu : overlay) << group;
    }
}

// Both menus in the file manager's user interface language, which Wine takes from LC_ALL: ctest runs
// this once per language (ORBETH_UI_LANGUAGE names the one it set). A language with a table gets
// its translation, each line with an accelerator of its own; any other gets the English texts.
TEST_F(ContextMenuTest, BothMenusSpeakTheUserInterfaceLanguage)
{
    const LANGID ui = GetUserDefaultUILanguage();
    wchar_t set[8] = {};
    ASSERT_TRUE(!GetEnvironmentVariableW(L"ORBETH_UI_LANGUAGE", set, 8) || ui == wcstoul(set, nullptr, 16)) << ui;
    CLoadedExtension dll;
    CTexts want; // what the resource loader gives in this language
    std::set<std::string> keys;
    for (UINT id = MenuStringFirst; id <= MenuStringFirst + MenuLineCount; ++id) {
        const wchar_t* text = nullptr;
        const int length =
            LoadStringW(GetModuleHandleW(L"OrbethExtensions.dll"), id, reinterpret_cast<LPWSTR>(&text), 0);
        want.push_back(Utf8(std::wstring(text ? text : L"", size_t(std::max(length, 0)))));
        const size_t key = want.back().find('&');
        keys.insert(id == MenuStringFirst || key == std::string::npos ? "" : want.back().substr(key + 1, 1));
    }
    // German, French, Spanish and Japanese for every region; Portuguese and Chinese for one.
    const std::set<LANGID> tables = {LANG_GERMAN, LANG_FRENCH, LANG_SPANISH, LANG_JAPANESE, 0x0416, 0x0804};
    if (tables.count(ui) || tables.count(PRIMARYLANGID(ui)))
        EXPECT_TRUE(want[1] != English[1] && keys.size() == MenuLineCount + 1) << std::hex << ui;
    else
        EXPECT_EQ(want, English);
    for (const auto& [item, form] :
         {std::pair{L"a.txt", "Full +++++"}, {L"pending.txt", "Inactive"}, {L"excluded.txt", "Excluded"}}) {
        const CClick click({item});
        ComPtr<IShellItemArray> items;
        ComPtr<IUnknown> site;
        EXPECT_EQ(Query(Initialized(dll, click).Get(), click), Expected(form, want)) << ui;
        ASSERT_TRUE(Windows11(click, &items, &site));
        EXPECT_EQ(ExplorerForm(dll, items.Get(), nullptr, false, want), form) << ui;
    }
}

} // namespace
