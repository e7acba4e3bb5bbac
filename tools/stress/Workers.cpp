#include <shlobj.h>

#include <cstdio>
#include <random>

#include "OrbethExtensions_h.h"
#include "base/GdiObject.h"
#include "client/ClientContract.h"
#include "menu/ContextMenuHandler.h"
#include "tools/standin/DropList.h"
#include "tools/standin/StandInClient.h"
#include "tools/stress/Items.h"
#include "tools/stress/Run.h"

using Microsoft::WRL::ComPtr;

namespace {

// The status a stable item shows, as the index of the overlay that claims it (3: none).
int32_t StableState(int item)
{
    return item == StressItems::Cloud() ? StatusOk : StressItems::FirstStatus(item) & StatusStateMask;
}

// Sleeps in short steps, beating, until the time is up or the phase moves past the one given.
void Pause(CRun& run, CBeat& beat, DWORD ms, Phase phase)
{
    for (const uint64_t until = GetTickCount64() + ms; GetTickCount64() < until && run.phase.load() == phase;) {
        Sleep(50);
        beat.Beat();
    }
}

} // namespace

bool CreateOverlays(const CModuleCopy& copy, ComPtr<IShellIconOverlayIdentifier> (&overlays)[3])
{
    const CLSID* classes[] = {&CLSID_OrbethErrorIconOverlay, &CLSID_OrbethPendingIconOverlay,
                              &CLSID_OrbethOkIconOverlay};
    for (int i = 0; i < 3; ++i) {
        if (!(overlays[i] = copy.Create<IShellIconOverlayIdentifier>(*classes[i], IID_IShellIconOverlayIdentifier)))
            return false;
    }
    return true;
}

void AskOverlays(CRun& run, const CModuleCopy& copy, CBeat& beat, uint32_t draw)
{
    ComPtr<IShellIconOverlayIdentifier> overlays[3];
    if (!CreateOverlays(copy, overlays))
        return run.Fail(std::string(copy.name) + ": no overlay identifier");
    std::mt19937 random(draw);
    std::atomic<uint64_t>& questions = copy.name[0] == 'D' ? run.dllQuestions : run.linkedQuestions;
    // As the file manager asks: a view of twenty items in a row, then a breath (eight threads
    // spinning without one would starve the writer process and the other copy on two cores).
    for (int view = 0; run.Running(); view = (view + 1) % 20) {
        if (view == 0)
            Sleep(1);
        const int item = (std::uniform_int_distribution<int>(0, StressItems::Cloud())(random) / 20 * 20 + view) %
                         (StressItems::Cloud() + 1);
        int claimed = -1, claims = 0;
        for (int i = 0; i < 3; ++i) {
            const bool duringLock = run.lockHeld.load();
            const uint64_t start = GetTickCount64();
            const HRESULT answer = overlays[i]->IsMemberOf(run.paths[item].c_str(), StressItems::Attributes(item));
            run.Timed(start, duringLock);
            if (answer == S_OK)
                claimed = i, ++claims;
            else if (answer != S_FALSE)
                run.Fail(std::string(copy.name) + ": IsMemberOf answered " + std::to_string(answer));
        }
        // A volatile item may change between the three questions; a stable one never shows another state.
        if (!StressItems::IsVolatile(item) && (claims > 1 || (claims == 1 && claimed != StableState(item)))) {
            char text[160];
            snprintf(text, sizeof(text), "%s: item %d (status %d) claimed by %d overlay(s), the last %d", copy.name,
                     item, StableState(item), claims, claimed);
            run.Fail(text);
        }
        questions += 3;
        beat.Beat();
    }
}

void ReceivePushes(CRun& run, const std::vector<const CModuleCopy*>& copies, CBeat& beat)
{
    // A window of the file manager with a helper object of each copy hooked into its thread.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    std::vector<ComPtr<IObjectWithSite>> helpers;
    for (const CModuleCopy* copy : copies) {
        helpers.push_back(copy->Create<IObjectWithSite>(CLSID_OrbethIconOverlayBHO, IID_IObjectWithSite));
        if (!helpers.back() || helpers.back()->SetSite(nullptr) != S_OK)
            run.Fail(std::string(copy->name) + ": the push receiver was not hooked");
    }
    run.pushWindow = window;
    while (run.Running()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        beat.Beat();
    }
    helpers.clear();
    DestroyWindow(window);
    CoUninitialize();
}

