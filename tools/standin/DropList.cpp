#include "tools/standin/DropList.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <new>

namespace {

// Serves one format only, as a fresh copy per request that the receiver releases, like the
// shell's own data object does.
class CDropListObject final : public IDataObject {
public:
    explicit CDropListObject(std::string bytes) : m_bytes(std::move(bytes)) {}

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
        HGLOBAL global = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, m_bytes.size());
        void* data = global && !m_bytes.empty() ? GlobalLock(global) : nullptr;
        if (!global || (!data && !m_bytes.empty())) {
            GlobalFree(global);
            return E_OUTOFMEMORY;
        }
        if (data) {
            memcpy(data, m_bytes.data(), m_bytes.size());
            GlobalUnlock(global);
        }
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
    std::string m_bytes; // the memory handed out: normally a DROPFILES, then each path with its NUL, then one more
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
    DROPFILES header{sizeof(DROPFILES), {0, 0}, FALSE, TRUE};
    return MakeDropListFromBytes(
        std::string(reinterpret_cast<const char*>(&header), sizeof header) +
        std::string(reinterpret_cast<const char*>(list.data()), list.size() * sizeof(wchar_t)));
}

Microsoft::WRL::ComPtr<IDataObject> MakeDropListFromBytes(std::string bytes)
{
    Microsoft::WRL::ComPtr<IDataObject> data;
    *data.GetAddressOf() = new (std::nothrow) CDropListObject(std::move(bytes)); // born with its one reference
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

Microsoft::WRL::ComPtr<IShellItemArray> MakeItemArray(const std::vector<std::wstring>& paths)
{
    std::vector<std::unique_ptr<ITEMIDLIST, decltype(&ILFree)>> ids;
    std::vector<PCIDLIST_ABSOLUTE> list;
    for (const std::wstring& path : paths) {
        ids.emplace_back(ILCreateFromPathW(path.c_str()), &ILFree);
        list.push_back(ids.back().get());
    }
    Microsoft::WRL::ComPtr<IShellItemArray> items;
    if (std::all_of(list.begin(), list.end(), [](PCIDLIST_ABSOLUTE id) { return id; }))
        SHCreateShellItemArrayFromIDLists(static_cast<UINT>(list.size()), list.data(), &items);
    return items;
}
