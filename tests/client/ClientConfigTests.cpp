#include <gtest/gtest.h>

#include <string>

#include "base/RegistryKey.h"
#include "client/ClientConfig.h"
#include "client/ClientContract.h"
#include "tests/support/ClientEnvironment.h"

namespace {

using ClientConfigTest = ClientEnvironmentTest;

// The answers point into the value cache; these single-threaded tests read them at once.
std::wstring Text(const std::wstring* answer)
{
    return answer ? *answer : L"<none>";
}

TEST_F(ClientConfigTest, DirectoriesEndInExactlyOneBackslash)
{
    CClientConfig& config = CClientConfig::GetInstance();
    const std::wstring withSlash = client->ConfigDir();
    const std::wstring withoutSlash = withSlash.substr(0, withSlash.size() - 1);
    for (const std::wstring& value : {withoutSlash, withSlash}) {
        SCOPED_TRACE(testing::PrintToString(value));
        clock.AdvanceSeconds(601);
        ASSERT_TRUE(client->SetRegistryValue(ClientContract::ConfigDirValue, value.c_str()));
        EXPECT_EQ(Text(config.GetRegistryPath(ClientContract::ConfigDirValue)), withSlash);
    }
    EXPECT_EQ(Text(config.GetRootDir()), client->RootDir());

    // A value naming a file is kept as it is.
    ASSERT_TRUE(client->SetRegistryValue(L"a_file", client->SyncDbPath().c_str()));
    EXPECT_EQ(Text(config.GetRegistryPath(L"a_file")), client->SyncDbPath());
}

TEST_F(ClientConfigTest, AnswersAreCachedButAbsentAnswersAreNot)
{
    CClientConfig& config = CClientConfig::GetInstance();
    const std::wstring missing = client->RootDir() + L"not there";
    ASSERT_TRUE(client->SetRegistryValue(ClientContract::RootDirValue, missing.c_str()));
    std::wstring root = L"unchanged";
    EXPECT_FALSE(config.CopyRootDir(&root));
    EXPECT_EQ(root, L"unchanged");

    ASSERT_TRUE(client->MakeFolder(L"not there"));
    ASSERT_TRUE(config.CopyRootDir(&root)) << "the absence was not kept";
    EXPECT_EQ(root, missing + L"\\");

    // Present answers are kept for 600 s, even when the registry changes meanwhile.
    ASSERT_TRUE(client->SetRegistryValue(ClientContract::RootDirValue, client->RootDir().c_str()));
    clock.AdvanceSeconds(600);
    EXPECT_EQ(Text(config.GetRootDir()), missing + L"\\");
    clock.AdvanceSeconds(1);
    EXPECT_EQ(Text(config.GetRootDir()), client->RootDir());
}

TEST_F(ClientConfigTest, OnlyThe32BitViewOfTheClientKeyIsRead)
{
    ASSERT_TRUE(CStandInClient::DeleteRegistryKey());
    {
        CRegistryKey key64;
        ASSERT_EQ(key64.Create(HKEY_LOCAL_MACHINE, ClientContract::RegistryKeyPath, KEY_WRITE | KEY_WOW64_64KEY),
                  ERROR_SUCCESS);
        const std::wstring& root = client->RootDir();
        ASSERT_EQ(RegSetValueExW(key64.Get(), ClientContract::RootDirValue, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(root.c_str()),
                                 static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    EXPECT_EQ(CClientConfig::GetInstance().GetRootDir(), nullptr);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ClientContract::RegistryKeyPath, KEY_WOW64_64KEY, 0);
}

// The data is read into 260 characters: data that fits is taken up to its first NUL, data
// that does not fit is refused rather than cut.
TEST_F(ClientConfigTest, RegistryDataLongerThanTheBufferIsRefused)
{
    CClientConfig& config = CClientConfig::GetInstance();
    const std::wstring& root = client->RootDir();
    std::wstring data = root;
    data.resize(260, L'\0');
    ASSERT_TRUE(client->SetRegistryData(ClientContract::RootDirValue, data.c_str(), 520));
    EXPECT_EQ(Text(config.GetRootDir()), root);

    clock.AdvanceSeconds(601);
    data.resize(261, L'\0');
    ASSERT_TRUE(client->SetRegistryData(ClientContract::RootDirValue, data.c_str(), 522));
    EXPECT_EQ(config.GetRootDir(), nullptr);
}

TEST_F(ClientConfigTest, DatabasesMustBeFilesInTheConfigDirectory)
{
    CClientConfig& config = CClientConfig::GetInstance();
    EXPECT_EQ(Text(config.GetSyncDbPath()), client->SyncDbPath());
    EXPECT_EQ(Text(config.GetDconfDbPath()), client->DconfDbPath());

    clock.AdvanceSeconds(601);
    ASSERT_TRUE(DeleteFileW(client->SyncDbPath().c_str()));
    ASSERT_TRUE(CreateDirectoryW(client->SyncDbPath().c_str(), nullptr));
    EXPECT_EQ(config.GetSyncDbPath(), nullptr);
    EXPECT_EQ(config.FindConfigFile(nullptr, L"dconf.db"), nullptr);
    EXPECT_EQ(config.FindConfigFile(&client->ConfigDir(), L""), nullptr);
}

TEST_F(ClientConfigTest, AnEmptyUserIsNoUserAndIsNotCached)
{
    CClientConfig& config = CClientConfig::GetInstance();
    ASSERT_TRUE(client->ExecDconf(L"UPDATE driveconfig SET user = '';"));
    EXPECT_EQ(config.GetClientUser(), nullptr);
    EXPECT_EQ(config.GetClientUser(), nullptr);

    ASSERT_TRUE(client->ExecDconf(L"UPDATE driveconfig SET user = 'bob@example.org';"));
    EXPECT_EQ(Text(config.GetClientUser()), L"bob@example.org");
}

TEST_F(ClientConfigTest, SharingFlagsEnableFilesAndFoldersSeparately)
{
    CClientConfig& config = CClientConfig::GetInstance();
    const struct {
        int flags;
        bool files;
        bool folders;
    } cases[] = {{0, false, false}, {1, true, false}, {2, false, true}, {3, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        ASSERT_TRUE(client->ExecDconf(L"UPDATE driveconfig SET share_link = " + std::to_wstring(c.flags) + L";"));
        clock.AdvanceSeconds(11);
        EXPECT_EQ(config.IsSharingEnabled(FILE_ATTRIBUTE_ARCHIVE), c.files);
        EXPECT_EQ(config.IsSharingEnabled(FILE_ATTRIBUTE_DIRECTORY), c.folders);
    }

    // Kept for 10 s; without dconf.db there is no sharing at all.
    ASSERT_TRUE(client->ExecDconf(L"UPDATE driveconfig SET share_link = 0;"));
    EXPECT_TRUE(config.IsSharingEnabled(FILE_ATTRIBUTE_ARCHIVE));
    clock.AdvanceSeconds(601);
    ASSERT_TRUE(DeleteFileW(client->DconfDbPath().c_str()));
    EXPECT_FALSE(config.IsSharingEnabled(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FALSE(config.IsSharingEnabled(FILE_ATTRIBUTE_DIRECTORY));
}

} // namespace
