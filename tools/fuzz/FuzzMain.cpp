// orbeth_fuzz COUNT DRAW [CAMPAIGN [INDEX]]: COUNT status pushes and COUNT/10 cases of each other
// campaign, all made from DRAW; with a campaign (and an index) only that one (case) runs.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tools/standin/StandInClient.h"
#include "tools/clock/ControlledClock.h"
#include "tools/fuzz/Fuzz.h"

namespace {

// What a crash or a hang names: the case running at the time.
std::atomic<const char*> s_campaign{nullptr};
std::atomic<long> s_index{-1};
std::atomic<ULONGLONG> s_caseStart{0};
uint64_t s_draw = 0;
constexpr ULONGLONG HangMs = 10000;

// Written straight to the handle: after a crash the C runtime's locks may be held.
void WriteNow(const char* text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, DWORD(strlen(text)), &written, nullptr);
}

void ReportAndExit(const char* what, DWORD code, void* address, UINT exitCode)
{
    char line[512], module[MAX_PATH] = "?";
    HMODULE owner = nullptr;
    if (address &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<const char*>(address), &owner))
        GetModuleFileNameA(owner, module, MAX_PATH);
    const char* campaign = s_campaign.load();
    snprintf(line, sizeof line,
             "fuzz %s: %s %s, case %ld, draw %llu (code 0x%08lx at %p in %s); replay: orbeth_fuzz COUNT %llu %s %ld\n",
             campaign ? campaign : "setup", what, campaign ? campaign : "-", s_index.load(),
             static_cast<unsigned long long>(s_draw), static_cast<unsigned long>(code), address, module,
             static_cast<unsigned long long>(s_draw), campaign ? campaign : "-", s_index.load());
    WriteNow(line);
    TerminateProcess(GetCurrentProcess(), exitCode);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info)
{
    ReportAndExit("CRASH in", info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress, 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

// A stack overflow may leave too little stack for the unhandled filter; nobody catches one anyway.
LONG WINAPI OnStackOverflow(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW)
        ReportAndExit("CRASH in", EXCEPTION_STACK_OVERFLOW, info->ExceptionRecord->ExceptionAddress, 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

void Watchdog()
{
    for (;;) {
        Sleep(250);
        if (s_index.load() >= 0 && GetTickCount64() - s_caseStart.load() > HangMs)
            ReportAndExit("HANG in", 0, nullptr, 4);
    }
}

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

} // namespace

CDraw::CDraw(uint64_t draw, const char* campaign, long index) : m_state(Mix(draw))
{
    for (const char* c = campaign; *c; ++c)
        m_state = Mix(m_state ^ uint8_t(*c));
    m_state = Mix(m_state ^ uint64_t(index));
}

uint64_t CDraw::Next()
{
    m_state += 0x9E3779B97F4A7C15ull;
    return Mix(m_state);
}

CCampaign::CCampaign(const char* name, long cases, uint64_t draw, long only)
    : m_name(name),
      m_cases(cases),
      m_draw(draw),
      m_only(only)
{
}

void CCampaign::Begin(long index)
{
    m_current = index;
    s_campaign = m_name;
    s_caseStart = GetTickCount64();
    s_index = index;
}

void CCampaign::End()
{
    s_index = -1;
    m_current = -1;
}

void CCampaign::Finding(const std::string& what)
{
    ++m_findings;
    // Enough of them to diagnose; a broken invariant usually breaks in every case after.
    if (m_findings <= 20)
        std::printf("fuzz %s: FINDING in case %ld, draw %llu: %s\n", m_name, m_current,
                    static_cast<unsigned long long>(m_draw), what.c_str());
    std::fflush(stdout);
}

void CCampaign::Show(const std::string& what) const
{
    if (m_only >= 0) {
        std::printf("fuzz %s: case %ld: %s\n", m_name, m_current, what.c_str());
        std::fflush(stdout);
    }
}

void CCampaign::Report(const std::string& summary) const
{
    std::printf("fuzz %s: draw %llu, %ld cases, 0 crashes, 0 hangs, %ld findings, %s\n", m_name,
                static_cast<unsigned long long>(m_draw), m_only >= 0 ? 1 : m_cases, m_findings, summary.c_str());
    std::fflush(stdout);
}

int main(int argc, char** argv)
{
    const long count = argc > 1 ? std::atol(argv[1]) : 100000;
    s_draw = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const std::string only = argc > 3 ? argv[3] : "";
    const long index = argc > 4 ? std::atol(argv[4]) : -1;
    // The caches' clock stands still, so a case meets the same expiries however fast the machine
    // is; a campaign moves it on when it needs a cached value to lapse.
    ControlledClock::Freeze();
    if (count <= 0) {
        std::printf("usage: orbeth_fuzz COUNT DRAW [pushes|scripts|paths|folders [INDEX]]\n");
        return 2;
    }
    SetUnhandledExceptionFilter(OnUnhandledException);
    AddVectoredExceptionHandler(1, OnStackOverflow);
    std::thread(Watchdog).detach();
    // The file manager's threads are single-threaded apartments; the shell calls need one.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    CStandInClient client;
    if (!client.Ready() || !StandInService::Install() || !StandInService::Start()) {
        std::printf("fuzz: the stand-in client could not be set up: %s\n", client.LastError().c_str());
        return 1;
    }
    const struct {
        const char* name;
        long cases;
        long (*run)(CCampaign&, CStandInClient&);
    } campaigns[] = {
        {"pushes", count, FuzzPushes},
        {"scripts", count / 10, [](CCampaign& campaign, CStandInClient&) { return FuzzScripts(campaign); }},
        {"paths", count / 10, FuzzPaths},
        {"folders", count / 10, FuzzRemoteFolders},
    };
    long findings = 0;
    bool ran = false;
    for (const auto& entry : campaigns) {
        if (!only.empty() && only != entry.name)
            continue;
        CCampaign campaign(entry.name, entry.cases, s_draw, index);
        findings += entry.run(campaign, client);
        ran = true;
    }
    s_campaign = nullptr;
    if (!ran) {
        std::printf("fuzz: no campaign named %s\n", only.c_str());
        return 2;
    }
    CoUninitialize();
    return findings ? 1 : 0;
}
