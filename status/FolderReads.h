#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/ClientDbReader.h"
#include "client/FolderRows.h"

class CSharedLock;

// The folders of the sync database read at once, by canonical folder path, each for the life of
// a status from the moment it was read: an item of a folder read within it is answered from the
// read, and no answer is older than a single-row read's would be. A folder being read, or one
// with too many children to read at once, is answered item by item meanwhile. Every operation
// runs under the shared lock, and none reads the database.
class CFolderReads {
public:
    enum class Found {
        Unread,     // no read alive: the caller may claim the folder and read it
        ItemByItem, // being read by another thread, or too big: ask the item's own row
        NoRow,
        Row,
    };
    // At most this many folders, and this many rows among them, are kept; the oldest go first.
    static constexpr size_t MaxFolders = 16;
    static constexpr size_t MaxRowsPerBound = 4;

    static CFolderReads& GetInstance();

    CFolderReads();

    // Children per folder above which its items are read one by one; 0 reads none at once.
    void SetBound(size_t bound);
    size_t Bound();

    // readTick gets the clock's tick of the read that answered (NoRow and Row).
    Found Find(std::wstring_view folder, std::wstring_view name, int32_t* status, uint64_t* readTick);
    // Marks the folder as being read by this thread; false when it is known or claimed already.
    // claim and readTick identify the read for Settle.
    bool Claim(std::wstring_view folder, uint64_t* claim, uint64_t* readTick);
    // Keeps what the claimed read found (the rows are moved in), unless the folder was forgotten
    // in the meantime: then its read may predate a change the caches were told of.
    void Settle(std::wstring_view folder, uint64_t claim, CClientDbReader::FolderRead outcome, CFolderRows&& rows);
    // A status was pushed for this path under the root: the read of its folder may predate it.
    void ForgetFolderOf(std::wstring_view root, std::wstring_view path);
    void Clear();
    // Folders kept, those being read included.
    size_t Count();

    // Where the name begins in a canonical path of more than one character: after the "/" before
    // it (a folder's name ends in "/"). What comes before is its folder's canonical path.
    static size_t NameStart(std::wstring_view canonical) { return canonical.rfind(L'/', canonical.size() - 2) + 1; }

private:
    enum class State { Reading, Rows, ItemByItem };
    struct CRead {
        std::wstring folder;
        uint64_t tick;
        uint64_t claim;
        State state;
        CFolderRows rows;
    };

    std::vector<CRead>::iterator Locate(std::wstring_view folder, uint64_t now);
    void MakeRoom(uint64_t keepClaim);
    void Erase(std::vector<CRead>::iterator read);

    std::vector<CRead> m_reads;
    size_t m_rowsHeld = 0;
    uint64_t m_nextClaim = 1;
    size_t m_bound;
    CSharedLock* m_lock;
};
