#include "base/Utf8.h"

#include <windows.h>

#include <climits>
#include <new>

bool WideToUtf8(std::wstring_view text, std::string* utf8)
{
    if (!utf8 || text.size() > INT_MAX)
        return false;
    if (text.empty()) {
        utf8->clear();
        return true;
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return false;
    try {
        std::string converted(static_cast<size_t>(needed), '\0');
        if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, converted.data(), needed, nullptr,
                                nullptr) != needed)
            return false;
        *utf8 = std::move(converted);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool Utf8ToWide(std::string_view utf8, std::wstring* text)
{
    if (!text || utf8.size() > INT_MAX)
        return false;
    if (utf8.empty()) {
        text->clear();
        return true;
    }
    const int length = static_cast<int>(utf8.size());
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (needed <= 0)
        return false;
    try {
        std::wstring converted(static_cast<size_t>(needed), L'\0');
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, converted.data(), needed) != needed)
            return false;
        *text = std::move(converted);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
