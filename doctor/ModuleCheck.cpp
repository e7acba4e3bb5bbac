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
// Windows keeps some of the 15 slots for its own overlays (the shortcut arrow, the shared and
// offline marks...): from here on a slot may be one of those.
constexpr size_t FirstSlotAtRisk = 12;

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

unsigned BadgeOf(const CClassRole& role)
{
    switch (role.badge) {
    case StatusOk:
        return CReport::InSyncBadge;
    case StatusPending:
        return CReport::WaitingBadge;
    case StatusError:
        return CReport::FailedBadge;
    default:
        return 0;
    }
}

// Deleting per-user keys needs no administrator: the user owns them.
std::string DeleteUserKeys(const std::vector<std::wstring>& keys)
{
    std::string lines;
    for (const std::wstring& key : keys)
        lines += (lines.empty() ? "" : ", then ") + ("reg delete \"" + Narrow(key) + "\" /f");
    return "as this user, in a command prompt: " + lines + "; then restart the file manager";
}

// A file the registered classes name, the worst level its absence gives, the badges that need it,
// and the per-user keys that name it.
struct CNamedFile {
    std::wstring file;
    CReport::Level missing;
    unsigned badges;
    std::vector<std::wstring> userKeys;
};

// One file the registered classes name: whether it is there and which version it is.
void CheckModuleFile(CReport& report, const CNamedFile& named, const std::wstring& doctorVersion, Json::Value* facts)
{
    const std::wstring& file = named.file;
    std::wstring device;
    (*facts)["file"] = Narrow(file);
    if (Machine::ClassifyPath(file, &device) == Machine::PathKind::Network) {
        report.Add(CReport::Fact, Narrow(file) + ": on a network share, not opened");
        return;
    }
    const bool exists = GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
    (*facts)["exists"] = exists;
    if (!exists) {
        // regsvr32 would write the machine's keys and leave the per-user ones hiding them.
        report.Add(named.missing, Narrow(file) + ": does not exist (moved or deleted after it was registered)",
                   named.userKeys.empty()
                       ? "reinstall Orbeth, or register the DLL where it is now: " + RegisterCommand()
                       : "delete the per-user registration that names it, " + DeleteUserKeys(named.userKeys),
                   named.badges);
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
        std::wstring clsid;
        Machine::CClassRegistration reg;
    };
    std::vector<CFound> classes;
    for (const CClassTable::CEntry& entry : GetClassTable()) {
        // The package's class is not registered through regsvr32: its absence here says nothing.
        if (!entry.script)
            continue;
        const std::wstring clsid = GuidText(*entry.clsid);
        CFound found{RoleOf(clsid), clsid, Machine::ReadClass(clsid)};
        Json::Value facts;
        facts["clsid"] = Narrow(found.clsid);
        facts["role"] = found.role->name;
        facts["registered"] = found.reg.registered;
        facts["file"] = Narrow(found.reg.file);
        facts["threading_model"] = Narrow(found.reg.model);
        facts["per_user_key"] = Narrow(found.reg.userKey);
        facts["machine_file"] = Narrow(found.reg.machineFile);
        report.Facts()["classes"].append(facts);
        classes.push_back(std::move(found));
    }
    if (std::none_of(classes.begin(), classes.end(), [](const CFound& c) { return c.reg.registered; })) {
        report.Add(CReport::Problem,
                   "Not registered: none of the module's " + std::to_string(classes.size()) +
                       " classes is in the registry, so the file manager loads nothing of it",
                   RegisterCommand());
        return;
    }

    // Each class on a line, or one line for all when they agree as registration writes them; then
    // each file they name, once, with the worst level any of them gives.
    const auto usual = [&](const CFound& found) {
        return found.reg.registered && found.reg.userKey.empty() &&
               _wcsicmp(found.reg.file.c_str(), classes[0].reg.file.c_str()) == 0 &&
               _wcsicmp(found.reg.model.c_str(), L"Apartment") == 0;
    };
    std::vector<CNamedFile> files;
    if (!classes[0].reg.file.empty() && std::all_of(classes.begin(), classes.end(), usual)) {
        report.Add(CReport::Fact, "Classes: all " + std::to_string(classes.size()) +
                                      " registered, threading model "
                                      "Apartment, in " +
                                      Narrow(classes[0].reg.file));
        files.push_back({classes[0].reg.file, CReport::Problem, CReport::AllBadges, {}});
        classes.clear();
    }
    for (const CFound& found : classes) {
        const std::string name = std::string(found.role->name) + " " + Narrow(found.clsid);
        const Machine::CClassRegistration& reg = found.reg;
        if (!reg.userKey.empty())
            report.Add(CReport::Warning,
                       name + ": registered for this user too, at " + Narrow(reg.userKey) +
                           ", which overrides the machine's registration for this user" +
                           (reg.machineFile.empty() ? " (the machine has none)"
                                                    : " (which names " + Narrow(reg.machineFile) + ")") +
                           ": the file manager loads the file the per-user key names",
                       reg.machineFile.empty()
                           ? RegisterCommand() + "; then delete the per-user key, " + DeleteUserKeys({reg.userKey})
                           : "delete the per-user key, " + DeleteUserKeys({reg.userKey}));
        if (!reg.registered || reg.file.empty()) {
            report.Add(found.role->missing,
                       name + (reg.registered ? ": registered without a file (InprocServer32)" : ": not registered") +
                           ": " + found.role->without,
                       reg.userKey.empty() ? RegisterCommand() : "delete the per-user key, as above",
                       BadgeOf(*found.role));
            continue;
        }
        const std::string line =
            name + ": " + Narrow(reg.file) + ", threading model " + (reg.model.empty() ? "none" : Narrow(reg.model));
        if (_wcsicmp(reg.model.c_str(), L"Apartment") != 0 && _wcsicmp(reg.model.c_str(), L"Both") != 0)
            report.Add(CReport::Warning, line + ": the file manager needs Apartment",
                       reg.userKey.empty() ? RegisterCommand() : "delete the per-user key, as above");
        else
            report.Add(CReport::Fact, line);
        auto file = std::find_if(files.begin(), files.end(),
                                 [&](const CNamedFile& f) { return _wcsicmp(f.file.c_str(), reg.file.c_str()) == 0; });
        if (file == files.end())
            file = files.insert(files.end(), {reg.file, found.role->missing, 0, {}});
        file->missing = std::max(file->missing, found.role->missing);
        file->badges |= BadgeOf(*found.role);
        if (!reg.userKey.empty())
            file->userKeys.push_back(reg.userKey);
    }
    for (const CNamedFile& file : files) {
        Json::Value facts;
        CheckModuleFile(report, file, doctorVersion, &facts);
        report.Facts()["files"].append(facts);
    }

    std::string unapproved;
    bool userApproved = false;
    for (const CApprovedExtension& extension : ApprovedExtensions) {
        std::wstring name;
        const bool approved = Machine::ReadString(HKEY_LOCAL_MACHINE, ApprovedExtensionsKey, extension.clsid, &name);
        report.Facts()["approved"][Narrow(extension.clsid)] = approved;
        if (!approved)
            unapproved += (unapproved.empty() ? "" : ", ") + std::string(RoleOf(extension.clsid)->name);
        userApproved |=
            !approved && Machine::ReadString(HKEY_CURRENT_USER, ApprovedExtensionsKey, extension.clsid, &name);
    }
    if (unapproved.empty())
        report.Add(CReport::Fact, "Approved shell extensions: all " + std::to_string(ApprovedExtensionCount) +
                                      " of ours (HKLM\\" + Narrow(ApprovedExtensionsKey) + ")");
    else
        report.Add(
            CReport::Warning,
            "Not among the approved shell extensions: " + unapproved +
                "; where a policy admits only approved ones, the file manager does not load them" +
                (userApproved ? " (an approval under HKCU does not count: the policy reads the machine's list)" : ""),
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
    report.Begin("overlays", "Overlay slots (the file manager gives the first " + std::to_string(UsedOverlaySlots) +
                                 " identifiers that load a slot each, in the order of their names; Windows keeps "
                                 "some of them for its own)");
    std::vector<std::wstring> names = Machine::Subkeys(HKEY_LOCAL_MACHINE, OverlayIdentifiersKey);
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    // Per identifier: ours or not, whether its class loads, its slot among those that load (0 for
    // none) and its place among all of them.
    struct CIdentifier {
        std::wstring name;
        const CClassRole* ours;
        bool loads;
        size_t slot, place;
    };
    std::vector<CIdentifier> identifiers;
    size_t loading = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        std::wstring clsid;
        Machine::ReadString(HKEY_LOCAL_MACHINE, std::wstring(OverlayIdentifiersKey) + L"\\" + names[i], nullptr,
                            &clsid);
        const CClassRole* role = FindRole(clsid);
        const Machine::CClassRegistration reg = Machine::ReadClass(clsid);
        const bool loads = Machine::ServerFileExists(reg.file);
        const CIdentifier identifier{names[i], role && role->badge != StatusNone ? role : nullptr, loads,
                                     loads ? ++loading : 0, i + 1};
        const std::string why = !reg.registered    ? "its class " + Narrow(clsid) + " is not registered"
                                : reg.file.empty() ? "its class " + Narrow(clsid) + " names no file"
                                                   : "its class's file " + Narrow(reg.file) + " is missing";
        char position[24];
        const size_t slot = identifier.slot;
        snprintf(position, sizeof(position), "%3zu %-8s ", slot,
                 slot > UsedOverlaySlots   ? "unused"
                 : slot >= FirstSlotAtRisk ? "at risk"
                                           : "used");
        const std::string text =
            Quoted(names[i]) + (identifier.ours ? " (ours: " + std::string(identifier.ours->name) + ")" : "");
        std::string line = (loads ? position : "    no slot  ") + text;
        if (!loads)
            line += ": does not load, " + why;
        report.Add(CReport::Fact, line);
        Json::Value facts;
        facts["name"] = Narrow(names[i]);
        facts["loads"] = loads;
        facts["slot"] = static_cast<Json::UInt64>(slot);
        facts["position"] = static_cast<Json::UInt64>(i + 1);
        facts["used"] = loads && slot <= UsedOverlaySlots;
        facts["ours"] = identifier.ours != nullptr;
        report.Facts()["identifiers"].append(facts);
        identifiers.push_back(identifier);
    }
    if (names.empty())
        report.Add(CReport::Fact, "No overlay identifiers are registered at all");
    if (!Machine::Subkeys(HKEY_CURRENT_USER, OverlayIdentifiersKey).empty())
        report.Add(CReport::Fact,
                   "Identifiers under HKCU\\" + Narrow(OverlayIdentifiersKey) +
                       " are not listed: as documented, the file manager reads the machine's (HKLM) only");
    if (std::none_of(identifiers.begin(), identifiers.end(), [](const CIdentifier& i) { return i.ours; })) {
        report.Add(CReport::Problem, "None of the module's overlays has an identifier: no badges", RegisterCommand());
        return;
    }

    // Ours past the slots, and ours near their end, and what stands before the last of them.
    std::string past, atRisk, otherwise;
    unsigned stopped = 0;
    size_t last = 0;
    for (const CClassRole& role : Roles) {
        if (role.badge == StatusNone)
            continue;
        const auto at =
            std::find_if(identifiers.begin(), identifiers.end(), [&](const CIdentifier& i) { return i.ours == &role; });
        if (at == identifiers.end()) {
            report.Add(CReport::Problem,
                       "No identifier names the " + std::string(role.name) + " " + Narrow(GuidText(*role.clsid)) +
                           ": " + role.without,
                       RegisterCommand(), BadgeOf(role));
            continue;
        }
        // One that does not load is the module section's problem: its file or class is missing.
        if (!at->loads)
            continue;
        // Counted with those that do not load, it would stand at its place among all.
        if (at->place != at->slot && at->place >= FirstSlotAtRisk) {
            otherwise += ", " + std::to_string(at->place);
            last = std::max(last, at->place);
        }
        if (at->slot < FirstSlotAtRisk)
            continue;
        const std::string text = Quoted(at->name) + " (" + role.name + ") at " + std::to_string(at->slot);
        (at->slot > UsedOverlaySlots ? past : atRisk) += (", " + text);
        if (at->slot > UsedOverlaySlots)
            stopped |= BadgeOf(role);
        last = std::max(last, at->place);
    }
    if (past.empty() && atRisk.empty())
        report.Add(CReport::Fact, "Ours that load are all within the first " + std::to_string(FirstSlotAtRisk - 1) +
                                      " slots (the file manager reads them when it starts)");
    if (last == 0)
        return;
    // The remedy names what stands before ours: first an identifier that does not load (harmless to
    // remove), then one of a program that works; only names a command prompt takes as they are.
    std::string example[2];
    size_t others[2] = {};
    for (size_t i = 0; i + 1 < last; ++i) {
        const CIdentifier& other = identifiers[i];
        if (other.ours)
            continue;
        ++others[other.loads];
        const bool pasteable = other.name.find_first_of(L"\"%") == std::wstring::npos &&
                               std::all_of(other.name.begin(), other.name.end(), [](wchar_t c) { return c >= 0x20; });
        if (example[other.loads].empty() && pasteable)
            example[other.loads] =
                "reg delete \"HKLM\\" + Narrow(OverlayIdentifiersKey) + "\\" + Narrow(other.name) + "\" /f";
    }
    std::string remove;
    if (!example[0].empty())
        remove = "remove the identifiers that do not load (they show nothing), for example " + example[0] + "; ";
    remove += "remove those of programs no longer in use" +
              (example[1].empty() ? std::string(" with the Registry Editor") : ", for example " + example[1]) +
              ", or ask their makers for fewer. Names sort by their leading spaces first. Commands as administrator; "
              "then restart the file manager, which reads the identifiers only when it starts";
    const std::string before = " Before them: " + std::to_string(others[1]) +
                               " identifiers of other programs that load, " + std::to_string(others[0]) +
                               " that do not";
    if (!past.empty())
        report.Add(CReport::Problem,
                   "Past the " + std::to_string(UsedOverlaySlots) + " slots, so never shown: " + past.substr(2) + "." +
                       before,
                   remove, stopped);
    if (!atRisk.empty())
        report.Add(CReport::Warning,
                   "Near the end of the " + std::to_string(UsedOverlaySlots) +
                       " slots, so perhaps not shown (Windows keeps some of them for its own overlays): " +
                       atRisk.substr(2) + "." + (past.empty() ? before : ""),
                   past.empty() ? remove : "");
    if (!otherwise.empty())
        report.Add(CReport::Detail,
                   "Counted with the identifiers that do not load, ours would stand at " + otherwise.substr(2) +
                       ": the documentation counts slots in the system image list, which only an overlay that loads "
                       "takes; removing those identifiers settles it either way",
                   past.empty() && atRisk.empty() ? remove : "");
}
