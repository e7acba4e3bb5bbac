#include "status/FolderReads.h"

#include <algorithm>

#include "base/Clock.h"
#include "base/PathHelper.h"
#include "base/SharedLock.h"
#include "status/StatusCache.h"

namespace {
constexpr uint64_t LifeTicks = uint64_t(CStatusCache::DefaultTtlSeconds) * CClock::TicksPerSecond;
}

CFolderReads& CFolderReads::GetInstance()
{
    static CFolderReads instance;
    return instance;
}

// A folder as large as the status cache can still be read at once: its items fit the cache.
CFolderReads::CFolderReads() : m_bound(CStatusCache::DefaultCapacity), m_lock(GetSharedLock())
{
}

void CFolderReads::SetBound(size_t bound)
{
    CSharedLockGuard guard(m_lock);
    m_bound = bound;
    Clear();
}

size_t CFolderReads::Bound()
{
    CSharedLockGuard guard(m_lock);
    return m_bound;
}

std::vector<CFolderReads::CRead>::iterator CFolderReads::Locate(std::wstring_view folder, uint64_t now)
{
    const auto read =
        std::find_if(m_reads.begin(), m_reads.end(), [folder](const CRead& r) { return r.folder == folder; });
    if (read == m_reads.end() || read->tick + LifeTicks >= now)
        return read;
    Erase(read);
    return m_reads.end();
}

void CFolderReads::Erase(std::vector<CRead>::iterator read)
{
    m_rowsHeld -= read->rows.Count();
    m_reads.erase(read);
}

CFolderReads::Found CFolderReads::Find(std::wstring_view folder, std::wstring_view name, int32_t* status,
                                       uint64_t* readTick)
{
    CSharedLockGuard guard(m_lock);
    if (m_bound == 0)
        return Found::ItemByItem;
    const auto read = Locate(folder, CClock::NowTicks());
    if (read == m_reads.end())
        return Found::Unread;
    if (read->state != State::Rows)
        return Found::ItemByItem;
    *readTick = read->tick;
    return read->rows.Find(name, status) ? Found::Row : Found::NoRow;
}

bool CFolderReads::Claim(std::wstring_view folder, uint64_t* claim, uint64_t* readTick)
{
    CSharedLockGuard guard(m_lock);
    const uint64_t now = CClock::NowTicks();
    if (m_bound == 0 || Locate(folder, now) != m_reads.end())
        return false;
    try {
        m_reads.push_back(CRead{std::wstring(folder), now, m_nextClaim, State::Reading, {}});
    } catch (const std::bad_alloc&) {
        return false;
    }
    *claim = m_nextClaim++;
    *readTick = now;
    return true;
}

void CFolderReads::Settle(std::wstring_view folder, uint64_t claim, CClientDbReader::FolderRead outcome,
                          CFolderRows&& rows)
{
    CSharedLockGuard guard(m_lock);
    const auto read = std::find_if(m_reads.begin(), m_reads.end(),
                                   [&](const CRead& r) { return r.claim == claim && r.folder == folder; });
    if (read == m_reads.end())
        return;
    switch (outcome) {
    case CClientDbReader::FolderRead::Rows:
        read->state = State::Rows;
        read->rows = std::move(rows);
        m_rowsHeld += read->rows.Count();
        MakeRoom(claim);
        break;
    case CClientDbReader::FolderRead::TooMany:
    case CClientDbReader::FolderRead::NotHere:
        read->state = State::ItemByItem; // not tried again before its life ends
        break;
    case CClientDbReader::FolderRead::Failed:
        Erase(read); // the next miss tries again
        break;
    }
}

void CFolderReads::MakeRoom(uint64_t keepClaim)
{
    while (m_reads.size() > MaxFolders || m_rowsHeld > MaxRowsPerBound * m_bound) {
        auto oldest = m_reads.end();
        for (auto read = m_reads.begin(); read != m_reads.end(); ++read) {
            if (read->claim != keepClaim && read->state != State::Reading &&
                (oldest == m_reads.end() || read->tick < oldest->tick))
                oldest = read;
        }
        if (oldest == m_reads.end())
            return;
        Erase(oldest);
    }
}

void CFolderReads::ForgetFolderOf(std::wstring_view root, std::wstring_view path)
{
    CSharedLockGuard guard(m_lock);
    if (m_reads.empty())
        return; // the common case, and no canonical path is made for it
    std::wstring relative;
    if (!COrbethPathHelper::MakeRelativePath(root, path, 0, &relative) || relative.size() < 2)
        return; // the root itself
    COrbethPathHelper::CanonicalizeInPlace(&relative);
    const std::wstring_view folder = std::wstring_view(relative).substr(0, NameStart(relative));
    const auto read =
        std::find_if(m_reads.begin(), m_reads.end(), [folder](const CRead& r) { return r.folder == folder; });
    if (read != m_reads.end())
        Erase(read);
}

size_t CFolderReads::Count()
{
    CSharedLockGuard guard(m_lock);
    return m_reads.size();
}

void CFolderReads::Clear()
{
    CSharedLockGuard guard(m_lock);
    m_reads.clear();
    m_rowsHeld = 0;
}
