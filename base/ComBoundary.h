#pragma once

#include <windows.h>

#include <new>

// The DLL lives inside the file manager's process: no C++ exception may leave an exported
// function, a COM method or a hook procedure. Each such body runs through this guard.
template <typename Body> HRESULT GuardedCall(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
