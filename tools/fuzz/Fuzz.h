#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CStandInClient;

// The generator of one case: its whole sequence follows from the run's draw, the campaign and the
// case's index, so any single case can be run again alone.
class CDraw {
public:
    CDraw(uint64_t draw, const char* campaign, long index);

    uint64_t Next();
    // 0 .. n-1 (0 when n is 0).
    size_t Below(size_t n) { return n ? size_t(Next() % n) : 0; }
    // between lo and hi, both included.
    long Between(long lo, long hi) { return lo + long(Below(size_t(hi - lo) + 1)); }
    bool Percent(unsigned percent) { return Below(100) < percent; }
    template <typename T> const T& Pick(const std::vector<T>& from) { return from[Below(from.size())]; }

private:
    uint64_t m_state;
};

// One campaign of a run: its cases one after another, each watched by the hang watchdog and named
// by the crash handler, and what they found.
class CCampaign {
public:
    CCampaign(const char* name, long cases, uint64_t draw, long only);

    // Runs body(draw, index) for every case, or for the one asked for on the command line.
    template <typename Body> void Run(Body&& body)
    {
        for (long index = m_only >= 0 ? m_only : 0; index < (m_only >= 0 ? m_only + 1 : m_cases); ++index) {
            Begin(index);
            CDraw draw(m_draw, m_name, index);
            body(draw, index);
            End();
        }
    }
    // An invariant that did not hold, in the case running now (or at the end, without one).
    void Finding(const std::string& what);
    // What the case is made of, shown only when one case is run again alone.
    void Show(const std::string& what) const;
    // The campaign's line: "fuzz NAME: draw D, N cases, 0 crashes, 0 hangs, <summary>".
    void Report(const std::string& summary) const;

    const char* Name() const { return m_name; }
    long Findings() const { return m_findings; }

private:
    void Begin(long index);
    void End();

    const char* m_name;
    long m_cases;
    uint64_t m_draw;
    long m_only;
    long m_current = -1;
    long m_findings = 0;
};

// The campaigns. Each answers its number of findings.
long FuzzPushes(CCampaign& campaign, CStandInClient& client);
long FuzzScripts(CCampaign& campaign);
long FuzzPaths(CCampaign& campaign, CStandInClient& client);
long FuzzRemoteFolders(CCampaign& campaign, CStandInClient& client);

// Shared generators (Generators.cpp).
namespace Gen {

std::string RandomBytes(CDraw& draw, size_t maxLength);
// Byte flips, insertions, deletions and splices from the donors, a few at a time.
std::string Mutate(CDraw& draw, std::string text, const std::vector<std::string>& donors);
// A JSON-ish value: nesting, big and odd numbers, escapes (lone surrogates included), wrong types.
std::string JsonValue(CDraw& draw, int depth = 0);
// A JSON string literal of UTF-8 text, escaped as a JSON writer would; an odd one has some of its
// characters as \u escapes, and lone surrogates and NULs among them.
std::string JsonString(CDraw& draw, const std::string& utf8, bool odd = false);
// Text that is not valid UTF-8: lone continuation bytes, overlong and cut sequences, encoded surrogates.
std::string InvalidUtf8(CDraw& draw);
// Wide text of one path component: ordinary names, every Unicode plane, lone surrogates, NULs,
// reserved device names, trailing dots and spaces, very long ones.
std::wstring PathComponent(CDraw& draw);

} // namespace Gen

std::string ToUtf8(const std::wstring& text); // lone surrogates as U+FFFD
// For messages: ASCII as it is, the rest escaped, cut after max characters.
std::string Printable(const std::wstring& text, size_t max = 120);
std::string Printable(const std::string& bytes, size_t max = 120);
