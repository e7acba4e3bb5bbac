// Stands in for the browser while a CUrlCapture is registered as the http URL handler: appends
// the command line it was started with to the output file named as its first argument, then
// wakes the waiting test. Started as  "orbeth_url_capture.exe" "<output file>" "<url>".
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "base/Utf8.h"
#include "tools/standin/UrlCapture.h"

namespace {

std::wstring OutputFile(const wchar_t* commandLine)
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(commandLine, &count);
    const std::wstring file = arguments && count >= 2 ? arguments[1] : L"";
    LocalFree(arguments);
    return file;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    const wchar_t* commandLine = GetCommandLineW();
    const std::wstring output = OutputFile(commandLine);
    if (output.empty())
        return 2;

    // With a terminating NUL, which ends the record.
    std::string record;
    if (!WideToUtf8(commandLine, &record))
        return 3;
    static_assert(UrlCaptureRecordEnd == '\0');
    record.push_back(UrlCaptureRecordEnd);
    const auto bytes = DWORD(record.size());

    {
        // Append-only access: one write lands whole at the end even when two launches overlap.
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        CHandle file(NullIfInvalid(CreateFileW(output.c_str(), FILE_APPEND_DATA, share, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr)));
        DWORD written = 0;
        if (!file || !WriteFile(file.Get(), record.data(), bytes, &written, nullptr) ||
            written != static_cast<DWORD>(bytes))
            return 4;
    }
    CHandle launched(OpenEventW(EVENT_MODIFY_STATE, FALSE, UrlCaptureEventName(output).c_str()));
    return launched && SetEvent(launched.Get()) ? 0 : 5;
}
