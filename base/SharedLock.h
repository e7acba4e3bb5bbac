#pragma once

#include <windows.h>

#include <atomic>

// The one re-entrant lock of the status engine. Every stateful object of the client, status and
// menu code takes it, often while a caller already holds it, so it must stay re-entrant and
// there must be no second lock beside it.
//
// It guards what is kept in memory: the settings and their lives, the status cache, the folders
// read at once, the remote folder list. The overlay answers from memory take it for a few hundred
// nanoseconds; anything that waits on a disk (a database read) runs outside it, so that one
// thread's cold folder never holds up another thread's answers. The registry and file attribute
// lookups of the settings still run under it: they are cached for minutes.
//
// A critical section with the owner kept beside it: re-entry by the owning thread, which the
// overlay path does several times per answer, then costs no interlocked operation.
class CSharedLock {
public:
    // Held for a few hundred nanoseconds at a time: a thread that finds it taken spins a little
    // before it sleeps, which under contention (many overlay threads on a cold folder) halves the
    // wall time.
    CSharedLock() { InitializeCriticalSectionAndSpinCount(&m_section, 4000); }
    ~CSharedLock() { DeleteCriticalSection(&m_section); }
    CSharedLock(const CSharedLock&) = delete;
    CSharedLock& operator=(const CSharedLock&) = delete;

    void Enter()
    {
        const DWORD self = GetCurrentThreadId();
        // Only this thread ever stores its own id here, so seeing it means this thread holds the lock.
        if (m_owner.load(std::memory_order_relaxed) != self) {
            EnterCriticalSection(&m_section);
            m_owner.store(self, std::memory_order_relaxed);
        }
        ++m_depth;
    }
    void Leave()
    {
        if (--m_depth == 0) {
            m_owner.store(0, std::memory_order_relaxed);
            LeaveCriticalSection(&m_section);
        }
    }

private:
    CRITICAL_SECTION m_section;
    std::atomic<DWORD> m_owner{0};
    unsigned m_depth = 0; // touched only by the owner
};

// The process-wide instance, created on first use and deleted at unload after every object
// that uses it.
CSharedLock* GetSharedLock();

class CSharedLockGuard {
public:
    explicit CSharedLockGuard(CSharedLock* lock) : m_lock(lock) { m_lock->Enter(); }
    ~CSharedLockGuard() { m_lock->Leave(); }
    CSharedLockGuard(const CSharedLockGuard&) = delete;
    CSharedLockGuard& operator=(const CSharedLockGuard&) = delete;

private:
    CSharedLock* m_lock;
};
