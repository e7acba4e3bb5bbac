#include <shlobj.h>
#include <sqlite3.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "OrbethExtensions_h.h"
#include "base/Utf8.h"
#include "bench/Bench.h"
#include "client/ClientContract.h"
#include "tools/standin/DropList.h"
#include "tools/standin/LoadedExtension.h"
#include "tools/standin/StandInClient.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int FileCount = 16;

// The floor of one share decision: the uqid query on a fresh read-only connection, bare.
bool BareUqidQuery(const std::string& dbPath, const std::wstring& canonicalPath)
{
    sqlite3* db = nullptr;
    bool found = false;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare16_v2(db, ClientContract::SelectEntryUqidSql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_bind_text16(statement, 1, canonicalPath.data(), int(canonicalPath.size() * sizeof(wchar_t)),
                                SQLITE_TRANSIENT) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            found = sqlite3_column_bytes16(statement, 0) > 0;
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return found;
}

} // namespace

// The menu for 16 in-sync shared files through the built DLL, as the file manager asks for it
// right after drawing their icons: a fresh handler, Initialize, QueryContextMenu.
void RunMenuBenchmarks()
{
    CStandInClient client;
    CLoadedExtension dll;
    std::vector<std::wstring> paths, canonical;
    if (!client.Ready() || !dll.Loaded() ||
        !MakeReports(
            client, L"Shared", FileCount, [](int i) { return L"2, 'U" + std::to_wstring(i) + L"'"; }, &paths,
            &canonical)) {
        std::printf("bench menu: cannot set up the stand-in client (%s) or load the DLL (%d)\n",
                    client.LastError().c_str(), dll.Loaded());
        return;
    }
    {
        ComPtr<IClassFactory> menus;
        dll.GetClassObject(CLSID_OrbethContextMenuHandler, IID_PPV_ARGS(&menus));
        const ComPtr<IShellIconOverlayIdentifier> overlay =
            dll.Create<IShellIconOverlayIdentifier>(CLSID_OrbethOkIconOverlay, IID_IShellIconOverlayIdentifier);
        if (!menus || !overlay) {
            std::printf("bench menu: the DLL's classes cannot be created\n");
            return;
        }
        for (const std::wstring& path : paths) // the icons were drawn
            overlay->IsMemberOf(path.c_str(), GetFileAttributesW(path.c_str()));
        ComPtr<IDataObject> data = MakeDropList(paths);
        std::string dbPath;
        WideToUtf8(client.SyncDbPath(), &dbPath);

        // The file manager's own menus are made and destroyed outside the measured work: one for
        // each call of the rounds' two subject passes.
        constexpr long Iterations = 2, Rounds = 101;
        std::vector<HMENU> shown(Iterations * 2 * Rounds);
        for (HMENU& menu : shown)
            menu = CreatePopupMenu();
        long next = 0;
        const auto menu = [&](long) {
            ComPtr<IShellExtInit> init;
            ComPtr<IContextMenu> handler;
            menus->CreateInstance(nullptr, IID_PPV_ARGS(&init));
            init->Initialize(nullptr, data.Get(), nullptr);
            init.As(&handler);
            KeepValue(handler->QueryContextMenu(shown[size_t(next++)], 0, 1, 0x7FFF, CMF_NORMAL));
        };
        // The share count stops at the second shareable file.
        const auto floor = [&](long) {
            KeepValue(BareUqidQuery(dbPath, canonical[0]));
            KeepValue(BareUqidQuery(dbPath, canonical[1]));
        };
        // Short passes: the statuses stay cached for 10 s, as after a real redraw.
        ReportBench("menu_query_16_files", Compare(Iterations, Rounds, menu, floor), 1.3);
        for (HMENU menu : shown)
            DestroyMenu(menu);

        // The Windows 11 entry for the same files: a fresh root asked quickly, then allowed to be
        // slow, then each line's state, as the file manager asks before it shows the submenu.
        ComPtr<IClassFactory> commands;
        dll.GetClassObject(CLSID_OrbethExplorerCommand, IID_PPV_ARGS(&commands));
        const ComPtr<IShellItemArray> items = MakeItemArray(paths);
        if (!commands || !items) {
            std::printf("bench explorer command: the class or the item array cannot be made\n");
            return;
        }
        const auto states = [&](long) {
            ComPtr<IExplorerCommand> root;
            ComPtr<IEnumExplorerCommand> lines;
            EXPCMDSTATE state = ECS_ENABLED;
            commands->CreateInstance(nullptr, IID_PPV_ARGS(&root));
            root->GetState(items.Get(), FALSE, &state);
            root->GetState(items.Get(), TRUE, &state);
            root->EnumSubCommands(&lines);
            ComPtr<IExplorerCommand> line;
            while (lines->Next(1, &line, nullptr) == S_OK) {
                line->GetState(items.Get(), TRUE, &state);
                KeepValue(state);
                line.Reset();
            }
        };
        ReportBench("explorer_command_state_16_files", Compare(Iterations, Rounds, states, floor), 1.3);
    }
}
