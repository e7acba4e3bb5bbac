#include <gtest/gtest.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <string>

#include "client/ClientContract.h"
#include "module/ComObject.h"
#include "status/IconOverlayBHO.h"
#include "status/StatusCache.h"
#include "tests/support/TestSupport.h"

using Microsoft::WRL::ComPtr;

namespace {

// The browser helper object as the file manager makes it, hooked into this thread by SetSite, and
// pushes sent to a real window of this thread as the client sends them.
class PushReceiverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        cache.Clear();
        ASSERT_EQ(CreateComObject<COrbethIconOverlayBHO>(nullptr, IID_IObjectWithSite, &bho), S_OK);
        ASSERT_EQ(bho->SetSite(nullptr), S_OK);
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override { DestroyWindow(window); }

    void Send(const void* data, DWORD bytes, ULONG_PTR magic = ClientContract::PushMagic)
    {
        COPYDATASTRUCT copy{magic, bytes, const_cast<void*>(data)};
        SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
    }
    void Push(const std::string& json, ULONG_PTR magic = ClientContract::PushMagic) { Send(json.c_str(), DWORD(json.size() + 1), magic); }
    // The status the cache holds for the path, or -100 when it holds none that is fresh.
    int32_t Cached(const wchar_t* path)
    {
        int32_t status = -100;
        return cache.Get(path, &status, nullptr) ? status : -100;
    }

    CFrozenClock clock;
    CStatusCache& cache = CStatusCache::GetInstance();
    ComPtr<IObjectWithSite> bho;
    HWND window = nullptr;
};

TEST_F(PushReceiverTest, PushedStatusesLiveAsLongAsResolvedOnes)
{
    Push(R"([{"filepath": "C:\\Sync\\ok.txt", "status": 2}, {"filepath": "C:\\Sync\\error.txt", "status": 0},
             {"filepath": "C:\\Sync\\none.txt", "status": -1}, {"filepath": "C:\\Sync\\nostatus.txt"},
             {"filepath": "C:\\Sync\\a.txt", "status": 1}, {"filepath": "C:\\Sync\\a.txt", "status": 2},
             {"filepath": "C:\\Sync\\b.txt", "status": 1}])");
    Push(R"(// the client may comment its pushes
            [{"filepath": "C:\\Sync\\b.txt", "status": 3}, {"filepath": "", "status": 0},
             {"status": 0}, {"filepath": "C:\\Sync\\\u00dcbung.txt", "status": 2},
             {"filepath": "C:\\Sync\\excluded.txt", "status": 10}])");
    const struct {
        const wchar_t* path;
        int32_t status;
    } rows[] = {
        {L"C:\\Sync\\ok.txt", StatusOk}, {L"C:\\Sync\\error.txt", StatusError}, {L"C:\\Sync\\none.txt", StatusNone},
        {L"C:\\Sync\\nostatus.txt", StatusError}, // a missing status is an error
        {L"c:\\sync\\OK.TXT", -100},              // paths are kept as pushed
        {L"C:\\Sync\\a.txt", StatusOk},           // later elements win
        {L"C:\\Sync\\b.txt", StatusPending},      // status 3 leaves the entry alone
        {L"C:\\Sync\\\u00dcbung.txt", StatusOk}, {L"C:\\Sync\\excluded.txt", -100}, // only the sync states 0 to 2
    };
    for (const auto& row : rows)
        EXPECT_EQ(Cached(row.path), row.status) << testing::PrintToString(std::wstring(row.path));
    EXPECT_EQ(cache.Count(), 7);
    clock.AdvanceSeconds(11);
    EXPECT_EQ(Cached(L"C:\\Sync\\ok.txt"), -100);
    EXPECT_EQ(Cached(L"C:\\Sync\\error.txt"), StatusError);
    clock.AdvanceSeconds(590);
    EXPECT_EQ(Cached(L"C:\\Sync\\error.txt"), -100);
}

