#include "bench/Bench.h"

int main()
{
    RunStatusCacheBenchmarks();
    return 0;
}
