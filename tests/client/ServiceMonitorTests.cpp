#include <gtest/gtest.h>

#include "base/SharedLock.h"
#include "base/ValueCache.h"
#include "client/ClientContract.h"
#include "client/ServiceMonitor.h"
#include "tests/support/ClientEnvironment.h"

namespace {

using ServiceMonitorTest = ClientEnvironmentTest;

TEST_F(ServiceMonitorTest, RunningStateIsAskedAtMostOncePerTenSeconds)
{
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning());
    ASSERT_TRUE(StandInService::Stop());
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning()) << "the state is kept for 10 s";
    clock.AdvanceSeconds(10);
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning());
    clock.AdvanceSeconds(1);
    EXPECT_FALSE(ServiceMonitor::IsServiceRunning());
    EXPECT_EQ(ServiceMonitor::QueryServiceState(ClientContract::ServiceName), static_cast<int32_t>(SERVICE_STOPPED));

    ASSERT_TRUE(StandInService::Start());
    EXPECT_FALSE(ServiceMonitor::IsServiceRunning());
    clock.AdvanceSeconds(11);
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning());
}

TEST_F(ServiceMonitorTest, PausedOrMissingServiceIsNotRunning)
{
    ASSERT_TRUE(StandInService::Pause());
    EXPECT_EQ(ServiceMonitor::QueryServiceState(ClientContract::ServiceName), static_cast<int32_t>(SERVICE_PAUSED));
    EXPECT_FALSE(ServiceMonitor::IsServiceRunning());
    ASSERT_TRUE(StandInService::Continue());

    ASSERT_TRUE(StandInService::Remove());
    clock.AdvanceSeconds(11);
    EXPECT_EQ(ServiceMonitor::QueryServiceState(ClientContract::ServiceName), -1);
    EXPECT_FALSE(ServiceMonitor::IsServiceRunning());
    unsigned long kept = 0;
    EXPECT_TRUE(CValueCache::GetInstance().GetULong(ClientContract::ServiceName, &kept));
    EXPECT_EQ(kept, 0xFFFFFFFFul) << "a failed query is kept too";
    EXPECT_EQ(ServiceMonitor::QueryServiceState(nullptr), -1);
}

TEST_F(ServiceMonitorTest, LocalEndpointIsTheLoopbackPort)
{
    std::wstring endpoint;
    ASSERT_TRUE(ServiceMonitor::GetLocalEndpoint(&endpoint));
    EXPECT_EQ(endpoint, L"127.0.0.1:8806");
    CSharedLockGuard guard(GetSharedLock());
    const std::wstring* cached = nullptr;
    ASSERT_TRUE(CValueCache::GetInstance().GetString(L"lfs_base_url", &cached));
    EXPECT_EQ(*cached, L"127.0.0.1:8806");
    clock.AdvanceSeconds(601);
    ASSERT_TRUE(ServiceMonitor::GetLocalEndpoint(&endpoint));
    EXPECT_EQ(endpoint, L"127.0.0.1:8806");
    EXPECT_FALSE(ServiceMonitor::GetLocalEndpoint(nullptr));
}

} // namespace
