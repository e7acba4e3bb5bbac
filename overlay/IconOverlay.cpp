#include "overlay/IconOverlay.h"

#include "base/ComBoundary.h"
#include "base/ModuleInstance.h"
#include "status/StatusResolver.h"

COrbethIconOverlay::COrbethIconOverlay(int32_t overlayStatus, int32_t iconIndex)
    : m_overlayStatus(overlayStatus),
      m_iconIndex(iconIndex),
      m_resolver(&COrbethStatusResolver::GetInstance())
{
}

STDMETHODIMP COrbethIconOverlay::IsMemberOf(LPCWSTR path, DWORD attributes) noexcept
{
    return GuardedCall([&]() -> HRESULT {
        bool changed = false;
        const int32_t status = m_resolver->GetPathStatus(path, attributes, &changed);
        // The file manager keeps a folder's badge until told the folder changed (files are drawn
        // again anyway), so it is told when the answer changed. Each identifier that sees the
        // change says so; it does not wait.
        if (changed && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, path, nullptr);
        return status == m_overlayStatus ? S_OK : S_FALSE;
    });
}

STDMETHODIMP COrbethIconOverlay::GetOverlayInfo(LPWSTR iconFile, int cchMax, int* index, DWORD* flags) noexcept
{
    if (!iconFile || !index || !flags)
        return E_POINTER;
    // The icons are resources of this module's own file; a path cut by cchMax is the system's.
    GetModuleFileNameW(GetModuleInstance(), iconFile, cchMax > 0 ? static_cast<DWORD>(cchMax) : 0);
    *index = m_iconIndex;
    *flags = ISIOI_ICONFILE | ISIOI_ICONINDEX;
    return S_OK;
}

STDMETHODIMP COrbethIconOverlay::GetPriority(int* priority) noexcept
{
    if (!priority)
        return E_POINTER;
    *priority = 0;
    return S_OK;
}
