#pragma once

#include <windows.h>

// An open registry key, closed when it goes.
class CRegistryKey {
public:
    CRegistryKey() = default;
    ~CRegistryKey() { Close(); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // The Win32 result, as RegOpenKeyExW gives it (a LONG error code, not an HRESULT).
    LONG Open(HKEY parent, const wchar_t* subkey, REGSAM access)
    {
        Close();
        return RegOpenKeyExW(parent, subkey, 0, access, &m_key);
    }
    LONG Create(HKEY parent, const wchar_t* subkey, REGSAM access)
    {
        Close();
        return RegCreateKeyExW(parent, subkey, 0, nullptr, 0, access, nullptr, &m_key, nullptr);
    }
    void Close()
    {
        if (m_key)
            RegCloseKey(m_key);
        m_key = nullptr;
    }
    HKEY Get() const { return m_key; }
    explicit operator bool() const { return m_key != nullptr; }

private:
    HKEY m_key = nullptr;
};
