#pragma once

#include <windows.h>
#include <shlobj.h>

#include <cstdint>

#include "OrbethExtensions_h.h"
#include "base/SyncStatus.h"
#include "overlay/TypeInfo.h"

class COrbethStatusResolver;

// An icon overlay identifier: the file manager asks it, for every item it draws, whether the
// item shows its badge. Each of the three classes stands for one sync status; the resolver
// answers the status and at most one class says yes.
class COrbethIconOverlay : public IShellIconOverlayIdentifier {
public:
    virtual ~COrbethIconOverlay() = default;

    // The interface declares them nothrow, and nothing in them throws.
    STDMETHODIMP IsMemberOf(LPCWSTR path, DWORD attributes) noexcept override;
    STDMETHODIMP GetOverlayInfo(LPWSTR iconFile, int cchMax, int* index, DWORD* flags) noexcept override;
    STDMETHODIMP GetPriority(int* priority) noexcept override;

protected:
    COrbethIconOverlay(int32_t overlayStatus, int32_t iconIndex);

    LONG m_refCount = 0;
    const int32_t m_overlayStatus;
    const int32_t m_iconIndex;
    COrbethStatusResolver* const m_resolver;
};

// One overlay class: its dual interface (the object's identity) and its status, which is also
// the position of its icon among the module's icon groups (201 error, 202 pending, 203 ok).
template <class Dual, int32_t Status>
class COrbethOverlayClass : public COrbethIconOverlay, public CDispatchImpl<Dual> {
public:
    COrbethOverlayClass() : COrbethIconOverlay(Status, Status) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (riid == __uuidof(Dual) || riid == IID_IDispatch || riid == IID_IUnknown)
            *object = static_cast<Dual*>(this);
        else if (riid == IID_IShellIconOverlayIdentifier)
            *object = static_cast<IShellIconOverlayIdentifier*>(this);
        else
            return E_NOINTERFACE;
        static_cast<Dual*>(this)->AddRef();
        return S_OK;
    }
};

class COrbethErrorIconOverlay : public COrbethOverlayClass<IOrbethErrorIconOverlay, StatusError> {};
class COrbethPendingIconOverlay : public COrbethOverlayClass<IOrbethPendingIconOverlay, StatusPending> {};
class COrbethOkIconOverlay : public COrbethOverlayClass<IOrbethOkIconOverlay, StatusOk> {};
