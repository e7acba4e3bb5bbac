#pragma once

#include <windows.h>

#include <string>

// Everything below a key, in the registry's order, as "path|name=data" for each value and the path of
// each key that holds nothing, joined by "; ". Strings ending in their one NUL read as text, other data
// as "type T" and hex. Paths are relative to the key; prefix is for the recursion.
std::wstring DumpRegistry(HKEY root, const std::wstring& path, const std::wstring& prefix = L"");