TEST_F(PushReceiverTest, OtherMessagesAndMalformedPushesChangeNothing)
{
    const std::string good = R"([{"filepath": "C:\\Sync\\x.txt", "status": 2}])";
    Push(good, ClientContract::PushMagic ^ 1);
    Push(good, ClientContract::PushMagic | (ULONG_PTR(1) << 40));
    Send(nullptr, 0);
    Send(good.c_str(), 0);
    // Cut one byte short, the closing bracket is past the declared size and must not be read.
    Send(good.c_str(), static_cast<DWORD>(good.size() - 1));
    const char* malformed[] = {
        "not json",
        R"({"filepath": "C:\\Sync\\x.txt", "status": 2})",
        R"([["C:\\Sync\\x.txt", 2], "C:\\Sync\\x.txt", 2, null])",
        R"([{"filepath": 12, "status": 2}, {"filepath": ["C:\\Sync\\x.txt"], "status": 2}])",
        R"([{"filepath": "C:\\Sync\\x.txt", "status": "2"}, {"filepath": "C:\\Sync\\x.txt", "status": 1.5}])",
        R"([{"filepath": "C:\\Sync\\x.txt", "status": 99999999999}, {"filepath": {"a": 1}, "status": 2}])",
        R"([{"filepath": "C:\\Sync\\x\u0000.txt", "status": 2}])",
    };
    for (const char* text : malformed)
        Push(text);
    Push("[" + std::string(100000, '[') + std::string(100000, ']') + "]");
    EXPECT_EQ(cache.Count(), 0);

    // Well-formed elements beside malformed ones still count; a large push is taken whole.
    Push(R"([7, {"filepath": "C:\\Sync\\y.txt", "status": "x"}, {"filepath": "C:\\Sync\\y.txt", "status": 1}])");
    EXPECT_EQ(Cached(L"C:\\Sync\\y.txt"), StatusPending);
    std::string large = "[";
    for (int i = 0; i < 20000; ++i)
        large += R"({"filepath": "C:\\Sync\\f)" + std::to_string(i) + R"(", "status": 1},)";
    large.back() = ']';
    Push(large);
    EXPECT_EQ(cache.Count(), static_cast<int32_t>(CStatusCache::DefaultCapacity));
    EXPECT_EQ(Cached(L"C:\\Sync\\f19999"), StatusPending);
}

TEST_F(PushReceiverTest, TheHookLastsUntilTheLastRelease)
{
    ComPtr<IUnknown> site;
    EXPECT_EQ(bho->GetSite(IID_IUnknown, &site), E_FAIL);
    EXPECT_EQ(site.Get(), nullptr);
    // The file manager passes null when its window closes: the hook stays.
    EXPECT_EQ(bho->SetSite(nullptr), S_OK);
    Push(R"([{"filepath": "C:\\Sync\\kept.txt", "status": 2}])");
    EXPECT_EQ(Cached(L"C:\\Sync\\kept.txt"), StatusOk);

    // Two helper objects on one thread: the one released first leaves the other hooked.
    ComPtr<IObjectWithSite> second;
    ASSERT_EQ(CreateComObject<COrbethIconOverlayBHO>(nullptr, IID_IObjectWithSite, &second), S_OK);
    ASSERT_EQ(second->SetSite(nullptr), S_OK);
    ComPtr<IOrbethIconOverlayBHO> primary;
    ASSERT_EQ(bho.As(&primary), S_OK);
    bho.Reset();
    second.Reset();
    Push(R"([{"filepath": "C:\\Sync\\held.txt", "status": 2}])");
    EXPECT_EQ(Cached(L"C:\\Sync\\held.txt"), StatusOk) << "another interface still holds the first object";
    primary.Reset();
    Push(R"([{"filepath": "C:\\Sync\\gone.txt", "status": 2}])");
    EXPECT_EQ(Cached(L"C:\\Sync\\gone.txt"), -100) << "no hook after the last release";
}

} // namespace
