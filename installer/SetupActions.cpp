// The MSI's custom actions for the Windows 11 sparse package, Orbeth.msix in the install folder.
// Each entry writes what it did into the MSI log and always answers ERROR_SUCCESS: the classic menu
// and the overlays work without the package, so a registration that fails must not fail the
// install or roll it back. No exception leaves an entry.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "base/KernelHandle.h"
#include "base/PowerShellText.h"

namespace {

// Enough for PowerShell to start and the package manager to register a manifest and a few logos;
// a PowerShell that hangs holds the install up no longer than this.
constexpr DWORD TimeLimitMs = 10000;
// What the MSI log gets of PowerShell's output at most.
constexpr DWORD OutputLimit = 16 * 1024;
// Set early in the execute sequence; the Active Setup StubPath in the Registry table uses it too.
constexpr wchar_t LocationProperty[] = L"OrbethExternalLocation";

class CMsiRecord {
public:
    explicit CMsiRecord(UINT fields) : m_record(MsiCreateRecord(fields)) {}
    ~CMsiRecord()
    {
        if (m_record)
            MsiCloseHandle(m_record);
    }
    CMsiRecord(const CMsiRecord&) = delete;
    CMsiRecord& operator=(const CMsiRecord&) = delete;
    MSIHANDLE Get() const { return m_record; }

private:
    MSIHANDLE m_record;
};

// One line in the MSI log (msiexec /l*v). The text is a field, not the template, so that brackets
// in a path or in PowerShell's output are not read as properties.
void Log(MSIHANDLE install, const wchar_t* text)
{
    const CMsiRecord record(1);
    if (record.Get() && MsiRecordSetStringW(record.Get(), 0, L"Orbeth: [1]") == ERROR_SUCCESS &&
        MsiRecordSetStringW(record.Get(), 1, text) == ERROR_SUCCESS)
        MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.Get());
}

std::wstring Property(MSIHANDLE install, const wchar_t* name)
{
    std::wstring value(MAX_PATH, L'\0');
    DWORD size = static_cast<DWORD>(value.size());
    UINT result = MsiGetPropertyW(install, name, value.data(), &size);
    if (result == ERROR_MORE_DATA) {
        value.assign(size + 1, L'\0');
        size = static_cast<DWORD>(value.size());
        result = MsiGetPropertyW(install, name, value.data(), &size);
    }
    value.resize(result == ERROR_SUCCESS ? size : 0);
    return value;
}

// Up to OutputLimit bytes of what the finished process wrote into its output file.
std::wstring ReadOutput(HANDLE file)
{
    std::string bytes(OutputLimit, '\0');
    DWORD read = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, bytes.data(), OutputLimit, &read, nullptr))
        return L"(unreadable)";
    while (read > 0 && (bytes[read - 1] == '\r' || bytes[read - 1] == '\n' || bytes[read - 1] == ' '))
        --read;
    if (read == 0)
        return {};
    // PowerShell writes redirected output in the console's code page.
    const int length = MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), static_cast<int>(read), nullptr, 0);
    std::wstring text(length, L'\0');
    MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), static_cast<int>(read), text.data(), length);
    return text;
}

// Runs one PowerShell command, hidden, within the time limit, and logs the command line, how it
// ended and its output.
void RunPowerShell(MSIHANDLE install, const std::wstring& command)
{
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Log(install, L"cannot find the system folder; nothing run");
        return;
    }
    const std::wstring program = std::wstring(system, length) + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
    std::wstring line =
        L"\"" + program + L"\" -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"" + command + L"\"";
    Log(install, (L"running " + line).c_str());

    // The output goes to a temporary file, read once the process is gone: nothing has to drain a
    // pipe meanwhile. Reading nothing from NUL, PowerShell never waits for input.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    wchar_t folder[MAX_PATH + 1], name[MAX_PATH];
    CHandle output;
    const DWORD folderLength = GetTempPathW(MAX_PATH + 1, folder);
    if (folderLength > 0 && folderLength <= MAX_PATH && GetTempFileNameW(folder, L"orb", 0, name)) {
        output.Reset(NullIfInvalid(
            CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr)));
        if (!output)
            DeleteFileW(name);
    }
    const CHandle input(NullIfInvalid(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  &inheritable, OPEN_EXISTING, 0, nullptr)));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (output && input) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.Get();
        startup.hStdOutput = startup.hStdError = output.Get();
    }
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &started)) {
        Log(install, (L"cannot start " + program + L": error " + std::to_wstring(GetLastError())).c_str());
        return;
    }
    const CHandle process(started.hProcess), thread(started.hThread);

    std::wstring outcome;
    if (WaitForSingleObject(process.Get(), TimeLimitMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(process.Get(), &exitCode);
        outcome = L"exit code " + std::to_wstring(exitCode);
    } else {
        TerminateProcess(process.Get(), ERROR_TIMEOUT);
        WaitForSingleObject(process.Get(), 1000);
        outcome = L"no answer within " + std::to_wstring(TimeLimitMs / 1000) + L" s: ended";
    }
    const std::wstring text = output ? ReadOutput(output.Get()) : L"(not captured)";
    Log(install, (L"powershell.exe: " + outcome + (text.empty() ? L", no output" : L", output:\r\n" + text)).c_str());
}

// The entry's work, with every exception stopped here.
template <typename Work> UINT Guarded(MSIHANDLE install, Work work) noexcept
{
    try {
        work();
    } catch (...) {
        Log(install, L"stopped by an error (out of memory?); the install goes on");
    }
    return ERROR_SUCCESS;
}

} // namespace

// Immediate, early in the execute sequence, for install and removal alike. The external location is
// the install folder itself (OrbethExtensions.wxs says why).
extern "C" UINT WINAPI SetExternalLocation(MSIHANDLE install)
{
    return Guarded(install, [install] {
        const std::wstring location = QuotedFolderForPowerShell(Property(install, L"INSTALLDIR"));
        const UINT result = MsiSetPropertyW(install, LocationProperty, location.c_str());
        Log(install, (std::wstring(LocationProperty) + L" = " + location +
                      (result == ERROR_SUCCESS ? L"" : L" not set: error " + std::to_wstring(result)))
                         .c_str());
    });
}

// Immediate, after InstallFinalize: for the installing user, the package with the install folder
// as its external location.
extern "C" UINT WINAPI AddSparsePackage(MSIHANDLE install)
{
    return Guarded(install, [install] {
        const std::wstring location = Property(install, LocationProperty);
        if (location.empty()) {
            Log(install, L"no install folder known; the package is not added");
            return;
        }
        RunPowerShell(install,
                      L"Add-AppxPackage -Path '" + location + L"\\Orbeth.msix' -ExternalLocation '" + location + L"'");
    });
}

// Immediate, after InstallInitialize on removal: it runs while the script is written, before the
// script removes the files.
extern "C" UINT WINAPI RemoveSparsePackage(MSIHANDLE install)
{
    return Guarded(install, [install] {
        RunPowerShell(install, L"Get-AppxPackage -Name 'Orbeth.Extensions' | Remove-AppxPackage");
    });
}
