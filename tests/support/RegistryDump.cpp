#include "tests/support/RegistryDump.h"

#include "base/RegistryKey.h"

void DumpRegistry(HKEY parent, const std::wstring& path, std::map<std::wstring, std::wstring>* tree)
{
    CRegistryKey key;
    if (key.Open(parent, path.empty() ? nullptr : path.c_str(), KEY_READ) != ERROR_SUCCESS)
        return;
    (*tree)[path] = L"";
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        BYTE data[4096];
        DWORD nameLength = 256, size = sizeof(data), type = 0;
        if (RegEnumValueW(key.Get(), i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        std::wstring text;
        if (type == REG_SZ) {
            text.assign(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
            text.resize(wcsnlen(text.c_str(), text.size()));
        } else {
            text = L"type " + std::to_wstring(type);
            for (DWORD b = 0; b < size; ++b)
                text += (b ? L"" : L" ") + std::wstring{L"0123456789abcdef"[data[b] >> 4], L"0123456789abcdef"[data[b] & 15]};
        }
        (*tree)[path + L"|" + name] = text;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        DumpRegistry(parent, path.empty() ? name : path + L"\\" + name, tree);
    }
}
