// The stress run: 8 threads ask the overlays about a sync root of 10,000 items while pushes
// arrive on a hooked window, menus are built and their commands run, another process rewrites
// the client's database and the client's service stops and starts; faults are injected at times.
//     orbeth_stress [SECONDS] [DRAW]          (60 s by default; "writer" starts the writer process)
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "OrbethExtensions_h.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "client/ClientContract.h"
#include "module/ClassTable.h"
#include "module/Module.h"
#include "status/StatusCache.h"
#include "status/StatusResolver.h"
#include "tools/standin/LoadedExtension.h"
#include "tools/standin/StandInClient.h"
#include "tools/standin/StandInWebService.h"
#include "tools/standin/StatusCacheProbe.h"
#include "tools/standin/UrlCapture.h"
#include "tools/clock/ControlledClock.h"
#include "tools/stress/Items.h"
#include "tools/stress/Run.h"
#include "tools/stress/Writer.h"

namespace {

using CStatement = CUniqueHandle<sqlite3_stmt*, &sqlite3_finalize>;

// What a reader meets in the database now: "ok", or SQLite's message.
std::string DirectRead(const std::wstring& db)
{
    std::string path;
    sqlite3* opened = nullptr;
    WideToUtf8(db, &path);
    const int result = sqlite3_open_v2(path.c_str(), &opened, SQLITE_OPEN_READONLY, nullptr);
    CSqliteConnection connection(opened);
    return result == SQLITE_OK &&
                   sqlite3_exec(opened, "SELECT COUNT(*) FROM ea", nullptr, nullptr, nullptr) == SQLITE_OK
               ? "ok"
               : sqlite3_errmsg(opened);
}

// What the module should answer for each item by the database now: -1 or a state.
bool ExpectedStates(const std::wstring& db, std::vector<int32_t>* states)
{
    std::unordered_map<std::wstring, int> items;
    for (int item = 0; item < StressItems::Count; ++item)
        items[StressItems::Canonical(item)] = item;
    states->assign(StressItems::Count, StatusNone);
    states->push_back(StatusOk); // the cloud folder
    std::string path;
    sqlite3* opened = nullptr;
    sqlite3_stmt* prepared = nullptr;
    WideToUtf8(db, &path);
    CSqliteConnection connection(
        sqlite3_open_v2(path.c_str(), &opened, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK ? opened : nullptr);
    CStatement rows(connection && sqlite3_prepare_v2(opened, "SELECT canonical_path, status FROM ea", -1, &prepared,
                                                     nullptr) == SQLITE_OK
                        ? prepared
                        : nullptr);
    if (!rows)
        return false;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(prepared)) == SQLITE_ROW) {
        const auto found = items.find(static_cast<const wchar_t*>(sqlite3_column_text16(prepared, 0)));
        if (found != items.end())
            (*states)[found->second] = sqlite3_column_int(prepared, 1) & StatusStateMask;
    }
    return step == SQLITE_DONE;
}

class CStress {
public:
    CStress(int seconds, uint32_t draw)
        : m_seconds(seconds),
          m_compareDll(seconds >= 30),
          m_quietMs(std::clamp(seconds * 250, 1000, 4000)),
          m_stormMs(std::max(1000, seconds * 1000 - m_quietMs)),
          m_lockMs(seconds >= 20 ? 5000 : 3000),
          m_holdMs(std::clamp(m_stormMs / 20, 300, 2000)),
          m_gapMs(std::max(200, (m_stormMs - m_lockMs - 3 * m_holdMs) / 6)),
          m_checkStride(seconds >= 30 ? 1 : 4)
    {
        m_run.draw = draw;
    }

    bool Run();

private:
    bool SetUp();
    void InjectFaults(CBeat& beat);
    void Wait(CBeat& beat, int ms);
    void Record(const std::string& fault, bool ok, const std::string& result);
    void LockFault(CBeat& beat);
    void DamageFault(CBeat& beat, const std::string& how);
    void RegistryFault(CBeat& beat);
    void FinalChecks(CBeat& beat);
    bool Summary();

