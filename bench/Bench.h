#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>

// Nanoseconds per operation of body(i), the best of several rounds, so that a stray
// preemption under Wine does not decide the figure.
template <typename Body> double MeasureNsPerOp(long iterations, Body&& body, int rounds = 7)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        for (long i = 0; i < iterations; ++i)
            body(i);
        QueryPerformanceCounter(&end);
        const double ns = double(end.QuadPart - start.QuadPart) * 1e9 / double(frequency.QuadPart) / double(iterations);
        best = std::min(best, ns);
    }
    return best;
}

inline void ReportBench(const char* name, double ns, double floorNs, double target)
{
    const double ratio = ns / floorNs;
    std::printf("bench %s: %.1f ns/op, floor %.1f ns/op, ratio %.2f (target %.1f)%s\n", name, ns, floorNs, ratio,
                target, ratio <= target ? "" : "  ** over target **");
    std::fflush(stdout);
}

// Keeps a computed value alive so the optimiser cannot drop the work that made it.
template <typename T> inline void KeepValue(const T& value)
{
    asm volatile("" : : "g"(value) : "memory");
}

void RunStatusCacheBenchmarks();
