#pragma once

#include <windows.h>

// A GDI object (here: a bitmap) owned by its holder and deleted when it goes.
class CGdiObject {
public:
    explicit CGdiObject(HGDIOBJ object = nullptr) : m_object(object) {}
    ~CGdiObject() { Reset(); }
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;

    void Reset(HGDIOBJ object = nullptr)
    {
        if (m_object)
            DeleteObject(m_object);
        m_object = object;
    }
    HBITMAP Bitmap() const { return static_cast<HBITMAP>(m_object); }
    HGDIOBJ Release()
    {
        HGDIOBJ object = m_object;
        m_object = nullptr;
        return object;
    }
    explicit operator bool() const { return m_object != nullptr; }

private:
    HGDIOBJ m_object;
};

// A memory device context compatible with the screen, deleted when it goes. An object selected
// into it is selected out again first, so that the object can be deleted or selected elsewhere.
class CMemoryDC {
public:
    CMemoryDC() : m_dc(CreateCompatibleDC(nullptr)) {}
    ~CMemoryDC()
    {
        if (m_dc && m_previous)
            SelectObject(m_dc, m_previous);
        if (m_dc)
            DeleteDC(m_dc);
    }
    CMemoryDC(const CMemoryDC&) = delete;
    CMemoryDC& operator=(const CMemoryDC&) = delete;

    bool Select(HGDIOBJ object)
    {
        HGDIOBJ previous = SelectObject(m_dc, object);
        if (!previous || previous == HGDI_ERROR)
            return false;
        if (!m_previous)
            m_previous = previous;
        return true;
    }
    HDC Get() const { return m_dc; }
    explicit operator bool() const { return m_dc != nullptr; }

private:
    HDC m_dc;
    HGDIOBJ m_previous = nullptr;
};
