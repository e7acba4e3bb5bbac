#pragma once

#include <string>

#include "status/BaseFileInfo.h"

class COrbethStatusResolver;

// One selected or pushed path: its status and attributes, the path as the file manager gave it,
// and the client's relative path, worked out when first asked for and kept once found.
class COrbethFileInfo final : public COrbethBaseFileInfo {
public:
    // Reads the attributes of the path (INVALID_FILE_ATTRIBUTES when it does not exist).
    explicit COrbethFileInfo(const wchar_t* path);
    COrbethFileInfo(const COrbethFileInfo&) = default;
    COrbethFileInfo& operator=(const COrbethFileInfo&) = default;
    // Moved, not copied, when the selection's array grows.
    COrbethFileInfo(COrbethFileInfo&&) noexcept = default;
    COrbethFileInfo& operator=(COrbethFileInfo&&) noexcept = default;

    std::wstring GetPath() const { return m_path; }
    // Empty while the path is not under the root; asked for again on the next call then.
    std::wstring GetRelativePath();

private:
    std::wstring m_path;
    std::wstring m_relativePath;
    COrbethStatusResolver* m_resolver;
};
