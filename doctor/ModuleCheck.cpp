// The module's registration as the file manager finds it, and the overlay identifiers' order.
#include <objbase.h>

#include <algorithm>

#include "OrbethExtensions_h.h"
#include "base/SyncStatus.h"
#include "doctor/Checks.h"
#include "doctor/Machine.h"
#include "doctor/Report.h"
#include "module/ClassTable.h"
#include "module/Registration.h"

namespace {

// What each of the module's classes is to a user, and what goes without it. The list of classes
// is the class table's; this only words it.
const struct CClassRole {
    const CLSID* clsid;
    const char* name;
    CReport::Level missing; // a Problem when badges need it
    const char* without;
    int32_t badge; // an overlay's sync state, StatusNone for the others
} Roles[] = {
    {&CLSID_OrbethContextMenuHandler, "Context menu handler", CReport::Warning,
     "no Orbeth entry in the right-click menu", StatusNone},
    {&CLSID_OrbethOkIconOverlay, "In-sync overlay", CReport::Problem, "no in-sync badge", StatusOk},
    {&CLSID_OrbethPendingIconOverlay, "Waiting overlay", CReport::Problem, "no waiting badge", StatusPending},
    {&CLSID_OrbethErrorIconOverlay, "Failed overlay", CReport::Problem, "no failed badge", StatusError},
    {&CLSID_OrbethIconOverlayBHO, "Status push receiver (browser helper object)", CReport::Warning,
     "the client's status pushes are not received, so badges change only when redrawn", StatusNone},
};

const wchar_t OverlayIdentifiersKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";
const wchar_t HelperObjectsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
const wchar_t MenuHandlerName[] = L"01OrbethContextMenu";
constexpr size_t UsedOverlaySlots = 15;

std::wstring GuidText(const CLSID& clsid)
{
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return text;
}

const CClassRole* FindRole(const std::wstring& clsid)
{
    for (const CClassRole& role : Roles) {
        if (_wcsicmp(GuidText(*role.clsid).c_str(), clsid.c_str()) == 0)
            return &role;
    }
    return nullptr;
}

// A class the table has and the words above do not yet: named by its id alone.
const CClassRole* RoleOf(const std::wstring& clsid)
{
    static const CClassRole Unnamed{&GUID_NULL, "Class", CReport::Warning, "one of the module's parts is missing",
                                    StatusNone};
    const CClassRole* role = FindRole(clsid);
    return role ? role : &Unnamed;
}

std::string Quoted(const std::wstring& name)
{
    return "\"" + Narrow(name) + "\"";
}

// One file the registered classes name: whether it is there and which version it is.
void CheckModuleFile(CReport& report, const std::wstring& file, CReport::Level missing,
                     const std::wstring& doctorVersion, Json::Value* facts)
{
    std::wstring device;
    (*facts)["file"] = Narrow(file);
    if (Machine::ClassifyPath(file, &device) == Machine::PathKind::Network) {
        report.Add(CReport::Fact, Narrow(file) + ": on a network share, not opened");
        return;
    }
    const bool exists = GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
    (*facts)["exists"] = exists;
    if (!exists) {
        report.Add(missing, Narrow(file) + ": does not exist (moved or deleted after it was registered)",
                   "reinstall Orbeth, or register the DLL where it is now: " + RegisterCommand());
        return;
    }
    const std::wstring version = Machine::FileVersion(file);
    (*facts)["version"] = Narrow(version);
    if (version.empty())
        report.Add(CReport::Warning, Narrow(file) + ": found, but it has no version resource: is it Orbeth's?",
                   "reinstall Orbeth: " + RegisterCommand());
    else if (version != doctorVersion)
        report.Add(CReport::Warning,
                   Narrow(file) + ": found, version " + Narrow(version) + "; this doctor is " + Narrow(doctorVersion) +
                       ", and its verdicts follow its own version's rules",
                   "run the orbeth-doctor.exe shipped beside that DLL");
    else
        report.Add(CReport::Fact, Narrow(file) + ": found, version " + Narrow(version) + " (the doctor's too)");
}

void CheckMenuKeys(CReport& report, const std::wstring& menuClsid)
{
    const struct {
        const char* what;
        std::wstring key;
    } places[] = {{"files", L"*\\ShellEx\\ContextMenuHandlers\\" + std::wstring(MenuHandlerName)},
                  {"folders", L"Directory\\shellex\\ContextMenuHandlers\\" + std::wstring(MenuHandlerName)}};
    std::string missing;
    for (const auto& place : places) {
        std::wstring named;
        const bool ours = Machine::ReadString(HKEY_CLASSES_ROOT, place.key, nullptr, &named) &&
                          _wcsicmp(named.c_str(), menuClsid.c_str()) == 0;
        report.Facts()["menu_handler_keys"][Narrow(L"HKCR\\" + place.key)] = ours;
        if (!ours)
            missing += std::string(missing.empty() ? "" : ", ") + place.what + " (HKCR\\" + Narrow(place.key) + ")";
    }
    if (missing.empty())
        report.Add(CReport::Fact, "Menu entry: the handler is registered for files (*) and folders (Directory)");
    else
        report.Add(CReport::Warning, "Menu entry: the handler is not registered for " + missing, RegisterCommand());
}

} // namespace

