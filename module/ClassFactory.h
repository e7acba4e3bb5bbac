#pragma once

#include "module/ClassTable.h"

// Makes the class factory of one class, asking it for riid. The reference the class table keeps
// does not lock the module; a caller holding the factory locks it once, however many
// references it holds.
HRESULT MakeClassFactory(CClassTable::CreateFunction create, REFIID riid, void** factory);
