#include "tools/demo/MenuProbe.h"

#include <objbase.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/Utf8.h"
#include "tools/standin/DropList.h"
#include "tools/standin/LoadedExtension.h"
#include "tools/standin/StandInWebService.h"
#include "tools/standin/UrlCapture.h"

using Microsoft::WRL::ComPtr;

namespace {

const CLSID MenuHandlerClsid = {0x4d447825, 0xb53e, 0x4c8d, {0x8a, 0x3c, 0x24, 0xff, 0x0f, 0xc9, 0xed, 0x30}};
const CLSID ExplorerCommandClsid = {0x167ba3a7, 0xbb78, 0x437a, {0xa4, 0xdf, 0x8f, 0x69, 0xb0, 0x0c, 0x9b, 0xe7}};

// A menu item as the user reads it: no accelerator mark, in brackets when greyed.
std::string Label(HMENU menu, int position)
{
    wchar_t text[128] = {};
    GetMenuStringW(menu, UINT(position), text, 128, MF_BYPOSITION);
    std::wstring shown;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c != L'&')
            shown += *c;
    }
    std::string utf8;
    WideToUtf8(shown, &utf8);
    return GetMenuState(menu, UINT(position), MF_BYPOSITION) & MF_GRAYED ? "[" + utf8 + "]" : utf8;
}

// The handler's entry in a menu that held only "Open": the entry and its submenu on one line.
std::string Entry(HMENU menu)
{
    if (GetMenuItemCount(menu) == 1)
        return "no Orbeth entry";
    std::string text = Label(menu, 2);
    if (HMENU submenu = GetSubMenu(menu, 2)) {
        text += "  >";
        for (int i = 0; i < GetMenuItemCount(submenu); ++i)
            text += (i ? ", " : " ") + Label(submenu, i);
    } else {
        text += "  (greyed, no submenu)";
    }
    return text;
}

// A handler made through its registered CLSID and given the paths (or, as a folder's background,
// the folder); null when it cannot be made.
ComPtr<IContextMenu> Initialized(const std::vector<std::wstring>& paths, HRESULT* accepted, bool background = false)
{
    ComPtr<IContextMenu> handler;
    if (FAILED(CoCreateInstance(MenuHandlerClsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&handler))))
        return nullptr;
    *accepted =
        background ? InitializeHandler(handler.Get(), {}, paths[0].c_str()) : InitializeHandler(handler.Get(), paths);
    return handler;
}

// A command's title as the user reads it, in brackets when greyed.
std::string Label(IExplorerCommand* command, IShellItemArray* items, EXPCMDSTATE state)
{
    LPWSTR title = nullptr;
    std::wstring shown;
    if (SUCCEEDED(command->GetTitle(items, &title)))
        for (const wchar_t* c = title; *c; ++c)
            if (*c != L'&')
                shown += *c;
    CoTaskMemFree(title);
    std::string utf8;
    WideToUtf8(shown, &utf8);
    return state == ECS_DISABLED ? "[" + utf8 + "]" : utf8;
}

// The Windows 11 entry for the same paths, in the classic entry's words. Its class is declared by
// the package, not registered: it is made through the DLL's own DllGetClassObject.
// A folder's background gets no items, and a site whose view shows the folder.
std::string Windows11Entry(const std::vector<std::wstring>& paths, bool background)
{
    static CLoadedExtension dll; // the module the registered handler loaded, kept for the demo
    const ComPtr<IShellItemArray> items = background ? nullptr : MakeItemArray(paths);
    ComPtr<IExplorerCommand> root = dll.Create<IExplorerCommand>(ExplorerCommandClsid, IID_IExplorerCommand);
    ComPtr<IObjectWithSite> sited;
    if (background && root && SUCCEEDED(root.As(&sited)))
        sited->SetSite(MakeCommandSite(nullptr, paths[0].c_str()).Get());
    EXPCMDSTATE state = ECS_HIDDEN;
    EXPCMDFLAGS flags = ECF_DEFAULT;
    if (!root || FAILED(root->GetState(items.Get(), TRUE, &state)) || state == ECS_HIDDEN)
        return "no Orbeth entry";
    root->GetFlags(&flags);
    std::string text = Label(root.Get(), items.Get(), state);
    ComPtr<IEnumExplorerCommand> lines;
    if (state == ECS_DISABLED || !(flags & ECF_HASSUBCOMMANDS) || FAILED(root->EnumSubCommands(&lines)))
        return text + "  (greyed, no submenu)";
    text += "  >";
    ComPtr<IExplorerCommand> line;
    for (int shown = 0; lines->Next(1, &line, nullptr) == S_OK; line.Reset()) {
        // Every line is handed out; those its form does not show hide themselves.
        if (SUCCEEDED(line->GetState(items.Get(), TRUE, &state)) && state != ECS_HIDDEN)
            text += (shown++ ? ", " : " ") + Label(line.Get(), items.Get(), state);
    }
    return text;
}

} // namespace

