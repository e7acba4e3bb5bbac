#include "module/Registration.h"

#include <string>

#include "base/ModuleInstance.h"
#include "base/RegistryKey.h"

#include "module/ClassTable.h"
#include "module/Module.h"
#include "module/RegObject.h"

namespace {

constexpr UINT AppIdScript = 101;

// Called only on a way out that failed: a call that set no error code (an empty resource) still
// fails, rather than passing for success.
HRESULT LastError()
{
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// The scripts are ANSI text in the thread's code page: it is the system's while they run, and
// the caller's locale comes back on every way out.
class CSystemThreadLocale {
public:
    CSystemThreadLocale() : m_saved(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~CSystemThreadLocale() { SetThreadLocale(m_saved); }
    CSystemThreadLocale(const CSystemThreadLocale&) = delete;
    CSystemThreadLocale& operator=(const CSystemThreadLocale&) = delete;

private:
    LCID m_saved;
};

} // namespace

HRESULT UpdateRegistryFromResource(UINT resource, bool registering, const CReplacements& extra)
{
    CRegObject registrar;
    for (const auto& [name, text] : extra) {
        if (name && text)
            registrar.AddReplacement(name, text);
    }
    HRESULT result = registrar.AddReplacement(L"APPID", OrbethAppId);
    if (FAILED(result))
        return result;

    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(GetModuleInstance(), path, MAX_PATH);
    if (length == 0)
        return LastError();
    if (length == MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    // The path goes inside quoted tokens, where a single quote is written twice.
    std::wstring escaped;
    for (const wchar_t* c = path; *c; ++c) {
        escaped.push_back(*c);
        if (*c == L'\'')
            escaped.push_back(L'\'');
    }
    if (FAILED(result = registrar.AddReplacement(L"Module", escaped.c_str())))
        return result;

    HRSRC found = FindResourceW(GetModuleInstance(), MAKEINTRESOURCEW(resource), L"REGISTRY");
    HGLOBAL loaded = found ? LoadResource(GetModuleInstance(), found) : nullptr;
    const DWORD size = found ? SizeofResource(GetModuleInstance(), found) : 0;
    const auto* bytes = static_cast<const char*>(loaded ? LockResource(loaded) : nullptr);
    if (!bytes || size == 0)
        return LastError();
    std::wstring script(size + 1, L'\0');
    const int converted =
        MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), script.data(), static_cast<int>(size));
    if (converted == 0)
        return LastError();
    script.resize(static_cast<size_t>(converted));
    return registrar.RunScript(script.c_str(), registering);
}

HRESULT RegisterServer()
{
    CSystemThreadLocale locale;
    HRESULT result = UpdateRegistryFromResource(AppIdScript, true, {{L"APPID", OrbethAppId}});
    for (const CClassTable::CEntry& entry : GetClassTable()) {
        if (FAILED(result))
            break;
        // No class has component categories to register.
        if (entry.script)
            result = UpdateRegistryFromResource(entry.script, true);
    }
    return result;
}

HRESULT UnregisterServer()
{
    CSystemThreadLocale locale;
    for (const CClassTable::CEntry& entry : GetClassTable()) {
        const HRESULT result = entry.script ? UpdateRegistryFromResource(entry.script, false) : S_OK;
        if (FAILED(result))
            return result;
    }
    return UpdateRegistryFromResource(AppIdScript, false, {{L"APPID", OrbethAppId}});
}

const wchar_t ApprovedExtensionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";

const CApprovedExtension ApprovedExtensions[ApprovedExtensionCount] = {
    {L"{345DCDDB-F6B4-4AFB-A4AA-4894E28A4A8C}", L"OrbethIconOverlay"},
    {L"{C6012E3E-84EC-4B94-BE19-B4F6F186DA6D}", L"OrbethIconOverlay"},
    {L"{1DDA3509-9FF3-40DA-8B00-3CFAEDB46577}", L"OrbethIconOverlay"},
    {L"{4D447825-B53E-4C8D-8A3C-24FF0FC9ED30}", L"OrbethContextMenu"},
};

namespace {

bool IsNtFamily()
{
    return (GetVersion() & 0x80000000u) == 0;
}

} // namespace

HRESULT RegisterModule()
{
    if (IsNtFamily()) {
        // Without the right to approve extensions nothing is registered at all.
        CRegistryKey approved;
        if (approved.Open(HKEY_LOCAL_MACHINE, ApprovedExtensionsKey, KEY_SET_VALUE) != ERROR_SUCCESS)
            return E_ACCESSDENIED;
        for (const auto& extension : ApprovedExtensions) {
            const DWORD bytes = static_cast<DWORD>((wcslen(extension.name) + 1) * sizeof(wchar_t));
            if (RegSetValueExW(approved.Get(), extension.clsid, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(extension.name), bytes) != ERROR_SUCCESS)
                return E_ACCESSDENIED;
        }
    }
    return RegisterServer();
}

HRESULT UnregisterModule()
{
    CRegistryKey approved;
    if (IsNtFamily() && approved.Open(HKEY_LOCAL_MACHINE, ApprovedExtensionsKey, KEY_SET_VALUE) == ERROR_SUCCESS) {
        for (const auto& extension : ApprovedExtensions)
            RegDeleteValueW(approved.Get(), extension.clsid);
    }
    return UnregisterServer();
}

HRESULT InstallModule(bool install)
{
    if (!install)
        return UnregisterModule();
    const HRESULT result = RegisterModule();
    if (FAILED(result))
        UnregisterModule();
    return result;
}
