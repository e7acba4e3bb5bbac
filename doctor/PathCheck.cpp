// One path as the module sees it: the resolver's own decision, told step by step, and the menu
// the handler's own selection and rules would give it.
#include <windows.h>

#include <iterator>

#include "base/PathHelper.h"
#include "client/ClientContract.h"
#include "doctor/Checks.h"
#include "doctor/Machine.h"
#include "doctor/Report.h"
#include "menu/MenuCommands.h"
#include "menu/Selection.h"
#include "status/StatusResolver.h"

namespace {

const char* const DecisionNames[] = {
    "no_path",
    "service_not_running",
    "no_root",
    "outside_root",
    "filtered_by_attribute",
    "no_user",
    "cached",
    "no_row_by_design",
    "no_sync_db",
    "row",
    "no_row",
    "no_row_kept_earlier",
    "remote_ancestor",
};
static_assert(std::size(DecisionNames) == CResolveTrace::RemoteAncestor + 1);

const char* BadgeName(int32_t status)
{
    return status == StatusOk ? "ok" : status == StatusPending ? "pending" : status == StatusError ? "error" : "none";
}

const char* BadgeWords(int32_t status)
{
    return status == StatusOk        ? "in sync"
           : status == StatusPending ? "waiting to sync"
           : status == StatusError   ? "failed to sync"
                                     : "none";
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

std::string SkippedAttributes(uint32_t attributes)
{
    const struct {
        uint32_t bit;
        const char* name;
    } names[] = {{FILE_ATTRIBUTE_HIDDEN, "hidden"},
                 {FILE_ATTRIBUTE_SYSTEM, "system"},
                 {FILE_ATTRIBUTE_DEVICE, "device"},
                 {FILE_ATTRIBUTE_OFFLINE, "offline"},
                 {FILE_ATTRIBUTE_VIRTUAL, "virtual"}};
    std::string text;
    for (const auto& name : names) {
        if (attributes & name.bit & COrbethPathHelper::UnmanagedAttributes)
            text += (text.empty() ? "" : ", ") + std::string(name.name);
    }
    return text;
}

// The resolver's steps up to the one that decided, each that passed and then the deciding one.
void TellSteps(CReport& report, const CResolveTrace& trace, uint32_t attributes)
{
    using D = CResolveTrace;
    Json::Value& steps = report.Facts()["steps"];
    const auto step = [&](const std::string& text) {
        report.Add(CReport::Detail, text);
        steps.append(text);
    };
    const auto decided = [&](D::Decision decision, const std::string& no, const std::string& yes) {
        if (trace.decision == decision)
            step(no);
        else if (!yes.empty())
            step(yes);
        return trace.decision == decision;
    };
    const std::string service = "the service " + Narrow(ClientContract::ServiceName);
    if (decided(D::ServiceNotRunning, service + " does not run, and then nothing gets a badge", service + " runs") ||
        decided(D::NoRoot, "the client's root folder cannot be read (its key, value or folder is missing)", "") ||
        decided(D::OutsideRoot, "not under the client's root folder " + Narrow(trace.root),
                "under the client's root folder " + Narrow(trace.root)))
        return;
    const std::string skipped = attributes == INVALID_FILE_ATTRIBUTES
                                    ? "it does not exist (its attributes cannot be read)"
                                    : "its attributes (" + Hex(attributes) + ") include " +
                                          SkippedAttributes(attributes) + ", which the module never badges";
    if (decided(D::FilteredByAttribute, skipped,
                "its attributes (" + Hex(attributes) + ") are none that the module skips") ||
        decided(D::NoUser, "no user is signed in to the client", "a user is signed in to the client") ||
        decided(D::Cached, "the status cache held the answer", ""))
        return;
    const std::string relative = Narrow(trace.relative);
    const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
    switch (trace.decision) {
    case D::NoRowByDesign:
        step("relative path " + relative + ": the root itself, or a one-character name under it, has no row");
        break;
    case D::NoSyncDb:
        step("sync.db cannot be found, so nothing is known of any item");
        break;
    case D::Row: {
        const int32_t masked = trace.rowStatus & StatusStateMask;
        const bool excluded = trace.rowStatus & StatusExcludedFlag;
        report.Facts()["row_status"] = trace.rowStatus;
        report.Facts()["masked_status"] = masked;
        report.Facts()["excluded"] = excluded;
        step("sync.db's row for " + relative + ": status " + std::to_string(trace.rowStatus) + ", which masks to " +
             std::to_string(masked) + " (" + (masked == 3 ? "no sync state: no badge" : BadgeWords(masked)) + ")" +
             (excluded ? "; its excluded flag (8) is set: the administrator excluded it" : "; not excluded"));
        break;
    }
    case D::NoRow:
        step("sync.db has no row for " + relative +
             (folder ? ", and it lies above no folder the client syncs from the cloud" : ""));
        break;
    case D::NoRowKeptEarlier:
        step("sync.db has no row for " + relative + " now; the status cache's earlier answer stands");
        break;
    case D::RemoteAncestor:
        step("sync.db has no row for " + relative + ", but it lies above a folder the client syncs from the cloud");
        break;
    default:
        break;
    }
}

std::string CommandLabel(const wchar_t* text)
{
    std::wstring label;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c != L'&')
            label += *c;
    }
    return Narrow(label);
}

