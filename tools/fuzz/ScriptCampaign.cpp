// Registry scripts through the interpreter, mutated from the module's own and made up, registered
// and unregistered with every root redirected into a scratch key: nothing may crash, nothing may
// reach the real roots, and a script that does not parse must change nothing.
#include <windows.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "base/RegistryKey.h"
#include "module/RegObject.h"
#include "tools/standin/RegistryDump.h"
#include "tools/fuzz/Fuzz.h"

namespace {

const wchar_t ScratchPath[] = L"Software\\OrbethFuzzScratch";

const struct {
    HKEY key;
    const wchar_t* name;
} Roots[] = {
    {HKEY_CLASSES_ROOT, L"HKCR"},   {HKEY_CURRENT_USER, L"HKCU"}, {HKEY_LOCAL_MACHINE, L"HKLM"},   {HKEY_USERS, L"HKU"},
    {HKEY_CURRENT_CONFIG, L"HKCC"}, {HKEY_DYN_DATA, L"HKDD"},     {HKEY_PERFORMANCE_DATA, L"HKPD"}};

// The real keys the module's scripts name, and their roots: what a script escaping the scratch
// root would change first. A key made below one of them changes its subkey count and time.
const struct {
    HKEY root;
    const wchar_t* path;
} Watched[] = {
    {HKEY_CLASSES_ROOT, L""},
    {HKEY_CLASSES_ROOT, L"CLSID"},
    {HKEY_CLASSES_ROOT, L"AppID"},
    {HKEY_CLASSES_ROOT, L"*"},
    {HKEY_CLASSES_ROOT, L"*\\ShellEx"},
    {HKEY_CLASSES_ROOT, L"*\\ShellEx\\ContextMenuHandlers"},
    {HKEY_CLASSES_ROOT, L"Directory"},
    {HKEY_CLASSES_ROOT, L"Directory\\shellex"},
    {HKEY_CLASSES_ROOT, L"Directory\\shellex\\ContextMenuHandlers"},
    {HKEY_LOCAL_MACHINE, L""},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects"},
    {HKEY_CURRENT_USER, L""},
    {HKEY_CURRENT_USER, L"Software"},
    {HKEY_USERS, L""},
    {HKEY_CURRENT_CONFIG, L""},
    {HKEY_DYN_DATA, L""}};

// Subkey and value counts and last-write time of each watched key; a key deleted since answers
// an error, which differs too. Taken while the roots are not redirected: a root's own handle is
// the redirected one.
class CFingerprint {
public:
    CFingerprint()
    {
        for (const auto& watched : Watched) {
            if (!*watched.path) {
                m_handles.push_back(watched.root);
            } else if (m_keys.emplace_back().Open(watched.root, watched.path, KEY_QUERY_VALUE) == ERROR_SUCCESS) {
                m_handles.push_back(m_keys.back().Get());
            } else {
                m_keys.pop_back();
                continue;
            }
            m_names.push_back(*watched.path ? watched.path : L"(root)");
        }
        m_taken = Take();
    }
    // The keys whose fingerprint changed since the last call, or nothing.
    std::wstring Changed()
    {
        const std::vector<ULONGLONG> now = Take();
        std::wstring changed;
        for (size_t i = 0; i < m_handles.size(); ++i) {
            if (std::equal(now.begin() + 3 * i, now.begin() + 3 * i + 3, m_taken.begin() + 3 * i))
                continue;
            changed += (changed.empty() ? L"'" : L", '") + m_names[i] + L"'";
        }
        m_taken = now;
        return changed;
    }
    size_t Count() const { return m_handles.size(); }

private:
    std::vector<ULONGLONG> Take() const
    {
        std::vector<ULONGLONG> values;
        for (const HKEY key : m_handles) {
            DWORD subkeys = 0, count = 0;
            FILETIME written{};
            const LONG result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &count,
                                                 nullptr, nullptr, nullptr, &written);
            values.insert(values.end(), {ULONGLONG(result) << 32 | subkeys, count,
                                         ULONGLONG(written.dwHighDateTime) << 32 | written.dwLowDateTime});
        }
        return values;
    }

    std::vector<std::wstring> m_names;
    std::deque<CRegistryKey> m_keys;
    std::vector<HKEY> m_handles;
    std::vector<ULONGLONG> m_taken;
};

