#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// The interpreter of the module's registry scripts: applies a script to the registry (register
// mode) or takes away what it describes (unregister mode). It knows nothing of the module; it is
// given the text, the replacements for %NAME% and the mode, and lives for one run.
class CRegObject {
public:
    // The first pair of a name wins; names are matched ignoring case.
    HRESULT AddReplacement(const wchar_t* name, const wchar_t* text);
    HRESULT RunScript(const wchar_t* script, bool registering);

private:
    HRESULT Preprocess(const wchar_t* script, std::wstring* text) const;

    std::vector<std::pair<std::wstring, std::wstring>> m_replacements;
};
