#include "base/Clock.h"

// Linked ahead of the libraries, this replaces the linked module's clock (the DLL the menu
// benchmark loads keeps its own). It stands still: a cold pass over 10,000 items may outlast a
// status's 10 s life on a slow machine, and the warm passes after it must still find every entry.
uint64_t CClock::NowTicks()
{
    static const uint64_t start = SteadyTicks();
    return start;
}