// Each root redirected to a key of its own below the scratch key while this lives.
class CScratchRoots {
public:
    CScratchRoots()
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, ScratchPath);
        m_roots.resize(std::size(Roots));
        m_ready = m_scratch.Create(HKEY_CURRENT_USER, ScratchPath, KEY_ALL_ACCESS) == ERROR_SUCCESS && Make();
    }
    ~CScratchRoots()
    {
        Restore();
        m_roots.clear();
        m_scratch.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, ScratchPath);
    }
    bool Redirect()
    {
        for (size_t i = 0; m_ready && i < std::size(Roots); ++i)
            m_ready = RegOverridePredefKey(Roots[i].key, m_roots[i].Get()) == ERROR_SUCCESS;
        return m_ready;
    }
    void Restore()
    {
        for (const auto& root : Roots)
            RegOverridePredefKey(root.key, nullptr);
    }
    bool Ready() const { return m_ready; }
    // Whether each root's key is still there; the interpreter must never delete the key it was given.
    bool Intact() const
    {
        for (const CRegistryKey& root : m_roots) {
            if (RegQueryInfoKeyW(root.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                return false;
        }
        return true;
    }
    // Each root's key made again (to run on after one was deleted); the roots are not redirected.
    bool Make()
    {
        for (size_t i = 0; i < std::size(Roots); ++i) {
            if (m_roots[i].Create(m_scratch.Get(), Roots[i].name, KEY_ALL_ACCESS) != ERROR_SUCCESS)
                return false;
        }
        return true;
    }
    void Clear()
    {
        for (const auto& root : m_roots)
            RegDeleteTreeW(root.Get(), nullptr);
    }
    std::wstring Dump() const { return DumpRegistry(m_scratch.Get(), L""); }

private:
    CRegistryKey m_scratch;
    std::deque<CRegistryKey> m_roots;
    bool m_ready = false;
};

// The module's six scripts, as the fuzzer's copy of the DLL's resources holds them.
std::vector<std::wstring> LoadScripts()
{
    std::vector<std::wstring> scripts;
    for (int resource = 101; resource <= 106; ++resource) {
        HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(resource), L"REGISTRY");
        HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
        const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
        if (bytes)
            scripts.emplace_back(bytes, bytes + SizeofResource(nullptr, found)); // ASCII
    }
    return scripts;
}

const std::vector<std::wstring> Tokens = {L"{",
                                          L"}",
                                          L"=",
                                          L"s",
                                          L"d",
                                          L"b",
                                          L"m",
                                          L"val",
                                          L"Val",
                                          L"ForceRemove",
                                          L"NoRemove",
                                          L"Delete",
                                          L"'",
                                          L"''",
                                          L"%MODULE%",
                                          L"%%",
                                          L"%",
                                          L"%APPID%",
                                          L"%UNKNOWN%",
                                          L"%" + std::wstring(40, L'N') + L"%",
                                          L"HKCU",
                                          L"HKLM",
                                          L"HKPD",
                                          L"HKEY_USERS",
                                          L"HKCC",
                                          L"CLSID",
                                          L"Software",
                                          L"AppID",
                                          L"\\",
                                          L"'a\\b'",
                                          L"\r\n",
                                          L"\t",
                                          L"'x y'",
                                          L"'\u00e9\U0001F600'",
                                          L"4294967296",
                                          L"-1",
                                          L"twelve",
                                          L"0aF",
                                          L"'a\\0b'",
                                          std::wstring(4094, L'k'),
                                          std::wstring(4095, L'k'),
                                          L"'" + std::wstring(300, L'n') + L"'",
                                          L"''''",
                                          L"Programmable",
                                          L"InprocServer32",
                                          L"'Browser Helper Objects'"};

std::wstring RandomName(CDraw& draw)
{
    if (draw.Percent(30))
        return draw.Pick(Tokens);
    std::wstring name = Gen::PathComponent(draw);
    name.erase(std::remove(name.begin(), name.end(), L'\0'), name.end()); // RunScript reads up to a NUL
    return draw.Percent(50) ? L"'" + name + L"'" : name;
}

// A script of the interpreter's language with made-up keys and values, some of them wrong.
std::wstring MadeUp(CDraw& draw, int depth = 0)
{
    std::wstring text;
    if (depth == 0) {
        for (long n = draw.Between(1, 3); n > 0; --n) {
            text +=
                draw.Percent(90)
                    ? std::wstring(draw.Pick<const wchar_t*>({L"HKCR", L"HKCU", L"HKLM", L"HKU", L"HKCC", L"HKDD",
                                                              L"HKPD", L"HKEY_CLASSES_ROOT", L"HKEY_LOCAL_MACHINE"}))
                    : RandomName(draw);
            text += L" {\r\n" + MadeUp(draw, 1) + L"}\r\n";
        }
        return text;
    }
    static const std::vector<std::wstring> types = {L"s", L"d", L"b", L"m", L"S", L"x"};
    const auto value = [&] {
        const std::wstring& type = draw.Pick(types);
        std::wstring data =
            type == L"d"   ? draw.Pick<std::wstring>({L"0", L"1", L"4294967295", L"4294967296", L"-1", L"'12'", L"x"})
            : type == L"b" ? draw.Pick<std::wstring>({L"00", L"0aF", L"deadBEEF", L"zz", L"''", L"'01 02'"})
                           : RandomName(draw);
        return L" = " + type + L" " + data;
    };
    for (long n = draw.Below(5); n > 0; --n) {
        const unsigned modifier = unsigned(draw.Below(10));
        text += modifier == 0 ? L"ForceRemove " : modifier == 1 ? L"NoRemove " : modifier == 2 ? L"Delete " : L"";
        if (draw.Percent(30)) {
            text += L"val " + RandomName(draw) + value() + L"\r\n";
            continue;
        }
        text += RandomName(draw);
        if (draw.Percent(50))
            text += value();
        if (depth < 4 && draw.Percent(60))
            text += L"\r\n{\r\n" + MadeUp(draw, depth + 1) + L"}";
        text += L"\r\n";
    }
    return text;
}

