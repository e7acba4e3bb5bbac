#include "status/IconOverlayBHO.h"

#include <json/json.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "base/ComBoundary.h"
#include "base/PathHelper.h"
#include "base/Utf8.h"
#include "client/ClientConfig.h"
#include "client/ClientContract.h"
#include "status/FolderReads.h"
#include "status/StatusCache.h"

namespace {

// One element: {"filepath": string, "status": integer}. An element of another shape, or with
// members of other types, is skipped; a missing status means error, as the client sends it.
// Only -1 and the three states mean something; other values are skipped as well.
void ApplyElement(const Json::Value& element, const std::wstring& root, CStatusCache& cache)
{
    if (!element.isObject())
        return;
    const Json::Value& filepath = element[ClientContract::PushPathMember];
    const Json::Value& status = element[ClientContract::PushStatusMember];
    if (!filepath.isString() || !(status.isNull() || status.isInt()))
        return;
    const int32_t value = status.isNull() ? StatusError : status.asInt();
    const char* begin = nullptr;
    const char* end = nullptr;
    filepath.getString(&begin, &end); // in place: no copy per element
    const std::string_view path8(begin, static_cast<size_t>(end - begin));
    std::wstring path;
    if (path8.empty() || value < StatusNone || value > StatusOk || path8.find('\0') != std::string_view::npos ||
        !Utf8ToWide(path8, &path))
        return;
    // Paths from elsewhere would only push real answers out of the cache. The file system is not
    // asked: this runs on the file manager's window thread, and nothing reads a pushed entry's
    // attributes (the overlays pass their own).
    if (COrbethPathHelper::IsPathUnderRoot(root, path)) {
        cache.Put(path, value, INVALID_FILE_ATTRIBUTES, -1);
        CFolderReads::GetInstance().ForgetFolderOf(root, path);
    }
}

void ApplyStatusPush(const COPYDATASTRUCT& data) noexcept
{
    try {
        // Without a sync root no pushed path can be one of the client's.
        std::wstring syncRoot;
        if (!data.lpData || !CClientConfig::GetInstance().CopyRootDir(&syncRoot))
            return;
        // The text ends at its NUL, and never past the bytes the sender declared.
        const char* text = static_cast<const char*>(data.lpData);
        const size_t length = strnlen(text, data.cbData);

        Json::CharReaderBuilder builder;
        builder["stackLimit"] = ClientContract::MaxJsonNesting;
        builder["collectComments"] = false; // the client sends none; keeping them costs every value
        const std::unique_ptr<Json::CharReader> parser(builder.newCharReader());
        Json::Value root;
        if (!parser->parse(text, text + length, &root, nullptr) || !root.isArray())
            return;
        CStatusCache& cache = CStatusCache::GetInstance();
        for (const Json::Value& element : root) {
            try {
                ApplyElement(element, syncRoot, cache);
            } catch (...) {
                // This element only; the others still count.
            }
        }
    } catch (...) {
        // A text the parser gives up on (too deep, out of memory) changes nothing.
    }
}

} // namespace

LRESULT CALLBACK StatusHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code >= 0 && lParam) {
        const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (message->message == WM_COPYDATA && message->lParam) {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(message->lParam);
            if (data->dwData == ClientContract::PushMagic)
                ApplyStatusPush(*data);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

COrbethIconOverlayBHO::~COrbethIconOverlayBHO()
{
    // Named: in a destructor the call reaches this class's own, whatever a derived class had.
    COrbethIconOverlayBHO::UninstallHook();
}

STDMETHODIMP COrbethIconOverlayBHO::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (riid == IID_IOrbethIconOverlayBHO || riid == IID_IUnknown)
        *object = static_cast<IOrbethIconOverlayBHO*>(this);
    else if (riid == IID_IObjectWithSite)
        *object = static_cast<IObjectWithSite*>(this);
    else
        return E_NOINTERFACE;
    static_cast<IOrbethIconOverlayBHO*>(this)->AddRef();
    return S_OK;
}

STDMETHODIMP COrbethIconOverlayBHO::SetSite(IUnknown*)
{
    return GuardedCall([&] { return InstallHook(); });
}

// SetSite keeps no site, so there is none to give.
STDMETHODIMP COrbethIconOverlayBHO::GetSite(REFIID, void** site)
{
    if (!site)
        return E_POINTER;
    *site = nullptr;
    return E_FAIL;
}

HRESULT COrbethIconOverlayBHO::InstallHook()
{
    // Per thread: each file manager window thread that makes the object gets its own hook.
    if (!m_hook)
        m_hook = SetWindowsHookExW(WH_CALLWNDPROC, StatusHookProc, nullptr, GetCurrentThreadId());
    return S_OK;
}

HRESULT COrbethIconOverlayBHO::UninstallHook()
{
    if (m_hook && UnhookWindowsHookEx(m_hook))
        m_hook = nullptr;
    return S_OK;
}
