#include "bench/Bench.h"

int main()
{
    RunStatusCacheBenchmarks();
    RunResolverBenchmarks();
    return 0;
}
