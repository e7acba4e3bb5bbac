#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
    const wchar_t* text; // in English

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
// The texts in the file manager's user interface language: string resources of the module, the
// title at MenuStringFirst and the lines after it; the English texts where the module has none.
inline constexpr UINT MenuStringFirst = 400;
std::wstring MenuEntryTitle();
// Empty past the last line.
std::wstring MenuLineText(UINT line);
// The icon both entries show, the classic one as a bitmap made from it.
inline constexpr int MenuIconResource = 204;

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
