#pragma once

#include <gtest/gtest.h>

#include "status/StatusCache.h"
#include "tools/clock/ControlledClock.h"
#include "tools/standin/StandInClient.h"

// A test against a stand-in sync client: its registry key, databases and sync root made afresh,
// its service running, the clock frozen past every earlier expiry and the status cache empty.
class ClientEnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(client.Ready()) << client.LastError();
        ASSERT_TRUE(StandInService::Install() && StandInService::Start());
        CStatusCache::GetInstance().Clear();
    }

    CFrozenClock clock;
    CStandInClient client;
};
