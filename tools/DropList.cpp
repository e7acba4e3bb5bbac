#include "tools/DropList.h"

#include <windows.h>
#include <shlobj.h>

#include <new>

namespace {

// Serves one format only, as a fresh copy per request that the receiver releases, like the
// shell's own data object does.
class CDropListObject final : public IDataObject {
public:
    explicit CDropListObject(std::wstring list) : m_list(std::move(list)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = riid == IID_IUnknown || riid == IID_IDataObject ? this : nullptr;
        if (!*object)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refCount); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = InterlockedDecrement(&m_refCount);
        if (count == 0)
            delete this;
        return count;
    }

    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override
    {
        if (!format || !medium)
            return E_INVALIDARG;
        if (format->cfFormat != CF_HDROP || !(format->tymed & TYMED_HGLOBAL))
            return DV_E_FORMATETC;
        const SIZE_T bytes = sizeof(DROPFILES) + m_list.size() * sizeof(wchar_t);
        HGLOBAL global = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
        auto* files = global ? static_cast<DROPFILES*>(GlobalLock(global)) : nullptr;
        if (!files) {
            GlobalFree(global);
            return E_OUTOFMEMORY;
        }
        files->pFiles = sizeof(DROPFILES);
        files->fWide = TRUE;
        memcpy(files + 1, m_list.data(), m_list.size() * sizeof(wchar_t));
        GlobalUnlock(global);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = global;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC* format) override
    {
        return format && format->cfFormat == CF_HDROP ? S_OK : DV_E_FORMATETC;
    }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override
    {
        if (out)
            out->ptd = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    ~CDropListObject() = default;

    volatile LONG m_refCount = 1;
    std::wstring m_list; // each path with its NUL, then one more
};

} // namespace

Microsoft::WRL::ComPtr<IDataObject> MakeDropList(const std::vector<std::wstring>& paths)
{
    std::wstring list;
    for (const std::wstring& path : paths) {
        list += path;
        list.push_back(L'\0');
    }
    list.push_back(L'\0');
    Microsoft::WRL::ComPtr<IDataObject> data;
    *data.GetAddressOf() = new (std::nothrow) CDropListObject(std::move(list)); // born with its one reference
    return data;
}

HRESULT InitializeHandler(IUnknown* handler, const std::vector<std::wstring>& paths, const wchar_t* folder)
{
    IShellExtInit* init = nullptr;
    if (!handler || FAILED(handler->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init))))
        return E_NOINTERFACE;
    PIDLIST_ABSOLUTE list = folder ? ILCreateFromPathW(folder) : nullptr;
    const HRESULT result = init->Initialize(list, MakeDropList(paths).Get(), nullptr);
    ILFree(list);
    init->Release();
    return result;
}
