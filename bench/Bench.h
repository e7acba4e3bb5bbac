#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// Nanoseconds per operation of body(i) over one pass of iterations.
template <typename Body> double TimePass(long iterations, Body& body)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (long i = 0; i < iterations; ++i)
        body(i);
    QueryPerformanceCounter(&end);
    return double(end.QuadPart - start.QuadPart) * 1e9 / double(frequency.QuadPart) / double(iterations);
}

struct CBenchFigures {
    double ns;
    double floorNs;
};

// The subject and its floor in alternating passes, the best pass of each: the machine's
// slow spells then hit both alike instead of deciding the ratio.
template <typename Subject, typename Floor>
CBenchFigures Compare(long iterations, Subject&& subject, Floor&& floor, int rounds = 9)
{
    CBenchFigures best{1e300, 1e300};
    for (int round = 0; round < rounds; ++round) {
        best.ns = std::min(best.ns, TimePass(iterations, subject));
        best.floorNs = std::min(best.floorNs, TimePass(iterations, floor));
    }
    return best;
}

// Rounds of a subject pass and a floor pass, each answering its nanoseconds per unit, in
// alternating order; the median of the rounds' ratios.
template <typename SubjectPass, typename FloorPass>
CBenchFigures CompareRounds(int rounds, SubjectPass&& subject, FloorPass&& floor)
{
    std::vector<double> ns, floorNs, ratios;
    for (int round = 0; round < rounds; ++round) {
        const bool subjectFirst = round % 2 == 0;
        const double a = subjectFirst ? subject() : floor();
        const double b = subjectFirst ? floor() : subject();
        ns.push_back(subjectFirst ? a : b);
        floorNs.push_back(subjectFirst ? b : a);
        ratios.push_back(ns.back() / floorNs.back());
    }
    std::sort(ns.begin(), ns.end());
    std::sort(floorNs.begin(), floorNs.end());
    std::sort(ratios.begin(), ratios.end());
    std::printf("    ratios %.3f .. %.3f\n", ratios.front(), ratios.back());
    return {ns[ns.size() / 2], floorNs[floorNs.size() / 2] * ratios[ratios.size() / 2] /
                                   (ns[ns.size() / 2] / floorNs[floorNs.size() / 2])};
}

inline void ReportBench(const char* name, CBenchFigures figures, double target)
{
    const double ratio = figures.ns / figures.floorNs;
    std::printf("bench %s: %.1f ns/op, floor %.1f ns/op, ratio %.2f (target %.1f)%s\n", name, figures.ns,
                figures.floorNs, ratio, target, ratio <= target ? "" : "  ** over target **");
    std::fflush(stdout);
}

// Keeps a computed value alive so the optimiser cannot drop the work that made it.
template <typename T> inline void KeepValue(const T& value)
{
    asm volatile("" : : "g"(value) : "memory");
}

class CStandInClient;

// count files "Report I.txt" in a new folder of the stand-in client's sync root, each with a
// sync.db row whose status and uqid are values(I) ("2, 'U1'"); their paths and canonical paths.
bool MakeReports(CStandInClient& client, const std::wstring& folder, int count, std::wstring (*values)(int),
                 std::vector<std::wstring>* paths, std::vector<std::wstring>* canonical);

void RunStatusCacheBenchmarks();
void RunResolverBenchmarks();
void RunOverlayBenchmarks(const std::vector<std::wstring>& paths);
void RunMenuBenchmarks();
void RunColdFolderBenchmarks();
