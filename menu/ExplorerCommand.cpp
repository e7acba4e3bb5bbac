#include "menu/ExplorerCommand.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <new>
#include <string>

#include "OrbethExtensions_h.h"
#include "base/ComBoundary.h"
#include "base/ModuleInstance.h"

using Microsoft::WRL::ComPtr;

namespace {

const wchar_t NavigationTreeClass[] = L"NamespaceTreeControl";

// A string the shell allocated, freed when it goes.
class CTaskString {
public:
    CTaskString() = default;
    ~CTaskString() { CoTaskMemFree(m_text); }
    CTaskString(const CTaskString&) = delete;
    CTaskString& operator=(const CTaskString&) = delete;
    LPWSTR* Out()
    {
        Reset();
        return &m_text;
    }
    void Reset()
    {
        CoTaskMemFree(m_text);
        m_text = nullptr;
    }
    const wchar_t* Get() const { return m_text; }

private:
    LPWSTR m_text = nullptr;
};

struct CTaskFree {
    void operator()(void* memory) const { CoTaskMemFree(memory); }
};
using CIdList = std::unique_ptr<ITEMIDLIST, CTaskFree>;

// Reads the items' file-system paths through their parent folder, bound once for a run of items
// in the same folder: an item's own GetDisplayName(SIGDN_FILESYSPATH) binds its parent again on
// every call, which costs more than the rest of the decision. Same answer for a file-system item:
// its parsing name in its folder. Anything else is left to the item's own GetDisplayName.
class CFolderPaths {
public:
    bool Read(IShellItem* item, CTaskString* path)
    {
        if (!ReadThroughFolder(item, path))
            return SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, path->Out()));
        return true;
    }

private:
    // False, with no path, unless the item's folder names it with an absolute path.
    bool ReadThroughFolder(IShellItem* item, CTaskString* path)
    {
        PIDLIST_ABSOLUTE raw = nullptr;
        if (FAILED(SHGetIDListFromObject(item, &raw)) || !raw)
            return false;
        const CIdList id(raw);
        PCUITEMID_CHILD child = ILFindLastID(id.get());
        if (!child || child->mkid.cb == 0)
            return false;
        // The parent's id is every byte before the last item's; the same bytes name the same folder.
        const size_t parentBytes = size_t(reinterpret_cast<const BYTE*>(child) - reinterpret_cast<const BYTE*>(raw));
        if (!m_parent || parentBytes != m_parentBytes.size() || memcmp(raw, m_parentBytes.data(), parentBytes) != 0) {
            m_parent.Reset();
            if (FAILED(SHBindToParent(id.get(), IID_PPV_ARGS(&m_parent), nullptr)) || !m_parent)
                return false;
            m_parentBytes.assign(reinterpret_cast<const char*>(raw), parentBytes);
        }
        SFGAOF attributes = SFGAO_FILESYSTEM;
        STRRET name{};
        if (FAILED(m_parent->GetAttributesOf(1, &child, &attributes)) || !(attributes & SFGAO_FILESYSTEM) ||
            FAILED(m_parent->GetDisplayNameOf(child, SHGDN_FORPARSING, &name)) ||
            FAILED(StrRetToStrW(&name, child, path->Out())) || !path->Get())
            return false;
        const wchar_t* text = path->Get();
        const bool drive = iswalpha(text[0]) && text[1] == L':' && text[2] == L'\\';
        if (drive || (text[0] == L'\\' && text[1] == L'\\'))
            return true;
        path->Reset();
        return false;
    }

    ComPtr<IShellFolder> m_parent;
    std::string m_parentBytes;
};

HRESULT CopyOut(const wchar_t* text, LPWSTR* out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!copy)
        return E_OUTOFMEMORY;
    memcpy(copy, text, bytes);
    *out = copy;
    return S_OK;
}

// IUnknown of an object that hands out one interface, with a count of its own, atomic like the
// root's: the file manager may hold it on more than one thread.
template <typename Interface, const IID& Iid> class COneInterface : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != Iid)
            return E_NOINTERFACE;
        *object = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refCount)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = InterlockedDecrement(&m_refCount);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

protected:
    virtual ~COneInterface() = default;

private:
    LONG m_refCount = 0;
};