bool ShowCommands(const CStandInClient& client)
{
    CStandInWebService service;
    CUrlCapture browser;
    if (!service.Ready() || !browser.Ready()) {
        std::printf("      The stand-in web service or browser could not start: %s%s\n", service.LastError().c_str(),
                    browser.LastError().c_str());
        return false;
    }
    const struct {
        const char* command;
        UINT offset;
        std::vector<std::wstring> items;
    } runs[] = {
        {"Share", 0, {L"Documents\\Report.docx"}}, {"Copy link", 1, {L"Notes.txt", L"Documents\\Report.docx"}},
        {"Comments", 2, {L"Notes.txt"}},           {"View Versions", 3, {L"Photos\\Sunset.jpg"}},
        {"View in Cloud", 4, {L"Documents"}},
    };
    for (const auto& run : runs) {
        std::vector<std::wstring> paths;
        std::string items;
        for (const std::wstring& item : run.items) {
            paths.push_back(client.PathOf(item));
            std::string utf8;
            WideToUtf8(item, &utf8);
            items += (items.empty() ? "" : " + ") + utf8;
        }
        HRESULT accepted = E_FAIL;
        ComPtr<IContextMenu> handler = Initialized(paths, &accepted);
        if (!handler || FAILED(accepted))
            return false;
        const size_t requests = service.Requests().size(), pages = browser.Urls().size();
        CMINVOKECOMMANDINFO info{};
        info.cbSize = sizeof(info);
        info.lpVerb = MAKEINTRESOURCEA(run.offset);
        const HRESULT result = handler->InvokeCommand(&info);
        std::printf("      %-13s on %s: %s\n", run.command, items.c_str(), SUCCEEDED(result) ? "done" : "failed");
        if (service.WaitForRequests(requests + 1, run.offset <= 1 ? 5000 : 0))
            std::printf("        the client's service got  %s\n", service.Requests().back().body.c_str());
        if (run.offset != 1 && browser.WaitForUrls(pages + 1, 10000)) {
            std::string url;
            WideToUtf8(browser.Urls().back(), &url);
            std::printf("        the browser was asked for %s\n", url.c_str());
        }
    }
    return true;
}

bool ShowMenus(const CStandInClient& client)
{
    const std::wstring root = client.RootDir();
    const struct {
        const char* what;
        std::vector<std::wstring> paths;
        bool folderBackground;
    } clicks[] = {
        {"Notes.txt (in sync, in the cloud)", {client.PathOf(L"Notes.txt")}, false},
        {"Notes.txt and Documents\\Report.docx",
         {client.PathOf(L"Notes.txt"), client.PathOf(L"Documents\\Report.docx")},
         false},
        {"Notes.txt and the folder Photos", {client.PathOf(L"Notes.txt"), client.PathOf(L"Photos")}, false},
        {"Photos\\Beach.jpg (waiting)", {client.PathOf(L"Photos\\Beach.jpg")}, false},
        {"Archive.zip (excluded by the admin)", {client.PathOf(L"Archive.zip")}, false},
        {"the background of the sync root", {root.substr(0, root.size() - 1)}, true},
        {"C:\\windows\\win.ini (outside the root)", {L"C:\\windows\\win.ini"}, false},
        {"Notes.txt + win.ini (leaves the root)", {client.PathOf(L"Notes.txt"), L"C:\\windows\\win.ini"}, false},
    };
    for (const auto& click : clicks) {
        CRightClickMenu menu;
        if (!RightClick(click.paths, &menu, click.folderBackground))
            return false;
        std::printf("      %-40s %s\n", click.what, Entry(menu.menu.Get()).c_str());
        std::printf("      %-40s %s\n", "  the same, in Windows 11's first menu",
                    Windows11Entry(click.paths, click.folderBackground).c_str());
    }
    return true;
}

bool RightClick(const std::vector<std::wstring>& paths, CRightClickMenu* click, bool folderBackground)
{
    HRESULT accepted = E_FAIL;
    click->handler = Initialized(paths, &accepted, folderBackground);
    click->menu.Reset(CreatePopupMenu());
    if (!click->handler || !click->menu)
        return false;
    AppendMenuW(click->menu.Get(), MF_STRING, 1, L"Open");
    if (SUCCEEDED(accepted))
        click->handler->QueryContextMenu(click->menu.Get(), 1, 100, 0x7FFF, CMF_NORMAL);
    return true;
}
