#pragma once

#include <windows.h>

#include <map>
#include <string>

// Every key below a key, with its values, as "path|name" -> data: a tree to compare. Strings
// read as themselves, other types as "type T" and their bytes in hex.
void DumpRegistry(HKEY parent, const std::wstring& path, std::map<std::wstring, std::wstring>* tree);
