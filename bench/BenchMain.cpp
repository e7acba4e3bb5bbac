#include "bench/Bench.h"
#include "tools/clock/ControlledClock.h"

int main()
{
    // The linked module's clock stands still (the DLL the menu benchmark loads keeps its own): a
    // cold pass over 10,000 items may outlast a status's 10 s life on a slow machine, and the warm
    // passes after it must still find every entry.
    ControlledClock::Freeze();
    RunStatusCacheBenchmarks();
    RunResolverBenchmarks();
    RunMenuBenchmarks();
    return 0;
}
