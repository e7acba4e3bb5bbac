#include <windows.h>

#include "base/ComBoundary.h"
#include "base/RegistryKey.h"
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

namespace {

const wchar_t ApprovedKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";

// The shell extensions that the file manager must be allowed to load, in the order written.
const struct {
    const wchar_t* clsid;
    const wchar_t* name;
} ApprovedExtensions[] = {
    {L"{345DCDDB-F6B4-4AFB-A4AA-4894E28A4A8C}", L"OrbethIconOverlay"},
    {L"{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}", L"OrbethIconOverlay"},
    {L"{1DDA3509-9FF3-40DA-8B00-3CFAEDB46577}", L"OrbethIconOverlay"},
    {L"{4D447825-B53E-4C8D-8A3C-24FF0FC9ED30}", L"OrbethContextMenu"},
};

bool IsNtFamily()
{
    return (GetVersion() & 0x80000000u) == 0;
}

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    return GuardedCall([]() -> HRESULT {
        if (IsNtFamily()) {
            // Without the right to approve extensions nothing is registered at all.
            CRegistryKey approved;
            if (approved.Open(HKEY_LOCAL_MACHINE, ApprovedKey, KEY_SET_VALUE) != ERROR_SUCCESS)
                return E_ACCESSDENIED;
            for (const auto& extension : ApprovedExtensions) {
                const DWORD bytes = static_cast<DWORD>((wcslen(extension.name) + 1) * sizeof(wchar_t));
                if (RegSetValueExW(approved.Get(), extension.clsid, 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(extension.name), bytes) != ERROR_SUCCESS)
                    return E_ACCESSDENIED;
            }
        }
        return RegisterServer();
    });
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return GuardedCall([]() -> HRESULT {
        CRegistryKey approved;
        if (IsNtFamily() && approved.Open(HKEY_LOCAL_MACHINE, ApprovedKey, KEY_SET_VALUE) == ERROR_SUCCESS) {
            for (const auto& extension : ApprovedExtensions)
                RegDeleteValueW(approved.Get(), extension.clsid);
        }
        return UnregisterServer();
    });
}

// There are no options and no per-user mode: the command line is not read.
extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR)
{
    if (!install)
        return DllUnregisterServer();
    const HRESULT result = DllRegisterServer();
    if (FAILED(result))
        DllUnregisterServer();
    return result;
}
