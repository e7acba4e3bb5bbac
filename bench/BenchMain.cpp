#include "bench/Bench.h"

int main()
{
    RunStatusCacheBenchmarks();
    RunResolverBenchmarks();
    RunMenuBenchmarks();
    return 0;
}
