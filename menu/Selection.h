#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>
#include <shtypes.h>

#include "status/FileInfo.h"

class CClientConfig;
class CClientDbReader;
class COrbethStatusResolver;

// The items one context menu was opened on, and the decisions its menu takes on them. Each
// handler keeps its own: two menus alive at once (two windows on two threads, or two handlers on
// one thread) never see or empty each other's items.
class COrbethSelection {
public:
    // ItemKinds bits.
    static constexpr uint32_t KindFile = 1;
    static constexpr uint32_t KindFolder = 2;
    // MenuForm values; 0 is "not decided yet".
    static constexpr uint32_t FormInactive = 1;
    static constexpr uint32_t FormExcluded = 2;
    static constexpr uint32_t FormFull = 3;
    // The decisions look at no more records than this, however large the selection.
    static constexpr size_t DecisionLimit = 16;

    COrbethSelection();

    void ResetSelection() noexcept;
    // A selection that starts outside the sync root takes nothing; one that starts under it takes
    // every path, and remembers when one lies elsewhere (search results, libraries). False when
    // the path was not added. Throws std::bad_alloc.
    bool AddPath(const wchar_t* path);
    // A folder's background: the folder's own path, read whole however deep. False when it has
    // none (a virtual folder) or was not added. Throws std::bad_alloc.
    bool AddFolder(PCIDLIST_ABSOLUTE folder);

    size_t Count() const { return m_records.size(); }
    std::vector<COrbethFileInfo>& Records() { return m_records; }
    uint32_t ItemKinds() const { return m_itemKinds; }
    // A record lies outside the root: the client cannot be handed such a selection.
    bool LeavesRoot() const { return m_leavesRoot; }

    // Decided on first need and kept until the next reset: a status that changes in between
    // is not seen by a second menu on the same selection.
    uint32_t GetMenuForm();
    // The form was decided: asking for it again reads no database.
    bool IsFormDecided() const { return m_menuForm != 0; }
    uint32_t GetShareCount();
    // One file alone, known to the cloud.
    bool IsSingleCloudFile();

private:
    // The canonical path under which a record's cloud entry is asked; false when it can have none.
    bool CloudEntryPath(COrbethFileInfo& record, std::wstring* path);
    size_t CountCloudEntries(const std::vector<std::wstring>& paths, size_t enough);

    COrbethStatusResolver* m_resolver;
    CClientConfig* m_config;
    CClientDbReader* m_reader;
    std::vector<COrbethFileInfo> m_records;
    bool m_underRoot = true;
    bool m_leavesRoot = false;
    uint32_t m_itemKinds = 0;
    uint32_t m_menuForm = 0;
    uint32_t m_shareCount = 0;
};
