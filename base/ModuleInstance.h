#pragma once

#include <windows.h>

extern "C" IMAGE_DOS_HEADER __ImageBase; // NOLINT(bugprone-reserved-identifier): the linker names it

// The handle of the file this code was linked into: the DLL itself, whose resources hold the
// icons, the menu bitmap and the registry scripts.
inline HINSTANCE GetModuleInstance()
{
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}