    const int m_seconds;
    const bool m_compareDll; // a long run waits for the DLL's caches to expire at the end
    const int m_quietMs, m_stormMs, m_lockMs, m_holdMs, m_gapMs;
    const int m_checkStride; // every item at the end of a long run, every fourth in a short one
    CRun m_run;
    CStandInClient m_client;
    CStandInWebService m_service;
    CUrlCapture m_browser;
    CLoadedExtension m_dll;
    CModuleCopy m_dllCopy{"DLL", [this](REFCLSID c, REFIID r, void** o) { return m_dll.GetClassObject(c, r, o); },
                          [this] { return m_dll.CanUnloadNow(); }};
    CModuleCopy m_linkedCopy{"linked",
                             [](REFCLSID c, REFIID r, void** o) { return GetClassTable().GetClassObject(c, r, o); },
                             [] { return GetModule().GetLockCount() == 0 ? S_OK : S_FALSE; }};
    CWriterProcess m_writer;
    std::atomic<bool> m_faultsDone{false};
    std::vector<std::string> m_faults, m_final;
    std::string m_rewrites = "?";
    int m_probes = 0;
    double m_taken = 0;
    std::vector<double> m_phaseSeconds; // setting up, the storm, the end's checks
};

bool CStress::SetUp()
{
    if (!m_client.Ready() || !m_service.Ready() || !m_browser.Ready() || !m_dll.Loaded() ||
        !StandInService::Install() || !StandInService::Start()) {
        printf("stress: cannot set up: %s%s%s%s\n", m_client.LastError().c_str(), m_service.LastError().c_str(),
               m_browser.LastError().c_str(), m_dll.Loaded() ? "" : " (no DLL)");
        return false;
    }
    std::wstring rows = L"BEGIN;";
    for (int item = 0; item <= StressItems::Cloud(); ++item) {
        const std::wstring relative = StressItems::Relative(item);
        if (!(StressItems::IsFolder(item) ? m_client.MakeFolder(relative) : m_client.MakeFile(relative)))
            return printf("stress: %s\n", m_client.LastError().c_str()), false;
        m_run.paths.push_back(m_client.PathOf(relative));
        if (item != StressItems::Cloud())
            rows += L"INSERT INTO ea(canonical_path, status, uqid) VALUES ('" + StressItems::Canonical(item) + L"', " +
                    std::to_wstring(StressItems::FirstStatus(item)) + L", 'u');";
    }
    if (!m_client.ExecSync(rows + L"COMMIT;") || m_client.AddBatch(StressItems::CloudRemoteFolders) < 0 ||
        !m_writer.Start(m_client.SyncDbPath(), m_run.draw, StressItems::Count))
        return printf("stress: cannot fill the database or start the writer: %s\n", m_client.LastError().c_str()),
               false;
    return true;
}

void CStress::Wait(CBeat& beat, int ms)
{
    for (const uint64_t until = GetTickCount64() + ms; GetTickCount64() < until;) {
        Sleep(50);
        beat.Beat();
    }
}

void CStress::Record(const std::string& fault, bool ok, const std::string& result)
{
    m_faults.push_back(fault + ": " + result + (ok ? " - ok" : " - FAILED"));
    if (!ok)
        m_run.Fail(fault + ": " + result);
}

void CStress::InjectFaults(CBeat& beat)
{
    Wait(beat, m_gapMs);
    LockFault(beat);
    Wait(beat, m_gapMs);
    DamageFault(beat, "corrupt");
    Wait(beat, m_gapMs);
    DamageFault(beat, "truncate");
    Wait(beat, m_gapMs);
    RegistryFault(beat);
    Wait(beat, m_gapMs);
    const std::string replaced = m_writer.Ask("replace");
    Record("database replaced by a new file", replaced.rfind("renamed", 0) == 0, replaced);
    m_faultsDone = true;
}

// Every answer asked while the writer holds the database must come at once: none may wait for it.
void CStress::LockFault(CBeat& beat)
{
    const std::string fault = "database locked exclusively for " + std::to_string(m_lockMs / 1000) + " s";
    const std::string locked = m_writer.Ask("lock");
    if (locked != "locked")
        return Record(fault, false, locked);
    const std::string seen = DirectRead(m_client.SyncDbPath());
    m_run.lockHeld = true;
    Wait(beat, m_lockMs);
    const std::string unlocked = m_writer.Ask("unlock");
    m_run.lockHeld = false;
    const uint64_t longest = m_run.longestDuringLockMs, answers = m_run.answersDuringLock;
    Record(fault, seen == "database is locked" && unlocked == "unlocked" && answers > 0 && longest <= 2500,
           "a reader saw \"" + seen + "\"; " + std::to_string(answers) + " answers meanwhile, the longest " +
               std::to_string(longest) + " ms (limit 2500)");
}