// A line of the submenu. Holds the root, and through it the module and the selection.
class CSubCommand final : public COneInterface<IExplorerCommand, IID_IExplorerCommand> {
public:
    CSubCommand(COrbethExplorerCommand* root, UINT line) : m_keep(root), m_root(root), m_line(line) {}

    STDMETHODIMP GetTitle(IShellItemArray*, LPWSTR* name) override
    {
        return CopyOut(MenuLineText(m_line).c_str(), name);
    }
    STDMETHODIMP GetIcon(IShellItemArray*, LPWSTR* icon) override
    {
        if (!icon)
            return E_POINTER;
        *icon = nullptr;
        return E_NOTIMPL; // the lines have no picture, as in the classic submenu
    }
    STDMETHODIMP GetToolTip(IShellItemArray*, LPWSTR* tip) override
    {
        if (!tip)
            return E_POINTER;
        *tip = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetCanonicalName(GUID* name) override
    {
        if (!name)
            return E_POINTER;
        *name = GUID_NULL;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetState(IShellItemArray* items, BOOL okToBeSlow, EXPCMDSTATE* state) override
    {
        if (!state)
            return E_POINTER;
        *state = ECS_HIDDEN;
        return GuardedCall([&] { return m_root->LineState(m_line, items, okToBeSlow != FALSE, state); });
    }
    STDMETHODIMP Invoke(IShellItemArray* items, IBindCtx*) override
    {
        return GuardedCall([&] { return m_root->RunLine(m_line, items); });
    }
    STDMETHODIMP GetFlags(EXPCMDFLAGS* flags) override
    {
        if (!flags)
            return E_POINTER;
        *flags = ECF_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP EnumSubCommands(IEnumExplorerCommand** commands) override
    {
        if (!commands)
            return E_POINTER;
        *commands = nullptr;
        return E_NOTIMPL;
    }

private:
    ComPtr<IExplorerCommand> m_keep;
    COrbethExplorerCommand* m_root;
    UINT m_line;
};

// Every line of the submenu, each handed out as a new sub-command: the file manager may ask for
// them before the form is decided, and each line's own state hides it where its form does not
// show it.
class CSubCommandEnum final : public COneInterface<IEnumExplorerCommand, IID_IEnumExplorerCommand> {
public:
    CSubCommandEnum(COrbethExplorerCommand* root, UINT position) : m_keep(root), m_root(root), m_position(position) {}

    STDMETHODIMP Next(ULONG wanted, IExplorerCommand** commands, ULONG* fetched) override
    {
        if (fetched)
            *fetched = 0;
        if (!commands || (wanted > 1 && !fetched))
            return E_POINTER;
        ULONG given = 0;
        for (; given < wanted && m_position < MenuLineCount; ++given) {
            auto* command = new (std::nothrow) CSubCommand(m_root, m_position);
            if (!command) {
                // All or nothing: what was handed out in this call is taken back.
                while (given > 0) {
                    commands[--given]->Release();
                    commands[given] = nullptr;
                }
                return E_OUTOFMEMORY;
            }
            command->AddRef();
            commands[given] = command;
            ++m_position;
        }
        if (fetched)
            *fetched = given;
        return given == wanted ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        const UINT left = MenuLineCount - m_position;
        m_position += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumExplorerCommand** copy) override
    {
        if (!copy)
            return E_POINTER;
        *copy = nullptr;
        auto* made = new (std::nothrow) CSubCommandEnum(m_root, m_position);
        if (!made)
            return E_OUTOFMEMORY;
        made->AddRef();
        *copy = made;
        return S_OK;
    }

private:
    ComPtr<IExplorerCommand> m_keep;
    COrbethExplorerCommand* m_root;
    UINT m_position;
};

} // namespace

STDMETHODIMP COrbethExplorerCommand::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IExplorerCommand)
        *object = static_cast<IExplorerCommand*>(this);
    else if (riid == IID_IObjectWithSite)
        *object = static_cast<IObjectWithSite*>(this);
    else
        return E_NOINTERFACE;
    static_cast<IUnknown*>(*object)->AddRef();
    return S_OK;
}

void COrbethExplorerCommand::Forget() noexcept
{
    m_selection.ResetSelection();
    m_items.Reset();
    m_captured = false;
    m_model.reset();
}