void SendPushes(CRun& run, CBeat& beat)
{
    std::mt19937 random(run.draw + 1);
    while (!run.pushWindow.load() && run.phase.load() == Phase::Storm)
        Pause(run, beat, 50, Phase::Storm);
    while (run.phase.load() == Phase::Storm) {
        // One to five volatile items each with a state (or none: an error), and now and then a
        // push the receiver must ignore.
        std::string json = "[";
        for (int count = std::uniform_int_distribution<int>(1, 5)(random), i = 0; i < count; ++i) {
            int item = 0;
            do
                item = std::uniform_int_distribution<int>(0, StressItems::Count - 1)(random);
            while (!StressItems::IsVolatile(item));
            std::string path;
            for (wchar_t c : run.paths[item])
                path += c == L'\\' ? "\\\\" : std::string(1, static_cast<char>(c));
            const int status = std::uniform_int_distribution<int>(-1, 2)(random);
            json += (i ? ", " : "") + std::string("{\"filepath\": \"") + path + "\"" +
                    (status >= 0 ? ", \"status\": " + std::to_string(status) : "") + "}";
        }
        json += "]";
        const int kind = std::uniform_int_distribution<int>(0, 9)(random);
        SendStatusPush(run.pushWindow, kind == 0 ? json.substr(0, json.size() / 2) : json,
                       kind == 1 ? ClientContract::PushMagic + 1 : ClientContract::PushMagic, kind == 2 ? 7 : 0);
        ++run.pushes;
        Pause(run, beat, 5, Phase::Storm);
    }
}

void BuildMenus(CRun& run, const std::vector<const CModuleCopy*>& copies, CBeat& beat)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::mt19937 random(run.draw + 2);
    for (uint64_t menu = 0; run.Running(); ++menu) {
        const CModuleCopy& copy = *copies[menu % copies.size()];
        ComPtr<IContextMenu> handler = copy.Create<IContextMenu>(CLSID_OrbethContextMenuHandler, IID_IContextMenu);
        if (!handler) {
            run.Fail(std::string(copy.name) + ": no context menu handler");
            break;
        }
        std::vector<std::wstring> paths;
        for (int count = std::uniform_int_distribution<int>(1, 3)(random); count > 0; --count)
            paths.push_back(run.paths[std::uniform_int_distribution<int>(0, StressItems::Cloud())(random)]);
        const bool duringLock = run.lockHeld.load();
        const uint64_t start = GetTickCount64();
        const HRESULT initialized = InitializeHandler(handler.Get(), paths);
        CMenu popup(CreatePopupMenu());
        const HRESULT built =
            SUCCEEDED(initialized) ? handler->QueryContextMenu(popup.Get(), 0, 1, 100, CMF_NORMAL) : S_OK;
        run.Timed(start, duringLock);
        if (FAILED(built))
            run.Fail(std::string(copy.name) + ": QueryContextMenu answered " + std::to_string(built));
        ++run.menus;
        // Every fourth menu, one of its commands, picked whether it is enabled or not.
        if (SUCCEEDED(initialized) && menu % 4 == 0) {
            const UINT command =
                std::uniform_int_distribution<UINT>(0, COrbethContextMenuHandler::CommandCount - 1)(random);
            CMINVOKECOMMANDINFO info{};
            info.cbSize = sizeof(info);
            info.lpVerb = MAKEINTRESOURCEA(command);
            if (handler->InvokeCommand(&info) == S_OK && command != COrbethContextMenuHandler::CommandCopyLink) {
                ++run.pagesOpened;
                run.sharesOpened += command == COrbethContextMenuHandler::CommandShare;
            }
            ++run.commands;
        }
        beat.Beat();
    }
    CoUninitialize();
}

void RestartService(CRun& run, CBeat& beat)
{
    for (;;) {
        Pause(run, beat, 1500, Phase::Storm);
        if (run.phase.load() != Phase::Storm)
            break;
        // Wine's service manager now and then refuses a stop with ERROR_INVALID_HANDLE while the
        // service runs; asked again, it stops. Counted, and a failure only when it keeps refusing.
        bool stopped = false;
        for (int attempt = 0; attempt < 3 && !(stopped = StandInService::Stop()); ++attempt) {
            ++run.stopRefusals;
            Sleep(100);
        }
        if (!stopped)
            run.Fail("the service did not stop: error " + std::to_string(GetLastError()) + ", state " +
                     std::to_string(StandInService::State()));
        beat.Beat();
        Pause(run, beat, 500, Phase::Storm);
        if (!StandInService::Start())
            run.Fail("the service did not start again: error " + std::to_string(GetLastError()) + ", state " +
                     std::to_string(StandInService::State()));
        ++run.restarts;
        beat.Beat();
    }
    run.restartsDone = true;
}

void WatchOver(CRun& run, const std::atomic<bool>& finished)
{
    std::vector<uint64_t> seen(run.beats.size()), since(run.beats.size(), GetTickCount64());
    while (!finished.load()) {
        Sleep(250);
        size_t i = 0;
        for (CBeat& watched : run.beats) {
            const uint64_t count = watched.count.load(), now = GetTickCount64();
            if (count != seen[i] || watched.done.load())
                seen[i] = count, since[i] = now;
            else if (now - since[i] > 10000) {
                printf("stress: FAILED - the watchdog found thread \"%s\" without progress for 10 s\n",
                       watched.name.c_str());
                fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
            ++i;
        }
    }
}