void CStress::DamageFault(CBeat& beat, const std::string& how)
{
    const std::string fault = "database " + how + (how == "corrupt" ? " (garbage bytes)" : "d to half");
    const std::string damaged = m_writer.Ask(how);
    const std::string seen = DirectRead(m_client.SyncDbPath());
    Wait(beat, m_holdMs);
    const std::string restored = m_writer.Ask("restore");
    // The writer goes on writing at once, so a reader may first meet its lock.
    std::string after = DirectRead(m_client.SyncDbPath());
    for (int i = 0; i < 40 && after != "ok"; ++i, Sleep(50))
        after = DirectRead(m_client.SyncDbPath());
    Record(fault, damaged == how + " done" && seen != "ok" && restored == "restored" && after == "ok",
           "a reader saw \"" + seen + "\"; " + restored + ", then a reader saw \"" + after + "\"");
}

// The settings live 600 s in the module's cache: the linked module's clock skips that, so it
// looks for the key while it is gone. (The DLL keeps its settings for the whole run.)
void CStress::RegistryFault(CBeat& beat)
{
    const int probe = 2; // a stable file
    const bool removed = CStandInClient::DeleteRegistryKey();
    ControlledClock::AdvanceSeconds(CStatusCache::ErrorTtlSeconds + 1);
    const int32_t answer = COrbethStatusResolver::GetInstance().GetPathStatus(m_run.paths[probe].c_str(),
                                                                              StressItems::Attributes(probe), nullptr);
    Wait(beat, m_holdMs);
    const bool back = m_client.SetRegistryValue(ClientContract::ConfigDirValue, m_client.ConfigDir().c_str()) &&
                      m_client.SetRegistryValue(ClientContract::RootDirValue, m_client.RootDir().c_str());
    Record("client's registry key removed and put back", removed && answer == StatusNone && back,
           "the linked module answered " + std::to_string(answer) + " while it was gone" +
               (back ? "" : "; it could not be put back"));
}

