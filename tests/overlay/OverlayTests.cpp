#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "OrbethExtensions_h.h"
#include "client/ClientContract.h"
#include "tests/support/ClientEnvironment.h"
#include "tools/standin/LoadedExtension.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr UINT NotifyMessage = WM_APP + 7;
std::vector<std::wstring> s_notified;

// The file manager's window: it records the items the shell announces as updated.
LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* const* items = reinterpret_cast<PIDLIST_ABSOLUTE const*>(wParam);
    wchar_t path[MAX_PATH] = {};
    if (message != NotifyMessage)
        return DefWindowProcW(window, message, wParam, lParam);
    if (lParam == SHCNE_UPDATEITEM && items && items[0] && SHGetPathFromIDListW(items[0], path))
        s_notified.push_back(path);
    return 0;
}

// The three identifiers as the file manager holds them, in the DLL loaded for one test, against a
// stand-in client with its service running, and a window of this thread that hears the shell.
class OverlayTest : public ClientEnvironmentTest {
protected:
    void SetUp() override
    {
        ClientEnvironmentTest::SetUp();
        ASSERT_TRUE(dll.Loaded());
        for (const CLSID* clsid :
             {&CLSID_OrbethErrorIconOverlay, &CLSID_OrbethPendingIconOverlay, &CLSID_OrbethOkIconOverlay}) {
            identifiers.push_back(dll.Create<IShellIconOverlayIdentifier>(*clsid, IID_IShellIconOverlayIdentifier));
            ASSERT_NE(identifiers.back(), nullptr);
        }
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Record));
        PIDLIST_ABSOLUTE root = ILCreateFromPathW(client.RootDir().c_str());
        SHChangeNotifyEntry entry{root, TRUE};
        registration = SHChangeNotifyRegister(window, SHCNRF_ShellLevel | SHCNRF_InterruptLevel, SHCNE_UPDATEITEM,
                                              NotifyMessage, 1, &entry);
        ILFree(root);
        ASSERT_NE(registration, 0u);
        s_notified.clear();
    }
    void TearDown() override
    {
        SHChangeNotifyDeregister(registration);
        DestroyWindow(window);
    }

    // Which identifiers say S_OK for the item: "error", "pending", "ok", joined by "+", or "none".
    std::string Badges(const std::wstring& path, DWORD attributes)
    {
        std::string answer;
        const char* names[] = {"error", "pending", "ok"};
        for (size_t i = 0; i < identifiers.size(); ++i) {
            const HRESULT result = identifiers[i]->IsMemberOf(path.c_str(), attributes);
            EXPECT_TRUE(result == S_OK || result == S_FALSE);
            answer += result == S_OK ? (answer.empty() ? "" : "+") + std::string(names[i]) : "";
        }
        return answer.empty() ? "none" : answer;
    }
    std::string Badges(const std::wstring& item)
    {
        return Badges(client.PathOf(item), GetFileAttributesW(client.PathOf(item).c_str()));
    }

    // The paths announced since the last call: a marker announced now arrives after all of them.
    std::vector<std::wstring> Notified()
    {
        const std::wstring marker = client.PathOf(L"marker");
        SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW, marker.c_str(), nullptr);
        PumpMessagesUntil([&] { return std::find(s_notified.begin(), s_notified.end(), marker) != s_notified.end(); });
        std::vector<std::wstring> paths(s_notified.begin(), std::find(s_notified.begin(), s_notified.end(), marker));
        s_notified.clear();
        return paths;
    }

    CLoadedExtension dll;
    std::vector<ComPtr<IShellIconOverlayIdentifier>> identifiers;
    HWND window = nullptr;
    ULONG registration = 0;
};

