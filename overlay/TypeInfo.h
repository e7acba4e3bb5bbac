#pragma once

#include <oaidl.h>

// IDispatch of the module's dual interfaces, served from the registered type library. The type
// information is loaded once, on first use, and kept until the module unloads.
HRESULT GetDualTypeInfo(REFIID iid, ITypeInfo** info);

template <class Dual> class CDispatchImpl : public Dual {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override
    {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        if (index != 0)
            return DISP_E_BADINDEX;
        return GetDualTypeInfo(__uuidof(Dual), info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        ITypeInfo* info = nullptr;
        HRESULT result = GetDualTypeInfo(__uuidof(Dual), &info);
        if (SUCCEEDED(result)) {
            result = info->GetIDsOfNames(names, count, ids);
            info->Release();
        }
        return result;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override
    {
        ITypeInfo* info = nullptr;
        HRESULT hr = GetDualTypeInfo(__uuidof(Dual), &info);
        if (SUCCEEDED(hr)) {
            hr = info->Invoke(static_cast<Dual*>(this), id, flags, parameters, result, exception, argumentError);
            info->Release();
        }
        return hr;
    }
};
