#pragma once

#include <windows.h>

#include "base/UniqueHandle.h"

// A handle of the service control manager or of a service.
using CServiceHandle = CUniqueHandle<SC_HANDLE, &CloseServiceHandle>;
