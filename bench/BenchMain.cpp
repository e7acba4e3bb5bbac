#include <cstring>

#include "bench/Bench.h"
#include "tools/clock/ControlledClock.h"

// Every group, or those named on the command line ("cold", "menu").
int main(int argc, char** argv)
{
    // The linked module's clock stands still (the DLL the menu benchmark loads keeps its own): a
    // cold pass over 10,000 items may outlast a status's 10 s life on a slow machine, and the warm
    // passes after it must still find every entry.
    ControlledClock::Freeze();
    const struct {
        const char* name;
        void (*run)();
    } groups[] = {{"cache", RunStatusCacheBenchmarks},
                  {"resolver", RunResolverBenchmarks},
                  {"cold", RunColdFolderBenchmarks},
                  {"menu", RunMenuBenchmarks}};
    for (const auto& group : groups) {
        bool named = argc < 2;
        for (int i = 1; i < argc; ++i)
            named = named || std::strcmp(argv[i], group.name) == 0;
        if (named)
            group.run();
    }
    return 0;
}
