#pragma once

#include <windows.h>
#include <ocidl.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <optional>

#include "menu/MenuCommands.h"
#include "menu/Selection.h"

// The "Orbeth" entry of the Windows 11 file manager's first right-click menu: the root command,
// whose sub-commands are the classic menu's lines, decided by the same selection and rules. The
// root keeps the selection; its sub-commands and their enumerators hold a reference to it.
class COrbethExplorerCommand : public IExplorerCommand, public IObjectWithSite {
public:
    // The sub-commands, by index: the full form's commands, then the excluded form's line.
    static constexpr UINT ExcludedLine = MenuCommandCount;

    COrbethExplorerCommand() = default;
    virtual ~COrbethExplorerCommand() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;

    STDMETHODIMP GetTitle(IShellItemArray* items, LPWSTR* name) override;
    STDMETHODIMP GetIcon(IShellItemArray* items, LPWSTR* icon) override;
    STDMETHODIMP GetToolTip(IShellItemArray* items, LPWSTR* tip) override;
    STDMETHODIMP GetCanonicalName(GUID* name) override;
    STDMETHODIMP GetState(IShellItemArray* items, BOOL okToBeSlow, EXPCMDSTATE* state) override;
    STDMETHODIMP Invoke(IShellItemArray* items, IBindCtx* context) override;
    STDMETHODIMP GetFlags(EXPCMDFLAGS* flags) override;
    STDMETHODIMP EnumSubCommands(IEnumExplorerCommand** commands) override;

    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** site) override;

    // For the sub-commands. Takes the items' file-system paths as the selection, kept while the
    // same array comes again; false when the classic menu's Initialize would refuse them.
    // Throws std::bad_alloc.
    bool Capture(IShellItemArray* items);
    // The state of the sub-command at that index on the captured selection; E_PENDING when it
    // would need the database and the caller may not wait.
    HRESULT SubCommandState(UINT index, bool okToBeSlow, EXPCMDSTATE* state);
    // Runs it, then forgets the selection whatever the result, as the classic menu does.
    HRESULT RunSubCommand(UINT index);

protected:
    LONG m_refCount = 0;

private:
    void Forget() noexcept;

    COrbethSelection m_selection;
    Microsoft::WRL::ComPtr<IShellItemArray> m_items;
    bool m_captured = false;
    std::optional<CSelectionFacts> m_facts;
    Microsoft::WRL::ComPtr<IUnknown> m_site;
};
