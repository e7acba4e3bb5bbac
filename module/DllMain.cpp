#include <windows.h>

#include "module/ComBoundary.h"

namespace {
HINSTANCE s_moduleInstance = nullptr;
}

HINSTANCE GetModuleInstance()
{
    return s_moduleInstance;
}

// Only the module handle is stored here: the loader lock is held, so no windows, threads,
// registry or COM.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        s_moduleInstance = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

// The creatable classes arrive with the COM server; until then no class is available.
extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, void** object)
{
    return GuardedCall([&]() -> HRESULT {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    });
}

// No object can exist yet, so the module may always be unloaded.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_OK;
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
