#pragma once

#include <windows.h>
#include <winhttp.h>

#include "base/UniqueHandle.h"

// A WinHTTP session, connection or request handle. Declared in the order they are opened, they
// close request first, then connection, then session.
using CWinHttpHandle = CUniqueHandle<HINTERNET, &WinHttpCloseHandle>;
