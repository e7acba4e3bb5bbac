// Stands in for powershell.exe, which Wine lacks, in the installer tests: copied to
// C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe. Each run appends one line to
// powershell-calls.txt beside it: its command line, then a tab and "present" or "absent" for the
// file named on the second line of powershell-standin.txt (when there is one). The first line of
// that file says how it ends: an exit code, or "hang" (it then sleeps for two minutes); it says so
// on its standard output too. Told by a file, not the environment: on Windows the installer's
// custom actions run in processes the installer service starts, with an environment of its own.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Utf8.h"
#include "base/KernelHandle.h"

namespace {

std::wstring Beside(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

} // namespace

int wmain()
{
    std::string control(4096, '\0');
    DWORD read = 0;
    {
        const CHandle file(NullIfInvalid(CreateFileW(Beside(L"powershell-standin.txt").c_str(), GENERIC_READ,
                                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
        if (!file || !ReadFile(file.Get(), control.data(), DWORD(control.size()), &read, nullptr))
            return 90;
    }
    control.resize(read);
    // The first line says how to end, the second names the file to look for.
    const size_t lineEnd = control.find('\n');
    std::string how = control.substr(0, lineEnd);
    std::string watched = lineEnd == std::string::npos ? "" : control.substr(lineEnd + 1);
    for (std::string* line : {&how, &watched})
        line->resize(std::min(line->find_first_of("\r\n"), line->size()));

    std::string record;
    if (!WideToUtf8(GetCommandLineW(), &record))
        return 91;
    std::wstring watchedPath;
    if (!watched.empty() && Utf8ToWide(watched, &watchedPath))
        record += GetFileAttributesW(watchedPath.c_str()) == INVALID_FILE_ATTRIBUTES ? "\tabsent" : "\tpresent";
    record += "\n";
    {
        // Append-only: a record lands whole at the end.
        const CHandle file(NullIfInvalid(CreateFileW(Beside(L"powershell-calls.txt").c_str(), FILE_APPEND_DATA,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                                     FILE_ATTRIBUTE_NORMAL, nullptr)));
        DWORD written = 0;
        if (!file || !WriteFile(file.Get(), record.data(), DWORD(record.size()), &written, nullptr))
            return 92;
    }
    // A line on the standard output, which the caller is to log.
    std::printf("powershell stand-in: %s\n", how == "hang" ? "hanging" : ("exit code " + how).c_str());
    std::fflush(stdout);
    if (how == "hang") {
        Sleep(120000);
        return 93;
    }
    return std::atoi(how.c_str());
}
