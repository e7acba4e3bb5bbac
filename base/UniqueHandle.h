#pragma once

// A handle owned by its holder and closed with Close when it goes, unless released first. The
// wrappers of service, WinHTTP, GDI and menu handles are this one template.
template <typename Handle, auto Close> class CUniqueHandle {
public:
    explicit CUniqueHandle(Handle handle = nullptr) : m_handle(handle) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;

    void Reset(Handle handle = nullptr)
    {
        if (m_handle)
            Close(m_handle);
        m_handle = handle;
    }
    // Hands the handle over to a new owner.
    Handle Release()
    {
        Handle handle = m_handle;
        m_handle = nullptr;
        return handle;
    }
    Handle Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    Handle m_handle;
};