bool COrbethExplorerCommand::Capture(IShellItemArray* items)
{
    // The same array is the same menu: its items are not read again, and what was decided holds.
    // The reference kept on it means no other array can come at its address meanwhile.
    if (m_captured && items == m_items.Get())
        return m_selection.Count() != 0;
    Forget();
    try {
        if (!items) {
            CaptureBackground();
        } else {
            DWORD count = 0;
            CFolderPaths paths;
            if (SUCCEEDED(items->GetCount(&count))) {
                for (DWORD i = 0; i < count; ++i) {
                    // An item without a file-system path (a virtual folder's) is skipped, as the
                    // classic menu's drop list leaves it out.
                    ComPtr<IShellItem> item;
                    CTaskString path;
                    if (FAILED(items->GetItemAt(i, item.GetAddressOf())) || !item || !paths.Read(item.Get(), &path) ||
                        !path.Get() || !*path.Get())
                        continue;
                    // A selection that starts outside the root is refused without reading the rest.
                    if (!m_selection.AddPath(path.Get()))
                        break;
                }
            }
        }
    } catch (...) {
        Forget();
        throw;
    }
    m_items = items;
    m_captured = true;
    return m_selection.Count() != 0;
}

void COrbethExplorerCommand::CaptureBackground()
{
    // A folder's background comes with no items: the folder is the one its view shows.
    ComPtr<IServiceProvider> provider;
    ComPtr<IFolderView> view;
    ComPtr<IPersistFolder2> folder;
    PIDLIST_ABSOLUTE raw = nullptr;
    if (!m_site || FAILED(m_site.As(&provider)) ||
        FAILED(provider->QueryService(SID_SFolderView, IID_PPV_ARGS(&view))) || !view ||
        FAILED(view->GetFolder(IID_PPV_ARGS(&folder))) || !folder || FAILED(folder->GetCurFolder(&raw)) || !raw)
        return;
    const CIdList id(raw);
    m_selection.AddFolder(id.get());
}

bool COrbethExplorerCommand::CaptureForLine(IShellItemArray* items)
{
    // A line handed no array works on what the root captured.
    return !items && m_captured ? m_selection.Count() != 0 : Capture(items);
}

const CMenuModel* COrbethExplorerCommand::Model(bool okToBeSlow)
{
    if (!m_model && okToBeSlow)
        m_model = BuildMenuModel(m_selection);
    return m_model ? &*m_model : nullptr;
}

bool COrbethExplorerCommand::InClassicMenu() const
{
    // Windows 11 lists this command in its classic menu too, beside our own IContextMenu entry. The
    // classic menu's site answers IOleWindow with the file view's window; the first menu's answers
    // none, except in the navigation pane's tree. Only that evidence hides the entry: no site, no
    // window, or a window whose class cannot be read, and it shows.
    ComPtr<IOleWindow> window;
    HWND handle = nullptr;
    wchar_t name[64] = {};
    if (!m_site || FAILED(m_site.As(&window)) || FAILED(window->GetWindow(&handle)) || !handle ||
        GetClassNameW(handle, name, ARRAYSIZE(name)) == 0)
        return false;
    return wcscmp(name, NavigationTreeClass) != 0;
}

HRESULT COrbethExplorerCommand::LineState(UINT line, IShellItemArray* items, bool okToBeSlow, EXPCMDSTATE* state)
{
    const std::lock_guard<std::recursive_mutex> hold(m_lock);
    *state = ECS_HIDDEN;
    if (line >= MenuLineCount || !CaptureForLine(items))
        return S_OK;
    const CMenuModel* model = Model(okToBeSlow);
    if (!model)
        return E_PENDING;
    const CLineState shown = model->lines[line];
    *state = shown == CLineState::Enabled ? ECS_ENABLED : shown == CLineState::Greyed ? ECS_DISABLED : ECS_HIDDEN;
    return S_OK;
}

