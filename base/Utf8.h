#pragma once

#include <string>
#include <string_view>

// UTF-16 <-> UTF-8 at the module's boundaries (SQLite paths, JSON texts, HTTP bodies).
// False, with the output untouched, on invalid input or when memory runs out.
bool WideToUtf8(std::wstring_view text, std::string* utf8);
bool Utf8ToWide(std::string_view utf8, std::wstring* text);
