// Status pushes sent to a window whose thread the push receiver has hooked, as the file manager's
// windows are: valid ones must reach the status cache, foreign and cut ones must not, and nothing
// may crash, hang or break the cache's bookkeeping.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "client/ClientContract.h"
#include "module/ComObject.h"
#include "status/IconOverlayBHO.h"
#include "status/StatusCache.h"
#include "tools/standin/StandInClient.h"
#include "tools/standin/StatusCacheProbe.h"
#include "tools/fuzz/Fuzz.h"

using Microsoft::WRL::ComPtr;

namespace {

// A window of the file manager on this thread, hooked by the push receiver as the helper object
// gets its site. Pushes sent from this thread reach the hook at once; one from another thread
// waits until this one handles its messages.
class CHookedWindow {
public:
    CHookedWindow()
        : m_window(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr))
    {
        if (!m_window || FAILED(CreateComObject<COrbethIconOverlayBHO>(nullptr, IID_IObjectWithSite, &m_helper)) ||
            m_helper->SetSite(nullptr) != S_OK)
            m_helper.Reset();
    }
    ~CHookedWindow()
    {
        m_helper.Reset(); // unhooks
        if (m_window)
            DestroyWindow(m_window);
    }
    HWND Get() const { return m_helper ? m_window : nullptr; }

private:
    HWND m_window;
    ComPtr<IObjectWithSite> m_helper;
};

// Pages for the text of a push, the last one inaccessible: the declared bytes are put right before
// it, so a receiver that reads one byte past what the sender declared crashes instead of reading
// the sender's NUL unseen, as it would in SendStatusPush's string.
class CGuardedBuffer {
public:
    static constexpr size_t Size = 8 << 20, Page = 4096;
    CGuardedBuffer()
        : m_base(static_cast<char*>(VirtualAlloc(nullptr, Size + Page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)))
    {
        DWORD old = 0;
        if (m_base && !VirtualProtect(m_base + Size, Page, PAGE_NOACCESS, &old))
            VirtualFree(m_base, 0, MEM_RELEASE), m_base = nullptr;
    }
    ~CGuardedBuffer()
    {
        if (m_base)
            VirtualFree(m_base, 0, MEM_RELEASE);
    }
    bool Ready() const { return m_base != nullptr; }

    // SendStatusPush, with the text in front of the inaccessible page.
    LRESULT Send(HWND window, const std::string& json, ULONG_PTR magic, DWORD cut)
    {
        const size_t size = std::min(json.size() + 1, Size);
        const DWORD declared = DWORD(cut < size ? size - cut : 0);
        char* const text = m_base + Size - declared;
        memcpy(text, json.c_str(), declared);
        COPYDATASTRUCT data{magic, declared, text};
        return SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    }

private:
    char* m_base;
};

struct CPush {
    std::string json;
    ULONG_PTR magic = ClientContract::PushMagic;
    DWORD cut = 0;
    // The path of its last element and the status it must leave in the cache; none to check when
    // the path is empty.
    std::wstring checked;
    int32_t status = 0;
    bool applies = true;
};

class CPushMaker {
public:
    explicit CPushMaker(const CStandInClient& client) : m_root(client.RootDir()) {}

