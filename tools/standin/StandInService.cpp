// The stand-in for the sync client's Windows service "orbethSync": it only runs, pauses,
// continues and stops when told, which is all the module reads of the real one.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE s_statusHandle = nullptr;
SERVICE_STATUS s_status{};
HANDLE s_stopEvent = nullptr;
wchar_t s_serviceName[] = L"orbethSync";

void Report(DWORD state)
{
    s_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s_status.dwCurrentState = state;
    s_status.dwControlsAccepted =
        state == SERVICE_STOP_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    s_status.dwWin32ExitCode = NO_ERROR;
    SetServiceStatus(s_statusHandle, &s_status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        Report(SERVICE_STOP_PENDING);
        SetEvent(s_stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
        Report(SERVICE_PAUSED);
        return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
        Report(SERVICE_RUNNING);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        SetServiceStatus(s_statusHandle, &s_status);
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**)
{
    s_statusHandle = RegisterServiceCtrlHandlerExW(s_serviceName, Control, nullptr);
    if (!s_statusHandle)
        return;
    s_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(s_stopEvent, INFINITE);
    CloseHandle(s_stopEvent);
    Report(SERVICE_STOPPED);
}

} // namespace

int main()
{
    SERVICE_TABLE_ENTRYW table[] = {{s_serviceName, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
