#pragma once

#include <objbase.h>
#include <windows.h>

#include "base/ModuleInstance.h"

// The module object: counts the locks that live objects, held class factories and LockServer
// take, and runs the registered clean-ups when the DLL unloads. One static instance per process.
class COrbethExtensionsModule {
public:
    using TermCallback = void (*)(void* argument);

    // Built at load, where nothing could catch: it only makes its lock.
    COrbethExtensionsModule() noexcept;
    virtual ~COrbethExtensionsModule();
    COrbethExtensionsModule(const COrbethExtensionsModule&) = delete;
    COrbethExtensionsModule& operator=(const COrbethExtensionsModule&) = delete;

    virtual LONG Lock();
    virtual LONG Unlock();
    virtual LONG GetLockCount();
    // The system's standard global interface table, made on first use; nothing in the module
    // needs it, it is here for the module's own extensions.
    virtual HRESULT GetGlobalInterfaceTable(IGlobalInterfaceTable** table);

    bool IsInitialised() const { return m_initialised != 0; }
    // Runs at unload, newest first. False when the record cannot be allocated.
    bool AddTermFunc(TermCallback callback, void* argument);
    // Guards the termination list.
    CRITICAL_SECTION* ModuleLock() { return &m_lock; }

private:
    struct CTermRecord {
        TermCallback callback;
        void* argument;
        CTermRecord* next;
    };

    UINT m_initialised = 0;
    volatile LONG m_lockCount = 0;
    CTermRecord* m_termList = nullptr;
    CRITICAL_SECTION m_lock;
    IGlobalInterfaceTable* m_globalInterfaceTable = nullptr;
};

COrbethExtensionsModule& GetModule();
// True when a lock could not be made at load: the DLL then refuses to attach.
bool ModuleLoadFailed();

// The module's AppID (its type library's id is LIBID_OrbethExtensionsLib).
extern const wchar_t OrbethAppId[];
