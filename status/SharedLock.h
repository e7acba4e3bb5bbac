#pragma once

#include <windows.h>

// The one re-entrant lock of the status engine. Every stateful object of the client, status and
// menu code takes it, often while a caller already holds it, so it must stay re-entrant and
// there must be no second lock beside it.
CRITICAL_SECTION* GetSharedLock();

class CSharedLockGuard {
public:
    explicit CSharedLockGuard(CRITICAL_SECTION* lock) : m_lock(lock) { EnterCriticalSection(m_lock); }
    ~CSharedLockGuard() { LeaveCriticalSection(m_lock); }
    CSharedLockGuard(const CSharedLockGuard&) = delete;
    CSharedLockGuard& operator=(const CSharedLockGuard&) = delete;

private:
    CRITICAL_SECTION* m_lock;
};
