#pragma once

#include <windows.h>
#include <ocidl.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <mutex>
#include <optional>

#include "menu/MenuCommands.h"
#include "menu/Selection.h"

// The "Orbeth" entry of the Windows 11 file manager's first right-click menu: the root command,
// whose sub-commands are the classic menu's lines, decided by the same menu model. The root keeps
// the selection; its sub-commands and their enumerators hold a reference to it.
//
// Threads: the file manager may call the root and its lines from more than one thread, so what the
// root keeps (site, selection, model) is guarded by m_lock. Lock order: m_lock first, then the
// process-wide lock, which the resolver, the configuration and the database reader take inside;
// nothing that holds the process-wide lock ever calls into a command. A command runs outside both.
class COrbethExplorerCommand : public IExplorerCommand, public IObjectWithSite {
public:
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

    // For the sub-commands, by line (MenuCommands.h). A null array means the selection the root
    // captured. The state is E_PENDING when it would need the database and the caller may not wait.
    // Throw std::bad_alloc.
    HRESULT LineState(UINT line, IShellItemArray* items, bool okToBeSlow, EXPCMDSTATE* state);
    // Runs the line's command when the line is enabled for the array, then forgets the selection
    // whatever the result, as the classic menu does.
    HRESULT RunLine(UINT line, IShellItemArray* items);

protected:
    LONG m_refCount = 0;

private:
    // With m_lock held.
    // Takes the items' file-system paths as the selection, kept while the same array comes again;
    // a null array is a folder's background, whose folder the site names. False when the classic
    // menu would refuse the same selection.
    bool Capture(IShellItemArray* items);
    void CaptureBackground();
    bool CaptureForLine(IShellItemArray* items);
    const CMenuModel* Model(bool okToBeSlow);
    bool InClassicMenu() const;
    void Forget() noexcept;

    std::recursive_mutex m_lock;
    COrbethSelection m_selection;
    Microsoft::WRL::ComPtr<IShellItemArray> m_items; // null for a background
    bool m_captured = false;
    std::optional<CMenuModel> m_model;
    Microsoft::WRL::ComPtr<IUnknown> m_site;
};
