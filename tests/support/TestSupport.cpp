#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include "tools/StandInClient.h"

CTempDir::CTempDir(const std::wstring& nameHint) : m_path(MakeTempFolder(nameHint))
{
    if (m_path.empty())
        ADD_FAILURE() << "cannot create a temporary directory, error " << GetLastError();
}

CTempDir::~CTempDir()
{
    if (!m_path.empty())
        RemoveFolderTree(m_path);
}

void ExecSql(const std::wstring& dbPath, const char* sql)
{
    std::string error;
    ASSERT_TRUE(ExecSqlOnFile(dbPath, sql, &error)) << error << "\nin: " << sql;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(ok && written == bytes.size());
}
