#include "status/StatusResolver.h"

#include <json/json.h>

#include <cwchar>
#include <exception>
#include <memory>

#include "base/PathHelper.h"
#include "base/SharedLock.h"
#include "base/Utf8.h"
#include "base/ValueCache.h"
#include "client/ClientConfig.h"
#include "client/ClientContract.h"
#include "client/ClientDbReader.h"
#include "client/ServiceMonitor.h"
#include "status/FileInfo.h"
#include "status/FolderReads.h"
#include "status/StatusCache.h"

namespace {
constexpr int32_t BatchIdTtlSeconds = 10;
}

COrbethStatusResolver& COrbethStatusResolver::GetInstance()
{
    // Created once even when threads arrive together; destroyed at unload before the objects
    // it points to, which were created (and so registered for teardown) before it.
    static COrbethStatusResolver instance;
    return instance;
}

COrbethStatusResolver::COrbethStatusResolver()
    : m_config(&CClientConfig::GetInstance()),
      m_values(&CValueCache::GetInstance()),
      m_lock(GetSharedLock()),
      m_statusCache(&CStatusCache::GetInstance()),
      m_reader(&CClientDbReader::GetInstance()),
      m_folders(&CFolderReads::GetInstance())
{
}

bool COrbethStatusResolver::IsServiceRunning()
{
    return ServiceMonitor::IsServiceRunning();
}

bool COrbethStatusResolver::GetLocalEndpoint(std::wstring* endpoint)
{
    return ServiceMonitor::GetLocalEndpoint(endpoint);
}

int32_t COrbethStatusResolver::GetPathStatus(const wchar_t* path, uint32_t attributes, bool* changed,
                                             CResolveTrace* trace)
{
    if (!path)
        return StatusNone;
    const int32_t status = ResolveStatus(path, wcslen(path), attributes, nullptr, changed, trace);
    return status == StatusNone ? StatusNone : status & StatusStateMask;
}

int32_t COrbethStatusResolver::GetFileInfoStatus(COrbethFileInfo& record)
{
    const std::wstring path = record.GetPath();
    const std::wstring relative = record.GetRelativePath();
    const int32_t status = ResolveStatus(path.c_str(), path.size(), record.GetAttributes(), &relative, nullptr);
    record.SetStatus(status);
    return status == StatusNone ? StatusNone : status & StatusStateMask;
}

