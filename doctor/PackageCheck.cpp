// The Windows 11 menu: whether the sparse package that gives the DLL's command its identity is
// registered for this user, and for which folder.
#include <windows.h>

#include <json/json.h>

#include <algorithm>
#include <string>
#include <vector>

#include "OrbethExtensions_h.h"
#include "base/PowerShellText.h"
#include "doctor/Checks.h"
#include "doctor/Machine.h"
#include "doctor/Report.h"

namespace {

// The first build of Windows 11, whose first context menu lists only packaged commands.
constexpr unsigned long FirstWindows11Build = 22000;
// Full names are Name_Version_Architecture_ResourceId_PublisherId; the publisher is matched by
// name alone, so that a release's own signing subject needs no change here.
const wchar_t PackagePrefix[] = L"Orbeth.Extensions_";
// The packages registered for the user, a key per full name.
const wchar_t RepositoryKey[] =
    L"Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppModel\\Repository\\Packages";
const wchar_t ActiveSetupKey[] = L"SOFTWARE\\Microsoft\\Active Setup\\Installed Components";
const wchar_t CurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char RemoveCommand[] =
    "powershell -NoProfile -Command \"Get-AppxPackage -Name 'Orbeth.Extensions' | Remove-AppxPackage\"";

std::wstring WithoutTrailingBackslash(std::wstring folder)
{
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    return folder;
}

bool SameFolder(const std::wstring& a, const std::wstring& b)
{
    const std::wstring left = WithoutTrailingBackslash(a), right = WithoutTrailingBackslash(b);
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// What registers the package for the DLL's folder; the installer's Active Setup runs the same.
std::string AddCommand(const std::wstring& folder)
{
    const std::wstring quoted = QuotedFolderForPowerShell(folder);
    return "powershell -NoProfile -ExecutionPolicy Bypass -Command \"Add-AppxPackage -Path '" + Narrow(quoted) +
           "\\Orbeth.msix' -ExternalLocation '" + Narrow(quoted) + "'\"";
}

// The folder of the DLL the classic menu's class names, else the doctor's own: the MSI puts both
// in one folder.
std::wstring DllFolder()
{
    wchar_t clsid[40] = {};
    StringFromGUID2(CLSID_OrbethContextMenuHandler, clsid, 40);
    const std::wstring file = Machine::ReadClass(clsid).file;
    if (file.find(L'\\') != std::wstring::npos)
        return file.substr(0, file.find_last_of(L'\\'));
    return WithoutTrailingBackslash(Machine::OwnFolder());
}

bool ActiveSetupRegistersIt()
{
    for (const std::wstring& component : Machine::Subkeys(HKEY_LOCAL_MACHINE, ActiveSetupKey)) {
        std::wstring stub;
        if (!Machine::ReadString(HKEY_LOCAL_MACHINE, std::wstring(ActiveSetupKey) + L"\\" + component, L"StubPath",
                                 &stub))
            continue;
        CharLowerBuffW(stub.data(), static_cast<DWORD>(stub.size()));
        if (stub.find(L"orbeth.msix") != std::wstring::npos)
            return true;
    }
    return false;
}

struct CRegistration {
    std::wstring version, location;
};

// Each registration of the package for this user. Its folder comes from the package manager where
// it can be asked, else from the registry value that records the package's root.
std::vector<CRegistration> Registrations()
{
    std::vector<CRegistration> found;
    const size_t prefix = wcslen(PackagePrefix);
    for (const std::wstring& fullName : Machine::Subkeys(HKEY_CURRENT_USER, RepositoryKey)) {
        if (CompareStringOrdinal(fullName.c_str(), static_cast<int>(std::min(prefix, fullName.size())), PackagePrefix,
                                 static_cast<int>(prefix), TRUE) != CSTR_EQUAL)
            continue;
        CRegistration registration{fullName.substr(prefix, fullName.find(L'_', prefix) - prefix), {}};
        if (!Machine::PackageExternalFolder(fullName, &registration.location))
            Machine::ReadString(HKEY_CURRENT_USER, std::wstring(RepositoryKey) + L"\\" + fullName, L"PackageRootFolder",
                                &registration.location);
        found.push_back(std::move(registration));
    }
    return found;
}

} // namespace

void CheckPackage(CReport& report)
{
    report.Begin("package",
                 "Windows 11 menu (the package Orbeth.Extensions, which gives the DLL's command its identity)");
    Json::Value& facts = report.Facts();
    std::wstring buildText;
    wchar_t* end = nullptr;
    const bool read = Machine::ReadString(HKEY_LOCAL_MACHINE, CurrentVersionKey, L"CurrentBuildNumber", &buildText);
    const unsigned long build = read ? wcstoul(buildText.c_str(), &end, 10) : 0;
    const bool known = read && !buildText.empty() && *end == L'\0';
    facts["windows_build"] = known ? Json::Value(static_cast<Json::UInt>(build)) : Json::Value();
    const std::wstring folder = DllFolder();
    const std::vector<CRegistration> registrations = Registrations();
    const CRegistration* registered = registrations.empty() ? nullptr : &registrations[0];
    for (const CRegistration& registration : registrations) {
        if (SameFolder(registration.location, folder))
            registered = &registration;
    }
    facts["registered"] = registered != nullptr;
    facts["version"] = registered ? Narrow(registered->version) : "";
    facts["location"] = registered ? Narrow(registered->location) : "";
    facts["dll_folder"] = Narrow(folder);

    // Unreadable, the build is taken for Windows 11's: there the package matters.
    if (known && build < FirstWindows11Build) {
        report.Add(CReport::Fact, "Windows build " + Narrow(buildText) +
                                      ", before Windows 11: the file manager has no first context menu there, so "
                                      "the package is not needed; the classic menu shows Orbeth");
        return;
    }
    const std::string name = "Windows 11 package Orbeth.Extensions";
    if (!registered) {
        report.Add(CReport::Warning,
                   name + ": not registered for this user, so the first context menu has no Orbeth entry (badges, "
                          "and the entry under \"Show more options\", are not affected)",
                   "in a command prompt of this user: " + AddCommand(folder) + ", then restart the file manager" +
                       (ActiveSetupRegistersIt() ? ". The installer's Active Setup runs the same command when this "
                                                   "user next signs in, if it has not run for them yet: signing out "
                                                   "and in again may be enough"
                                                 : ""));
    } else if (!SameFolder(registered->location, folder)) {
        const std::string location =
            registered->location.empty() ? "a folder that cannot be read" : Narrow(registered->location);
        report.Add(CReport::Warning,
                   name + " " + Narrow(registered->version) + ": registered for this user at " + location +
                       ", but the registered DLL is in " + Narrow(folder) +
                       ": the first context menu's entry loads the DLL from the package's folder",
                   "in a command prompt of this user, remove the package and add it for the DLL's folder: " +
                       std::string(RemoveCommand) + ", then " + AddCommand(folder) + "; then restart the file manager");
    } else {
        report.Add(CReport::Fact, name + " " + Narrow(registered->version) + ": registered for this user, at " +
                                      Narrow(registered->location));
    }
}
