// Paths of every shape through the three overlays and the context menu handler, as the file
// manager hands them over: at most one overlay claims a path, the menu takes a selection or leaves
// the file manager's menu as it was, and "View in Cloud" opens one whole, escaped URL.
#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <cstring>

#include "menu/ContextMenuHandler.h"
#include "module/ComObject.h"
#include "overlay/IconOverlay.h"
#include "status/StatusCache.h"
#include "tools/standin/DropList.h"
#include "tools/standin/StandInClient.h"
#include "tools/standin/StatusCacheProbe.h"
#include "tools/standin/UrlCapture.h"
#include "tools/fuzz/Fuzz.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr UINT FirstId = 100;
const UINT ViewInCloud = FirstId + COrbethContextMenuHandler::CommandViewInCloud;
const wchar_t CloudPage[] = L"http://127.0.0.1:8806/open_cfs?link_type=";

// Items of the sync root with rows in the client's database, for paths that meet real answers.
const wchar_t* const Items[] = {L"a.txt",
                                L"pending.txt",
                                L"excluded.txt",
                                L"Docs",
                                L"Docs\\Sub",
                                L"Docs\\b.txt",
                                L"\u00e9t\u00e9 \U0001F600.txt",
                                L"norow.txt",
                                L"Many"};

bool MakeSampleTree(CStandInClient& client)
{
    return client.MakeFile(L"a.txt") && client.MakeFile(L"pending.txt") && client.MakeFile(L"excluded.txt") &&
           client.MakeFolder(L"Docs") && client.MakeFolder(L"Docs\\Sub") && client.MakeFile(L"Docs\\b.txt") &&
           client.MakeFile(L"\u00e9t\u00e9 \U0001F600.txt") && client.MakeFile(L"norow.txt") &&
           client.MakeFolder(L"Many") &&
           client.ExecSync(
               L"INSERT INTO ea(id, canonical_path, status, uqid) VALUES (NULL, '/a.txt', 2, 'A1'), "
               L"(NULL, '/pending.txt', 1, 'P1'), (NULL, '/excluded.txt', 10, 'E1'), (NULL, '/docs/', 2, ''), "
               L"(NULL, '/docs/sub/', 2, ''), (NULL, '/docs/b.txt', 0, 'B1'), "
               L"(NULL, '/\u00e9t\u00e9 \U0001F600.txt', 2, 'U1'), (NULL, '/many/', 1, '');");
}

// A path as the file manager, a user or a broken program may hand it over.
std::wstring MakePath(CDraw& draw, const std::wstring& root)
{
    const std::wstring bare = root.substr(0, root.size() - 1);
    std::wstring path;
    switch (draw.Below(12)) {
    case 0:
        return bare; // the root itself
    case 1:
        path = L"\\\\?\\" + root;
        break;
    case 2:
        path = draw.Pick<std::wstring>(
            {L"\\\\server\\share\\", L"\\\\?\\UNC\\server\\share\\", L"\\\\.\\", L"\\\\?\\C:\\"});
        break;
    case 3:
        path = draw.Pick<std::wstring>({L"", L"relative\\", L".\\", L"..\\", L"C:", L"C:\\windows\\", L"\\"});
        break;
    case 4: // forward slashes, doubled separators, another case
        path = root;
        for (wchar_t& c : path)
            c = c == L'\\'         ? (draw.Percent(50) ? L'/' : c)
                : draw.Percent(20) ? wchar_t(uintptr_t(CharUpperW(LPWSTR(uintptr_t(c)))))
                                   : c;
        if (draw.Percent(30))
            path += L"\\";
        break;
    default:
        path = root;
    }
    if (draw.Percent(50))
        path += Items[draw.Below(std::size(Items))];
    for (long n = draw.Percent(50) ? 0 : draw.Between(1, draw.Percent(95) ? 3 : 200); n > 0; --n)
        path += (path.empty() || path.back() == L'\\' ? L"" : L"\\") + Gen::PathComponent(draw);
    if (draw.Percent(5))
        path.resize(size_t(draw.Between(260, 33000)), L'x'); // beyond MAX_PATH and the longest path
    return path;
}

// CF_HDROP memory the shell would never make.
std::string BadDropList(CDraw& draw, const std::wstring& path)
{
    DROPFILES header{sizeof(DROPFILES), {0, 0}, FALSE, TRUE};
    std::string list(reinterpret_cast<const char*>(path.c_str()), (path.size() + 1) * sizeof(wchar_t)); // no final NUL
    switch (draw.Below(7)) {
    case 0:
        return {};
    case 1:
        return std::string(reinterpret_cast<const char*>(&header), draw.Below(sizeof header));
    case 2: // the list starts inside the header, at its end, or just past the memory
        header.pFiles = DWORD(draw.Pick<size_t>({0, 4, sizeof header + list.size(), sizeof header + list.size() - 2}));
        break;
    case 3: // a list with no NUL at all
        list.resize(list.size() - 2);
        break;
    case 4: // narrow characters
        header.fWide = FALSE;
        list = ToUtf8(path) + std::string(draw.Below(3), '\0');
        break;
    case 5: // an odd number of bytes
        list.resize(list.size() - 1);
        break;
    default:
        list.resize(draw.Below(list.size() + 1));
    }
    return std::string(reinterpret_cast<const char*>(&header), sizeof header) + list;
}

} // namespace

