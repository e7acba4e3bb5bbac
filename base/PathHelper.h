#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

// Path operations of the status engine: is a path under the sync root, and what is its relative
// path as the client's database keys it. They keep no state. A root is a directory path ending
// in a backslash; an empty root means there is none.
class COrbethPathHelper {
public:
    // Items the file manager shows but the client never syncs.
    static constexpr uint32_t UnmanagedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                    FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_OFFLINE |
                                                    FILE_ATTRIBUTE_VIRTUAL;

    // Under the root, existing, and none of the unmanaged attributes.
    static bool IsManagedPath(std::wstring_view root, std::wstring_view path, uint32_t attributes);
    // The root itself (with or without its final backslash) or anything below it; letter case is
    // ignored. A sibling whose name merely begins with the root's name is not under it.
    static bool IsPathUnderRoot(std::wstring_view root, std::wstring_view path);
    // The root removed from the path, backslashes turned into "/", one leading "/", a trailing
    // "/" for directories; the root itself becomes "/". False, output untouched, when the path
    // does not lie under the root.
    static bool MakeRelativePath(std::wstring_view root, std::wstring_view path, uint32_t attributes,
                                 std::wstring* relative);
    static void AppendSlashIfDirectory(std::wstring* path, uint32_t attributes);

    // Unicode normalisation form C; the text stays as it is when the system cannot do it.
    static void NormalizeInPlace(std::wstring* text);
    // Each UTF-16 code unit lowered as the user's default locale does; surrogates stay as they are.
    static void LowerCaseInPlace(std::wstring* text);
    // Normalised (form C) and lower-cased, as the client keys its items.
    static void CanonicalizeInPlace(std::wstring* text);
};
