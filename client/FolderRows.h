#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The rows of one folder's direct children, read at once: each child's name (its canonical path
// after the folder's, with the trailing "/" of a folder) and its raw status. The names sit in one
// block of text, so that a folder of thousands of items costs a few allocations, not thousands.
class CFolderRows {
public:
    void Clear() noexcept;
    // Throws std::bad_alloc.
    void Add(std::wstring_view name, int32_t status);
    // Orders the rows for Find. Of rows with one name the first added stands: the reads add them
    // in rowid order, the order in which the single-row query finds its first.
    void Seal();
    bool Find(std::wstring_view name, int32_t* status) const;
    size_t Count() const { return m_rows.size(); }

private:
    struct CRow {
        size_t offset;
        size_t length;
        int32_t status;
    };
    std::wstring_view NameOf(const CRow& row) const
    {
        return std::wstring_view(m_names).substr(row.offset, row.length);
    }

    std::wstring m_names;
    std::vector<CRow> m_rows;
};
