#include "module/Module.h"

#include <new>

#include "module/ClassTable.h"

const wchar_t OrbethAppId[] = L"{D68EEFFA-888A-49C3-991D-A63A3084A742}";

// Built at load in this order, and destroyed at unload in the reverse one: the module object
// first, after the objects made on first use (whose clean-ups were registered later still).
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
    return !s_classTable.IsUsable() || !s_module.IsInitialised();
}

COrbethExtensionsModule::COrbethExtensionsModule() noexcept
{
    if (InitializeCriticalSectionEx(&m_lock, 0, 0))
        m_initialised = 1;
}

COrbethExtensionsModule::~COrbethExtensionsModule()
{
    if (!m_initialised)
        return;
    while (CTermRecord* record = m_termList) {
        m_termList = record->next;
        record->callback(record->argument);
        delete record;
    }
    if (m_globalInterfaceTable)
        m_globalInterfaceTable->Release();
    m_globalInterfaceTable = nullptr;
    DeleteCriticalSection(&m_lock);
    m_initialised = 0;
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

HRESULT COrbethExtensionsModule::GetGlobalInterfaceTable(IGlobalInterfaceTable** table)
{
    if (!table)
        return E_POINTER;
    *table = nullptr;
    EnterCriticalSection(&m_lock);
    HRESULT result = S_OK;
    if (!m_globalInterfaceTable)
        result = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&m_globalInterfaceTable));
    if (SUCCEEDED(result)) {
        *table = m_globalInterfaceTable;
        (*table)->AddRef();
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

bool COrbethExtensionsModule::AddTermFunc(TermCallback callback, void* argument)
{
    auto* record = new (std::nothrow) CTermRecord{callback, argument, nullptr};
    if (!record)
        return false;
    EnterCriticalSection(&m_lock);
    record->next = m_termList;
    m_termList = record;
    LeaveCriticalSection(&m_lock);
    return true;
}
