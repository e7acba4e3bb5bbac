#include <wrl/client.h>

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

// Runs against the stand-in client that the resolver benchmarks set up: paths are items of its
// sync root, each with a database row.
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
                    count,
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
    // against one status cache Put per element.
    constexpr long Elements = 1000;
    std::string push = "[";
    for (long i = 0; i < Elements; ++i) {
        std::string path;
        WideToUtf8(paths[size_t(i) % count], &path);
        std::string escaped;
        for (char c : path)
            escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        push += R"({"filepath": ")" + escaped + R"(", "status": 1},)";
    }
    push.back() = ']';
    COPYDATASTRUCT data{ClientContract::PushMagic, static_cast<DWORD>(push.size() + 1), push.data()};
    CWPSTRUCT message{reinterpret_cast<LPARAM>(&data), 0, WM_COPYDATA, nullptr};
    const CBenchFigures figures = Compare(
        1, [&](long) { StatusHookProc(HC_ACTION, 0, reinterpret_cast<LPARAM>(&message)); },
        [&](long) {
            for (long i = 0; i < Elements; ++i)
                cache.Put(paths[size_t(i) % count].c_str(), 1, attributes, -1);
        },
        15);
    ReportBench("push_1000_elements_per_element", {figures.ns / Elements, figures.floorNs / Elements}, 3.0);
}
