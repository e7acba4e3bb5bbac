#include "tools/standin/Program.h"

#include <algorithm>

#include "base/KernelHandle.h"
#include "base/Utf8.h"
#include "tools/standin/StandInClient.h"

std::string Utf8(const std::wstring& text)
{
    std::string utf8;
    return WideToUtf8(text, &utf8) ? utf8 : "(not UTF-16)";
}

std::wstring Beside(const wchar_t* file)
{
    wchar_t path[MAX_PATH];
    const std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of(L'\\') + 1) + file;
}

DWORD RunProgramBeside(const wchar_t* file, const std::vector<std::wstring>& arguments, std::string* output,
                       const wchar_t* currentFolder)
{
    const std::wstring program = Beside(file);
    std::wstring line = L"\"" + program + L"\"";
    // Quoted so that the program's CommandLineToArgvW gives each argument back as it is: a quote
    // escaped, and the backslashes before a quote (or the closing one) doubled.
    for (const std::wstring& argument : arguments) {
        line += L" \"";
        size_t backslashes = 0;
        for (const wchar_t c : argument) {
            if (c == L'"')
                line.append(backslashes + 1, L'\\');
            backslashes = c == L'\\' ? backslashes + 1 : 0;
            line += c;
        }
        line.append(backslashes, L'\\');
        line += L'"';
    }
    // Through a file: a pipe the program fills would stop it until read.
    CTempFolder folder(L"program");
    const std::wstring log = folder.Child(L"output.txt");
    DWORD exitCode = 99;
    {
        SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
        const CHandle out(NullIfInvalid(CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    &inherited, CREATE_ALWAYS, 0, nullptr)));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = out.Get();
        PROCESS_INFORMATION process{};
        if (out && CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, currentFolder,
                                  &startup, &process)) {
            const CHandle thread(process.hThread), running(process.hProcess);
            if (WaitForSingleObject(running.Get(), 60000) != WAIT_OBJECT_0 ||
                !GetExitCodeProcess(running.Get(), &exitCode))
                exitCode = 99;
        }
    }
    const CHandle in(NullIfInvalid(CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr)));
    std::string text(size_t{1} << 20, '\0');
    DWORD read = 0;
    if (!in || !ReadFile(in.Get(), text.data(), DWORD(text.size()), &read, nullptr))
        read = 0;
    text.resize(read);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    *output = std::move(text);
    return exitCode;
}
