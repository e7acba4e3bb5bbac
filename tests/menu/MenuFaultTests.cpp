#include <gtest/gtest.h>
#include <wrl/client.h>

#include <new>
#include <thread>

#include "menu/ContextMenuHandler.h"
#include "module/ComObject.h"
#include "tests/support/ClientEnvironment.h"
#include "tools/DropList.h"
#include "tools/StandInWebService.h"
#include "tools/UrlCapture.h"

using Microsoft::WRL::ComPtr;

namespace {
long s_failIn = 0; // when above 0, the allocation that many from now fails
}

// Every allocation of this program, the module's code included, can be made to fail.
void* operator new(std::size_t size)
{
    void* block = s_failIn > 0 && --s_failIn == 0 ? nullptr : HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
    return block ? block : throw std::bad_alloc();
}
void operator delete(void* block) noexcept
{
    HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, std::size_t) noexcept
{
    HeapFree(GetProcessHeap(), 0, block);
}

namespace {

// The handler in this process, on the items given, with the faults below injected.
class MenuFaultTest : public ClientEnvironmentTest {
protected:
    HRESULT Initialize(const std::vector<std::wstring>& items, long failIn = 0)
    {
        std::vector<std::wstring> paths;
        for (const std::wstring& item : items)
            paths.push_back(client.PathOf(item));
        ComPtr<IDataObject> data = MakeDropList(paths);
        EXPECT_EQ(CreateComObject<COrbethContextMenuHandler>(nullptr, IID_PPV_ARGS(&handler)), S_OK);
        ComPtr<IShellExtInit> init;
        EXPECT_EQ(handler.As(&init), S_OK);
        s_failIn = failIn;
        const HRESULT result = init->Initialize(nullptr, data.Get(), nullptr);
        s_failIn = 0;
        return result;
    }
    ComPtr<IContextMenu> handler;
};

// Whatever allocation fails, the handler answers a failure and keeps nothing half-done: a refused
// selection offers no menu, and a menu that could not be decided is not added at all.
TEST_F(MenuFaultTest, AFailedAllocationLeavesNothingHalfDone)
{
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt"})
        ASSERT_TRUE(client.MakeFile(name) && client.SetStatus(std::wstring(L"/") + name, StatusOk));
    const HRESULT full = MAKE_HRESULT(SEVERITY_SUCCESS, 0, 6);
    int outOfMemory = 0;
    bool initialized = false, queried = false;
    for (long n = 1; !queried && n < 10000; ++n) {
        const HRESULT result = Initialize({L"a.txt", L"b.txt", L"c.txt"}, initialized ? 0 : n);
        HMENU menu = CreatePopupMenu();
        s_failIn = initialized ? n : 0;
        const HRESULT added = handler->QueryContextMenu(menu, 0, 1, 100, CMF_NORMAL);
        s_failIn = 0;
        outOfMemory += (result == E_OUTOFMEMORY) + (added == E_OUTOFMEMORY);
        EXPECT_TRUE(result == S_OK || (result == E_OUTOFMEMORY && added == S_OK)) << n;
        EXPECT_EQ(GetMenuItemCount(menu), added == full ? 3 : 0) << n;
        DestroyMenu(menu);
        queried = initialized && added == full;
        initialized = initialized || result == S_OK;
    }
    EXPECT_TRUE(queried);
    EXPECT_GT(outOfMemory, 3);
}

// A reply still arriving 30 s after the request was sent is dropped: the share link id, sent a
// character at a time, opens no page for a file whose reply the clock overtook, only for a folder.
TEST_F(MenuFaultTest, AReplyIsNotReadPastItsTime)
{
    CStandInWebService service;
    CUrlCapture browser;
    ASSERT_TRUE(service.Ready() && browser.Ready() && client.MakeFile(L"a.txt") && client.MakeFolder(L"Docs"));
    CReply trickle;
    for (const char c : std::string(CStandInWebService::ShareLinkId))
        trickle.chunks.emplace_back(1, c);
    service.SetReply(trickle);
    CMINVOKECOMMANDINFO share{};
    share.cbSize = sizeof(share);
    for (const wchar_t* item : {L"a.txt", L"Docs"}) {
        ASSERT_EQ(Initialize({item}), S_OK);
        std::thread clockHand([&] {
            if (*item == L'a' && service.WaitForRequests(1, 10000))
                clock.AdvanceSeconds(31);
        });
        EXPECT_EQ(handler->InvokeCommand(&share), S_OK);
        clockHand.join();
    }
    ASSERT_TRUE(browser.WaitForUrls(1, 10000));
    EXPECT_EQ(browser.Urls(), std::vector<std::wstring>{L"http://127.0.0.1:8806/sync_sharing?path_type=folder&"
                                                         L"share_link_uuid=0123456789abcdef0123456789ABCDEF"});
}

} // namespace
