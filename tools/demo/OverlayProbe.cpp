// A stand-in for the file manager: it finds the registered overlay identifiers as the shell
// does, asks them about every item of a sample sync folder, and shows what the user would see.
// It also plays the sync client's part: a sample tree with database rows, and a status push.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/RegistryKey.h"
#include "base/SyncStatus.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "tools/demo/DemoPicture.h"
#include "tools/demo/MenuProbe.h"
#include "tools/standin/Program.h"
#include "tools/standin/StandInClient.h"
#include "tools/standin/StandInWebService.h"

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

// The DLL's version, from the version resource of the file COM loads for its classes.
std::string ModuleVersion()
{
    wchar_t clsid[64] = {};
    StringFromGUID2(BhoClsid, clsid, 64);
    const std::wstring key = L"CLSID\\" + std::wstring(clsid) + L"\\InprocServer32";
    wchar_t file[MAX_PATH] = {};
    DWORD size = sizeof(file);
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, file, &size) != ERROR_SUCCESS)
        return "version unknown";
    DWORD unused = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(file, &unused));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (block.empty() || !GetFileVersionInfoW(file, 0, DWORD(block.size()), block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof(*fixed))
        return "version unknown";
    return "OrbethExtensions " + std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." + std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionLS));
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
    std::wstring iconFile;
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
        CIdentifier identifier{name, nullptr, -1, L""};
        if (RegQueryValueW(key.Get(), name, clsidText, &size) == ERROR_SUCCESS &&
            SUCCEEDED(CLSIDFromString(clsidText, &clsid)) &&
            SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellIconOverlayIdentifier,
                                       &identifier.object))) {
            wchar_t iconFile[MAX_PATH] = {};
            DWORD flags = 0;
            int priority = -1;
            identifier.object->GetOverlayInfo(iconFile, MAX_PATH, &identifier.index, &flags);
            identifier.object->GetPriority(&priority);
            identifier.iconFile = iconFile;
            Step("Loaded \"" + Narrow(name) + "\" (" + Narrow(clsidText) + "): icon " +
                 std::to_string(identifier.index) + " of " + Narrow(iconFile) + ", priority " +
                 std::to_string(priority));
            identifiers.push_back(std::move(identifier));
        }
    }
    return identifiers;
}

// The badge the file manager would draw: the position of the first identifier that claims the
// item, -1 for none.
int Badge(const std::vector<CIdentifier>& identifiers, const std::wstring& path, DWORD attributes)
{
    for (size_t i = 0; i < identifiers.size(); ++i) {
        if (identifiers[i].object->IsMemberOf(path.c_str(), attributes) == S_OK)
            return int(i);
    }
    return -1;
}

std::string BadgeText(const std::vector<CIdentifier>& identifiers, int badge)
{
    switch (badge < 0 ? -1 : identifiers[size_t(badge)].index) {
    case 0:
        return "(x) failed to sync";
    case 1:
        return "(~) waiting to sync";
    case 2:
        return "(v) in sync";
    }
    return "    no badge";
}

// The sample tree the stand-in client syncs, and why an item shows what it shows where that is
// not plain from its record.
const struct {
    const wchar_t* path;
    const wchar_t* canonical;
    int status; // -1: no row
    DWORD attributes;
    const char* why;
} SampleItems[] = {
    {L"Documents", L"/documents/", 2, FILE_ATTRIBUTE_DIRECTORY, "the folder's own record (not its content)"},
    {L"Documents\\Report.docx", L"/documents/report.docx", 2, 0, ""},
    {L"Documents\\Draft.txt", L"/documents/draft.txt", 1, 0, ""},
    {L"Documents\\Budget.xlsx", L"/documents/budget.xlsx", 0, 0, ""},
    {L"Photos", L"/photos/", 1, FILE_ATTRIBUTE_DIRECTORY, "the folder's own record"},
    {L"Photos\\Beach.jpg", L"/photos/beach.jpg", 1, 0, ""},
    {L"Photos\\Sunset.jpg", L"/photos/sunset.jpg", 2, 0, ""},
    {L"Shared", nullptr, -1, FILE_ATTRIBUTE_DIRECTORY, "no record, but above a folder synced from the cloud"},
    {L"Shared\\Team", nullptr, -1, FILE_ATTRIBUTE_DIRECTORY, "synced from the cloud: no record of its own"},
    {L"Notes.txt", L"/notes.txt", 2, 0, ""},
    {L"Not yet seen.txt", nullptr, -1, 0, "unknown to the client: no record yet"},
    {L"desktop.ini", L"/desktop.ini", 2, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, "hidden: never badged"},
    {L"Archive.zip", L"/archive.zip", StatusPending | StatusExcludedFlag, 0,
     "excluded by the administrator; its record says waiting"},
};

// An item's line: its name, its badge and why, in columns.
void PrintItem(const std::string& label, const std::string& badge, const std::string& why)
{
    std::string line = "      " + label + std::string(label.size() < 44 ? 45 - label.size() : 1, ' ') + badge;
    if (!why.empty())
        line += std::string(badge.size() < 20 ? 21 - badge.size() : 1, ' ') + why;
    std::printf("%s\n", line.c_str());
}

std::string Why(const std::wstring& relative)
{
    for (const auto& item : SampleItems) {
        if (relative == item.path)
            return item.why;
    }
    return "";
}

// Prints the folder's items with their badges, and keeps each for the picture.
void PrintTree(const std::vector<CIdentifier>& identifiers, const std::wstring& root, const std::wstring& folder,
               const std::string& indent, std::vector<CPictureItem>* picture)
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
        const int badge = Badge(identifiers, path, items[i].second);
        const std::wstring relative = path.substr(root.size());
        PrintItem(label, BadgeText(identifiers, badge), Why(relative));
        picture->push_back({relative + (isFolder ? L"\\" : L""), path, items[i].second, badge + 1});
        if (isFolder)
            PrintTree(identifiers, root, path + L"\\", indent + (last ? "    " : "|   "), picture);
    }
}

