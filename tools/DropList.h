#pragma once

#include <objidl.h>

#include <string>
#include <vector>

// What the file manager hands a context menu handler for a selection of files: a data object
// whose CF_HDROP is a wide drop list of the paths in order. Null when it cannot be made.
IDataObject* MakeDropList(const std::vector<std::wstring>& paths);
