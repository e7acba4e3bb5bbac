#include <gtest/gtest.h>

#include "base/SharedLock.h"
#include "base/ValueCache.h"
#include "client/ClientContract.h"
#include "client/ServiceMonitor.h"
#include "tests/support/ClientEnvironment.h"

namespace {

using ServiceMonitorTest = ClientEnvironmentTest;
using ClientContract::ServiceName;

TEST_F(ServiceMonitorTest, EveryStateIsReadAndKeptForTenSeconds)
{
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning());
    ASSERT_TRUE(StandInService::Stop());
    clock.AdvanceSeconds(10);
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning()) << "the state is kept for 10 s";
    const struct {
        bool (*change)();
        int32_t state;
    } cases[] = {{StandInService::Start, SERVICE_RUNNING}, {StandInService::Pause, SERVICE_PAUSED},
                 {StandInService::Continue, SERVICE_RUNNING}, {StandInService::Stop, SERVICE_STOPPED},
                 {StandInService::Remove, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        ASSERT_TRUE(c.change());
        clock.AdvanceSeconds(11);
        EXPECT_EQ(ServiceMonitor::QueryServiceState(ServiceName), c.state);
        EXPECT_EQ(ServiceMonitor::IsServiceRunning(), c.state == SERVICE_RUNNING);
        EXPECT_EQ(ServiceMonitor::QueryServiceState(ServiceName, L"NoSuchDatabase"), -1)
            << "a service manager that cannot be opened gives no state, never \"stopped\"";
    }
    unsigned long kept = 0;
    EXPECT_TRUE(CValueCache::GetInstance().GetULong(ServiceName, &kept));
    EXPECT_EQ(kept, 0xFFFFFFFFul) << "a failed query is kept too";
    EXPECT_EQ(ServiceMonitor::QueryServiceState(nullptr), -1);
}

TEST_F(ServiceMonitorTest, LocalEndpointIsTheLoopbackPort)
{
    CSharedLockGuard guard(GetSharedLock()); // a caller may hold the lock already
    std::wstring made, cached;
    ASSERT_TRUE(ServiceMonitor::GetLocalEndpoint(&made) && ServiceMonitor::GetLocalEndpoint(&cached));
    EXPECT_EQ(made, L"127.0.0.1:8806");
    EXPECT_EQ(cached, made);
    EXPECT_FALSE(ServiceMonitor::GetLocalEndpoint(nullptr));
}

} // namespace
