#include "client/FolderRows.h"

#include <algorithm>

void CFolderRows::Clear() noexcept
{
    m_names.clear();
    m_rows.clear();
}

void CFolderRows::Add(std::wstring_view name, int32_t status)
{
    m_rows.push_back(CRow{m_names.size(), name.size(), status});
    try {
        m_names.append(name);
    } catch (...) {
        m_rows.pop_back();
        throw;
    }
}

void CFolderRows::Seal()
{
    // Rows read along an index come in order already (but for names beyond the surrogates).
    const auto byName = [this](const CRow& a, const CRow& b) { return NameOf(a) < NameOf(b); };
    if (!std::is_sorted(m_rows.begin(), m_rows.end(), byName))
        std::stable_sort(m_rows.begin(), m_rows.end(), byName);
    const auto sameName = [this](const CRow& a, const CRow& b) { return NameOf(a) == NameOf(b); };
    m_rows.erase(std::unique(m_rows.begin(), m_rows.end(), sameName), m_rows.end());
}

bool CFolderRows::Find(std::wstring_view name, int32_t* status) const
{
    const auto row = std::lower_bound(m_rows.begin(), m_rows.end(), name,
                                      [this](const CRow& a, std::wstring_view b) { return NameOf(a) < b; });
    if (row == m_rows.end() || NameOf(*row) != name)
        return false;
    *status = row->status;
    return true;
}
