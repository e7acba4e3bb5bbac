#include "tools/standin/DropList.h"

#include <windows.h>
#include <shlobj.h>
#include <servprov.h>

#include <algorithm>
#include <memory>
#include <new>

namespace {

// AddRef and Release of a stand-in that is born with one reference and goes with the last.
template <typename... Interfaces> class CCounted : public Interfaces... {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refCount); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = InterlockedDecrement(&m_refCount);
        if (count == 0)
            delete this;
        return count;
    }

protected:
    virtual ~CCounted() = default;

private:
    volatile LONG m_refCount = 1;
};

// Serves one format only, as a fresh copy per request that the receiver releases, like the
// shell's own data object does.
class CDropListObject final : public CCounted<IDataObject> {
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
    ~CDropListObject() override = default;

    std::string m_bytes; // the memory handed out: normally a DROPFILES, then each path with its NUL, then one more
};

class CCommandSite final : public CCounted<IServiceProvider, IOleWindow, IFolderView> {
public:
    CCommandSite(HWND window, const wchar_t* folder) : m_window(window), m_folder(folder ? folder : L"") {}

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IServiceProvider)
            *object = static_cast<IServiceProvider*>(this);
        else if (riid == IID_IOleWindow && m_window)
            *object = static_cast<IOleWindow*>(this);
        if (!*object)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    STDMETHODIMP QueryService(REFGUID service, REFIID riid, void** object) override
    {
        *object = nullptr;
        if (service != SID_SFolderView || riid != IID_IFolderView || m_folder.empty())
            return E_NOINTERFACE;
        *object = static_cast<IFolderView*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP GetWindow(HWND* window) override
    {
        *window = m_window;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // The shell's own folder object for the path, as a view holds it.
    STDMETHODIMP GetFolder(REFIID riid, void** object) override
    {
        *object = nullptr;
        std::unique_ptr<ITEMIDLIST, decltype(&ILFree)> id(ILCreateFromPathW(m_folder.c_str()), &ILFree);
        IShellFolder* desktop = nullptr;
        if (!id || FAILED(SHGetDesktopFolder(&desktop)))
            return E_FAIL;
        const HRESULT bound = desktop->BindToObject(id.get(), nullptr, riid, object);
        desktop->Release();
        return bound;
    }
    STDMETHODIMP GetCurrentViewMode(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP SetCurrentViewMode(UINT) override { return E_NOTIMPL; }
    STDMETHODIMP Item(int, PITEMID_CHILD*) override { return E_NOTIMPL; }
    STDMETHODIMP ItemCount(UINT, int*) override { return E_NOTIMPL; }
    STDMETHODIMP Items(UINT, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetSelectionMarkedItem(int*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFocusedItem(int*) override { return E_NOTIMPL; }
    STDMETHODIMP GetItemPosition(PCUITEMID_CHILD, POINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetSpacing(POINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDefaultSpacing(POINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetAutoArrange() override { return E_NOTIMPL; }
    STDMETHODIMP SelectItem(int, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP SelectAndPositionItems(UINT, PCUITEMID_CHILD*, POINT*, DWORD) override { return E_NOTIMPL; }

private:
    ~CCommandSite() override = default;

    HWND m_window;
    std::wstring m_folder;
};

} // namespace

Microsoft::WRL::ComPtr<IUnknown> MakeCommandSite(HWND window, const wchar_t* folder)
{
    Microsoft::WRL::ComPtr<IUnknown> site;
    *site.GetAddressOf() = static_cast<IServiceProvider*>(new (std::nothrow) CCommandSite(window, folder));
    return site;
}

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
