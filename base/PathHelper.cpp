#include "base/PathHelper.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

bool COrbethPathHelper::IsManagedPath(std::wstring_view root, std::wstring_view path, uint32_t attributes)
{
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & UnmanagedAttributes) != 0)
        return false;
    return IsPathUnderRoot(root, path);
}

namespace {

// Letters A to Z match either case, as the C runtime's _wcsnicmp has it in the "C" locale the
// module runs in; the runtime's own function costs a quarter of an overlay answer under Wine.
bool EqualIgnoringAsciiCase(const wchar_t* a, const wchar_t* b, size_t count)
{
    const auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c + (L'a' - L'A')) : c; };
    size_t i = 0;
    // Paths mostly agree in case too: skip equal runs four characters at a time.
    for (; i + 4 <= count; i += 4) {
        uint64_t x, y;
        std::memcpy(&x, a + i, sizeof(x));
        std::memcpy(&y, b + i, sizeof(y));
        if (x != y)
            break;
    }
    for (; i < count; ++i) {
        if (a[i] != b[i] && fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

} // namespace

bool COrbethPathHelper::IsPathUnderRoot(std::wstring_view root, std::wstring_view path)
{
    if (root.empty() || path.empty() || !path.data())
        return false;
    // The root's own name, without its final backslash, followed by nothing or by a separator.
    const size_t nameLength = root.back() == L'\\' ? root.size() - 1 : root.size();
    if (path.size() < nameLength || !EqualIgnoringAsciiCase(root.data(), path.data(), nameLength))
        return false;
    return path.size() == nameLength || path[nameLength] == L'\\';
}

bool COrbethPathHelper::MakeRelativePath(std::wstring_view root, std::wstring_view path, uint32_t attributes,
                                         std::wstring* relative)
{
    // A path elsewhere has no relative path: cutting the root's length off it would name an item
    // under the root that nobody chose.
    if (!relative || !IsPathUnderRoot(root, path))
        return false;
    const bool addSlash = (attributes & FILE_ATTRIBUTE_DIRECTORY) && !path.empty() && path.back() != L'\\';
    try {
        // From the root's final backslash on, so the result starts with "/".
        std::wstring result(path.substr(root.size() - 1));
        for (wchar_t& c : result) {
            if (c == L'\\')
                c = L'/';
        }
        if (addSlash)
            result.push_back(L'/');
        else if (path.size() == root.size())
            result = L"/";
        *relative = std::move(result);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void COrbethPathHelper::AppendSlashIfDirectory(std::wstring* path, uint32_t attributes)
{
    if (path && !path->empty() && (attributes & FILE_ATTRIBUTE_DIRECTORY) && path->back() != L'\\')
        path->push_back(L'\\');
}

void COrbethPathHelper::NormalizeInPlace(std::wstring* text)
{
    if (!text || text->empty() || text->size() > INT_MAX)
        return;
    const int length = static_cast<int>(text->size());
    if (IsNormalizedString(NormalizationC, text->c_str(), length))
        return;
    int size = NormalizeString(NormalizationC, text->c_str(), length, nullptr, 0);
    try {
        // The first size is an estimate; the system tells a better one when it was too small.
        for (int attempt = 0; size > 0 && attempt < 10; ++attempt) {
            std::wstring buffer(static_cast<size_t>(size), L'\0');
            SetLastError(ERROR_SUCCESS);
            const int written = NormalizeString(NormalizationC, text->c_str(), length, buffer.data(), size);
            if (written > 0) {
                buffer.resize(static_cast<size_t>(written));
                *text = std::move(buffer);
                return;
            }
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
                return;
            size = -written;
        }
    } catch (const std::bad_alloc&) {
    }
}

void COrbethPathHelper::LowerCaseInPlace(std::wstring* text)
{
    if (!text || text->empty() || text->size() > INT_MAX)
        return;
    const int length = static_cast<int>(text->size());
    try {
        std::wstring lowered(text->size(), L'\0');
        if (LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_LOWERCASE, text->data(), length, lowered.data(), length,
                          nullptr, nullptr, 0) != length)
            return;
        for (size_t i = 0; i < lowered.size(); ++i) {
            if (IS_HIGH_SURROGATE((*text)[i]) || IS_LOW_SURROGATE((*text)[i]))
                lowered[i] = (*text)[i];
        }
        *text = std::move(lowered);
    } catch (const std::bad_alloc&) {
    }
}

void COrbethPathHelper::CanonicalizeInPlace(std::wstring* text)
{
    // ASCII is in form C already, and the system lowers its letters as ASCII does in every
    // locale (its file-system casing, not a language's): most paths then need no call.
    if (text && std::all_of(text->begin(), text->end(), [](wchar_t c) { return c < 0x80; })) {
        for (wchar_t& c : *text)
            c = c >= L'A' && c <= L'Z' ? wchar_t(c + (L'a' - L'A')) : c;
        return;
    }
    NormalizeInPlace(text);
    LowerCaseInPlace(text);
}
