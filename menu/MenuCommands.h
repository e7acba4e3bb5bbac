#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>

class COrbethSelection;

// What the enabling rules of the menu's commands look at, each worked out once per menu.
struct CSelectionFacts {
    size_t count;
    bool leavesRoot;
    uint32_t itemKinds;
    uint32_t shareCount; // 1, plus each shareable item with a cloud entry, up to 3
    bool singleCloudFile;
};

// The share count first: a shareable single file has then been looked up already.
CSelectionFacts GetSelectionFacts(COrbethSelection& selection);

// The commands of the full form, in their order in the submenu (= their offset from the first
// identifier), each with the rule that enables it, and that rule in words for the doctor.
struct CMenuCommand {
    const wchar_t* text;
    const char* rule;
    bool (*enabled)(const CSelectionFacts& facts);
};
inline constexpr size_t MenuCommandCount = 5;
extern const CMenuCommand MenuCommands[MenuCommandCount];

// Runs the full form's command at that offset on the selection: both menus run their commands here.
HRESULT RunMenuCommand(COrbethSelection& selection, UINT command);

// The menu both entries show, the classic one and the Windows 11 one: one decision, rendered twice,
// so the two cannot differ. The lines are the full form's commands, then the excluded form's line.
inline constexpr UINT ExcludedLine = MenuCommandCount;
inline constexpr size_t MenuLineCount = MenuCommandCount + 1;
extern const wchar_t MenuEntryTitle[];
const wchar_t* MenuLineText(UINT line);

enum class CLineState : uint8_t { Hidden, Greyed, Enabled };
struct CMenuModel {
    // COrbethSelection's form; 0 when nothing was selected and there is no entry.
    uint32_t form = 0;
    // By line. The submenu shows the lines that are not hidden, in this order: the full form shows
    // every command, so a command's position is its offset.
    CLineState lines[MenuLineCount] = {};
};
// Reads the database as the decisions need; an empty selection gets no entry.
CMenuModel BuildMenuModel(COrbethSelection& selection);
