#include "module/Module.h"

#include "module/ClassTable.h"

const wchar_t OrbethAppId[] = L"{D68EEFFA-888A-49C3-991D-A63A3084A742}";

// Built at load; the class table lets go of its factories at unload.
static CClassTable s_classTable;
static COrbethExtensionsModule s_module;

CClassTable& GetClassTable()
{
    return s_classTable;
}

COrbethExtensionsModule& GetModule()
{
    return s_module;
}

bool ModuleLoadFailed()
{
    return !s_classTable.IsUsable();
}

LONG COrbethExtensionsModule::Lock()
{
    return InterlockedIncrement(&m_lockCount);
}

LONG COrbethExtensionsModule::Unlock()
{
    return InterlockedDecrement(&m_lockCount);
}

LONG COrbethExtensionsModule::GetLockCount()
{
    return m_lockCount;
}