bool MakeSampleTree(CStandInClient& client)
{
    for (const auto& item : SampleItems) {
        const bool made = (item.attributes & FILE_ATTRIBUTE_DIRECTORY) ? client.MakeFolder(item.path)
                                                                       : client.MakeFile(item.path, item.attributes);
        if (!made || (item.canonical && !client.SetStatus(item.canonical, item.status)))
            return false;
    }
    // "Shared\Team" is synced from the cloud: the folder above it shows as in sync.
    return client.AddBatch(LR"(["/Shared/Team"])") >= 0;
}

using CArguments = CUniqueHandle<LPWSTR*, &LocalFree>;

// The picture of the folder as the file manager shows it, with a right-click's menu beside it.
bool SavePicture(const CStandInClient& client, const std::vector<CIdentifier>& identifiers,
                 const std::vector<CPictureItem>& items, const std::wstring& pngPath)
{
    std::vector<COverlayIcon> overlays;
    for (const CIdentifier& identifier : identifiers)
        overlays.push_back({identifier.iconFile, identifier.index});
    CRightClickMenu click;
    std::string error;
    if (!RightClick({client.PathOf(L"Notes.txt")}, &click) ||
        !SaveSyncFolderPicture(items, overlays, click.menu.Get(), L"Orbeth", pngPath, &error)) {
        std::printf("      The picture could not be made: %s\n", error.empty() ? "no menu handler" : error.c_str());
        return false;
    }
    return true;
}

// orbeth-doctor.exe, beside this program, as a user runs it: its report's lines and exit code.
DWORD RunDoctor(const std::wstring& path, std::vector<std::string>* lines)
{
    std::string text;
    const DWORD exitCode = RunProgramBeside(L"orbeth-doctor.exe", {path}, &text);
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines->push_back(line);
    return exitCode;
}

// The doctor on the sample setup, then with the client's service stopped: the second report only
// where it differs from the first.
bool ShowDoctor(const CStandInClient& client)
{
    const CStandInWebService web;
    std::vector<std::string> first, second;
    const DWORD healthy = RunDoctor(client.PathOf(L"Archive.zip"), &first);
    Step("orbeth-doctor, which tells why a badge or the menu entry does not show, on this setup (exit code " +
         std::to_string(healthy) + "):");
    std::printf("\n");
    for (const std::string& line : first)
        std::printf("%s%s\n", line.empty() ? "" : "      ", line.c_str());
    std::printf("\n");
    const bool stopped = StandInService::Stop();
    const DWORD broken = RunDoctor(client.PathOf(L"Archive.zip"), &second);
    Step("The client's service stopped, orbeth-doctor again (exit code " + std::to_string(broken) +
         "); the lines that changed:");
    std::printf("\n");
    const std::set<std::string> before(first.begin(), first.end());
    for (const std::string& line : second) {
        if (!before.count(line))
            std::printf("      %s\n", line.c_str());
    }
    std::printf("\n");
    return web.Ready() && stopped && healthy == 0 && broken == 1;
}

} // namespace

// The one argument, when given, is where the picture of the folder goes (a PNG file).
int main()
{
    int count = 0;
    const CArguments arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    const std::wstring pngPath = arguments && count > 1 ? arguments.Get()[1] : L"";

    const std::string title =
        "Orbeth Extensions at work: the file manager's view of a sync folder (" + ModuleVersion() + ")";
    std::printf("\n%s\n%s\n", title.c_str(), std::string(title.size(), '=').c_str());
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
            std::printf("      Their names begin with spaces to sort first: the file manager uses only the first 15\n"
                        "      identifiers in name order, and other programs compete for those places.\n");
            Step("The sync folder as the file manager draws it ((v) in sync, (~) waiting, (x) failed):");
            std::printf("\n      %s\n", Narrow(client.RootDir()).c_str());
            std::vector<CPictureItem> items;
            PrintTree(identifiers, client.RootDir(), client.RootDir(), "", &items);
            std::printf(
                "\n      A folder's badge is the folder's own record in the client's database, not a summary of\n"
                "      its content: Documents\\ is in sync although Budget.xlsx in it failed.\n"
                "      No badge: the item is hidden, unknown to the client, or a folder synced from the cloud.\n\n");
            bool pictured = true;
            if (!pngPath.empty()) {
                pictured = SavePicture(client, identifiers, items, pngPath);
                if (pictured)
                    Step("Drew the folder in a list view, large and small icons with the overlays, and saved it as " +
                         Narrow(pngPath));
            }

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
                const std::wstring documents = client.PathOf(L"Documents");
                std::printf("\n");
                PrintItem("Documents\\Draft.txt",
                          BadgeText(identifiers, Badge(identifiers, draft, GetFileAttributesW(draft.c_str()))),
                          "the pushed status");
                PrintItem("Documents\\",
                          BadgeText(identifiers, Badge(identifiers, documents, GetFileAttributesW(documents.c_str()))),
                          "its own record, which the push left alone");
                std::printf("\n");
                Step("Right-clicks, and the menu entry each one gets ([greyed]):");
                std::printf("\n");
                const bool menus = ShowMenus(client);
                std::printf("\n");
                Step("Each command of the menu, picked on a sample selection:");
                std::printf("\n");
                exitCode = menus && ShowCommands(client) && pictured ? 0 : 1;
                std::printf("\n");
                if (!ShowDoctor(client))
                    exitCode = 1;
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
