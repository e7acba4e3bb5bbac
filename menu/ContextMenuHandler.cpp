#include "menu/ContextMenuHandler.h"

#include <shellapi.h>

#include <algorithm>
#include <climits>
#include <string>

#include "base/ComBoundary.h"
#include "base/ModuleInstance.h"
#include "menu/MenuBitmap.h"
#include "menu/MenuCommands.h"

namespace {

const wchar_t VerbName[] = L"Orbeth shell extension";

static_assert(MenuCommandCount == COrbethContextMenuHandler::CommandCount);

HRESULT UsedIdentifiers(UINT count)
{
    return MAKE_HRESULT(SEVERITY_SUCCESS, 0, count & 0xFFFF);
}

// The medium of IDataObject::GetData, released when it goes.
class CStorageMedium {
public:
    STGMEDIUM medium{TYMED_HGLOBAL, {nullptr}, nullptr};
    bool filled = false;
    ~CStorageMedium()
    {
        if (filled)
            ReleaseStgMedium(&medium);
    }
};

class CGlobalLock {
public:
    explicit CGlobalLock(HGLOBAL global) : m_global(global), m_data(GlobalLock(global)) {}
    ~CGlobalLock()
    {
        if (m_data)
            GlobalUnlock(m_global);
    }
    CGlobalLock(const CGlobalLock&) = delete;
    CGlobalLock& operator=(const CGlobalLock&) = delete;
    void* Get() const { return m_data; }

private:
    HGLOBAL m_global;
    void* m_data;
};

// A drop list the shell can walk without reading past its memory: the header whole, and the
// list's closing empty name (two NULs in a row, of the list's width) inside the block.
bool IsWholeDropList(const void* block, SIZE_T size)
{
    if (size < sizeof(DROPFILES))
        return false;
    const auto* header = static_cast<const DROPFILES*>(block);
    if (header->pFiles >= size)
        return false;
    const auto* list = static_cast<const unsigned char*>(block) + header->pFiles;
    const size_t bytes = size - header->pFiles;
    const size_t unit = header->fWide ? sizeof(wchar_t) : 1;
    size_t zeros = 0; // NUL bytes in a row since the last name's start
    for (size_t at = 0; at < bytes; ++at) {
        zeros = list[at] == 0 && (zeros > 0 || at % unit == 0) ? zeros + 1 : 0;
        if (zeros == 2 * unit)
            return true;
    }
    return false;
}

} // namespace

COrbethContextMenuHandler::COrbethContextMenuHandler()
{
    // Without the picture the entry simply has no bitmap. The Windows 11 entry shows the same icon.
    const int size = MenuIconSize(MenuDpi());
    m_menuBitmap.Reset(MakeMenuBitmap(GetModuleInstance(), MenuIconResource, size, false));
    m_inactiveBitmap.Reset(MakeMenuBitmap(GetModuleInstance(), MenuIconResource, size, true));
}

STDMETHODIMP COrbethContextMenuHandler::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IShellExtInit)
        *object = static_cast<IShellExtInit*>(this);
    else if (riid == IID_IContextMenu)
        *object = static_cast<IContextMenu*>(this);
    else
        return E_NOINTERFACE;
    static_cast<IUnknown*>(*object)->AddRef();
    return S_OK;
}

STDMETHODIMP COrbethContextMenuHandler::Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY)
{
    return GuardedCall([&]() -> HRESULT {
        m_selection.ResetSelection();
        try {
            // A folder's background gives its id list; the data object is then not read.
            if (folder)
                m_selection.AddFolder(folder);
            else if (data)
                CaptureDropList(data);
        } catch (...) {
            // Nothing half-captured stays behind for QueryContextMenu or InvokeCommand.
            m_selection.ResetSelection();
            throw;
        }
        return m_selection.Count() ? S_OK : E_INVALIDARG;
    });
}

void COrbethContextMenuHandler::CaptureDropList(IDataObject* data)
{
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    CStorageMedium storage;
    if (FAILED(data->GetData(&format, &storage.medium)))
        return;
    storage.filled = true;
    if (storage.medium.tymed != TYMED_HGLOBAL)
        return;
    const CGlobalLock lock(storage.medium.hGlobal);
    const auto drop = static_cast<HDROP>(lock.Get());
    if (!drop || !IsWholeDropList(drop, GlobalSize(storage.medium.hGlobal)))
        return;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    std::wstring path;
    for (UINT i = 0; i < count; ++i) {
        // Each path read whole, whatever its length: a cut path names another item.
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        if (length == 0)
            continue;
        path.assign(length + 1, L'\0');
        if (DragQueryFileW(drop, i, path.data(), length + 1) == 0)
            continue;
        // A selection that starts outside the root is refused without reading the rest.
        if (!m_selection.AddPath(path.c_str()))
            break;
    }
}

