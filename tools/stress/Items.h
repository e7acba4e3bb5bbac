#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/SyncStatus.h"

// The stress run's sync root: folders "Dir000", "Dir001", ... of 99 files each, every one with a
// row in sync.db, and "Cloud", which has no row but lies above a remote folder of every batch.
// Three files in four and every other folder keep the status they start with; the rest are
// volatile: the writer process and the pushes change them (and remove and add their rows) all
// through the run.
namespace StressItems {

// 10,000 (a short run makes 1,000), set before any thread starts.
inline int Count = 10000;
inline int Cloud()
{
    return Count;
} // the extra folder, asked like the others
constexpr wchar_t CloudRemoteFolders[] = L"[\"/Cloud/Inner\"]";

inline bool IsFolder(int item)
{
    return item == Cloud() || item % 100 == 0;
}
inline bool IsVolatile(int item)
{
    return item != Cloud() && (item % 4 == 1 || item % 200 == 100);
}

// "Dir007" or "Dir007\File12.txt", relative to the root.
inline std::wstring Relative(int item)
{
    if (item == Cloud())
        return L"Cloud";
    wchar_t text[32];
    if (IsFolder(item))
        swprintf(text, 32, L"Dir%03d", item / 100);
    else
        swprintf(text, 32, L"Dir%03d\\File%02d.txt", item / 100, item % 100 - 1);
    return text;
}

// The row's key, as the client writes it: "/dir007/", "/dir007/file12.txt".
inline std::wstring Canonical(int item)
{
    std::wstring path = L"/" + Relative(item) + (IsFolder(item) ? L"/" : L"");
    for (wchar_t& c : path)
        c = c == L'\\' ? L'/' : static_cast<wchar_t>(towlower(c));
    return path;
}

// The raw status an item starts with (and a stable one keeps): error, pending, in sync, excluded.
inline int32_t FirstStatus(int item)
{
    const int32_t statuses[] = {StatusError, StatusPending, StatusOk, StatusOk | StatusExcludedFlag};
    return statuses[(item / 4) % 4];
}

inline DWORD Attributes(int item)
{
    return IsFolder(item) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

} // namespace StressItems