void CStress::FinalChecks(CBeat& beat)
{
    std::vector<int32_t> expected;
    if (!ExpectedStates(m_client.SyncDbPath(), &expected))
        return m_run.Fail("cannot read the quiet database");
    // Checks each item's answer against the database; an item whose row is gone may keep the
    // state last known (the resolver lets it stand when the database knows nothing better).
    const auto compare = [&](const char* who, const std::function<int32_t(int)>& answerOf,
                             const std::function<bool(int, int32_t)>& excused) {
        int agreed = 0, kept = 0, wrong = 0, asked = 0, firstWrong = -1, lastWrong = -1;
        for (int item = 0; item <= StressItems::Cloud(); item += m_checkStride, ++asked, beat.Beat()) {
            const int32_t answer = answerOf(item);
            if (answer == expected[item])
                ++agreed;
            else if (expected[item] == StatusNone)
                ++kept;
            else if (!excused(item, answer)) {
                if (wrong++ < 5)
                    m_run.Fail(std::string(who) + " after the quiet: item " + std::to_string(item) + " answers " +
                               std::to_string(answer) + ", the database says " + std::to_string(expected[item]));
                firstWrong = firstWrong < 0 ? item : firstWrong;
                lastWrong = item;
            }
        }
        if (wrong)
            m_run.Fail(std::string(who) + ": " + std::to_string(wrong) + " wrong answers, items " +
                       std::to_string(firstWrong) + " to " + std::to_string(lastWrong) + "; the service's state is " +
                       std::to_string(StandInService::State()));
        m_final.push_back(std::string(who) + " agrees with the quiet database on " + std::to_string(agreed) + " of " +
                          std::to_string(asked) + " items asked; " + std::to_string(kept) +
                          " without a row keep their last state");
    };
    // The DLL, once its 10 s lives have passed: an error stays for its 600 s, but only a
    // volatile item can have had one that went.
    if (m_compareDll) {
        Microsoft::WRL::ComPtr<IShellIconOverlayIdentifier> overlays[3];
        if (!CreateOverlays(m_dllCopy, overlays))
            return m_run.Fail("DLL: no overlay identifiers at the end");
        compare(
            "the DLL",
            [&](int item) {
                int32_t state = StatusNone;
                for (int i = 0; i < 3; ++i)
                    state = overlays[i]->IsMemberOf(m_run.paths[item].c_str(), StressItems::Attributes(item)) == S_OK
                                ? i
                                : state;
                return state;
            },
            [](int item, int32_t answer) { return StressItems::IsVolatile(item) && answer == StatusError; });
    } else {
        m_final.push_back("the DLL's answers are not compared in a short run: its caches live 10 s");
    }
    // The linked module, once every life has passed: as the database says.
    ControlledClock::AdvanceSeconds(CStatusCache::ErrorTtlSeconds + 1);
    compare(
        "the linked module",
        [&](int item) {
            return COrbethStatusResolver::GetInstance().GetPathStatus(m_run.paths[item].c_str(),
                                                                      StressItems::Attributes(item), nullptr);
        },
        [](int, int32_t) { return false; });
    const bool consistent = CStatusCacheProbe::Consistent(CStatusCache::GetInstance());
    m_final.push_back(std::string("status cache invariants ") + (consistent ? "hold" : "BROKEN") + " (checked " +
                      std::to_string(m_probes + 1) + " times)");
    if (!consistent)
        m_run.Fail("the status cache's invariants are broken at the end");
    // Every object is gone with its thread.
    for (const CModuleCopy* copy : {&m_dllCopy, &m_linkedCopy}) {
        const HRESULT unload = copy->canUnloadNow();
        m_final.push_back(std::string(copy->name) + ": DllCanUnloadNow " + (unload == S_OK ? "S_OK" : "S_FALSE"));
        if (unload != S_OK)
            m_run.Fail(std::string(copy->name) + ": DllCanUnloadNow answers S_FALSE with every object released");
    }
}

bool CStress::Run()
{
    const uint64_t start = GetTickCount64();
    if (!SetUp())
        return false;
    CBeat& main = m_run.AddBeat("main");
    for (uint32_t i = 0; i < 8; ++i)
        m_run.AddThread("overlays " + std::to_string(i), [this, i](CBeat& beat) {
            AskOverlays(m_run, i % 2 ? m_linkedCopy : m_dllCopy, beat, m_run.draw + 10 + i);
        });
    const std::vector<const CModuleCopy*> both{&m_dllCopy, &m_linkedCopy};
    m_run.AddThread("push window", [&](CBeat& beat) { ReceivePushes(m_run, both, beat); });
    m_run.AddThread("push sender", [&](CBeat& beat) { SendPushes(m_run, beat); });
    m_run.AddThread("menus", [&](CBeat& beat) { BuildMenus(m_run, both, beat); });
    m_run.AddThread("service", [&](CBeat& beat) { RestartService(m_run, beat); });
    m_run.AddThread("faults", [&](CBeat& beat) { InjectFaults(beat); });
    std::atomic<bool> finished{false};
    std::thread watchdog([&] { WatchOver(m_run, finished); });

    // The storm, with the cache's bookkeeping looked at all along; then quiet: only questions and menus.
    const uint64_t stormStart = GetTickCount64();
    m_phaseSeconds.push_back((stormStart - start) / 1000.0);
    while (!m_faultsDone || GetTickCount64() - stormStart < uint64_t(m_stormMs)) {
        Wait(main, 250);
        ++m_probes;
        if (!CStatusCacheProbe::Consistent(CStatusCache::GetInstance()))
            m_run.Fail("the status cache's invariants are broken during the run");
    }
    m_phaseSeconds.push_back((GetTickCount64() - stormStart) / 1000.0);
    m_run.phase = Phase::Quiet;
    m_rewrites = m_writer.Ask("quiet");
    main.Beat();
    // The restarting thread may be half-way through a stop or a start: it finishes first, so the
    // two never race on the service.
    for (int i = 0; i < 300 && !m_run.restartsDone; ++i)
        Wait(main, 50);
    if (!StandInService::Start())
        m_run.Fail("the service did not start for the quiet phase");
    Wait(main, m_quietMs);
    m_run.phase = Phase::Stop;
    for (std::thread& thread : m_run.threads)
        thread.join();
    // Then nobody asks until every answer of the DLL's has expired: a failure value (a read
    // that met another reader's lock) stays 10 s, and the DLL's clock cannot be skipped.
    if (m_compareDll)
        Wait(main, 11000);
    const uint64_t checks = GetTickCount64();
    FinalChecks(main);
    m_phaseSeconds.push_back((GetTickCount64() - checks) / 1000.0);
    finished = true;
    watchdog.join();
    m_taken = (GetTickCount64() - start) / 1000.0;
    return Summary();
}