long FuzzPaths(CCampaign& campaign, CStandInClient& client)
{
    CUrlCapture browser;
    ComPtr<IShellIconOverlayIdentifier> overlays[3];
    const bool made =
        SUCCEEDED(CreateComObject<COrbethErrorIconOverlay>(nullptr, IID_IShellIconOverlayIdentifier, &overlays[0])) &&
        SUCCEEDED(CreateComObject<COrbethPendingIconOverlay>(nullptr, IID_IShellIconOverlayIdentifier, &overlays[1])) &&
        SUCCEEDED(CreateComObject<COrbethOkIconOverlay>(nullptr, IID_IShellIconOverlayIdentifier, &overlays[2]));
    if (!made || !browser.Ready() || !MakeSampleTree(client)) {
        campaign.Finding("the overlays, the URL capture or the sample tree could not be made: " + browser.LastError() +
                         client.LastError());
        return campaign.Findings();
    }
    CStatusCache::GetInstance().Clear();
    long badged = 0, accepted = 0, refused = 0, opened = 0;
    campaign.Run([&](CDraw& draw, long) {
        std::vector<std::wstring> paths;
        for (long n = draw.Percent(90) ? draw.Between(1, 3) : draw.Between(4, 20); n > 0; --n)
            paths.push_back(MakePath(draw, client.RootDir()));

        for (const std::wstring& path : paths)
            campaign.Show("path " + Printable(path, 400));
        for (const std::wstring& path : paths) {
            const DWORD found = GetFileAttributesW(path.c_str());
            const DWORD attributes =
                draw.Percent(70) ? (found == INVALID_FILE_ATTRIBUTES ? 0 : found) : DWORD(draw.Next());
            int claims = 0;
            for (const auto& overlay : overlays) {
                const HRESULT result = overlay->IsMemberOf(path.c_str(), attributes);
                claims += result == S_OK;
                if (result != S_OK && result != S_FALSE)
                    campaign.Finding("IsMemberOf answered " + std::to_string(result) + " for " + Printable(path));
            }
            badged += claims > 0;
            if (claims > 1)
                campaign.Finding("several overlays claim " + Printable(path));
        }

        ComPtr<IContextMenu> handler;
        ComPtr<IShellExtInit> init;
        if (FAILED(CreateComObject<COrbethContextMenuHandler>(nullptr, IID_IContextMenu, &handler)) ||
            FAILED(handler.As(&init))) {
            campaign.Finding("no context menu handler");
            return;
        }
        HRESULT initialized;
        const unsigned form = unsigned(draw.Below(10));
        campaign.Show("initialized with " + std::string(form < 7   ? "a drop list"
                                                        : form < 8 ? "a folder"
                                                                   : "a bad drop list"));
        if (form < 7) {
            initialized = InitializeHandler(handler.Get(), paths);
        } else if (form < 8) { // a folder's background
            PIDLIST_ABSOLUTE folder = ILCreateFromPathW(paths[0].c_str());
            initialized = init->Initialize(folder, nullptr, nullptr);
            ILFree(folder);
        } else {
            const std::string bytes = BadDropList(draw, paths[0]);
            campaign.Show("bad drop list " + Printable(bytes, 400));
            initialized = init->Initialize(nullptr, MakeDropListFromBytes(bytes).Get(), nullptr);
        }
        if (initialized != S_OK && initialized != E_INVALIDARG)
            campaign.Finding("Initialize answered " + std::to_string(initialized) + " for " + Printable(paths[0]));
        ++(initialized == S_OK ? accepted : refused);

        HMENU menu = CreatePopupMenu();
        AppendMenuW(menu, MF_STRING, 1, L"Open");
        const UINT flags = draw.Percent(90) ? CMF_NORMAL : UINT(draw.Next() & 0x3FF);
        const HRESULT queried = handler->QueryContextMenu(menu, 1, FirstId, 0x7FFF, flags);
        if (FAILED(queried) || (initialized != S_OK && (HRESULT_CODE(queried) != 0 || GetMenuItemCount(menu) != 1)))
            campaign.Finding("QueryContextMenu answered " + std::to_string(queried) + " for " + Printable(paths[0]));
        // Clicked as the user would: only when the command is there and enabled.
        const UINT state = GetMenuState(menu, ViewInCloud, MF_BYCOMMAND);
        DestroyMenu(menu);
        if (state == UINT(-1) || (state & MF_GRAYED))
            return;
        CMINVOKECOMMANDINFO info{};
        info.cbSize = sizeof(info);
        info.lpVerb = MAKEINTRESOURCEA(COrbethContextMenuHandler::CommandViewInCloud);
        const HRESULT invoked = handler->InvokeCommand(&info);
        const std::vector<std::wstring> url = invoked == S_OK && browser.WaitForUrls(size_t(++opened), 10000)
                                                  ? browser.Arguments().back()
                                                  : std::vector<std::wstring>();
        // One argument: a quote or a space let through would have split it.
        const bool whole =
            url.size() == 1 && url[0].rfind(CloudPage, 0) == 0 &&
            url[0].find_first_not_of(
                L"!#$%&'()*+,-./0123456789:;=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz~") ==
                std::wstring::npos;
        if (!whole)
            campaign.Finding("View in Cloud answered " + std::to_string(invoked) + " and opened " +
                             (url.empty() ? std::string("nothing") : Printable(url[0])) + " for " +
                             Printable(paths[0]));
    });
    if (!CStatusCacheProbe::Consistent(CStatusCache::GetInstance()))
        campaign.Finding("the status cache's bookkeeping is broken");
    campaign.Report(std::to_string(badged) + " paths badged, " + std::to_string(accepted) + " selections accepted, " +
                    std::to_string(refused) + " refused, " + std::to_string(opened) +
                    " pages opened whole; at most one overlay per path, the cache consistent");
    return campaign.Findings();
}
