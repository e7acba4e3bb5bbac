// A stand-in for the file manager: it finds the registered overlay identifiers as the shell
// does, asks them about every item of a sample sync folder, and shows what the user would see.
// It also plays the sync client's part: a sample tree with database rows, and a status push.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/RegistryKey.h"
#include "base/SyncStatus.h"
#include "base/Utf8.h"
#include "tools/MenuProbe.h"
#include "tools/StandInClient.h"

using Microsoft::WRL::ComPtr;

namespace {

const wchar_t OverlayKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";
const CLSID BhoClsid = {0xa491688a, 0xe9aa, 0x4537, {0xaa, 0x05, 0x46, 0xc6, 0x1d, 0xf3, 0x77, 0xf5}};

std::string Narrow(const std::wstring& text)
{
    std::string utf8;
    WideToUtf8(text, &utf8);
    return utf8;
}

int s_step = 0;
void Step(const std::string& text)
{
    std::printf("  [%d] %s\n", ++s_step, text.c_str());
    std::fflush(stdout);
}

struct CIdentifier {
    std::wstring name;
    ComPtr<IShellIconOverlayIdentifier> object;
    int index;
};

// The identifiers the shell would load, in the order of their names (it sorts them the same way).
std::vector<CIdentifier> LoadIdentifiers()
{
    std::vector<CIdentifier> identifiers;
    CRegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, OverlayKey, KEY_READ) != ERROR_SUCCESS)
        return identifiers;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        wchar_t clsidText[64] = {};
        LONG size = sizeof(clsidText);
        CLSID clsid;
        CIdentifier identifier{name, nullptr, -1};
        if (RegQueryValueW(key.Get(), name, clsidText, &size) == ERROR_SUCCESS && SUCCEEDED(CLSIDFromString(clsidText, &clsid)) &&
            SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellIconOverlayIdentifier,
                                         &identifier.object))) {
            wchar_t iconFile[MAX_PATH] = {};
            DWORD flags = 0;
            int priority = -1;
            identifier.object->GetOverlayInfo(iconFile, MAX_PATH, &identifier.index, &flags);
            identifier.object->GetPriority(&priority);
            Step("Loaded \"" + Narrow(name) + "\" (" + Narrow(clsidText) + "): icon " + std::to_string(identifier.index) +
                 " of " + Narrow(iconFile) + ", priority " + std::to_string(priority));
            identifiers.push_back(std::move(identifier));
        }
    }
    return identifiers;
}

// The badge the file manager would draw: the first identifier that claims the item.
std::string Badge(const std::vector<CIdentifier>& identifiers, const std::wstring& path, DWORD attributes)
{
    for (const CIdentifier& identifier : identifiers) {
        if (identifier.object->IsMemberOf(path.c_str(), attributes) == S_OK) {
            switch (identifier.index) {
            case 0:
                return "(x) failed to sync";
            case 1:
                return "(~) waiting to sync";
            case 2:
                return "(v) in sync";
            }
        }
    }
    return "    no badge";
}

void PrintTree(const std::vector<CIdentifier>& identifiers, const std::wstring& folder, const std::string& indent)
{
    std::vector<std::pair<std::wstring, DWORD>> items;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L".."))
            items.emplace_back(found.cFileName, found.dwFileAttributes);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    for (size_t i = 0; i < items.size(); ++i) {
        const bool last = i + 1 == items.size();
        const bool isFolder = items[i].second & FILE_ATTRIBUTE_DIRECTORY;
        const std::wstring path = folder + items[i].first;
        const std::string label = indent + (last ? "`-- " : "|-- ") + Narrow(items[i].first) + (isFolder ? "\\" : "") +
                                  (items[i].second & FILE_ATTRIBUTE_HIDDEN ? " (hidden)" : "");
        std::printf("      %-44s %s\n", label.c_str(), Badge(identifiers, path, items[i].second).c_str());
        if (isFolder)
            PrintTree(identifiers, path + L"\\", indent + (last ? "    " : "|   "));
    }
}

