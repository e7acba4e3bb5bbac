#include "menu/LocalServiceRequest.h"

#include <cstdio>

#include "base/Clock.h"
#include "base/Utf8.h"
#include "base/WinHttpHandle.h"
#include "client/ClientContract.h"
#include "menu/Selection.h"

namespace LocalServiceRequest {

namespace {

constexpr wchar_t UserAgent[] = L"Orbeth Extensions/1.0";

// Names Windows allows need no escape, so their bytes go out as they are; a quote, a backslash
// or a control character still leaves valid JSON.
void AppendJsonString(const std::string& text, std::string* json)
{
    json->push_back('"');
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            json->push_back('\\');
            json->push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            json->append(escape);
        } else {
            json->push_back(c);
        }
    }
    json->push_back('"');
}

// The reply's bytes joined, then converted once: a character split between two chunks comes out
// whole. The text ends at a zero byte, as a C string would; bytes that are not UTF-8 are no reply.
void AppendReply(const std::string& bytes, std::wstring* reply)
{
    std::wstring converted;
    if (Utf8ToWide(std::string_view(bytes.c_str()), &converted))
        *reply += converted;
}

// No single wait for the reply's data may outlast the deadline. Windows applies the limit to the
// next wait; Wine to every wait after the next WinHttpReceiveResponse, so it is set before that too.
// False once the deadline has passed.
bool LimitWait(HINTERNET request, uint64_t deadline)
{
    const uint64_t now = CClock::NowTicks();
    if (now >= deadline)
        return false;
    DWORD left = DWORD((deadline - now) / (CClock::TicksPerSecond / 1000)) + 1;
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &left, sizeof left);
    return true;
}

// Reads the reply within the bounds. False when a bound was reached: the reply is then dropped.
bool ReadReply(HINTERNET request, uint64_t deadline, std::string* bytes)
{
    for (;;) {
        if (!LimitWait(request, deadline))
            return false;
        // Only the end of the body ends the reply: a wait that timed out, or a connection lost
        // before the length its header announced, leaves a part of it, which is no reply.
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available))
            return false;
        if (available == 0) {
            DWORD length = 0, size = sizeof length;
            return !WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                        WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX) ||
                   length == bytes->size();
        }
        if (bytes->size() + available > MaxReplyBytes)
            return false;
        const size_t start = bytes->size();
        bytes->resize(start + available);
        DWORD read = 0;
        if (!WinHttpReadData(request, bytes->data() + start, available, &read))
            return false;
        bytes->resize(start + read);
    }
}

} // namespace

std::string BuildSelectionJson(COrbethSelection& selection, const char* actionCode)
{
    if (selection.Count() == 0 || !actionCode)
        return {};
    std::string json = "{\"uid\":";
    json += actionCode;
    json += ",\"paths\":[";
    for (COrbethFileInfo& record : selection.Records()) {
        // A record without a relative path lies outside the root: any path sent for it would name
        // another item.
        const std::wstring relative = record.GetRelativePath();
        std::string path;
        if (relative.empty() || !WideToUtf8(relative, &path))
            return {};
        if (json.back() != '[')
            json.push_back(',');
        AppendJsonString(path, &json);
    }
    json += "]";
    if (selection.ItemKinds() == COrbethSelection::KindFile)
        json += ",\"path_type\":\"file\"";
    else if (selection.ItemKinds() == COrbethSelection::KindFolder)
        json += ",\"path_type\":\"folder\"";
    json += "}";
    return json;
}

HRESULT PostSelection(COrbethSelection& selection, const char* actionCode, std::wstring* reply)
{
    std::string body = BuildSelectionJson(selection, actionCode);
    if (body.empty())
        return E_INVALIDARG;
    // Always the loopback service, never through a proxy or a cache: a machine-wide proxy that does
    // not bypass 127.0.0.1 would otherwise be sent the selected paths.
    const CWinHttpHandle session(
        WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    const CWinHttpHandle connection(
        session ? WinHttpConnect(session.Get(), ClientContract::LocalHost, ClientContract::LocalPort, 0) : nullptr);
    const CWinHttpHandle request(
        connection
            ? WinHttpOpenRequest(connection.Get(), L"POST", ClientContract::SelectContextMenuPath, nullptr,
                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_BYPASS_PROXY_CACHE)
            : nullptr);
    if (!request)
        return E_FAIL;
    // The wait for the answer's first line counts against the reply's time too.
    DWORD responseTimeout = MaxReplyMilliseconds;
    WinHttpSetOption(request.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
    const uint64_t deadline = CClock::NowTicks() + uint64_t(MaxReplyMilliseconds) * (CClock::TicksPerSecond / 1000);
    const DWORD length = DWORD(body.size());
    if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, body.data(), length, length, 0))
        return E_FAIL;
    if (!reply)
        return S_OK;
    if (!LimitWait(request.Get(), deadline))
        return S_OK; // the reply's time is over before it began: dropped
    if (!WinHttpReceiveResponse(request.Get(), nullptr))
        return E_FAIL;
    // The status code is not looked at: an error with a usable id still names the page.
    std::string bytes;
    if (ReadReply(request.Get(), deadline, &bytes))
        AppendReply(bytes, reply);
    return S_OK;
}

} // namespace LocalServiceRequest
