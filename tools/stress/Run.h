#pragma once

#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One copy of the module: the built DLL, loaded as the file manager loads it, or the core linked
// into this program, whose clock, cache and module count the run can look at.
struct CModuleCopy {
    const char* name;
    std::function<HRESULT(REFCLSID, REFIID, void**)> getClassObject;
    std::function<HRESULT()> canUnloadNow;

    template <typename Interface> Microsoft::WRL::ComPtr<Interface> Create(REFCLSID clsid, REFIID riid) const
    {
        Microsoft::WRL::ComPtr<IClassFactory> factory;
        Microsoft::WRL::ComPtr<Interface> object;
        if (SUCCEEDED(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()))))
            factory->CreateInstance(nullptr, riid, reinterpret_cast<void**>(object.GetAddressOf()));
        return object;
    }
};

// A thread's sign of life: it beats after every step and says when it is done. The watchdog
// ends the run when one alive stops beating for 10 s.
struct CBeat {
    std::string name;
    std::atomic<uint64_t> count{0};
    std::atomic<bool> done{false};
    void Beat() { count.fetch_add(1, std::memory_order_relaxed); }
};

enum class Phase { Storm, Quiet, Stop };

// What the run's threads share: the items, the phase, the counts and the failures.
struct CRun {
    std::vector<std::wstring> paths; // per item, its full path
    std::wstring root;
    uint32_t draw = 0;
    std::atomic<Phase> phase{Phase::Storm};
    std::atomic<HWND> pushWindow{nullptr};

    // Answers started while the writer held the database exclusively, and the longest of them.
    std::atomic<bool> lockHeld{false};
    // The service's restarts are over: nobody else stops or starts it any more.
    std::atomic<bool> restartsDone{false};
    std::atomic<uint64_t> answersDuringLock{0}, longestDuringLockMs{0}, longestMs{0};
    std::atomic<uint64_t> dllQuestions{0}, linkedQuestions{0}, pushes{0}, menus{0}, commands{0}, pagesOpened{0},
        sharesOpened{0}, restarts{0}, stopRefusals{0};

    std::deque<CBeat> beats; // filled before the threads start
    std::vector<std::thread> threads;

    CBeat& AddBeat(const std::string& name)
    {
        CBeat& beat = beats.emplace_back();
        beat.name = name;
        return beat;
    }
    void AddThread(const std::string& name, std::function<void(CBeat&)> body)
    {
        CBeat& beat = AddBeat(name);
        threads.emplace_back([&beat, body] {
            body(beat);
            beat.done = true;
        });
    }
    bool Running() const { return phase.load() != Phase::Stop; }

    // Times an answer: duringLock is whether the lock was held when it was asked.
    void Timed(uint64_t startMs, bool duringLock)
    {
        const uint64_t took = GetTickCount64() - startMs;
        StoreMax(longestMs, took);
        if (duringLock) {
            ++answersDuringLock;
            StoreMax(longestDuringLockMs, took);
        }
    }
    static void StoreMax(std::atomic<uint64_t>& value, uint64_t candidate)
    {
        for (uint64_t seen = value.load(); candidate > seen && !value.compare_exchange_weak(seen, candidate);) {
        }
    }

    void Fail(const std::string& message)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_failures.size() < 20)
            m_failures.push_back(message);
        ++m_failureCount;
    }
    std::vector<std::string> Failures(size_t* count)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        *count = m_failureCount;
        return m_failures;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_failures; // the first ones, in full
    size_t m_failureCount = 0;
};

// The three overlay identifiers of a copy, in the order of the states they claim: error,
// pending, in sync.
bool CreateOverlays(const CModuleCopy& copy, Microsoft::WRL::ComPtr<IShellIconOverlayIdentifier> (&overlays)[3]);

// The workers, each run on a thread of its own until the phase says otherwise.
void AskOverlays(CRun& run, const CModuleCopy& copy, CBeat& beat, uint32_t draw);
void ReceivePushes(CRun& run, const std::vector<const CModuleCopy*>& copies, CBeat& beat);
void SendPushes(CRun& run, CBeat& beat);
void BuildMenus(CRun& run, const std::vector<const CModuleCopy*>& copies, CBeat& beat);
void RestartService(CRun& run, CBeat& beat);
// Ends the process with a failure, naming the thread, when an alive one stops beating for 10 s.
void WatchOver(CRun& run, const std::atomic<bool>& finished);
