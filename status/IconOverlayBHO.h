#pragma once

#include <windows.h>
#include <ocidl.h>

#include "OrbethExtensions_h.h"

// The browser helper object that the file manager creates for each of its windows. Given its
// site, it hooks the calling thread's window messages so that the sync client's status pushes
// (WM_COPYDATA) reach the status cache before the window sees them.
class COrbethIconOverlayBHO : public IOrbethIconOverlayBHO, public IObjectWithSite {
public:
    virtual ~COrbethIconOverlayBHO();

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    // Installs the hook whatever the site, null included; the site is not kept.
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** site) override;

    virtual HRESULT InstallHook();
    virtual HRESULT UninstallHook();

protected:
    LONG m_refCount = 0;
    HHOOK m_hook = nullptr;
};

// The hook procedure: stores each status a push announces, then passes every message on.
LRESULT CALLBACK StatusHookProc(int code, WPARAM wParam, LPARAM lParam);
