#include "status/FileInfo.h"

#include <windows.h>

#include "status/StatusResolver.h"

COrbethFileInfo::COrbethFileInfo(const wchar_t* path)
    : COrbethBaseFileInfo(StatusNone, INVALID_FILE_ATTRIBUTES),
      m_resolver(&COrbethStatusResolver::GetInstance())
{
    if (path) {
        m_path = path;
        m_attributes = GetFileAttributesW(path);
    }
}

std::wstring COrbethFileInfo::GetRelativePath()
{
    if (m_relativePath.empty() && !m_path.empty())
        m_resolver->MakeRelativePathFor(m_path.c_str(), m_attributes, &m_relativePath);
    return m_relativePath;
}
