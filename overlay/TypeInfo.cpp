#include "overlay/TypeInfo.h"

#include <oleauto.h>

#include "OrbethExtensions_h.h"

namespace {

// The type information of each dual interface, loaded from the registered type library on first
// use and released when the module unloads.
class CTypeInfoCache {
public:
    CTypeInfoCache() { InitializeCriticalSection(&m_lock); }
    ~CTypeInfoCache()
    {
        for (CSlot& slot : m_slots) {
            if (slot.info)
                slot.info->Release();
        }
        DeleteCriticalSection(&m_lock);
    }
    CTypeInfoCache(const CTypeInfoCache&) = delete;
    CTypeInfoCache& operator=(const CTypeInfoCache&) = delete;

    HRESULT Get(REFIID iid, ITypeInfo** info)
    {
        EnterCriticalSection(&m_lock);
        HRESULT result = E_UNEXPECTED;
        for (CSlot& slot : m_slots) {
            if (slot.info && IsEqualIID(slot.iid, iid)) {
                result = S_OK;
                *info = slot.info;
                break;
            }
            if (!slot.info) {
                ITypeLib* library = nullptr;
                // The library's own locale: the loader falls back from it to neutral, not the reverse.
                result = LoadRegTypeLib(LIBID_OrbethExtensionsLib, 1, 0, 0x0409, &library);
                if (SUCCEEDED(result)) {
                    result = library->GetTypeInfoOfGuid(iid, &slot.info);
                    library->Release();
                }
                if (SUCCEEDED(result)) {
                    slot.iid = iid;
                    *info = slot.info;
                }
                break;
            }
        }
        if (*info)
            (*info)->AddRef();
        LeaveCriticalSection(&m_lock);
        return result;
    }

private:
    struct CSlot {
        IID iid;
        ITypeInfo* info;
    };
    CRITICAL_SECTION m_lock;
    CSlot m_slots[3] = {}; // one per dual interface served: the three overlays'
};

} // namespace

HRESULT GetDualTypeInfo(REFIID iid, ITypeInfo** info)
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    static CTypeInfoCache cache;
    return cache.Get(iid, info);
}
