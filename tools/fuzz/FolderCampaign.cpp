// The client's list of remote folders, as each new batch carries it, read by the resolver when it
// answers for folders: whatever the text, the answers are statuses, and a valid list puts exactly
// the folders above a listed one in sync.
#include <windows.h>

#include <cctype>

#include "base/SyncStatus.h"
#include "base/ValueCache.h"
#include "tools/clock/ControlledClock.h"
#include "client/ClientContract.h"
#include "status/StatusCache.h"
#include "status/StatusResolver.h"
#include "tools/standin/StandInClient.h"
#include "tools/standin/StatusCacheProbe.h"
#include "tools/fuzz/Fuzz.h"

namespace {

// Folders of the sync root without rows of their own, as relative paths.
const std::vector<std::string> Folders = {"/A", "/A/B", "/A/B/Deep", "/C", "/C/D"};

// A list the client could write, with its folders and whatever else; the listed folders are kept
// for the check.
std::string ValidList(CDraw& draw, std::vector<std::string>* listed)
{
    std::string json = "[";
    for (long n = draw.Below(5); n > 0; --n) {
        std::string folder =
            draw.Pick<std::string>({"/A/B/Deep", "/A/B", "/a/b", "/C/D", "/C/D/E/F", "/Nowhere/x", "/A", ""});
        if (draw.Percent(30))
            folder += "/" + ToUtf8(Gen::PathComponent(draw));
        listed->push_back(folder);
        json += Gen::JsonString(draw, folder) + (n > 1 ? ", " : "");
    }
    return json + "]";
}

std::string Text(CDraw& draw, std::vector<std::string>* listed, bool* valid)
{
    const unsigned kind = unsigned(draw.Below(100));
    *valid = kind < 30;
    std::string text = ValidList(draw, listed);
    if (kind < 30)
        return text;
    if (kind < 50)
        return Gen::Mutate(draw, text, {Gen::JsonValue(draw)});
    if (kind < 60)
        return "[" + Gen::JsonValue(draw, 8) + "]";
    if (kind < 70) { // huge
        std::string huge = "[";
        for (long n = draw.Between(1000, draw.Percent(90) ? 5000 : 50000); n > 0; --n)
            huge += draw.Pick<std::string>({"\"/A/B\"", "1", "null", "[]", "{\"a\": \"/C/D\"}", "\"\""}) +
                    (n > 1 ? "," : "]");
        return huge;
    }
    if (kind < 85)
        return Gen::JsonValue(draw);
    if (kind < 95)
        return draw.Percent(50) ? Gen::RandomBytes(draw, 2000) : "[\"/A/" + Gen::InvalidUtf8(draw) + "\"]";
    return draw.Pick<std::string>({"", " ", "null", "[", "]", "\"/A/B\"", "{}"});
}

std::wstring Hex(const std::string& bytes)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring hex;
    for (const char c : bytes)
        hex += {digits[static_cast<unsigned char>(c) >> 4], digits[c & 15]};
    return hex;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

long FuzzRemoteFolders(CCampaign& campaign, CStandInClient& client)
{
    for (const std::string& folder : Folders) {
        std::wstring relative(folder.begin() + 1, folder.end());
        for (wchar_t& c : relative)
            c = c == L'/' ? L'\\' : c;
        if (!client.MakeFolder(relative)) {
            campaign.Finding("the folders could not be made: " + client.LastError());
            return campaign.Findings();
        }
    }
    COrbethStatusResolver& resolver = COrbethStatusResolver::GetInstance();
    CStatusCache& cache = CStatusCache::GetInstance();
    long checked = 0, other = 0;
    campaign.Run([&](CDraw& draw, long index) {
        std::vector<std::string> listed;
        bool valid = false;
        const std::string text = Text(draw, &listed, &valid);
        // Stored as bytes, valid UTF-8 or not, under a batch id of this case's own; the batch id
        // and the answers before it lapse, so the next question reads the text.
        if (!client.ExecSync(L"PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY; DELETE FROM batch; INSERT INTO "
                             L"batch VALUES (" +
                             std::to_wstring(index + 2) + L", CAST(X'" + Hex(text) + L"' AS TEXT));")) {
            campaign.Finding("the batch could not be stored: " + client.LastError());
            return;
        }
        ControlledClock::AdvanceSeconds(11);
        cache.Clear();
        // The service runs throughout: asking the service manager again after each lapse would
        // cost more than all the rest of the case.
        CValueCache::GetInstance().PutULong(ClientContract::ServiceName, SERVICE_RUNNING, nullptr, 600);
        for (long n = draw.Between(1, 3); n > 0; --n) {
            const std::string& folder = draw.Pick(Folders);
            const std::wstring path = client.RootDir() + std::wstring(folder.begin() + 1, folder.end());
            const int32_t status = resolver.GetPathStatus(path.c_str(), FILE_ATTRIBUTE_DIRECTORY, nullptr);
            if (status < StatusNone || status > StatusStateMask)
                campaign.Finding("the resolver answered " + std::to_string(status) + " after " + Printable(text));
            if (!valid)
                continue;
            // In sync exactly when it lies above a listed folder (letter case aside).
            bool above = false;
            for (const std::string& entry : listed) {
                const std::string mine = Lower(folder) + "/", theirs = Lower(entry) + "/";
                above |= theirs.size() > mine.size() && theirs.compare(0, mine.size(), mine) == 0;
            }
            if (status != (above ? StatusOk : StatusNone))
                campaign.Finding("folder " + folder + " answered " + std::to_string(status) + " after the list " +
                                 Printable(text));
        }
        ++(valid ? checked : other);
    });
    if (!CStatusCacheProbe::Consistent(cache))
        campaign.Finding("the status cache's bookkeeping is broken");
    campaign.Report(std::to_string(checked) + " valid lists answered as listed, " + std::to_string(other) +
                    " other texts answered with statuses; the cache consistent");
    return campaign.Findings();
}
