#include <windows.h>

#include "module/ClassTable.h"
#include "module/ComBoundary.h"
#include "module/Module.h"

// The statics (class table, module object) are built before the attach is seen. Nothing else
// happens here: the loader lock is held, so no windows, threads, registry or COM.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH && ModuleLoadFailed())
        return FALSE;
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object)
{
    return GuardedCall([&] { return GetClassTable().GetClassObject(clsid, riid, object); });
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return GetModule().GetLockCount() == 0 ? S_OK : S_FALSE;
}

// Self-registration comes with the registry scripts; until then it is not implemented.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    return E_NOTIMPL;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return E_NOTIMPL;
}

extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL, LPCWSTR)
{
    return E_NOTIMPL;
}