int32_t COrbethStatusResolver::ResolveStatus(const wchar_t* path, size_t length, uint32_t attributes,
                                             const std::wstring* relativePath, bool* changed, CResolveTrace* trace)
{
    const auto setChanged = [changed] {
        if (changed)
            *changed = true;
    };
    const auto decided = [trace](CResolveTrace::Decision decision) {
        if (trace)
            trace->decision = decision;
    };
    decided(CResolveTrace::NoPath);
    if (!path)
        return StatusNone;
    const std::wstring_view pathText(path, length);
    // An expired entry still writes its status: it stands when the database knows nothing better.
    int32_t result = StatusNone;
    bool userKnown = false, batchKnown = false, newBatch = false;
    int batchId = -1;
    std::wstring relative, root;
    // True with the cached answer; otherwise the relative path is made, from the root just
    // checked, not read a second time: it may change or expire in between.
    const auto cachedAnswer = [&](const std::wstring& checkedRoot) {
        newBatch = IsNewBatch(batchId);
        decided(CResolveTrace::Cached);
        if (!newBatch && m_statusCache->Get(pathText, &result, nullptr))
            return true;
        if (relativePath)
            relative = *relativePath;
        else
            COrbethPathHelper::MakeRelativePath(checkedRoot, pathText, attributes, &relative);
        return false;
    };
    {
        // One hold of the lock for the cached checks that run for every icon drawn: the nested
        // takes inside are then cheap, and the root is read in place without a copy. No database
        // is read under it: a user or batch id whose life ended is read after it.
        CSharedLockGuard guard(m_lock);
        decided(CResolveTrace::ServiceNotRunning);
        if (!IsServiceRunning())
            return StatusNone;
        decided(CResolveTrace::NoRoot);
        const std::wstring* rootDir = m_config->GetRootDir();
        if (trace && rootDir)
            trace->root = *rootDir;
        if (!rootDir || !COrbethPathHelper::IsManagedPath(*rootDir, pathText, attributes)) {
            if (trace && rootDir)
                trace->decision = COrbethPathHelper::IsPathUnderRoot(*rootDir, pathText)
                                      ? CResolveTrace::FilteredByAttribute
                                      : CResolveTrace::OutsideRoot;
            return StatusNone;
        }
        decided(CResolveTrace::NoUser);
        userKnown = m_config->IsClientUserCached();
        batchKnown = m_values->GetInt(CValueCache::BatchIdKey, &batchId);
        if (!userKnown || !batchKnown)
            root = *rootDir;
        else if (cachedAnswer(*rootDir))
            return result;
    }
    if (!userKnown || !batchKnown) {
        if (!userKnown && !m_config->GetClientUser(nullptr)) {
            // The client signed out: nothing known about its items holds any more.
            if (m_statusCache->Count() != 0) {
                setChanged();
                m_statusCache->Clear();
            }
            m_folders->Clear();
            return StatusNone;
        }
        if (!batchKnown)
            batchId = ReadBatchId();
        if (cachedAnswer(root))
            return result;
    }
    if (newBatch) {
        ReloadRemoteFolders(); // read and parsed outside the lock
        // Rows read before the batch may be older than it: their items are asked again.
        m_folders->Clear();
        if (m_statusCache->Get(pathText, &result, nullptr))
            return result;
    }

    const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool noSyncDb = false;
    uint64_t readTick = 0; // now
    decided(CResolveTrace::NoRowByDesign);
    // "/" is the root and "/x" a one-character name directly under it: neither has a row.
    if (relative.size() > 2) {
        std::wstring syncDb;
        if (!m_config->CopySyncDbPath(&syncDb)) {
            noSyncDb = true;
            decided(CResolveTrace::NoSyncDb);
        } else {
            COrbethPathHelper::CanonicalizeInPlace(&relative);
            const int32_t status = ReadStatus(syncDb, relative, &readTick);
            if (trace) {
                trace->rowStatus = status;
                trace->decision = status >= 0            ? CResolveTrace::Row
                                  : result == StatusNone ? CResolveTrace::NoRow
                                                         : CResolveTrace::NoRowKeptEarlier;
            }
            if (status >= 0) {
                if (status != result)
                    setChanged();
                result = status;
            }
        }
    }
    if (trace)
        trace->relative = relative;
    // A folder the database does not list, above a folder the client syncs from the cloud.
    // An empty relative path (a path the root does not lead to) is the ancestor of nothing.
    if (result == StatusNone && isDirectory && !relative.empty() && relative != L"/" &&
        IsAncestorOfRemoteFolder(relative)) {
        setChanged();
        decided(CResolveTrace::RemoteAncestor);
        result = StatusOk;
    }

    // Without the database nothing cached holds, this answer included, but only dropping other
    // items' answers is news: announcing this very one would make every redraw ask again, for as
    // long as the file is gone.
    if (noSyncDb) {
        if (m_statusCache->Count() != 0)
            setChanged();
        m_statusCache->Clear();
        m_folders->Clear();
    } else {
        m_statusCache->Put(pathText, result, attributes, -1, readTick);
    }
    return result;
}

int32_t COrbethStatusResolver::ReadStatus(const std::wstring& syncDb, const std::wstring& canonical, uint64_t* readTick)
{
    const size_t cut = CFolderReads::NameStart(canonical);
    const std::wstring_view folder(canonical.data(), cut), name = std::wstring_view(canonical).substr(cut);
    int32_t status = StatusNone;
    switch (m_folders->Find(folder, name, &status, readTick)) {
    case CFolderReads::Found::Row:
        return status;
    case CFolderReads::Found::NoRow:
        return StatusNone; // as the single-row query that finds nothing
    case CFolderReads::Found::Unread: {
        uint64_t claim = 0;
        if (!m_folders->Claim(folder, &claim, readTick))
            break;
        CFolderRows rows;
        const auto outcome = m_reader->ReadFolder(syncDb.c_str(), folder, m_folders->Bound(), &rows);
        const bool read = outcome == CClientDbReader::FolderRead::Rows;
        if (read && !rows.Find(name, &status))
            status = StatusNone;
        m_folders->Settle(folder, claim, outcome, std::move(rows));
        if (read)
            return status;
        break;
    }
    case CFolderReads::Found::ItemByItem:
        break;
    }
    *readTick = 0;
    return m_reader->GetEntryStatus(syncDb.c_str(), canonical);
}

