#include <windows.h>

#include "base/ComBoundary.h"
#include "module/ClassTable.h"
#include "module/Module.h"
#include "module/Registration.h"

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

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    return GuardedCall([] { return RegisterModule(); });
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return GuardedCall([] { return UnregisterModule(); });
}

// There are no options and no per-user mode: the command line is not read.
extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR)
{
    return GuardedCall([install] { return InstallModule(install != FALSE); });
}
