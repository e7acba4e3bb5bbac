#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/KernelHandle.h"
#include "tools/standin/StandInClient.h"

// Stands in for the browser: while it lives, the prefix's http URL handler
// (HKLM\Software\Classes\http\shell\open\command, the key ShellExecuteW follows under Wine) runs
// orbeth_url_capture.exe from beside this program, as
//     "<capture exe>" "<output file>" "%1"
// which is how a browser is registered. Each launch appends its raw command line to the output
// file and signals an event, so a test sees exactly what the browser would have been handed.
// The previous handler comes back when it goes. It changes the prefix's registry: tests using it
// must not run at the same time as each other.
class CUrlCapture {
public:
    CUrlCapture();
    ~CUrlCapture();
    CUrlCapture(const CUrlCapture&) = delete;
    CUrlCapture& operator=(const CUrlCapture&) = delete;

    bool Ready() const { return m_error.empty(); }
    const std::string& LastError() const { return m_error; }

    // Whether at least this many launches have been recorded, waiting up to the timeout.
    bool WaitForUrls(size_t count, DWORD timeoutMs) const;

    // Per launch, the command line exactly as the capture program got it. Launches come in the
    // order they recorded themselves: ShellExecuteW returns before the program has run, so a test
    // that cares about the order waits after each call.
    std::vector<std::wstring> RawCommandLines() const;
    // Per launch, the arguments after the output file as the browser would parse them
    // (CommandLineToArgvW). One argument is a URL that arrived whole; a URL with a double quote
    // in it, for example, can come out as several.
    std::vector<std::vector<std::wstring>> Arguments() const;
    // Per launch, those arguments joined with single spaces: the URL itself when it arrived
    // whole, and never equal to it when quotes were lost on the way.
    std::vector<std::wstring> Urls() const;

    const std::wstring& OutputFile() const { return m_outputFile; }
    // Another command for the handler until this goes, such as a browser that is not there.
    bool SetCommand(const std::wstring& command);

private:
    bool Fail(const std::string& message);

    CTempFolder m_folder{L"Orbeth url capture"};
    std::wstring m_outputFile;
    CHandle m_launched;
    // The handler before us: whether its key and default value existed, and the value.
    bool m_hadKey = false;
    bool m_hadValue = false;
    DWORD m_previousType = REG_SZ;
    std::vector<BYTE> m_previousValue;
    std::wstring m_createdKey; // the topmost key we made, deleted with what is under it
    bool m_registered = false;
    std::string m_error;
};

// The event a capture program signals after recording a launch into this output file. Named from
// the file, so the program needs nothing but its command line.
inline std::wstring UrlCaptureEventName(std::wstring outputFile)
{
    for (wchar_t& c : outputFile)
        if (c == L'\\')
            c = L'/';
    return L"OrbethUrlCapture " + outputFile;
}

// Each launch's record in the output file: the command line in UTF-8, then a NUL, which a
// command line cannot contain (a line break it can).
inline constexpr char UrlCaptureRecordEnd = '\0';