int COrbethStatusResolver::ReadBatchId()
{
    std::wstring syncDb;
    if (!m_config->CopySyncDbPath(&syncDb))
        return -1;
    // A failed read is kept as well: a database the client holds locked, or is mending, is then
    // not opened again for every icon drawn, which would keep the client from replacing it.
    const int found = m_reader->GetMaxBatchId(syncDb.c_str());
    m_values->PutInt(CValueCache::BatchIdKey, found, nullptr, BatchIdTtlSeconds);
    return found;
}

bool COrbethStatusResolver::IsNewBatch(int batchId)
{
    // Read first: the exchange, a locked operation, is needed only when the id moved. A failed
    // read (-1) is news too after a valid id.
    return m_lastBatchId.load(std::memory_order_relaxed) != batchId && m_lastBatchId.exchange(batchId) != batchId;
}

void COrbethStatusResolver::ReadRemoteFoldersText(std::wstring* text)
{
    text->clear();
    std::wstring syncDb;
    if (m_config->CopySyncDbPath(&syncDb))
        m_reader->GetLatestRemoteFolders(syncDb.c_str(), text);
}

void COrbethStatusResolver::ReloadRemoteFolders()
{
    std::wstring text;
    ReadRemoteFoldersText(&text);
    std::string document;
    if (!WideToUtf8(text, &document))
        return;

    // Parsed outside the lock; a text that does not parse, too deep or too big for memory
    // included, leaves the list as it was.
    Json::Value root;
    try {
        Json::CharReaderBuilder builder;
        builder["stackLimit"] = ClientContract::MaxJsonNesting;
        const std::unique_ptr<Json::CharReader> parser(builder.newCharReader());
        if (document.empty() || !parser->parse(document.data(), document.data() + document.size(), &root, nullptr))
            return;
    } catch (...) {
        return;
    }

    CSharedLockGuard guard(m_lock);
    m_remoteFolders.clear();
    for (Json::ArrayIndex i = 0; i < root.size(); ++i) {
        try {
            std::wstring folder;
            if (!Utf8ToWide(root[i].asString() + "/", &folder))
                continue;
            COrbethPathHelper::CanonicalizeInPlace(&folder);
            m_remoteFolders.push_back(std::move(folder));
        } catch (const std::exception&) {
            // An element that is not a string (or a root that is not an array) is skipped.
        }
    }
}

bool COrbethStatusResolver::IsAncestorOfRemoteFolder(const std::wstring& relative)
{
    CSharedLockGuard guard(m_lock);
    for (const std::wstring& folder : m_remoteFolders) {
        if (relative.size() < folder.size() && folder.compare(0, relative.size(), relative) == 0)
            return true;
    }
    return false;
}

bool COrbethStatusResolver::IsUnderRootFolder(const wchar_t* path)
{
    CSharedLockGuard guard(m_lock);
    const std::wstring* root = m_config->GetRootDir();
    return path && root && COrbethPathHelper::IsPathUnderRoot(*root, path);
}

bool COrbethStatusResolver::IsSyncRootFolder(COrbethFileInfo& record)
{
    return (record.GetAttributes() & FILE_ATTRIBUTE_DIRECTORY) && record.GetRelativePath() == L"/";
}

void COrbethStatusResolver::MakeRelativePathFor(const wchar_t* path, uint32_t attributes, std::wstring* relative)
{
    if (!path || !relative)
        return;
    CSharedLockGuard guard(m_lock);
    if (const std::wstring* root = m_config->GetRootDir())
        COrbethPathHelper::MakeRelativePath(*root, path, attributes, relative);
}

bool COrbethStatusResolver::GetSyncDbPath(std::wstring* path)
{
    return m_config->CopySyncDbPath(path);
}
