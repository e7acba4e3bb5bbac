#include "base/Clock.h"

// Alone in its file so that a test program's own definition replaces it at link time.
uint64_t CClock::NowTicks()
{
    return SteadyTicks();
}
