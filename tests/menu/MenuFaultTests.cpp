#include <gtest/gtest.h>
#include <wrl/client.h>

#include <thread>

#include "menu/ContextMenuHandler.h"
#include "module/ComObject.h"
#include "tests/support/ClientEnvironment.h"
#include "tools/DropList.h"
#include "tools/StandInWebService.h"
#include "tools/UrlCapture.h"

using Microsoft::WRL::ComPtr;

namespace {

using MenuFaultTest = ClientEnvironmentTest;

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
    for (const wchar_t* item : {L"a.txt", L"Docs"}) { // the handler in this process, whose clock the test moves
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
    ASSERT_TRUE(browser.WaitForUrls(1, 10000));
    EXPECT_EQ(browser.Urls(), std::vector<std::wstring>{L"http://127.0.0.1:8806/sync_sharing?path_type=folder&"
                                                        L"share_link_uuid=0123456789abcdef0123456789ABCDEF"});
}

} // namespace
