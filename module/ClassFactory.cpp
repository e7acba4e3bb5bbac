#include "module/ClassFactory.h"

#include <new>

#include "base/ComBoundary.h"
#include "module/Module.h"

namespace {

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(CClassTable::CreateFunction create) : m_create(create) {}
    virtual ~CClassFactory() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        const LONG count = InterlockedIncrement(&m_refCount);
        if (count == 2) // the first reference beyond the class table's own
            GetModule().Lock();
        return static_cast<ULONG>(count);
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = InterlockedDecrement(&m_refCount);
        if (count == 1)
            GetModule().Unlock();
        else if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        return GuardedCall([&]() -> HRESULT {
            if (!object)
                return E_POINTER;
            *object = nullptr;
            if (outer && riid != IID_IUnknown)
                return CLASS_E_NOAGGREGATION;
            return m_create(outer, riid, object);
        });
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            GetModule().Lock();
        else
            GetModule().Unlock();
        return S_OK;
    }

private:
    volatile LONG m_refCount = 0;
    CClassTable::CreateFunction m_create;
};

} // namespace

HRESULT MakeClassFactory(CClassTable::CreateFunction create, REFIID riid, void** factory)
{
    if (!factory)
        return E_POINTER;
    *factory = nullptr;
    auto* made = new (std::nothrow) CClassFactory(create);
    if (!made)
        return E_OUTOFMEMORY;
    const HRESULT result = made->QueryInterface(riid, factory);
    if (result != S_OK)
        delete made;
    return result;
}
