#include "base/SharedLock.h"

CSharedLock* GetSharedLock()
{
    // A function-local static is created once even when two threads arrive together, and its
    // destructor is registered right after creation, so it runs at unload after every object
    // created later (all of which take the lock in their constructors).
    static CSharedLock lock;
    return &lock;
}
