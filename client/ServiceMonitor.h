#pragma once

#include <cstdint>
#include <string>

// Whether the sync client's service runs, and where its local web service listens.
namespace ServiceMonitor {

constexpr int32_t StateTtlSeconds = 10;

// The service's current state (SERVICE_RUNNING, SERVICE_PAUSED, ...), or -1 when it cannot be
// read: no access to the service control manager, no such service, or a failed query. The
// manager's database is the active one unless named (a name that does not exist fails the open).
int32_t QueryServiceState(const wchar_t* serviceName, const wchar_t* database = nullptr);

// Asks the service control manager at most once per 10 s; the state is kept in the value cache
// whatever it is, -1 included.
bool IsServiceRunning();

// "127.0.0.1:8806", kept in the value cache for its default life.
bool GetLocalEndpoint(std::wstring* endpoint);

} // namespace ServiceMonitor