bool MakeSampleTree(CStandInClient& client)
{
    const struct {
        const wchar_t* path;
        const wchar_t* canonical;
        int status; // -1: no row
        DWORD attributes;
    } items[] = {
        {L"Documents", L"/documents/", 2, FILE_ATTRIBUTE_DIRECTORY},
        {L"Documents\\Report.docx", L"/documents/report.docx", 2, 0},
        {L"Documents\\Draft.txt", L"/documents/draft.txt", 1, 0},
        {L"Documents\\Budget.xlsx", L"/documents/budget.xlsx", 0, 0},
        {L"Photos", L"/photos/", 1, FILE_ATTRIBUTE_DIRECTORY},
        {L"Photos\\Beach.jpg", L"/photos/beach.jpg", 1, 0},
        {L"Photos\\Sunset.jpg", L"/photos/sunset.jpg", 2, 0},
        {L"Shared", nullptr, -1, FILE_ATTRIBUTE_DIRECTORY},
        {L"Shared\\Team", nullptr, -1, FILE_ATTRIBUTE_DIRECTORY},
        {L"Notes.txt", L"/notes.txt", 2, 0},
        {L"Not yet seen.txt", nullptr, -1, 0},
        {L"desktop.ini", L"/desktop.ini", 2, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {L"Archive.zip", L"/archive.zip", StatusPending | StatusExcludedFlag, 0},
    };
    for (const auto& item : items) {
        const bool made = (item.attributes & FILE_ATTRIBUTE_DIRECTORY)
                              ? client.MakeFolder(item.path)
                              : client.MakeFile(item.path, item.attributes);
        if (!made || (item.canonical && !client.SetStatus(item.canonical, item.status)))
            return false;
    }
    // "Shared\Team" is synced from the cloud: the folder above it shows as in sync.
    return client.AddBatch(LR"(["/Shared/Team"])") >= 0;
}

} // namespace

int main()
{
    std::printf("\nOrbeth Extensions at work: the file manager's view of a sync folder\n"
                "===================================================================\n");
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    int exitCode = 1;
    {
        CStandInClient client;
        if (!client.Ready() || !MakeSampleTree(client) || !StandInService::Install() || !StandInService::Start()) {
            std::printf("  The stand-in sync client could not be set up: %s\n", client.LastError().c_str());
            CoUninitialize();
            return 1;
        }
        Step("Stand-in sync client ready: sync root " + Narrow(client.RootDir()) + ", service orbethSync running");

        const std::vector<CIdentifier> identifiers = LoadIdentifiers();
        if (identifiers.size() == 3) {
            Step("The sync folder as the file manager draws it ((v) in sync, (~) waiting, (x) failed):");
            std::printf("\n      %s\n", Narrow(client.RootDir()).c_str());
            PrintTree(identifiers, client.RootDir(), "");
            std::printf("\n");

            // The browser helper object hooks this thread's windows, as in the file manager.
            ComPtr<IObjectWithSite> helper;
            HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
            if (window && SUCCEEDED(CoCreateInstance(BhoClsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&helper))) &&
                SUCCEEDED(helper->SetSite(nullptr))) {
                const std::wstring draft = client.PathOf(L"Documents\\Draft.txt");
                std::string path8 = Narrow(draft), escaped;
                for (char c : path8)
                    escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
                const std::string push = R"([{"filepath": ")" + escaped + R"(", "status": 2}])";
                Step("The sync client pushes: Documents\\Draft.txt is now in sync");
                // Sent from another thread, as the client's SendMessage arrives; this thread
                // keeps dispatching until it is through.
                std::atomic<bool> delivered{false};
                std::thread sender([&] {
                    SendStatusPush(window, push);
                    delivered = true;
                });
                PumpMessagesUntil([&] { return delivered.load(); });
                sender.join();
                std::printf("\n      %-44s %s\n\n", "Documents\\Draft.txt",
                            Badge(identifiers, draft, GetFileAttributesW(draft.c_str())).c_str());
                Step("Right-clicks, and the menu entry each one gets ([greyed]):");
                std::printf("\n");
                const bool menus = ShowMenus(client);
                std::printf("\n");
                Step("Each command of the menu, picked on a sample selection:");
                std::printf("\n");
                exitCode = menus && ShowCommands(client) ? 0 : 1;
                std::printf("\n");
            } else {
                std::printf("  The browser helper object could not be created.\n");
            }
            if (window)
                DestroyWindow(window);
        } else {
            std::printf("  Expected three overlay identifiers in the registry, found %zu.\n", identifiers.size());
        }
    }
    CoUninitialize();
    return exitCode;
}