// Characters flipped, tokens put in, pieces deleted, pieces of the other scripts spliced in.
std::wstring Mutated(CDraw& draw, std::wstring text, const std::vector<std::wstring>& donors)
{
    for (long round = draw.Between(1, 6); round > 0; --round) {
        const size_t at = draw.Below(text.size() + 1);
        switch (draw.Below(5)) {
        case 0:
            if (at < text.size())
                text[at] = draw.Percent(70)
                               ? wchar_t(draw.Pick<wchar_t>({L'{', L'}', L'\'', L'%', L'=', L' ', L'\\', L'x'}))
                               : wchar_t(draw.Between(1, 0xFFFF));
            break;
        case 1:
            text.insert(at, draw.Percent(50) ? L" " + draw.Pick(Tokens) + L" " : draw.Pick(Tokens) + L" ");
            break;
        case 2:
            text.erase(at, draw.Below(draw.Percent(80) ? 16 : text.size() + 1));
            break;
        case 3: {
            const std::wstring& donor = draw.Pick(donors);
            const size_t from = draw.Below(donor.size() + 1);
            text.insert(at, donor.substr(from, draw.Below(donor.size() - from + 1)));
            break;
        }
        default:
            text.insert(at, text.substr(at, draw.Below(200)));
        }
    }
    return text;
}

// Everything inside the first root's block wrapped in keys nested around the interpreter's limit
// of 64 blocks or far past it: deep scripts are refused before the recursion runs out of stack.
std::wstring Nested(CDraw& draw, std::wstring text)
{
    const size_t open = text.find(L'{'), close = text.rfind(L'}');
    if (open == std::wstring::npos || close == std::wstring::npos || close < open)
        return text;
    const long levels = draw.Percent(50) ? draw.Between(56, 66) : draw.Between(100, 5000);
    std::wstring opening, closing;
    for (long level = 0; level < levels; ++level)
        opening += L" N {", closing += L" }";
    return text.insert(close, closing).insert(open + 1, opening);
}

} // namespace

long FuzzScripts(CCampaign& campaign)
{
    const std::vector<std::wstring> originals = LoadScripts();
    CScratchRoots scratch;
    CFingerprint fingerprint; // taken with the scratch key in place, before the roots are redirected
    if (originals.size() != 6 || !scratch.Ready() || !scratch.Redirect()) {
        campaign.Finding("the module's scripts or the scratch roots could not be set up");
        return campaign.Findings();
    }
    long succeeded = 0, unparsed = 0, failed = 0;
    campaign.Run([&](CDraw& draw, long) {
        scratch.Clear();
        CRegObject reg;
        reg.AddReplacement(L"MODULE", L"C:\\it''s here\\OrbethExtensions.dll");
        reg.AddReplacement(L"APPID", L"{D68EEFFA-888A-49C3-991D-A63A3084A742}");
        // Something to take away or to overwrite, as after an earlier registration.
        if (draw.Percent(60) && reg.RunScript(draw.Pick(originals).c_str(), true) != S_OK)
            campaign.Finding("one of the module's own scripts does not register into an empty root");
        const unsigned kind = unsigned(draw.Below(10));
        std::wstring script = kind < 6   ? Mutated(draw, draw.Pick(originals), originals)
                              : kind < 9 ? MadeUp(draw)
                                         : Mutated(draw, MadeUp(draw), originals);
        if (draw.Percent(10))
            script = Nested(draw, std::move(script));
        const bool registering = draw.Percent(60);
        const std::wstring before = scratch.Dump();
        const HRESULT result = reg.RunScript(script.c_str(), registering);
        if (result == DISP_E_EXCEPTION) {
            ++unparsed;
            if (scratch.Dump() != before)
                campaign.Finding("a script that does not parse changed the registry: " + Printable(script));
        } else {
            ++(SUCCEEDED(result) ? succeeded : failed);
        }
        scratch.Restore();
        if (!scratch.Intact()) {
            campaign.Finding("a script deleted a root's own key (" + std::to_string(result) +
                             "): " + Printable(script, 400));
            scratch.Make();
        }
        if (const std::wstring changed = fingerprint.Changed(); !changed.empty())
            campaign.Finding("a script changed real keys " + Printable(changed) + ": " + Printable(script));
        if (!scratch.Redirect())
            campaign.Finding("the roots could not be redirected again");
    });
    scratch.Restore();
    campaign.Report(std::to_string(succeeded) + " scripts applied, " + std::to_string(unparsed) +
                    " refused unparsed leaving the scratch root as it was, " + std::to_string(failed) +
                    " failed while applied; " + std::to_string(fingerprint.Count()) + " real keys they name watched");
    return campaign.Findings();
}
