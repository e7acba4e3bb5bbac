#pragma once

#include <windows.h>
#include <shlobj.h>

#include "base/GdiObject.h"
#include "menu/Selection.h"

// The "Orbeth" entry of the file manager's right-click menu, one handler per menu. The file
// manager calls, on the thread that created the handler, Initialize with the selection, then
// QueryContextMenu, then InvokeCommand when the user picks a command.
class COrbethContextMenuHandler : public IShellExtInit, public IContextMenu {
public:
    // The commands of the full form, by their offset from the first identifier.
    enum Command : UINT {
        CommandShare,
        CommandCopyLink,
        CommandComments,
        CommandVersions,
        CommandViewInCloud,
        CommandCount
    };

    COrbethContextMenuHandler();
    virtual ~COrbethContextMenuHandler() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;

    // Accepts the selection only when its first readable path lies under the sync root.
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY progId) override;

    STDMETHODIMP QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast, UINT flags) override;
    // Runs the command at the verb's offset, then forgets the selection whatever the result.
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    STDMETHODIMP GetCommandString(UINT_PTR idCmd, UINT type, UINT* reserved, CHAR* name, UINT cchMax) override;

protected:
    void CaptureDropList(IDataObject* data);

    LONG m_refCount = 0;
    CBitmap m_menuBitmap;
    CBitmap m_inactiveBitmap;
    COrbethSelection m_selection;
};
