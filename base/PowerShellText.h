#pragma once

#include <string>

// A folder as it goes between PowerShell's single quotes, as the installer runs Add-AppxPackage and
// the doctor tells users to: without trailing backslashes (Add-AppxPackage refuses an external
// location that ends in one), each quote doubled, the typographic ones too, which PowerShell takes
// for single quotes as well.
inline std::wstring QuotedFolderForPowerShell(std::wstring folder)
{
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    std::wstring quoted;
    for (const wchar_t c : folder) {
        quoted += c;
        if (c == L'\'' || (c >= 0x2018 && c <= 0x201B))
            quoted += c;
    }
    return quoted;
}
