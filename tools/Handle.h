#pragma once

#include <windows.h>

// A kernel handle (file, event, process), closed when it goes. INVALID_HANDLE_VALUE, which
// CreateFileW answers on failure, is kept as null.
class CHandle {
public:
    explicit CHandle(HANDLE handle = nullptr) { Reset(handle); }
    ~CHandle() { Reset(); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    void Reset(HANDLE handle = nullptr)
    {
        if (m_handle)
            CloseHandle(m_handle);
        m_handle = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }

    HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    HANDLE m_handle = nullptr;
};
