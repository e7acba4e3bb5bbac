#pragma once

#include <objbase.h>
#include <windows.h>

#include <new>

#include "module/Module.h"

// The count an object's reference count is set to while it is being destroyed: an AddRef or
// Release made by its clean-up then cannot bring it to 0 a second time.
constexpr LONG DestructionMarker = -1073741823;

// A creatable class wrapped with the module's object rules: one module lock for its lifetime and
// an atomic reference count (the Windows 11 file manager may hold a command on several threads).
// Base declares QueryInterface, a virtual destructor and a LONG m_refCount.
template <class Base> class CComObject final : public Base {
public:
    CComObject() { GetModule().Lock(); }
    ~CComObject() override { GetModule().Unlock(); }

    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&this->m_refCount)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = InterlockedDecrement(&this->m_refCount);
        if (count == 0) {
            this->m_refCount = DestructionMarker;
            delete this;
        }
        return static_cast<ULONG>(count);
    }
};

// The create operation of every class: no aggregation, an allocation that does not throw, and an
// object that is gone again when it lacks the interface asked for.
template <class Base> HRESULT CreateComObject(IUnknown* outer, REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* created = new (std::nothrow) CComObject<Base>();
    if (!created)
        return E_OUTOFMEMORY;
    created->AddRef();
    const HRESULT result = created->QueryInterface(riid, object);
    created->Release();
    return result;
}
