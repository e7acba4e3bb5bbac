#include <gtest/gtest.h>

#include "base/SharedLock.h"
#include "base/ValueCache.h"
#include "client/ClientContract.h"
#include "client/ServiceMonitor.h"
#include "tests/support/ClientEnvironment.h"

namespace {

using ServiceMonitorTest = ClientEnvironmentTest;
using ClientContract::ServiceName;

// Each state the service manager reports is kept for 10 s, a failed query's too; a manager that
// cannot be opened gives no state, never "stopped". The local endpoint is the loopback port.
TEST_F(ServiceMonitorTest, EveryStateIsReadAndKeptForTenSecondsAndTheEndpointIsTheLoopbackPort)
{
    EXPECT_EQ(ServiceMonitor::QueryServiceState(ServiceName, L"NoSuchDatabase"), -1);
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning());
    ASSERT_TRUE(StandInService::Stop());
    clock.AdvanceSeconds(10);
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning()) << "the state is kept for 10 s";
    const std::pair<bool (*)(), int32_t> cases[] = {{StandInService::Start, SERVICE_RUNNING}, {StandInService::Pause, SERVICE_PAUSED},
                                                    {StandInService::Continue, SERVICE_RUNNING}, {StandInService::Stop, SERVICE_STOPPED},
                                                    {StandInService::Remove, -1}};
    for (const auto& [change, state] : cases) {
        SCOPED_TRACE(state);
        ASSERT_TRUE(change());
        clock.AdvanceSeconds(11);
        EXPECT_EQ(ServiceMonitor::QueryServiceState(ServiceName), state);
        EXPECT_EQ(ServiceMonitor::IsServiceRunning(), state == SERVICE_RUNNING);
    }
    unsigned long kept = 0;
    EXPECT_TRUE(CValueCache::GetInstance().GetULong(ServiceName, &kept) && kept == 0xFFFFFFFFul) << kept;
    EXPECT_EQ(ServiceMonitor::QueryServiceState(nullptr), -1);
    CSharedLockGuard guard(GetSharedLock()); // a caller may hold the lock already
    std::wstring made, cached;
    ASSERT_TRUE(ServiceMonitor::GetLocalEndpoint(&made) && ServiceMonitor::GetLocalEndpoint(&cached));
    EXPECT_TRUE(made == L"127.0.0.1:8806" && cached == made) << testing::PrintToString(made);
    EXPECT_FALSE(ServiceMonitor::GetLocalEndpoint(nullptr));
    clock.AdvanceSeconds(600);
    const std::wstring* endpoint = nullptr;
    EXPECT_TRUE(CValueCache::GetInstance().GetString(CValueCache::LocalEndpointKey, &endpoint)) << "kept for 600 s";
}

} // namespace
