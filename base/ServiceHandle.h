#pragma once

#include <windows.h>

// A handle of the service control manager or of a service, closed when it goes.
class CServiceHandle {
public:
    explicit CServiceHandle(SC_HANDLE handle = nullptr) : m_handle(handle) {}
    ~CServiceHandle()
    {
        if (m_handle)
            CloseServiceHandle(m_handle);
    }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;

    SC_HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};
