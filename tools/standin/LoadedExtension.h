#pragma once

#include <objbase.h>
#include <windows.h>
#include <wrl/client.h>

// The built DLL, loaded as the file manager loads it and called only through its exports. Freed
// again afterwards, so each test or benchmark starts with a freshly loaded module and empty caches.
class CLoadedExtension {
public:
    using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

    explicit CLoadedExtension(const wchar_t* path = L"OrbethExtensions.dll") : m_module(LoadLibraryW(path))
    {
        m_getClassObject = Export<GetClassObjectFunction>("DllGetClassObject");
        m_canUnloadNow = Export<CanUnloadNowFunction>("DllCanUnloadNow");
    }
    ~CLoadedExtension() { Unload(); }
    CLoadedExtension(const CLoadedExtension&) = delete;
    CLoadedExtension& operator=(const CLoadedExtension&) = delete;

    HMODULE Module() const { return m_module; }
    // Frees the DLL now, as the file manager does once it may unload; its exports go with it.
    void Unload()
    {
        if (m_module)
            FreeLibrary(m_module);
        m_module = nullptr;
        m_getClassObject = nullptr;
        m_canUnloadNow = nullptr;
    }
    bool Loaded() const { return m_getClassObject && m_canUnloadNow; }
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object) { return m_getClassObject(clsid, riid, object); }
    HRESULT CanUnloadNow() { return m_canUnloadNow(); }

    // A new object of the class through its factory, or null. (Owned from the start: this
    // MinGW's ComPtr::Attach adds a reference.)
    template <typename Interface> Microsoft::WRL::ComPtr<Interface> Create(REFCLSID clsid, REFIID riid)
    {
        Microsoft::WRL::ComPtr<IClassFactory> factory;
        Microsoft::WRL::ComPtr<Interface> object;
        if (SUCCEEDED(GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()))))
            factory->CreateInstance(nullptr, riid, reinterpret_cast<void**>(object.GetAddressOf()));
        return object;
    }

    template <typename Function> Function Export(const char* name)
    {
        return m_module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(m_module, name))) : nullptr;
    }

private:
    HMODULE m_module;
    GetClassObjectFunction m_getClassObject = nullptr;
    CanUnloadNowFunction m_canUnloadNow = nullptr;
};
