#pragma once

#include <windows.h>
#include <winhttp.h>

// A WinHTTP session, connection or request handle, closed when it goes. Declared in the order
// they are opened, they close request first, then connection, then session.
class CWinHttpHandle {
public:
    explicit CWinHttpHandle(HINTERNET handle = nullptr) : m_handle(handle) {}
    ~CWinHttpHandle()
    {
        if (m_handle)
            WinHttpCloseHandle(m_handle);
    }
    CWinHttpHandle(const CWinHttpHandle&) = delete;
    CWinHttpHandle& operator=(const CWinHttpHandle&) = delete;

    HINTERNET Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    HINTERNET m_handle;
};