std::string RegisterCommand()
{
    const std::wstring beside = Machine::OwnFolder() + L"OrbethExtensions.dll";
    const std::string dll = GetFileAttributesW(beside.c_str()) != INVALID_FILE_ATTRIBUTES
                                ? Narrow(beside)
                                : "C:\\path\\to\\OrbethExtensions.dll";
    return "in a command prompt run as administrator, regsvr32 \"" + dll + "\", then restart the file manager";
}

void CheckModule(CReport& report, const std::wstring& doctorVersion)
{
    report.Begin("module", "Module (registration, and the DLL it names)");
    report.Facts()["doctor_version"] = Narrow(doctorVersion);
    struct CFound {
        const CClassRole* role;
        std::wstring clsid, file, model;
        bool registered;
    };
    std::vector<CFound> classes;
    for (const CClassTable::CEntry& entry : GetClassTable()) {
        // The package's class is not registered through regsvr32: its absence here says nothing.
        if (!entry.script)
            continue;
        CFound found{RoleOf(GuidText(*entry.clsid)), GuidText(*entry.clsid), {}, {}, false};
        const std::wstring key = L"CLSID\\" + found.clsid;
        found.registered = Machine::KeyExists(HKEY_CLASSES_ROOT, key);
        Machine::ReadString(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, &found.file);
        Machine::ReadString(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", &found.model);
        Json::Value facts;
        facts["clsid"] = Narrow(found.clsid);
        facts["role"] = found.role->name;
        facts["registered"] = found.registered;
        facts["file"] = Narrow(found.file);
        facts["threading_model"] = Narrow(found.model);
        report.Facts()["classes"].append(facts);
        classes.push_back(std::move(found));
    }
    if (std::none_of(classes.begin(), classes.end(), [](const CFound& c) { return c.registered; })) {
        report.Add(CReport::Problem,
                   "Not registered: none of the module's " + std::to_string(classes.size()) +
                       " classes is in the registry, so the file manager loads nothing of it",
                   RegisterCommand());
        return;
    }

    // Each class on a line, or one line for all when they agree as registration writes them; then
    // each file they name, once, with the worst level any of them gives.
    const auto usual = [&](const CFound& found) {
        return found.registered && _wcsicmp(found.file.c_str(), classes[0].file.c_str()) == 0 &&
               _wcsicmp(found.model.c_str(), L"Apartment") == 0;
    };
    std::vector<std::pair<std::wstring, CReport::Level>> files;
    if (!classes[0].file.empty() && std::all_of(classes.begin(), classes.end(), usual)) {
        report.Add(CReport::Fact, "Classes: all " + std::to_string(classes.size()) +
                                      " registered, threading model "
                                      "Apartment, in " +
                                      Narrow(classes[0].file));
        files.emplace_back(classes[0].file, CReport::Problem);
        classes.clear();
    }
    for (const CFound& found : classes) {
        const std::string name = std::string(found.role->name) + " " + Narrow(found.clsid);
        if (!found.registered || found.file.empty()) {
            report.Add(found.role->missing,
                       name + (found.registered ? ": registered without a file (InprocServer32)" : ": not registered") +
                           ": " + found.role->without,
                       RegisterCommand());
            continue;
        }
        const std::string line = name + ": " + Narrow(found.file) + ", threading model " +
                                 (found.model.empty() ? "none" : Narrow(found.model));
        if (_wcsicmp(found.model.c_str(), L"Apartment") != 0 && _wcsicmp(found.model.c_str(), L"Both") != 0)
            report.Add(CReport::Warning, line + ": the file manager needs Apartment", RegisterCommand());
        else
            report.Add(CReport::Fact, line);
        auto file = std::find_if(files.begin(), files.end(),
                                 [&](const auto& f) { return _wcsicmp(f.first.c_str(), found.file.c_str()) == 0; });
        if (file == files.end())
            files.emplace_back(found.file, found.role->missing);
        else
            file->second = std::max(file->second, found.role->missing);
    }
    for (const auto& [file, level] : files) {
        Json::Value facts;
        CheckModuleFile(report, file, level, doctorVersion, &facts);
        report.Facts()["files"].append(facts);
    }

    std::string unapproved;
    for (const CApprovedExtension& extension : ApprovedExtensions) {
        std::wstring name;
        const bool approved = Machine::ReadString(HKEY_LOCAL_MACHINE, ApprovedExtensionsKey, extension.clsid, &name);
        report.Facts()["approved"][Narrow(extension.clsid)] = approved;
        if (!approved)
            unapproved += (unapproved.empty() ? "" : ", ") + std::string(RoleOf(extension.clsid)->name);
    }
    if (unapproved.empty())
        report.Add(CReport::Fact, "Approved shell extensions: all " + std::to_string(ApprovedExtensionCount) +
                                      " of ours (HKLM\\" + Narrow(ApprovedExtensionsKey) + ")");
    else
        report.Add(CReport::Warning,
                   "Not among the approved shell extensions: " + unapproved +
                       "; where a policy admits only approved ones, the file manager does not load them",
                   RegisterCommand());

    CheckMenuKeys(report, GuidText(CLSID_OrbethContextMenuHandler));

    const std::wstring helper = std::wstring(HelperObjectsKey) + L"\\" + GuidText(CLSID_OrbethIconOverlayBHO);
    const bool hooked = Machine::KeyExists(HKEY_LOCAL_MACHINE, helper);
    report.Facts()["helper_object_registered"] = hooked;
    if (hooked)
        report.Add(CReport::Fact, "Status pushes: the browser helper object that receives them is registered");
    else
        report.Add(CReport::Warning,
                   "Status pushes: the browser helper object is not registered (HKLM\\" + Narrow(helper) +
                       "): badges change only when the file manager redraws",
                   RegisterCommand());
}

void CheckOverlaySlots(CReport& report)
{
    report.Begin("overlays", "Overlay slots (the file manager uses the first " + std::to_string(UsedOverlaySlots) +
                                 " identifiers, in the order of their names)");
    std::vector<std::wstring> names = Machine::Subkeys(HKEY_LOCAL_MACHINE, OverlayIdentifiersKey);
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    std::vector<const CClassRole*> owners;
    for (size_t i = 0; i < names.size(); ++i) {
        std::wstring clsid;
        Machine::ReadString(HKEY_LOCAL_MACHINE, std::wstring(OverlayIdentifiersKey) + L"\\" + names[i], nullptr,
                            &clsid);
        const CClassRole* role = FindRole(clsid);
        owners.push_back(role && role->badge != StatusNone ? role : nullptr);
        const bool used = i < UsedOverlaySlots;
        char position[16];
        snprintf(position, sizeof(position), "%3zu %-6s ", i + 1, used ? "used" : "unused");
        report.Add(CReport::Fact,
                   position + Quoted(names[i]) + (owners[i] ? " (ours: " + std::string(owners[i]->name) + ")" : ""));
        Json::Value facts;
        facts["name"] = Narrow(names[i]);
        facts["position"] = static_cast<Json::UInt64>(i + 1);
        facts["used"] = used;
        facts["ours"] = owners[i] != nullptr;
        report.Facts()["identifiers"].append(facts);
    }

    if (names.empty())
        report.Add(CReport::Fact, "No overlay identifiers are registered at all");
    if (std::none_of(owners.begin(), owners.end(), [](const CClassRole* owner) { return owner; })) {
        report.Add(CReport::Problem, "None of the module's overlays has an identifier: no badges", RegisterCommand());
        return;
    }
    // Ours past the slots, with the names before the first of them: what pushed them there.
    bool allUsed = true;
    std::string past, before, example;
    size_t others = 0;
    for (const CClassRole& role : Roles) {
        if (role.badge == StatusNone)
            continue;
        const size_t at = std::find(owners.begin(), owners.end(), &role) - owners.begin();
        if (at == owners.size()) {
            allUsed = false;
            report.Add(CReport::Problem,
                       "No identifier names the " + std::string(role.name) + " " + Narrow(GuidText(*role.clsid)) +
                           ": " + role.without,
                       RegisterCommand());
        } else if (at >= UsedOverlaySlots) {
            allUsed = false;
            for (size_t i = 0; past.empty() && i < at; ++i) {
                if (owners[i])
                    continue;
                before += (others++ ? ", " : "") + Quoted(names[i]);
                if (example.empty())
                    example = Narrow(names[i]);
            }
            past +=
                (past.empty() ? "" : ", ") + Quoted(names[at]) + " (" + role.name + ") at " + std::to_string(at + 1);
        }
    }
    if (!past.empty())
        report.Add(CReport::Problem,
                   "Past the " + std::to_string(UsedOverlaySlots) + " identifiers that the file manager uses: " + past +
                       ", whose badges never show. Pushed there by " + std::to_string(others) +
                       " names of other programs before them: " + before,
                   "names sort by their leading spaces first. Remove the identifiers of programs no longer in use "
                   "(as administrator: reg delete \"HKLM\\" +
                       Narrow(OverlayIdentifiersKey) + "\\" + example +
                       "\" /f), or ask their makers for fewer; then restart "
                       "the file manager, which reads them only when it starts");
    if (allUsed)
        report.Add(CReport::Fact, "Ours are all within the first " + std::to_string(UsedOverlaySlots) +
                                      " (the file manager reads them when it starts)");
}
