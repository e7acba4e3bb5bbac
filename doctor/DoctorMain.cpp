// orbeth-doctor: tells why a badge or the "Orbeth" menu entry does not show, and what to do.
// It only reads: the registry, the client's files and service, and a connect on the loopback.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "base/UniqueHandle.h"
#include "doctor/Checks.h"
#include "doctor/Report.h"

namespace {

const char Usage[] = "Usage: orbeth-doctor [--json] [PATH...]\n"
                     "Tells whether the Orbeth badges and menu entry can show on this machine, what stops them,\n"
                     "and what to do. For each PATH, also the badge and the menu the module would give it, and why.\n"
                     "  --json  the same facts as one JSON object\n"
                     "Exit code: 0 when everything badges need is in place, 1 when something is missing,\n"
                     "2 for an unknown option.\n";

void Write(FILE* stream, const std::string& text)
{
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

int Run()
{
    using CArguments = CUniqueHandle<LPWSTR*, &LocalFree>;
    int count = 0;
    const CArguments arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!arguments) {
        Write(stderr, "orbeth-doctor: cannot read the command line\n");
        return 2;
    }
    bool json = false, optionsEnd = false;
    std::vector<std::wstring> paths;
    for (int i = 1; i < count; ++i) {
        const std::wstring argument = arguments.Get()[i];
        if (optionsEnd || argument.empty() || argument[0] != L'-')
            paths.push_back(argument);
        else if (argument == L"--")
            optionsEnd = true;
        else if (argument == L"--json")
            json = true;
        else if (argument == L"--help" || argument == L"-h") {
            Write(stdout, Usage);
            return 0;
        } else {
            Write(stderr, "orbeth-doctor: unknown option " + Narrow(argument) + "\n" + Usage);
            return 2;
        }
    }

    // A console shows the report's UTF-8 as such, and gets its own code page back afterwards; a
    // pipe or a file gets the bytes anyway.
    struct CConsoleCodePage {
        UINT before = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR ? GetConsoleOutputCP() : 0;
        CConsoleCodePage()
        {
            if (before)
                SetConsoleOutputCP(CP_UTF8);
        }
        ~CConsoleCodePage()
        {
            if (before)
                SetConsoleOutputCP(before);
        }
    } codePage;
    const std::wstring version = ORBETH_DOCTOR_VERSION;
    CReport report;
    CheckModule(report, version);
    CheckPackage(report);
    CheckOverlaySlots(report);
    CheckClient(report);
    for (const std::wstring& path : paths)
        CheckPath(report, path);
    const int exitCode = report.Finish();
    Write(stdout, json ? report.JsonText()
                       : "Orbeth doctor " + Narrow(version) + ": why badges or the menu entry may not show\n\n" +
                             report.Text());
    return exitCode;
}

} // namespace

int main()
{
    try {
        return Run();
    } catch (const std::exception& error) {
        Write(stderr, std::string("orbeth-doctor: could not finish: ") + error.what() + "\n");
    } catch (...) {
        Write(stderr, "orbeth-doctor: could not finish\n");
    }
    return 1;
}
