#include "module/TypeInfo.h"

#include <oleauto.h>

#include "OrbethExtensions_h.h"
#include "module/Module.h"

namespace {

struct CLoadedTypeInfo {
    IID iid;
    ITypeInfo* info;
};

// One slot per dual interface of the type library.
CLoadedTypeInfo s_loaded[4];

void ReleaseTypeInfo(void* argument)
{
    auto* slot = static_cast<CLoadedTypeInfo*>(argument);
    if (slot->info)
        slot->info->Release();
    slot->info = nullptr;
}

} // namespace

HRESULT GetDualTypeInfo(REFIID iid, ITypeInfo** info)
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    COrbethExtensionsModule& module = GetModule();
    EnterCriticalSection(module.ModuleLock());
    HRESULT result = E_UNEXPECTED;
    for (CLoadedTypeInfo& slot : s_loaded) {
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
                module.AddTermFunc(ReleaseTypeInfo, &slot);
                *info = slot.info;
            }
            break;
        }
    }
    if (*info)
        (*info)->AddRef();
    LeaveCriticalSection(module.ModuleLock());
    return result;
}