STDMETHODIMP COrbethContextMenuHandler::QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                                                         UINT flags)
{
    return GuardedCall([&]() -> HRESULT {
        // Default-only, verbs-only and no-verbs menus get nothing, unless the explorer asks.
        if ((flags & (CMF_DEFAULTONLY | CMF_VERBSONLY | CMF_EXPLORE | CMF_NOVERBS)) && !(flags & CMF_EXPLORE))
            return UsedIdentifiers(0);
        // Everything is decided before the menu is touched.
        const CMenuModel model = BuildMenuModel(m_selection);
        if (model.form == 0)
            return UsedIdentifiers(0);
        const bool inactive = model.form == COrbethSelection::FormInactive;
        UINT entryOffset = 0; // the lines shown, then the entry
        for (const CLineState state : model.lines)
            entryOffset += state != CLineState::Hidden;
        // Identifiers past idCmdLast belong to other handlers: a click would run their command.
        if (idCmdLast < idCmdFirst || idCmdLast - idCmdFirst < entryOffset)
            return UsedIdentifiers(0);

        CMenu popup(inactive ? nullptr : CreatePopupMenu());
        bool filled = true;
        for (UINT line = 0, position = 0; line < MenuLineCount; ++line) {
            if (model.lines[line] == CLineState::Hidden)
                continue;
            const UINT state = model.lines[line] == CLineState::Enabled ? MF_STRING : MF_GRAYED;
            filled &= InsertMenuW(popup.Get(), position, MF_BYPOSITION | state, idCmdFirst + position,
                                  MenuLineText(line).c_str()) != FALSE;
            ++position;
        }
        if (!inactive && (!popup.Get() || !filled))
            return UsedIdentifiers(0);

        MENUITEMINFOW item{};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_STRING | MIIM_BITMAP;
        item.wID = idCmdFirst + entryOffset;
        std::wstring title = MenuEntryTitle();
        item.dwTypeData = title.data();
        if (inactive) {
            item.fMask |= MIIM_STATE;
            item.fState = MFS_DISABLED;
            item.hbmpItem = m_inactiveBitmap.Get();
        } else {
            item.hSubMenu = popup.Get();
            item.hbmpItem = m_menuBitmap.Get();
        }
        // All or nothing: a failed insertion takes back what went in before it.
        if (!InsertMenuW(menu, indexMenu, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr))
            return UsedIdentifiers(0);
        if (!InsertMenuItemW(menu, indexMenu + 1, TRUE, &item)) {
            DeleteMenu(menu, indexMenu, MF_BYPOSITION);
            return UsedIdentifiers(0);
        }
        popup.Release(); // destroyed with the file manager's menu from now on
        InsertMenuW(menu, indexMenu + 2, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
        return UsedIdentifiers(entryOffset + 1);
    });
}

STDMETHODIMP COrbethContextMenuHandler::InvokeCommand(CMINVOKECOMMANDINFO* info)
{
    return GuardedCall([&]() -> HRESULT {
        // One command per Initialize: whatever happens, the selection is gone afterwards.
        struct CReset {
            COrbethSelection& selection;
            ~CReset() { selection.ResetSelection(); }
        } reset{m_selection};
        // A verb given as a string names no command of this menu.
        if (!info || !IS_INTRESOURCE(info->lpVerb))
            return E_INVALIDARG;
        return RunMenuCommand(m_selection, LOWORD(reinterpret_cast<ULONG_PTR>(info->lpVerb)));
    });
}

STDMETHODIMP COrbethContextMenuHandler::GetCommandString(UINT_PTR idCmd, UINT type, UINT*, CHAR* name, UINT cchMax)
{
    if (idCmd != 0 || !(type & (GCS_HELPTEXTA | GCS_UNICODE)))
        return E_INVALIDARG;
    // Only the wide verb is written; help texts and validation succeed without writing.
    if (type == GCS_VERBW) {
        if (!name)
            return E_POINTER;
        lstrcpynW(reinterpret_cast<wchar_t*>(name), VerbName, static_cast<int>(std::min<UINT>(cchMax, INT_MAX)));
    }
    return S_OK;
}