    // A path under the sync root (or elsewhere), in a form the client would send.
    std::wstring Path(CDraw& draw) const
    {
        std::wstring path =
            draw.Percent(70) ? m_root : draw.Pick<std::wstring>({L"C:\\elsewhere\\", L"D:\\", L"\\\\server\\share\\"});
        for (long n = draw.Between(0, 3); n > 0; --n)
            path += Gen::PathComponent(draw) + L"\\";
        return path + Gen::PathComponent(draw);
    }
    static std::string Element(CDraw& draw, const std::string& pathJson, const std::string& statusJson)
    {
        std::string members[] = {"\"filepath\": " + pathJson, statusJson.empty() ? "" : "\"status\": " + statusJson,
                                 draw.Percent(10) ? "\"extra\": [1, {}]" : ""};
        if (draw.Percent(30))
            std::swap(members[0], members[1]);
        std::string element = "{";
        for (const std::string& member : members)
            element += member.empty() ? "" : (element.size() > 1 ? ", " : "") + member;
        return element + "}";
    }
    // A push the client could send: elements for paths here and elsewhere, then one for a path of
    // this case's own whose status is checked afterwards (a missing status means an error).
    CPush Valid(CDraw& draw, long index) const
    {
        CPush push;
        std::string elements;
        for (long n = draw.Below(8); n > 0; --n) {
            const std::string path = Gen::JsonString(draw, ToUtf8(Path(draw)));
            elements += Element(draw, path, std::to_string(draw.Between(-1, 2))) + ", ";
        }
        push.checked = m_root + L"case " + std::to_wstring(index) + L"\\" +
                       (draw.Percent(50) ? L"\u00e9t\u00e9 \U0001F600.txt" : L"a.txt");
        push.status = int32_t(draw.Between(-1, 3));
        const std::string path = Gen::JsonString(draw, ToUtf8(push.checked));
        elements += Element(draw, path, push.status == 3 ? "" : std::to_string(push.status));
        push.status = push.status == 3 ? StatusError : push.status;
        push.json = (draw.Percent(10) ? "// from the client\n[" : "[") + elements + "]";
        return push;
    }
    CPush Make(CDraw& draw, long index) const
    {
        CPush push = Valid(draw, index);
        const unsigned kind = unsigned(draw.Below(100));
        if (kind < 30)
            return push;
        if (kind < 40) { // cut: without its NUL the text is still whole; shorter, it is broken
            push.cut = DWORD(draw.Percent(40) ? 1 : draw.Between(2, long(push.json.size()) + 1));
            push.applies = push.cut == 1;
        } else if (kind < 45) {
            push.magic ^= draw.Percent(50) ? ULONG_PTR(1) << draw.Below(64) : ULONG_PTR(draw.Next());
            push.applies = false;
        } else {
            push.checked.clear();
            if (kind < 60)
                push.json = Gen::Mutate(draw, push.json, {Valid(draw, index).json, Gen::JsonValue(draw)});
            else if (kind < 70)
                push.json = draw.Percent(50) ? "[" + Gen::RandomBytes(draw, 2000) : Gen::RandomBytes(draw, 2000);
            else if (kind < 75)
                push.json = "[" + Gen::JsonValue(draw, 8) + "]";
            else if (kind < 80)
                push.json = HugeArray(draw);
            else if (kind < 90)
                push.json = WrongTypes(draw);
            else
                push.json = BadText(draw);
            if (draw.Percent(10))
                push.cut = DWORD(draw.Between(1, long(push.json.size()) + 1));
        }
        return push;
    }

private:
    std::string HugeArray(CDraw& draw) const
    {
        std::string json = "[";
        const long count = draw.Between(1000, draw.Percent(90) ? 2000 : 50000);
        for (long i = 0; i < count; ++i) {
            // Elements that name a file are few: each costs the receiver a look at the disk.
            if (draw.Percent(2))
                json += Element(draw, Gen::JsonString(draw, ToUtf8(Path(draw))), "1");
            else
                json +=
                    draw.Pick<std::string>({"0", "null", "{}", "[]", "\"x\"", "{\"filepath\": 7}", "{\"status\": 1}"});
            json += i + 1 < count ? "," : "]";
        }
        return json;
    }
    // Elements whose members have every type but the right one.
    std::string WrongTypes(CDraw& draw) const
    {
        std::string json = "[";
        for (long n = draw.Between(1, 6); n > 0; --n) {
            const bool pathRight = draw.Percent(50);
            const std::string path = pathRight ? Gen::JsonString(draw, ToUtf8(Path(draw))) : Gen::JsonValue(draw, 3);
            const std::string status = pathRight ? Gen::JsonValue(draw, 3) : std::to_string(draw.Between(-1, 2));
            json += Element(draw, path, status) + (n > 1 ? ", " : "");
        }
        return json + "]";
    }
    // Paths with lone surrogates, NULs and invalid UTF-8.
    std::string BadText(CDraw& draw) const
    {
        std::string json = "[";
        for (long n = draw.Between(1, 4); n > 0; --n) {
            std::string path = ToUtf8(m_root) + Gen::InvalidUtf8(draw);
            path = draw.Percent(50) ? Gen::JsonString(draw, path, true) : "\"" + path + "\"";
            json += Element(draw, path, "1") + (n > 1 ? ", " : "");
        }
        return json + "]";
    }

    std::wstring m_root;
};

} // namespace

long FuzzPushes(CCampaign& campaign, CStandInClient& client)
{
    CHookedWindow window;
    CGuardedBuffer buffer;
    if (!window.Get() || !buffer.Ready()) {
        campaign.Finding("the hooked window or the guarded buffer could not be made");
        return campaign.Findings();
    }
    CStatusCache& cache = CStatusCache::GetInstance();
    const CPushMaker maker(client);
    long applied = 0, refused = 0, other = 0;
    campaign.Run([&](CDraw& draw, long index) {
        const CPush push = maker.Make(draw, index);
        buffer.Send(window.Get(), push.json, push.magic, push.cut);
        if (push.checked.empty()) {
            ++other;
        } else {
            int32_t status = StatusNone;
            const bool found = cache.Get(push.checked, &status, nullptr);
            if (found != push.applies || (found && status != push.status))
                campaign.Finding(std::string(push.applies ? "a valid push was not applied"
                                                          : "a push that must be refused was applied") +
                                 " (cut " + std::to_string(push.cut) + ", magic " + std::to_string(push.magic) +
                                 "): " + Printable(push.json));
            ++(push.applies ? applied : refused);
        }
        if (index % 5000 == 4999 && !CStatusCacheProbe::Consistent(cache))
            campaign.Finding("the status cache's bookkeeping is broken");
    });

    // The window still answers, and a push from another thread, as the client sends them, still counts.
    CDraw last(0, "last", 0);
    const CPush push = maker.Valid(last, -1);
    std::atomic<bool> sent{false};
    DWORD_PTR answer = 0;
    // Not SMTO_ABORTIFHUNG: the pushes above were sent from the window's own thread, which pumped no
    // message meanwhile, so a long campaign leaves it looking hung although it pumps from here on.
    std::thread sender([&] {
        if (!SendMessageTimeoutW(window.Get(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer))
            campaign.Finding("the window no longer answers");
        SendStatusPush(window.Get(), push.json);
        sent = true;
    });
    PumpMessagesUntil([&] { return sent.load(); });
    sender.join();
    int32_t status = StatusNone;
    if (!cache.Get(push.checked, &status, nullptr) || status != push.status)
        campaign.Finding("the hook no longer applies pushes");
    if (!CStatusCacheProbe::Consistent(cache))
        campaign.Finding("the status cache's bookkeeping is broken");
    campaign.Report(std::to_string(applied) + " valid pushes applied, " + std::to_string(refused) +
                    " foreign or cut ones refused, " + std::to_string(other) + " malformed ones survived; " +
                    std::to_string(cache.Count()) + " statuses cached, the cache consistent, the window answers");
    return campaign.Findings();
}
