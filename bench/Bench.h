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
    // Over the rounds of a Compare: the median of the rounds' ratios, and half their
    // interquartile range in percent of it. A lone pass has neither: its ratio is ns over floorNs.
    double ratio = 0;
    double spreadPercent = -1;
};

// The q-quantile of values, interpolated between the two nearest; sorts values.
inline double Quantile(std::vector<double>& values, double q)
{
    std::sort(values.begin(), values.end());
    const double at = q * double(values.size() - 1);
    const size_t below = size_t(at);
    const double next = values[std::min(below + 1, values.size() - 1)];
    return values[below] + (at - double(below)) * (next - values[below]);
}

// Many short rounds, each timing the subject and its floor twice, in mirrored order (subject,
// floor, floor, subject), the round's ratio being the subject's time over the floor's. A slow spell
// or a drift then hits both sides of a round alike, and so does what a pass costs the one after
// it (caches filled with its own data); the median ratio leaves out the rounds a spell did hit.
// Each pass answers its own nanoseconds per unit (an operation, an item of a cold folder).
template <typename SubjectPass, typename FloorPass>
CBenchFigures ComparePasses(int rounds, SubjectPass&& subject, FloorPass&& floor)
{
    std::vector<double> ns, floorNs, ratios;
    for (int round = 0; round < rounds; ++round) {
        const double s1 = subject(), f1 = floor(), f2 = floor(), s2 = subject();
        ns.push_back((s1 + s2) / 2);
        floorNs.push_back((f1 + f2) / 2);
        ratios.push_back(ns.back() / floorNs.back());
    }
    const double ratio = Quantile(ratios, 0.5);
    return {Quantile(ns, 0.5), Quantile(floorNs, 0.5), ratio,
            50 * (Quantile(ratios, 0.75) - Quantile(ratios, 0.25)) / ratio};
}

// Passes of iterations operations; a first pass's outliers are left to the median.
template <typename Subject, typename Floor>
CBenchFigures Compare(long iterations, int rounds, Subject&& subject, Floor&& floor)
{
    return ComparePasses(
        rounds, [&] { return TimePass(iterations, subject); }, [&] { return TimePass(iterations, floor); });
}

inline void ReportBench(const char* name, CBenchFigures figures, double target)
{
    const double ratio = figures.spreadPercent < 0 ? figures.ns / figures.floorNs : figures.ratio;
    char spread[32] = ", one pass";
    if (figures.spreadPercent >= 0)
        std::snprintf(spread, sizeof(spread), " ±%.1f%%", figures.spreadPercent);
    std::printf("bench %s: %.1f ns/op, floor %.1f ns/op, ratio %.3g%s (target %g)%s\n", name, figures.ns,
                figures.floorNs, ratio, spread, target, ratio <= target ? "" : "  ** over target **");
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