void TellMenu(CReport& report, const std::wstring& path)
{
    Json::Value& menu = report.Facts()["menu"];
    COrbethSelection selection;
    if (!selection.AddPath(path.c_str())) {
        menu["form"] = "refused";
        report.Add(CReport::Fact, "Menu, this path alone: refused, no Orbeth entry: it is not under the client's root "
                                  "folder (or that cannot be read)");
        return;
    }
    const uint32_t form = selection.GetMenuForm();
    if (form == COrbethSelection::FormInactive) {
        menu["form"] = "inactive";
        report.Add(CReport::Fact, "Menu, this path alone: inactive, a greyed Orbeth entry without commands (the "
                                  "item is not in sync)");
        return;
    }
    if (form == COrbethSelection::FormExcluded) {
        menu["form"] = "excluded";
        report.Add(CReport::Fact, "Menu, this path alone: excluded, the Orbeth entry holds one greyed line saying "
                                  "the administrator excluded the item");
        return;
    }
    menu["form"] = "full";
    const CSelectionFacts facts = GetSelectionFacts(selection);
    report.Add(CReport::Fact,
               "Menu, this path alone: full, the Orbeth entry with its commands (" +
                   std::to_string(facts.shareCount - 1) + " shareable with a cloud entry; " +
                   (facts.singleCloudFile ? "a file known to the cloud" : "not a file known to the cloud") + ")");
    for (const CMenuCommand& command : MenuCommands) {
        const bool enabled = command.enabled(facts);
        Json::Value entry;
        entry["command"] = CommandLabel(command.text);
        entry["enabled"] = enabled;
        entry["rule"] = command.rule;
        menu["commands"].append(entry);
        report.Add(CReport::Detail, CommandLabel(command.text) + ": " + (enabled ? "enabled" : "greyed") + " (when " +
                                        command.rule + ")");
    }
}

} // namespace

void CheckPath(CReport& report, const std::wstring& given)
{
    std::wstring path, device;
    const Machine::PathKind kind = Machine::JudgePath(given, &path, &device);
    const bool same = path == given;
    report.BeginItem("paths", "Path " + Shortened(given) + (same ? "" : ", judged as " + Shortened(path)));
    Json::Value& facts = report.Facts();
    facts["path"] = Narrow(given);
    facts["judged_path"] = Narrow(path);
    switch (kind) {
    case Machine::PathKind::Empty:
        facts["kind"] = "empty";
        report.Add(CReport::Fact, "An empty path: nothing to answer");
        return;
    case Machine::PathKind::TooLong:
        facts["kind"] = "too long";
        report.Add(CReport::Fact, "Longer than any Windows path (32,767 characters): not asked");
        return;
    case Machine::PathKind::Device:
        facts["kind"] = "device";
        report.Add(CReport::Fact, "Names the device " + Narrow(device) + ", not a file: not opened, never badged");
        return;
    case Machine::PathKind::Network:
        facts["kind"] = "network";
        report.Add(CReport::Fact, "A network path: not opened. The module badges only items under the client's root "
                                  "folder, on this machine");
        return;
    case Machine::PathKind::Relative:
    case Machine::PathKind::Local:
        facts["kind"] = "local";
        break;
    }
    if (path.size() >= MAX_PATH)
        report.Add(CReport::Fact, std::to_string(path.size()) + " characters long: more than MAX_PATH (260), which "
                                                                "the file manager rarely shows");

    // As the file manager asks an overlay: with the attributes it read for the item.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    facts["exists"] = attributes != INVALID_FILE_ATTRIBUTES;
    CResolveTrace trace;
    const int32_t badge = COrbethStatusResolver::GetInstance().GetPathStatus(path.c_str(), attributes, nullptr, &trace);
    facts["badge"] = BadgeName(badge);
    facts["decision"] = DecisionNames[trace.decision];
    report.Add(CReport::Fact, std::string("Badge: ") + BadgeWords(badge) + ". Step by step:");
    TellSteps(report, trace, attributes);
    TellMenu(report, path);
}
