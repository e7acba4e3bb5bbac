#include "client/ServiceMonitor.h"

#include <windows.h>

#include "base/ServiceHandle.h"
#include "base/SharedLock.h"
#include "base/ValueCache.h"
#include "client/ClientContract.h"

namespace ServiceMonitor {

int32_t QueryServiceState(const wchar_t* serviceName, const wchar_t* database)
{
    if (!serviceName)
        return -1;
    CSharedLockGuard guard(GetSharedLock());
    CServiceHandle manager(OpenSCManagerW(nullptr, database, GENERIC_READ));
    if (!manager)
        return -1;
    CServiceHandle service(OpenServiceW(manager.Get(), serviceName, GENERIC_READ));
    if (!service)
        return -1;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed))
        return -1;
    return static_cast<int32_t>(status.dwCurrentState);
}

bool IsServiceRunning()
{
    CValueCache& values = CValueCache::GetInstance();
    unsigned long state = 0;
    if (!values.GetULong(ClientContract::ServiceName, &state)) {
        state = static_cast<unsigned long>(QueryServiceState(ClientContract::ServiceName));
        values.PutULong(ClientContract::ServiceName, state, nullptr, StateTtlSeconds);
    }
    return state == SERVICE_RUNNING;
}

bool GetLocalEndpoint(std::wstring* endpoint)
{
    if (!endpoint)
        return false;
    CValueCache& values = CValueCache::GetInstance();
    CSharedLockGuard guard(GetSharedLock());
    const std::wstring* cached = nullptr;
    if (values.GetString(CValueCache::LocalEndpointKey, &cached)) {
        *endpoint = *cached;
        return true;
    }
    const std::wstring text =
        std::wstring(ClientContract::LocalHost) + L":" + std::to_wstring(ClientContract::LocalPort);
    values.PutString(CValueCache::LocalEndpointKey, text.c_str(), nullptr, -1);
    *endpoint = text;
    return true;
}

} // namespace ServiceMonitor
