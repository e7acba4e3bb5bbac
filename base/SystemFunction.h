#pragma once

#include <windows.h>

// A function of a loaded system DLL, looked up when needed: as an import, one that an older
// Windows (or Wine) lacks would keep the whole module from loading. Null where it is missing.
template <typename Function> Function SystemFunction(const wchar_t* dll, const char* name)
{
    const HMODULE module = GetModuleHandleW(dll);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(module ? GetProcAddress(module, name) : nullptr));
}
