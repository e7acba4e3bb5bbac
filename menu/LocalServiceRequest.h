#pragma once

#include <windows.h>

#include <string>

class COrbethSelection;

// The selection handed to the sync client's local web service: a POST of a small JSON document
// naming the selected items, which the client answers with a share link id (action "1") or not
// at all (action "2").
namespace LocalServiceRequest {

// The reply is read up to this size and this long after the request was sent; past either the
// reply is dropped, so that a service that never stops cannot hold the file manager's thread or
// grow its memory.
constexpr size_t MaxReplyBytes = size_t{64} * 1024;
constexpr DWORD MaxReplyMilliseconds = 30000;

// {"uid":<code>,"paths":["<relative path>",...]} with "path_type" "file" or "folder" when all
// items are of one kind; UTF-8, no white space. Empty when the selection is empty, or a path is
// not valid UTF-16 or not under the root.
std::string BuildSelectionJson(COrbethSelection& selection, const char* actionCode);

// S_OK once sent (and, when reply is given, once the reply is read or dropped at the bounds);
// E_INVALIDARG when there is nothing to send; E_FAIL when a step of the request fails. The reply,
// when wanted, is appended to.
HRESULT PostSelection(COrbethSelection& selection, const char* actionCode, std::wstring* reply);

} // namespace LocalServiceRequest
