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
// The allocation that fails: the n-th from now when n > 0.
long s_failIn = 0;
}

// Every allocation of this program, the module's code included, can be made to fail.
void* operator new(std::size_t size)
{
    if (s_failIn > 0 && --s_failIn == 0)
        throw std::bad_alloc();
    if (void* block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1))
        return block;
    throw std::bad_alloc();
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

// Whatever allocation fails, the handler answers a failure and keeps nothing half-done: a refused
// selection offers no menu, and a menu that could not be decided is not added.
TEST_F(ClientEnvironmentTest, AFailedAllocationLeavesNothingHalfDone)
{
    std::vector<std::wstring> paths;
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt"}) {
        ASSERT_TRUE(client->MakeFile(name) && client->SetStatus(std::wstring(L"/") + name, StatusOk));
        paths.push_back(client->PathOf(name));
    }
    ComPtr<IDataObject> data;
    data.Attach(MakeDropList(paths));
    bool initialized = false, queried = false;
    int outOfMemory = 0;
    for (long n = 1; !(initialized && queried) && n < 10000; ++n) {
        ComPtr<IContextMenu> handler;
        ASSERT_EQ(CreateComObject<COrbethContextMenuHandler>(nullptr, IID_PPV_ARGS(&handler)), S_OK);
        ComPtr<IShellExtInit> init;
        ASSERT_EQ(handler.As(&init), S_OK);
        s_failIn = initialized ? 0 : n;
        const HRESULT result = init->Initialize(nullptr, data.Get(), nullptr);
        s_failIn = 0;
        outOfMemory += result == E_OUTOFMEMORY;
        HMENU menu = CreatePopupMenu();
        s_failIn = initialized ? n : 0;
        const HRESULT added = handler->QueryContextMenu(menu, 0, 1, 100, CMF_NORMAL);
        s_failIn = 0;
        outOfMemory += added == E_OUTOFMEMORY;
        if (result != S_OK) {
            EXPECT_EQ(result, E_OUTOFMEMORY);
            EXPECT_EQ(added, S_OK) << "an empty selection adds nothing";
        }
        EXPECT_EQ(GetMenuItemCount(menu), added == MAKE_HRESULT(SEVERITY_SUCCESS, 0, 6) ? 3 : 0) << n;
        DestroyMenu(menu);
        queried = initialized && added == MAKE_HRESULT(SEVERITY_SUCCESS, 0, 6);
        initialized = initialized || result == S_OK;
    }
    EXPECT_TRUE(initialized && queried);
    EXPECT_GT(outOfMemory, 3);
}

// A reply still arriving 30 s after the request was sent is dropped: the share link id below,
// which arrives a character at a time, opens no page once the clock moved past the bound.
TEST_F(ClientEnvironmentTest, AReplyIsNotReadPastItsTime)
{
    CStandInWebService service;
    CUrlCapture browser;
    ASSERT_TRUE(service.Ready() && browser.Ready());
    std::vector<std::string> characters;
    for (const char c : std::string(CStandInWebService::ShareLinkId))
        characters.emplace_back(1, c);
    service.SetReply({200, characters});
    ASSERT_TRUE(client->MakeFile(L"a.txt") && client->MakeFolder(L"Docs"));
    ComPtr<IContextMenu> handler;
    ComPtr<IShellExtInit> init;
    ASSERT_EQ(CreateComObject<COrbethContextMenuHandler>(nullptr, IID_PPV_ARGS(&handler)), S_OK);
    ASSERT_EQ(handler.As(&init), S_OK);
    CMINVOKECOMMANDINFO share{};
    share.cbSize = sizeof(share);
    // First a file whose reply comes too late, then a folder whose reply is read in time.
    for (const bool late : {true, false}) {
        ComPtr<IDataObject> data;
        data.Attach(MakeDropList({client->PathOf(late ? L"a.txt" : L"Docs")}));
        ASSERT_EQ(init->Initialize(nullptr, data.Get(), nullptr), S_OK);
        std::thread clockHand([&] {
            if (late && service.WaitForRequests(1, 10000))
                clock.AdvanceSeconds(31);
        });
        EXPECT_EQ(handler->InvokeCommand(&share), S_OK);
        clockHand.join();
    }
    ASSERT_TRUE(browser.WaitForUrls(1, 10000));
    EXPECT_EQ(browser.Urls(), std::vector<std::wstring>{L"http://127.0.0.1:8806/sync_sharing?path_type=folder&share_link_uuid=" +
                                                         std::wstring(L"0123456789abcdef0123456789ABCDEF")})
        << "only the reply read in time opened its page";
}

} // namespace
