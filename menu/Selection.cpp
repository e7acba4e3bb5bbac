#include "menu/Selection.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <string>

#include "client/ClientConfig.h"
#include "base/PathHelper.h"
#include "client/ClientDbReader.h"
#include "status/StatusResolver.h"

COrbethSelection::COrbethSelection()
    : m_resolver(&COrbethStatusResolver::GetInstance()),
      m_config(&CClientConfig::GetInstance()),
      m_reader(&CClientDbReader::GetInstance())
{
}

void COrbethSelection::ResetSelection() noexcept
{
    m_records.clear();
    m_underRoot = true;
    m_leavesRoot = false;
    m_itemKinds = 0;
    m_menuForm = 0;
    m_shareCount = 0;
}

bool COrbethSelection::AddPath(const wchar_t* path)
{
    if (!path)
        return false;
    if (m_itemKinds == 0)
        m_underRoot = m_resolver->IsUnderRootFolder(path);
    else if (!m_leavesRoot)
        m_leavesRoot = !m_resolver->IsUnderRootFolder(path);
    if (!m_underRoot)
        return false;
    m_records.emplace_back(path);
    // Attributes that cannot be read have every bit set, so such an item counts as a folder.
    m_itemKinds |= (m_records.back().GetAttributes() & FILE_ATTRIBUTE_DIRECTORY) ? KindFolder : KindFile;
    return true;
}

bool COrbethSelection::AddFolder(PCIDLIST_ABSOLUTE folder)
{
    // The longest path the system has; a MAX_PATH buffer would cut a deep folder's path short.
    std::wstring path(UNICODE_STRING_MAX_CHARS + 1, L'\0');
    return folder && SHGetPathFromIDListEx(folder, path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT) &&
           AddPath(path.c_str());
}

uint32_t COrbethSelection::GetMenuForm()
{
    if (m_menuForm)
        return m_menuForm;
    // Decided in full before it is kept: a failure half-way leaves it undecided.
    uint32_t form = FormInactive;
    const size_t count = std::min(m_records.size(), DecisionLimit);
    for (size_t i = 0; i < count; ++i) {
        if (m_resolver->GetFileInfoStatus(m_records[i]) == StatusOk) {
            form = FormFull;
            break;
        }
        if (form == FormInactive && m_records[i].IsExcluded())
            form = FormExcluded;
    }
    // The root folder has no status of its own, yet its menu is always the full one.
    if (form != FormFull && m_records.size() == 1 && m_resolver->IsSyncRootFolder(m_records[0]))
        form = FormFull;
    m_menuForm = form;
    return form;
}

uint32_t COrbethSelection::GetShareCount()
{
    if (m_shareCount)
        return m_shareCount;
    // The shareable records' cloud entries, asked on one connection.
    std::vector<std::wstring> asked;
    const size_t limit = std::min(m_records.size(), DecisionLimit);
    for (size_t i = 0; i < limit; ++i) {
        COrbethFileInfo& record = m_records[i];
        if (record.GetStatus() == StatusNone)
            m_resolver->GetFileInfoStatus(record);
        std::wstring path;
        if (m_config->IsSharingEnabled(record.GetAttributes()) && CloudEntryPath(record, &path))
            asked.push_back(std::move(path));
    }
    // One more than those known, up to 3 ("more than one"): two known are enough.
    const uint32_t count = 1 + static_cast<uint32_t>(CountCloudEntries(asked, 2));
    m_shareCount = count;
    return count;
}

bool COrbethSelection::IsSingleCloudFile()
{
    if (m_itemKinds != KindFile || m_records.size() != 1)
        return false;
    COrbethFileInfo& record = m_records[0];
    // A shareable file was already looked up by the count; otherwise the entry is asked for here.
    if (GetShareCount() == 2)
        return true;
    std::wstring path;
    return !m_config->IsSharingEnabled(record.GetAttributes()) && CloudEntryPath(record, &path) &&
           CountCloudEntries({path}, 1) == 1;
}

bool COrbethSelection::CloudEntryPath(COrbethFileInfo& record, std::wstring* path)
{
    if (record.GetStatus() != StatusOk)
        return false;
    *path = record.GetRelativePath();
    COrbethPathHelper::CanonicalizeInPlace(path);
    if (!(record.GetAttributes() & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    // The root ("/") and the folders directly under it ("/docs/") never have a cloud entry.
    const size_t slash = path->find(L'/', 1);
    return slash != std::wstring::npos && slash + 1 < path->size();
}

size_t COrbethSelection::CountCloudEntries(const std::vector<std::wstring>& paths, size_t enough)
{
    std::wstring syncDb;
    return paths.empty() || !m_resolver->GetSyncDbPath(&syncDb)
               ? 0
               : m_reader->CountCloudEntries(syncDb.c_str(), paths, enough);
}