HRESULT COrbethExplorerCommand::RunLine(UINT line, IShellItemArray* items)
{
    COrbethSelection selection;
    {
        const std::lock_guard<std::recursive_mutex> hold(m_lock);
        struct CForget {
            COrbethExplorerCommand& command;
            ~CForget() { command.Forget(); }
        } forget{*this};
        if (line >= MenuCommandCount || !CaptureForLine(items) || Model(true)->lines[line] != CLineState::Enabled)
            return E_INVALIDARG;
        selection = std::move(m_selection);
    }
    // Outside the lock: the post may wait for the client's service.
    return RunMenuCommand(selection, line);
}

STDMETHODIMP COrbethExplorerCommand::GetTitle(IShellItemArray*, LPWSTR* name)
{
    return CopyOut(MenuEntryTitle().c_str(), name);
}

STDMETHODIMP COrbethExplorerCommand::GetIcon(IShellItemArray*, LPWSTR* icon)
{
    if (!icon)
        return E_POINTER;
    *icon = nullptr;
    return GuardedCall([&]() -> HRESULT {
        // The module's own path, whole however deep its folder, then the icon's resource id.
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = GetModuleFileNameW(GetModuleInstance(), path.data(), static_cast<DWORD>(path.size()));
            if (length == 0)
                return HRESULT_FROM_WIN32(GetLastError());
            if (length < path.size()) {
                path.resize(length);
                break;
            }
            if (path.size() > UNICODE_STRING_MAX_CHARS)
                return E_FAIL;
            path.resize(path.size() * 2);
        }
        path += L",-" + std::to_wstring(MenuIconResource);
        return CopyOut(path.c_str(), icon);
    });
}

STDMETHODIMP COrbethExplorerCommand::GetToolTip(IShellItemArray*, LPWSTR* tip)
{
    if (!tip)
        return E_POINTER;
    *tip = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP COrbethExplorerCommand::GetCanonicalName(GUID* name)
{
    if (!name)
        return E_POINTER;
    *name = CLSID_OrbethExplorerCommand;
    return S_OK;
}

STDMETHODIMP COrbethExplorerCommand::GetState(IShellItemArray* items, BOOL okToBeSlow, EXPCMDSTATE* state)
{
    if (!state)
        return E_POINTER;
    *state = ECS_HIDDEN;
    return GuardedCall([&]() -> HRESULT {
        const std::lock_guard<std::recursive_mutex> hold(m_lock);
        if (InClassicMenu() || !Capture(items))
            return S_OK;
        const CMenuModel* model = Model(okToBeSlow != FALSE);
        if (!model)
            return E_PENDING;
        *state = model->form == COrbethSelection::FormInactive ? ECS_DISABLED : ECS_ENABLED;
        return S_OK;
    });
}

STDMETHODIMP COrbethExplorerCommand::Invoke(IShellItemArray*, IBindCtx*)
{
    return E_NOTIMPL; // the entry only opens its submenu
}

STDMETHODIMP COrbethExplorerCommand::GetFlags(EXPCMDFLAGS* flags)
{
    if (!flags)
        return E_POINTER;
    // Asked before the form may be known, so always a submenu: each line's state hides what the
    // form does not show. No database work here.
    *flags = ECF_HASSUBCOMMANDS;
    return S_OK;
}

STDMETHODIMP COrbethExplorerCommand::EnumSubCommands(IEnumExplorerCommand** commands)
{
    if (!commands)
        return E_POINTER;
    *commands = nullptr;
    auto* made = new (std::nothrow) CSubCommandEnum(this, 0);
    if (!made)
        return E_OUTOFMEMORY;
    made->AddRef();
    *commands = made;
    return S_OK;
}

STDMETHODIMP COrbethExplorerCommand::SetSite(IUnknown* site)
{
    return GuardedCall([&]() -> HRESULT {
        const std::lock_guard<std::recursive_mutex> hold(m_lock);
        // A background's folder came from the site it replaces.
        if (site != m_site.Get() && m_captured && !m_items)
            Forget();
        m_site = site;
        return S_OK;
    });
}

STDMETHODIMP COrbethExplorerCommand::GetSite(REFIID riid, void** site)
{
    if (!site)
        return E_POINTER;
    *site = nullptr;
    return GuardedCall([&]() -> HRESULT {
        const std::lock_guard<std::recursive_mutex> hold(m_lock);
        return m_site ? m_site->QueryInterface(riid, site) : E_FAIL;
    });
}