bool CStress::Summary()
{
    // Each page a command reported opened reached the browser; a share may report success
    // without one, when its reply came too late.
    const uint64_t pages = m_run.pagesOpened, shares = m_run.sharesOpened;
    m_browser.WaitForUrls(pages - shares, 10000);
    const size_t captured = m_browser.Urls().size();
    if (captured + shares < pages || captured > pages)
        m_run.Fail("the browser was asked for " + std::to_string(captured) + " pages, the commands reported " +
                   std::to_string(pages) + " (" + std::to_string(shares) + " of them shares)");
    const auto count = [](const std::atomic<uint64_t>& value) { return static_cast<unsigned long long>(value.load()); };
    printf("stress: %d s asked, %.1f s taken, draw %u, %zu threads, %d items\n", m_seconds, m_taken, m_run.draw,
           m_run.threads.size() + 2, StressItems::Cloud() + 1);
    printf("phases: setting up %.1f s, storm %.1f s, quiet %.1f s%s, checks %.1f s\n", m_phaseSeconds[0],
           m_phaseSeconds[1], m_quietMs / 1000.0, m_compareDll ? " and 11 s idle" : "", m_phaseSeconds[2]);
    printf("questions answered: %llu (DLL %llu, linked %llu), longest answer %llu ms\n",
           count(m_run.dllQuestions) + count(m_run.linkedQuestions), count(m_run.dllQuestions),
           count(m_run.linkedQuestions), count(m_run.longestMs));
    std::string perThread;
    for (const CBeat& beat : m_run.beats)
        perThread += (perThread.empty() ? "" : ", ") + beat.name + " " + std::to_string(beat.count.load());
    printf("steps per thread: %s\n", perThread.c_str());
    printf("pushes: %llu, menus: %llu, commands: %llu (pages opened: %zu)\n", count(m_run.pushes), count(m_run.menus),
           count(m_run.commands), captured);
    printf("db rewrites by the writer process (done, failed): %s, service restarts: %llu (stops refused and asked "
           "again: %llu)\n",
           m_rewrites.c_str(), count(m_run.restarts), count(m_run.stopRefusals));
    for (const std::string& fault : m_faults)
        printf("fault: %s\n", fault.c_str());
    for (const std::string& check : m_final)
        printf("end: %s\n", check.c_str());
    size_t failures = 0;
    const std::vector<std::string> first = m_run.Failures(&failures);
    for (const std::string& failure : first)
        printf("FAILURE: %s\n", failure.c_str());
    printf(failures ? "stress: FAILED (%zu failures)\n" : "stress: passed\n", failures);
    return failures == 0;
}

} // namespace

int main()
{
    int argc = 0;
    CUniqueHandle<LPWSTR*, &LocalFree> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (argc >= 5 && wcscmp(argv.Get()[1], L"writer") == 0) {
        StressItems::Count = _wtoi(argv.Get()[4]);
        return RunWriter(argv.Get()[2], wcstoul(argv.Get()[3], nullptr, 10));
    }
    const int seconds = argc > 1 ? std::max(4, _wtoi(argv.Get()[1])) : 60;
    StressItems::Count = seconds >= 30 ? 10000 : 1000;
    const uint32_t draw = argc > 2 ? wcstoul(argv.Get()[2], nullptr, 10) : GetTickCount();
    return CStress(seconds, draw).Run() ? 0 : 1;
}