// Each item of the sync root as the file manager asks for it: exactly one identifier claims each
// sync state; unmanaged items, one-character names and items without a row get none.
TEST_F(OverlayTest, ExactlyOneIdentifierClaimsEachSyncState)
{
    constexpr DWORD Folder = FILE_ATTRIBUTE_DIRECTORY, Missing = MAXDWORD;
    const struct {
        const wchar_t* item;
        DWORD attributes;
        const wchar_t* row; // the canonical path of its database row
        int status;
        const char* badges;
        // clang-format off
    } items[] = {
        {L"error.txt", 0, L"/error.txt", 0, "error"}, {L"pending.txt", 0, L"/pending.txt", 1, "pending"},
        {L"ok.txt", 0, L"/ok.txt", 2, "ok"}, {L"excluded.txt", 0, L"/excluded.txt", 10, "ok"},
        {L"three.txt", 0, L"/three.txt", 3, "none"}, {L"norow.txt", 0, nullptr, 0, "none"},
        {L"x", 0, L"/x", 2, "none"}, {L"Hidden", Folder | FILE_ATTRIBUTE_HIDDEN, L"/hidden/", 2, "none"},
        {L"missing.txt", Missing, L"/missing.txt", 2, "none"},
        {L"Docs", Folder, L"/docs/", 2, "ok"}, {L"Docs\\a.txt", 0, L"/docs/a.txt", 1, "pending"},
        // Case variants and Unicode forms meet in one canonical path.
        {L"Docs\\Report.TXT", 0, L"/docs/report.txt", 0, "error"}, {L"DOCS\\report.txt", Missing, nullptr, 0, "error"},
        {L"\u00DCbung", Folder, nullptr, 0, "none"}, {L"\u00DCbung\\\u00C9norme.txt", 0, L"/\u00FCbung/\u00E9norme.txt", 2, "ok"},
        {L"E\u0301te\u0301.txt", 0, L"/\u00E9t\u00E9.txt", 1, "pending"}, // decomposed on disk
    };
    // clang-format on
    for (const auto& item : items) {
        const bool made = item.attributes == Missing ||
                          (item.attributes & Folder ? client.MakeFolder(item.item, item.attributes & ~Folder)
                                                    : client.MakeFile(item.item, item.attributes));
        ASSERT_TRUE(made);
        ASSERT_TRUE(!item.row || client.SetStatus(item.row, item.status));
    }
    for (const auto& item : items)
        EXPECT_EQ(Badges(item.item), item.badges) << testing::PrintToString(std::wstring(item.item));
    // The root, paths that only begin like it or name ok.txt in another form, and other places get none.
    const std::wstring root = client.RootDir(), bare = root.substr(0, root.size() - 1), ok = client.PathOf(L"ok.txt");
    std::wstring slashed = ok;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    for (const std::wstring& path : {root, bare, bare + L"Other\\ok.txt", bare.substr(0, bare.size() - 1), slashed,
                                     L"D" + ok.substr(1), std::wstring(), std::wstring(L"C:\\windows\\win.ini")}) {
        const DWORD found = GetFileAttributesW(path.c_str()); // asked as existing files, so only the path decides
        EXPECT_EQ(Badges(path, found == INVALID_FILE_ATTRIBUTES ? 0 : found), "none") << testing::PrintToString(path);
    }
    EXPECT_EQ(Badges(client.PathOf(L"Docs") + L"\\", Folder), "ok");
    for (const DWORD unmanaged : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_DEVICE,
                                  FILE_ATTRIBUTE_OFFLINE, FILE_ATTRIBUTE_VIRTUAL})
        EXPECT_EQ(Badges(ok, unmanaged), "none") << unmanaged;
    for (const auto& identifier : identifiers) {
        EXPECT_EQ(identifier->IsMemberOf(nullptr, FILE_ATTRIBUTE_DIRECTORY), S_FALSE);
        EXPECT_EQ(identifier->GetOverlayInfo(nullptr, 0, nullptr, nullptr), E_POINTER);
        EXPECT_EQ(identifier->GetPriority(nullptr), E_POINTER);
    }
}

// The file manager redraws a folder when told that its badge changed; files are redrawn anyway.
TEST_F(OverlayTest, AFolderWhoseStatusChangedIsAnnouncedAndAFileNever)
{
    ASSERT_TRUE(client.MakeFolder(L"Docs") && client.SetStatus(L"/docs/", 1));
    ASSERT_TRUE(client.MakeFile(L"a.txt") && client.SetStatus(L"/a.txt", 1));
    EXPECT_EQ(Badges(L"Docs"), "pending");
    const std::vector<std::wstring> folder = Notified();
    ASSERT_FALSE(folder.empty());
    for (const std::wstring& path : folder)
        EXPECT_EQ(path, client.PathOf(L"Docs"));
    EXPECT_EQ(Badges(L"a.txt"), "pending");
    EXPECT_TRUE(Notified().empty()) << "files are never announced";
    EXPECT_EQ(Badges(L"Docs"), "pending");
    EXPECT_TRUE(Notified().empty()) << "an unchanged folder is not announced again";
}

