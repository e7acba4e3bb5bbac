#pragma once

#include <windows.h>

#include <string>
#include <string_view>

class COrbethSelection;

// Pages of the sync client's local web service, opened in the user's browser for the selection.
namespace WebLinks {

// The text's UTF-8 bytes with every byte that is not safe in a query string as %xx (lower-case
// hexadecimal); letters, digits and "/:.'()~-_!*" stay. False when the text is not valid UTF-16.
bool EscapeUrl(std::wstring_view text, std::wstring* escaped);
// EscapeUrl, then each "/" as "%2F".
bool EncodePathForUrl(std::wstring_view path, std::wstring* encoded);

// S_OK once the browser was asked to open the page; E_INVALIDARG when there is no page to open
// (no endpoint, nothing selected, a path that cannot be encoded); E_FAIL when the shell could
// not open it.
HRESULT OpenShareLink(COrbethSelection& selection, const std::wstring& shareLinkId);
// The note page for commandOffset 2 ("&Comments"), else the versions page, of the first item.
HRESULT OpenFilePage(COrbethSelection& selection, UINT commandOffset);
// The first item in the cloud: a file as a preview, a folder as itself, several items as the
// folder holding the first one, and the home page for what lies at the top.
HRESULT OpenInCloud(COrbethSelection& selection);

} // namespace WebLinks
