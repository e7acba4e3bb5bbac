#include "menu/MenuCommands.h"

#include "menu/Selection.h"

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
