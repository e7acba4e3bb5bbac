#include "menu/WebLinks.h"

#include <shellapi.h>

#include <cstring>

#include "base/Utf8.h"
#include "client/ClientContract.h"
#include "menu/Selection.h"
#include "status/StatusResolver.h"

namespace WebLinks {

namespace {

// Bytes escaped besides those below 0x20 and above 0x7E.
constexpr char UnsafeBytes[] = " \"#$%&+,;<=>?@[\\]^`{|}";

// "http://<endpoint>/<page>?<query>" handed to the shell's "open" verb, which starts the
// default browser with it.
HRESULT OpenPage(const wchar_t* page, const std::wstring& query)
{
    std::wstring endpoint;
    if (!COrbethStatusResolver::GetInstance().GetLocalEndpoint(&endpoint))
        return E_INVALIDARG;
    const std::wstring url = L"http://" + endpoint + L"/" + page + L"?" + query;
    const auto opened =
        reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    // 32 and below are the shell's error codes: the user saw no page.
    return opened > 32 ? S_OK : E_FAIL;
}

std::wstring FirstRelativePath(COrbethSelection& selection)
{
    return selection.Count() ? selection.Records()[0].GetRelativePath() : std::wstring();
}

} // namespace

bool EscapeUrl(std::wstring_view text, std::wstring* escaped)
{
    std::string utf8;
    if (!escaped || !WideToUtf8(text, &utf8))
        return false;
    static const wchar_t Hex[] = L"0123456789abcdef";
    std::wstring result;
    result.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || std::strchr(UnsafeBytes, c)) {
            result += L'%';
            result += Hex[byte >> 4];
            result += Hex[byte & 0xF];
        } else {
            result += wchar_t(byte);
        }
    }
    *escaped = std::move(result);
    return true;
}

bool EncodePathForUrl(std::wstring_view path, std::wstring* encoded)
{
    std::wstring escaped;
    if (!encoded || !EscapeUrl(path, &escaped))
        return false;
    std::wstring result;
    for (const wchar_t c : escaped)
        result += c == L'/' ? std::wstring(L"%2F") : std::wstring(1, c);
    *encoded = std::move(result);
    return true;
}

HRESULT OpenShareLink(COrbethSelection& selection, const std::wstring& shareLinkId)
{
    // Escaped like a path: the id comes from whatever listens on the port, and a quote or a space
    // in it would add arguments to the browser's command line. A real id is letters and digits.
    std::wstring id;
    if (!EscapeUrl(shareLinkId, &id))
        return E_INVALIDARG;
    const wchar_t* type = selection.ItemKinds() == COrbethSelection::KindFile ? L"file" : L"folder";
    return OpenPage(ClientContract::SharingPage, std::wstring(L"path_type=") + type + L"&share_link_uuid=" + id);
}

HRESULT OpenFilePage(COrbethSelection& selection, UINT commandOffset)
{
    std::wstring path;
    if (!EncodePathForUrl(FirstRelativePath(selection), &path) || path.empty())
        return E_INVALIDARG;
    return OpenPage(commandOffset == 2 ? ClientContract::NotePage : ClientContract::VersionsPage,
                    L"path_type=file&fpath=" + path);
}

HRESULT OpenInCloud(COrbethSelection& selection)
{
    std::wstring path = FirstRelativePath(selection);
    if (!path.empty() && path.back() == L'/')
        path.pop_back();
    // Several items: the folder that holds the first one.
    if (selection.Count() > 1 && path.find(L'/') != std::wstring::npos)
        path.erase(path.rfind(L'/'));
    if (path.empty())
        return OpenPage(ClientContract::CloudPage, L"link_type=home");
    std::wstring encoded;
    if (!EncodePathForUrl(path, &encoded))
        return E_INVALIDARG;
    const bool preview = selection.ItemKinds() == COrbethSelection::KindFile && selection.Count() == 1;
    return OpenPage(ClientContract::CloudPage,
                    std::wstring(L"link_type=") + (preview ? L"preview" : L"folder") + L"&fpath=" + encoded);
}

} // namespace WebLinks
