#include "tools/standin/RegistryDump.h"

#include <algorithm>

#include "base/RegistryKey.h"

std::wstring DumpRegistry(HKEY root, const std::wstring& path, const std::wstring& prefix)
{
    CRegistryKey key;
    if (key.Open(root, path.c_str(), KEY_READ) != ERROR_SUCCESS)
        return L"";
    std::wstring text;
    wchar_t name[256], chars[8192]; // a value's data, as bytes and as text
    BYTE* const data = reinterpret_cast<BYTE*>(chars);
    DWORD length = 256, size = sizeof(chars), type = 0;
    for (DWORD i = 0; RegEnumValueW(key.Get(), i, name, &length, nullptr, &type, data, &size) == ERROR_SUCCESS;
         ++i, length = 256, size = sizeof(chars)) {
        const bool isText = type == REG_SZ && size == (wcsnlen(chars, size / sizeof(wchar_t)) + 1) * sizeof(wchar_t);
        text += L"; " + prefix + L"|" + name + L"=" +
                (isText ? std::wstring(chars, size / sizeof(wchar_t) - 1) : L"type " + std::to_wstring(type) + L" ");
        for (DWORD b = 0; !isText && b < size; ++b)
            text += {L"0123456789abcdef"[data[b] >> 4], L"0123456789abcdef"[data[b] & 15]};
    }
    for (DWORD i = 0;
         length = 256, RegEnumKeyExW(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i) {
        const std::wstring child = prefix.empty() ? name : prefix + L"\\" + name,
                           below = DumpRegistry(key.Get(), name, child);
        text += below.empty() ? L"; " + child : below; // a key that holds nothing shows as its path
    }
    return prefix.empty() ? text.substr(std::min<size_t>(text.size(), 2)) : text;
}