// The client's pushes, sent to a window of the file manager while a helper object is hooked into
// its thread, as the client sends them: each row's item is in sync in the database, and the push
// may change the answer.
TEST_F(OverlayTest, PushesChangeTheAnswersWhileAHelperObjectIsHooked)
{
    // Each row's item is a file named by one letter ("u" is "u\u00e9.txt"); a push element for it:
    // "d:1" is {"filepath": <d.txt's path>, "status": 1}, and "d" has no status.
    const auto file = [](char item) {
        return std::wstring(1, wchar_t(item)) + (item == 'u' ? L"\u00e9.txt" : L".txt");
    };
    const auto escaped = [&](const std::wstring& relative) {
        std::string path;
        for (wchar_t c : client.PathOf(relative))
            path += c == L'\\' ? "\\\\" : c == L'\u00e9' ? "\\u00e9" : std::string(1, char(c));
        return path;
    };
    const auto json = [&](const std::string& element) {
        return R"({"filepath": ")" + escaped(file(element[0])) + "\"" +
               (element.size() > 1 ? ", \"status\": " + element.substr(2) : "") + "}";
    };
    constexpr ULONG_PTR Push = ClientContract::PushMagic;
    const struct {
        char item;
        std::string push;
        const char* badges;
        ULONG_PTR magic = ClientContract::PushMagic;
        DWORD cut = 0; // bytes left out of the declared size
        // clang-format off
    } rows[] = {
        {'a', "[" + json("a:0") + "]", "error"},
        {'b', "[" + json("b:1") + ", " + json("b:0") + "]", "error"}, // later elements win
        {'c', "[" + json("c") + "]", "error"},                          // a missing status is an error
        {'d', "// the client may comment its pushes\n[" + json("d:1") + ", " + json("d:3") + "]", "pending"}, // 3 changes nothing
        {'e', "[" + json("e:-1") + ", " + json("e:10") + "]", "none"}, // only the sync states -1 to 2 count
        {'o', "[" + json("o:1") + ", " + json("o:-2") + ", " + json("o:-2147483648") + "]", "pending"},
        {'f', "[7, {\"filepath\": 12, \"status\": 0}, " + json("f:\"0\"") + ", " + json("f:1.5") + ", " + json("f:1") + "]", "pending"},
        {'u', "[" + json("u:0") + "]", "error"},
        // Changing nothing: another message, a text cut short or not JSON, elements of the wrong shape.
        {'g', "[" + json("g:0") + "]", "ok", Push ^ 1}, {'l', "[" + json("l:0") + "]", "ok", Push | (ULONG_PTR(1) << 40)},
        {'h', "[" + json("h:0") + "]", "ok", Push, 2}, {'m', "[" + json("m:0") + "]", "ok", Push, 99}, {'i', json("i:0"), "ok"},
        {'n', "[" + json("N:0") + "]", "ok"}, // paths are kept as pushed
        {'j', "[[" + json("j:0") + ", 0], " + json("j:99999999999") + "]", "ok"},
        {'k', "[" + std::string(100000, '[') + std::string(100000, ']') + json("k:0") + "]", "ok"},
    };
    // clang-format on
    for (const char item : std::string("abcdefghijklmnopu"))
        ASSERT_TRUE(client.MakeFile(file(item)) && client.SetStatus(L"/" + file(item), 2));
    ComPtr<IObjectWithSite> bho = dll.Create<IObjectWithSite>(CLSID_OrbethIconOverlayBHO, IID_IObjectWithSite),
                            second = dll.Create<IObjectWithSite>(CLSID_OrbethIconOverlayBHO, IID_IObjectWithSite);
    ASSERT_TRUE(bho && second && bho->SetSite(nullptr) == S_OK && second->SetSite(nullptr) == S_OK);
    for (const auto& row : rows)
        SendStatusPush(window, row.push, row.magic, row.cut);
    for (const auto& row : rows)
        EXPECT_EQ(Badges(file(row.item)), row.badges) << row.item;

    // Paths from elsewhere are not kept: a cache's worth of them leaves a known answer in place.
    ASSERT_TRUE(client.SetStatus(L"/g.txt", 1));
    std::string elsewhere = "[";
    for (int i = 0; i < 10000; ++i)
        elsewhere += R"({"filepath": "C:\\elsewhere\\)" + std::to_string(i) + R"(", "status": 2},)";
    elsewhere.back() = ']';
    SendStatusPush(window, elsewhere);
    EXPECT_EQ(Badges(L"g.txt"), "ok");

    // A push outlives the read of its item's folder made before it: once a cache's worth of pushes
    // under the root has pushed its answer out, the item is read again, not answered from that read.
    EXPECT_EQ(Badges(file('p')), "ok");
    ASSERT_TRUE(client.SetStatus(L"/p.txt", 1));
    std::string under = "[" + json("p:1");
    for (int i = 0; i < 10000; ++i)
        under += R"(, {"filepath": ")" + escaped(L"n" + std::to_wstring(i)) + R"(", "status": 2})";
    SendStatusPush(window, under + "]");
    EXPECT_EQ(Badges(file('p')), "pending");

    // From another thread, handled while this one waits for its messages; the helper object
    // released first leaves the other hooked, and the hook goes with the last one.
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        SendStatusPush(window, "[" + json("a:1") + "]");
        sent = true;
    });
    PumpMessagesUntil([&] { return sent.load(); });
    sender.join();
    EXPECT_EQ(Badges(L"a.txt"), "pending");
    second.Reset();
    SendStatusPush(window, "[" + json("b:1") + "]");
    EXPECT_EQ(Badges(L"b.txt"), "pending");
    bho.Reset();
    SendStatusPush(window, "[" + json("a:0") + "]");
    EXPECT_EQ(Badges(L"a.txt"), "pending") << "no hook after the last release";
}

} // namespace
