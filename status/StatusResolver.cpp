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
      m_reader(&CClientDbReader::GetInstance())
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
    bool newBatch = false;
    std::wstring relative;
    {
        // One hold of the lock for the cached checks that run for every icon drawn: the nested
        // takes inside are then cheap, and the root is read in place without a copy.
        CSharedLockGuard guard(m_lock);
        decided(CResolveTrace::ServiceNotRunning);
        if (!IsServiceRunning())
            return StatusNone;
        decided(CResolveTrace::NoRoot);
        const std::wstring* root = m_config->GetRootDir();
        if (trace && root)
            trace->root = *root;
        if (!root || !COrbethPathHelper::IsManagedPath(*root, pathText, attributes)) {
            if (trace && root)
                trace->decision = COrbethPathHelper::IsPathUnderRoot(*root, pathText)
                                      ? CResolveTrace::FilteredByAttribute
                                      : CResolveTrace::OutsideRoot;
            return StatusNone;
        }
        decided(CResolveTrace::NoUser);
        if (!m_config->GetClientUser()) {
            // The client signed out: nothing known about its items holds any more.
            if (m_statusCache->Count() != 0) {
                setChanged();
                m_statusCache->Clear();
            }
            return StatusNone;
        }
        newBatch = IsNewBatch();
        decided(CResolveTrace::Cached);
        if (!newBatch && m_statusCache->Get(pathText, &result, nullptr))
            return result;
        // From the root just checked, not read a second time: it may change or expire in between.
        if (relativePath)
            relative = *relativePath;
        else
            COrbethPathHelper::MakeRelativePath(*root, pathText, attributes, &relative);
    }
    if (newBatch) {
        ReloadRemoteFolders(); // parsed outside the lock
        if (m_statusCache->Get(pathText, &result, nullptr))
            return result;
    }

    const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool noSyncDb = false;
    decided(CResolveTrace::NoRowByDesign);
    // "/" is the root and "/x" a one-character name directly under it: neither has a row.
    if (relative.size() > 2) {
        std::wstring syncDb;
        if (!m_config->CopySyncDbPath(&syncDb)) {
            noSyncDb = true;
            decided(CResolveTrace::NoSyncDb);
        } else {
            CanonicalizeInPlace(&relative);
            const int32_t status = isDirectory ? m_reader->GetFolderStatus(syncDb.c_str(), relative)
                                               : m_reader->GetFileStatus(syncDb.c_str(), relative);
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
    } else {
        m_statusCache->Put(pathText, result, attributes, -1);
    }
    return result;
}

bool COrbethStatusResolver::GetBatchId(int* id)
{
    if (m_values->GetInt(CValueCache::BatchIdKey, id))
        return *id >= 0;
    CSharedLockGuard guard(m_lock);
    const std::wstring* syncDb = m_config->GetSyncDbPath();
    if (!syncDb)
        return false;
    // A failed read is kept as well: a database the client holds locked, or is mending, is then
    // not opened again for every icon drawn, which would keep the client from replacing it.
    const int found = m_reader->GetMaxBatchId(syncDb->c_str());
    m_values->PutInt(CValueCache::BatchIdKey, found, nullptr, BatchIdTtlSeconds);
    *id = found;
    return found >= 0;
}

bool COrbethStatusResolver::IsNewBatch()
{
    int batchId = -1;
    GetBatchId(&batchId); // a failure leaves -1, which is news too after a valid id
    // Read first: the exchange, a locked operation, is needed only when the id moved.
    return m_lastBatchId.load(std::memory_order_relaxed) != batchId && m_lastBatchId.exchange(batchId) != batchId;
}

void COrbethStatusResolver::ReadRemoteFoldersText(std::wstring* text)
{
    text->clear();
    CSharedLockGuard guard(m_lock);
    if (const std::wstring* syncDb = m_config->GetSyncDbPath())
        m_reader->GetLatestRemoteFolders(syncDb->c_str(), text);
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
            CanonicalizeInPlace(&folder);
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

void COrbethStatusResolver::CanonicalizeInPlace(std::wstring* text)
{
    COrbethPathHelper::NormalizeInPlace(text);
    COrbethPathHelper::LowerCaseInPlace(text);
}
