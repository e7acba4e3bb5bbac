#include "menu/MenuCommands.h"

#include <string>

#include "base/ModuleInstance.h"
#include "menu/LocalServiceRequest.h"
#include "menu/Selection.h"
#include "menu/WebLinks.h"

namespace {
// The client answers a share request with an id of exactly this many characters.
constexpr size_t ShareLinkIdLength = 32;
} // namespace

CSelectionFacts GetSelectionFacts(COrbethSelection& selection)
{
    const uint32_t shareCount = selection.GetShareCount();
    return {selection.Count(), selection.LeavesRoot(), selection.ItemKinds(), shareCount,
            selection.IsSingleCloudFile()};
}

const CMenuCommand MenuCommands[MenuCommandCount] = {
    {L"&Share",
     "every item under the root, fewer than 16, not files and folders together, one or more shareable with a "
     "cloud entry",
     [](const CSelectionFacts& f) {
         return !f.leavesRoot && f.count < COrbethSelection::DecisionLimit &&
                f.itemKinds != (COrbethSelection::KindFile | COrbethSelection::KindFolder) && f.shareCount >= 2;
     }},
    {L"&Copy link", "every item under the root, exactly one shareable with a cloud entry",
     [](const CSelectionFacts& f) { return !f.leavesRoot && f.shareCount == 2; }},
    {L"&Comments", "one file alone, known to the cloud", [](const CSelectionFacts& f) { return f.singleCloudFile; }},
    {L"&View Versions", "one file alone, known to the cloud",
     [](const CSelectionFacts& f) { return f.singleCloudFile; }},
    {L"&View in Cloud", "one item alone", [](const CSelectionFacts& f) { return f.count == 1; }},
};

namespace {

std::wstring LoadedText(UINT id, const wchar_t* english)
{
    // With no buffer, LoadStringW hands out the resource's own text, which is not terminated.
    const wchar_t* text = nullptr;
    const int length = LoadStringW(GetModuleInstance(), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, size_t(length)) : std::wstring(english);
}

} // namespace

std::wstring MenuEntryTitle()
{
    return LoadedText(MenuStringFirst, L"Orbeth");
}

std::wstring MenuLineText(UINT line)
{
    if (line < MenuCommandCount)
        return LoadedText(MenuStringFirst + 1 + line, MenuCommands[line].text);
    return line == ExcludedLine
               ? LoadedText(MenuStringFirst + 1 + line, L"&File excluded from sync by your administrator")
               : std::wstring();
}

CMenuModel BuildMenuModel(COrbethSelection& selection)
{
    CMenuModel model;
    if (selection.Count() == 0)
        return model;
    model.form = selection.GetMenuForm();
    if (model.form == COrbethSelection::FormFull) {
        const CSelectionFacts facts = GetSelectionFacts(selection);
        for (size_t i = 0; i < MenuCommandCount; ++i)
            model.lines[i] = MenuCommands[i].enabled(facts) ? CLineState::Enabled : CLineState::Greyed;
    } else if (model.form == COrbethSelection::FormExcluded) {
        model.lines[ExcludedLine] = CLineState::Greyed;
    }
    return model;
}

HRESULT RunMenuCommand(COrbethSelection& selection, UINT command)
{
    switch (command) {
    case 0: { // Share
        std::wstring id;
        const HRESULT posted = LocalServiceRequest::PostSelection(selection, "1", &id);
        return SUCCEEDED(posted) && id.size() == ShareLinkIdLength ? WebLinks::OpenShareLink(selection, id) : posted;
    }
    case 1: // Copy link
        return LocalServiceRequest::PostSelection(selection, "2", nullptr);
    case 2: // Comments
    case 3: // View Versions
        return WebLinks::OpenFilePage(selection, command);
    case 4: // View in Cloud
        return WebLinks::OpenInCloud(selection);
    default:
        return E_INVALIDARG;
    }
}
