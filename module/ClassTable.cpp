#include "module/ClassTable.h"

#include "menu/ContextMenuHandler.h"
#include "menu/ExplorerCommand.h"
#include "module/ClassFactory.h"
#include "module/ComObject.h"
#include "overlay/IconOverlay.h"
#include "status/IconOverlayBHO.h"

CClassTable::CClassTable() noexcept
    : m_entries{
          {&CLSID_OrbethContextMenuHandler, &CreateComObject<COrbethContextMenuHandler>, nullptr, 106},
          {&CLSID_OrbethOkIconOverlay, &CreateComObject<COrbethOkIconOverlay>, nullptr, 102},
          {&CLSID_OrbethPendingIconOverlay, &CreateComObject<COrbethPendingIconOverlay>, nullptr, 104},
          {&CLSID_OrbethErrorIconOverlay, &CreateComObject<COrbethErrorIconOverlay>, nullptr, 103},
          {&CLSID_OrbethIconOverlayBHO, &CreateComObject<COrbethIconOverlayBHO>, nullptr, 105},
          // Declared by the Windows 11 package, not by self-registration.
          {&CLSID_OrbethExplorerCommand, &CreateComObject<COrbethExplorerCommand>, nullptr, 0},
      }
{
    if (InitializeCriticalSectionEx(&m_lock, 0, 0))
        m_usable = 1;
}

CClassTable::~CClassTable()
{
    if (!m_usable)
        return;
    for (CEntry& entry : m_entries) {
        if (entry.factory)
            entry.factory->Release();
        entry.factory = nullptr;
    }
    DeleteCriticalSection(&m_lock);
    m_usable = 0;
}

CClassTable::CEntry* CClassTable::Find(REFCLSID clsid)
{
    for (CEntry& entry : m_entries) {
        if (IsEqualCLSID(*entry.clsid, clsid))
            return &entry;
    }
    return nullptr;
}

HRESULT CClassTable::GetClassObject(REFCLSID clsid, REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!m_usable)
        return E_UNEXPECTED;
    CEntry* entry = Find(clsid);
    if (!entry)
        return CLASS_E_CLASSNOTAVAILABLE;

    HRESULT made = S_OK;
    if (!entry->factory) {
        // Checked again under the lock, so each factory is made once whatever the threads do.
        EnterCriticalSection(&m_lock);
        if (!entry->factory) {
            void* factory = nullptr;
            made = MakeClassFactory(entry->create, IID_IUnknown, &factory);
            // Published only once it is whole: other threads read the entry without the lock.
            InterlockedExchangePointer(reinterpret_cast<void**>(&entry->factory), factory);
        }
        LeaveCriticalSection(&m_lock);
    }
    if (!entry->factory)
        return FAILED(made) ? made : CLASS_E_CLASSNOTAVAILABLE;
    const HRESULT result = entry->factory->QueryInterface(riid, object);
    return result == S_OK && !*object ? CLASS_E_CLASSNOTAVAILABLE : result;
}
