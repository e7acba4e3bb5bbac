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

constexpr int MenuIconResource = 204;
const wchar_t EntryTitle[] = L"Orbeth";
const wchar_t ExcludedText[] = L"&File excluded from sync by your administrator";

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

// IUnknown of an object that hands out one interface, with a count of its own: it lives on one
// apartment thread, as the root does.
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
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refCount); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = --m_refCount;
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
    CSubCommand(COrbethExplorerCommand* root, UINT index) : m_keep(root), m_root(root), m_index(index) {}

    STDMETHODIMP GetTitle(IShellItemArray*, LPWSTR* name) override
    {
        return CopyOut(m_index == COrbethExplorerCommand::ExcludedLine ? ExcludedText : MenuCommands[m_index].text,
                       name);
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
        return GuardedCall([&]() -> HRESULT {
            if (!m_root->Capture(items))
                return S_OK;
            return m_root->SubCommandState(m_index, okToBeSlow != FALSE, state);
        });
    }
    STDMETHODIMP Invoke(IShellItemArray* items, IBindCtx*) override
    {
        return GuardedCall([&]() -> HRESULT {
            if (!m_root->Capture(items))
                return E_INVALIDARG;
            return m_root->RunSubCommand(m_index);
        });
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
    UINT m_index;
};

// The submenu's lines for one form, each handed out as a new sub-command.
class CSubCommandEnum final : public COneInterface<IEnumExplorerCommand, IID_IEnumExplorerCommand> {
public:
    CSubCommandEnum(COrbethExplorerCommand* root, UINT first, UINT count, UINT position)
        : m_keep(root),
          m_root(root),
          m_first(first),
          m_count(count),
          m_position(position)
    {
    }

    STDMETHODIMP Next(ULONG wanted, IExplorerCommand** commands, ULONG* fetched) override
    {
        if (fetched)
            *fetched = 0;
        if (!commands || (wanted > 1 && !fetched))
            return E_POINTER;
        ULONG given = 0;
        for (; given < wanted && m_position < m_count; ++given) {
            auto* command = new (std::nothrow) CSubCommand(m_root, m_first + m_position);
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
        const UINT left = m_count - m_position;
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
        auto* made = new (std::nothrow) CSubCommandEnum(m_root, m_first, m_count, m_position);
        if (!made)
            return E_OUTOFMEMORY;
        made->AddRef();
        *copy = made;
        return S_OK;
    }

private:
    ComPtr<IExplorerCommand> m_keep;
    COrbethExplorerCommand* m_root;
    UINT m_first, m_count, m_position;
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
    m_facts.reset();
}

bool COrbethExplorerCommand::Capture(IShellItemArray* items)
{
    // The same array is the same menu: its items are not read again, and what was decided holds.
    // The reference kept on it means no other array can come at its address meanwhile.
    if (m_captured && items == m_items.Get())
        return m_selection.Count() != 0;
    Forget();
    try {
        DWORD count = 0;
        CFolderPaths paths;
        if (items && SUCCEEDED(items->GetCount(&count))) {
            for (DWORD i = 0; i < count; ++i) {
                // An item without a file-system path (a virtual folder's) refuses the whole selection.
                ComPtr<IShellItem> item;
                CTaskString path;
                if (FAILED(items->GetItemAt(i, item.GetAddressOf())) || !item || !paths.Read(item.Get(), &path) ||
                    !path.Get() || !*path.Get()) {
                    m_selection.ResetSelection();
                    break;
                }
                // A selection that starts outside the root is refused without reading the rest.
                if (!m_selection.AddPath(path.Get()))
                    break;
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

HRESULT COrbethExplorerCommand::SubCommandState(UINT index, bool okToBeSlow, EXPCMDSTATE* state)
{
    if (!okToBeSlow && (!m_selection.IsFormDecided() || (index != ExcludedLine && !m_facts)))
        return E_PENDING;
    const uint32_t form = m_selection.GetMenuForm();
    if (index == ExcludedLine) {
        *state = form == COrbethSelection::FormExcluded ? ECS_DISABLED : ECS_HIDDEN;
        return S_OK;
    }
    if (form != COrbethSelection::FormFull || index >= MenuCommandCount) {
        *state = ECS_HIDDEN;
        return S_OK;
    }
    if (!m_facts)
        m_facts = GetSelectionFacts(m_selection);
    *state = MenuCommands[index].enabled(*m_facts) ? ECS_ENABLED : ECS_DISABLED;
    return S_OK;
}

HRESULT COrbethExplorerCommand::RunSubCommand(UINT index)
{
    struct CForget {
        COrbethExplorerCommand& command;
        ~CForget() { command.Forget(); }
    } forget{*this};
    if (index >= MenuCommandCount || m_selection.GetMenuForm() != COrbethSelection::FormFull)
        return E_INVALIDARG;
    return RunMenuCommand(m_selection, index);
}

STDMETHODIMP COrbethExplorerCommand::GetTitle(IShellItemArray*, LPWSTR* name)
{
    return CopyOut(EntryTitle, name);
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
        // Not shown twice: Windows 11 lists this command in the classic menu too, beside our
        // IContextMenu entry. Nothing documented in the site it is given tells the two menus apart,
        // and without a Windows 11 to try a guess could hide the entry in the first menu, so the
        // command shows itself whatever its site.
        if (!Capture(items))
            return S_OK;
        if (!okToBeSlow && !m_selection.IsFormDecided())
            return E_PENDING;
        *state = m_selection.GetMenuForm() == COrbethSelection::FormInactive ? ECS_DISABLED : ECS_ENABLED;
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
    *flags = ECF_DEFAULT;
    return GuardedCall([&]() -> HRESULT {
        const uint32_t form = m_selection.Count() ? m_selection.GetMenuForm() : 0;
        if (form == COrbethSelection::FormFull || form == COrbethSelection::FormExcluded)
            *flags = ECF_HASSUBCOMMANDS;
        return S_OK;
    });
}

STDMETHODIMP COrbethExplorerCommand::EnumSubCommands(IEnumExplorerCommand** commands)
{
    if (!commands)
        return E_POINTER;
    *commands = nullptr;
    return GuardedCall([&]() -> HRESULT {
        const uint32_t form = m_selection.Count() ? m_selection.GetMenuForm() : 0;
        const UINT first = form == COrbethSelection::FormExcluded ? ExcludedLine : 0;
        const UINT count = form == COrbethSelection::FormFull       ? UINT(MenuCommandCount)
                           : form == COrbethSelection::FormExcluded ? 1u
                                                                    : 0u;
        auto* made = new (std::nothrow) CSubCommandEnum(this, first, count, 0);
        if (!made)
            return E_OUTOFMEMORY;
        made->AddRef();
        *commands = made;
        return S_OK;
    });
}

STDMETHODIMP COrbethExplorerCommand::SetSite(IUnknown* site)
{
    m_site = site;
    return S_OK;
}

STDMETHODIMP COrbethExplorerCommand::GetSite(REFIID riid, void** site)
{
    if (!site)
        return E_POINTER;
    *site = nullptr;
    return m_site ? m_site->QueryInterface(riid, site) : E_FAIL;
}
