#include <windows.h>
#include <psapi.h>
#include <wrl/client.h>

#include <json/json.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/Utf8.h"
#include "bench/Bench.h"
#include "client/ClientContract.h"
#include "module/ComObject.h"
#include "overlay/IconOverlay.h"
#include "status/IconOverlayBHO.h"
#include "status/StatusCache.h"

using Microsoft::WRL::ComPtr;

namespace {

// The path as a JSON string's content (backslashes doubled; the paths hold no other escapes).
std::string JsonEscaped(const std::wstring& path)
{
    std::string utf8, escaped;
    WideToUtf8(path, &utf8);
    for (char c : utf8)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
}

// A status push handed to the hook as the window thread sees it.
void HandToHook(std::string& push)
{
    COPYDATASTRUCT data{ClientContract::PushMagic, static_cast<DWORD>(push.size() + 1), push.data()};
    CWPSTRUCT message{reinterpret_cast<LPARAM>(&data), 0, WM_COPYDATA, nullptr};
    StatusHookProc(HC_ACTION, 0, reinterpret_cast<LPARAM>(&message));
}

// The commit charge: the private bytes (Wine leaves PrivateUsage at 0, Windows gives both alike).
size_t PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PagefileUsage;
}

// The process's private bytes after a million one-element pushes over 20,000 paths, twice the
// status cache's capacity, against the bytes once each path was pushed once: the cache is
// bounded, so what the pushes leave behind must not grow with their number.
void ReportPushMemory(const std::wstring& aPath)
{
    constexpr long Paths = 20000, Pushes = 1000000;
    // In a folder of the sync root that does not exist, beside the big one: a name missing from a
    // big folder costs Wine a scan of it, and the hook takes no path from outside the root.
    const std::wstring big = aPath.substr(0, aPath.rfind(L'\\'));
    const std::string folder = JsonEscaped(big.substr(0, big.rfind(L'\\') + 1) + L"Gone\\");
    std::vector<std::string> pushes;
    for (long i = 0; i < Paths; ++i)
        pushes.push_back(R"([{"filepath": ")" + folder + "pushed " + std::to_string(i) + R"(.txt", "status": )" +
                         std::to_string(i % 3) + "}]");
    size_t afterFirst = 0;
    for (long i = 0; i < Pushes; ++i) {
        if (i == Paths)
            afterFirst = PrivateBytes();
        HandToHook(pushes[size_t(i % Paths)]);
    }
    const size_t afterAll = PrivateBytes();
    std::printf("bench push_memory: private bytes %zu KiB after %ld pushes, %zu KiB after %ld, growth %+.1f%%\n",
                afterFirst / 1024, Paths, afterAll / 1024, Pushes,
                100.0 * (double(afterAll) - double(afterFirst)) / double(afterFirst));
    std::fflush(stdout);
}

} // namespace

// Runs against the stand-in client that the resolver benchmarks set up: paths are items of its
// sync root, each with a database row, so the hook takes every pushed path.
void RunOverlayBenchmarks(const std::vector<std::wstring>& paths)
{
    CStatusCache& cache = CStatusCache::GetInstance();
    ComPtr<IShellIconOverlayIdentifier> identifiers[3];
    CreateComObject<COrbethErrorIconOverlay>(nullptr, IID_IShellIconOverlayIdentifier, &identifiers[0]);
    CreateComObject<COrbethPendingIconOverlay>(nullptr, IID_IShellIconOverlayIdentifier, &identifiers[1]);
    CreateComObject<COrbethOkIconOverlay>(nullptr, IID_IShellIconOverlayIdentifier, &identifiers[2]);
    const size_t count = paths.size();
    const DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    for (const std::wstring& path : paths) // warm
        identifiers[0]->IsMemberOf(path.c_str(), attributes);

    ReportBench("overlay_is_member_of_three_warm",
                Compare(
                    count, 51,
                    [&](long i) {
                        for (auto& identifier : identifiers)
                            KeepValue(identifier->IsMemberOf(paths[size_t(i)].c_str(), attributes));
                    },
                    [&](long i) {
                        int32_t status;
                        for (int n = 0; n < 3; ++n)
                            KeepValue(cache.Get(paths[size_t(i)].c_str(), &status, nullptr));
                    }),
                2.0);

    // A push of 1000 elements handed to the hook as the window thread sees it, per element,
    // against what it cannot do without: parsing the text with the hook's settings, and a status
    // cache Put per element.
    constexpr long Elements = 1000;
    std::string push = "[";
    for (long i = 0; i < Elements; ++i)
        push += R"({"filepath": ")" + JsonEscaped(paths[size_t(i) % count]) + R"(", "status": 1},)";
    push.back() = ']';
    CBenchFigures figures = Compare(
        1, 201, [&](long) { HandToHook(push); },
        [&](long) {
            Json::CharReaderBuilder builder;
            builder["stackLimit"] = ClientContract::MaxJsonNesting;
            builder["collectComments"] = false;
            const std::unique_ptr<Json::CharReader> parser(builder.newCharReader());
            Json::Value root;
            KeepValue(parser->parse(push.data(), push.data() + push.size(), &root, nullptr));
            for (long i = 0; i < Elements; ++i)
                cache.Put(paths[size_t(i) % count].c_str(), 1, 0, -1);
        });
    figures.ns /= Elements;
    figures.floorNs /= Elements;
    ReportBench("push_1000_elements_per_element", figures, 1.3);
    ReportPushMemory(paths.front());
}
