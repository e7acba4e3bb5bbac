#pragma once

#include <windows.h>

#include "base/UniqueHandle.h"

// A kernel handle (file, event, process), closed when it goes.
using CHandle = CUniqueHandle<HANDLE, &CloseHandle>;

// CreateFileW fails with INVALID_HANDLE_VALUE rather than null.
inline HANDLE NullIfInvalid(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}
