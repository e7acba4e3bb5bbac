#pragma once

#include <objbase.h>
#include <windows.h>

// The creatable classes, in a fixed order, with their class factories made on first request
// and kept until unload.
class CClassTable {
public:
    using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** object);

    struct CEntry {
        const CLSID* clsid;
        CreateFunction create;
        IUnknown* factory;
        UINT script; // the REGISTRY resource that registers the class, 0 for one a package declares
    };

    // Built at load, where nothing could catch: it only fills the table and makes its lock.
    CClassTable() noexcept;
    ~CClassTable();
    CClassTable(const CClassTable&) = delete;
    CClassTable& operator=(const CClassTable&) = delete;

    bool IsUsable() const { return m_usable != 0; }
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object);
    const CEntry* begin() const { return m_entries; }
    const CEntry* end() const { return m_entries + 6; }

private:
    CEntry* Find(REFCLSID clsid);

    CEntry m_entries[6];
    CRITICAL_SECTION m_lock;
    UINT m_usable = 0; // 0 when its lock could not be made, and after unload
};

CClassTable& GetClassTable();
