#pragma once

#include <windows.h>

// The module object: counts the locks that live objects, held class factories and LockServer
// take. One static instance per process.
class COrbethExtensionsModule {
public:
    LONG Lock();
    LONG Unlock();
    LONG GetLockCount();

private:
    volatile LONG m_lockCount = 0;
};

COrbethExtensionsModule& GetModule();
// True when the class table could not make its lock at load: the DLL then refuses to attach.
bool ModuleLoadFailed();

// The module's AppID (its type library's id is LIBID_OrbethExtensionsLib).
extern const wchar_t OrbethAppId[];
