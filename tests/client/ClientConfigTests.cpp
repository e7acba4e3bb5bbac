#include <gtest/gtest.h>

#include <string>

#include "client/ClientConfig.h"
#include "client/ClientContract.h"
#include "tests/support/ClientEnvironment.h"

namespace {

using ClientConfigTest = ClientEnvironmentTest;
using namespace ClientContract;

// The answers point into the value cache; these single-threaded tests read them at once.
std::wstring Text(const std::wstring* answer)
{
    return answer ? *answer : L"<none>";
}

TEST_F(ClientConfigTest, RegistryPathsNameExistingFilesAndFolders)
{
    CClientConfig& config = CClientConfig::GetInstance();
    const std::wstring dir = client->ConfigDir(), root = client->RootDir(), syncDb = client->SyncDbPath();
    std::wstring padded = root; // read into 260 characters, up to the first NUL
    padded.resize(260, L'\0');
    const struct {
        const wchar_t* name;
        std::wstring data;
        size_t bytes;
        std::wstring expected;
    } cases[] = {{ConfigDirValue, dir.substr(0, dir.size() - 1), 0, dir}, {ConfigDirValue, dir, 0, dir},
                 {L"a_file", syncDb, 0, syncDb}, {RootDirValue, padded, 520, root},
                 {RootDirValue, padded, 522, L"<none>"}, // refused rather than cut
                 {RootDirValue, root + L"not there", 0, L"<none>"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.data));
        clock.AdvanceSeconds(601);
        const size_t bytes = c.bytes ? c.bytes : (c.data.size() + 1) * sizeof(wchar_t); // 0: the text and its NUL
        ASSERT_TRUE(client->SetRegistryData(c.name, c.data.c_str(), static_cast<DWORD>(bytes)));
        EXPECT_EQ(Text(config.GetRegistryPath(c.name)), c.expected);
    }
    std::wstring copy = L"unchanged";
    EXPECT_FALSE(config.CopyRootDir(&copy));
    EXPECT_EQ(copy, L"unchanged");
    ASSERT_TRUE(client->MakeFolder(L"not there"));
    ASSERT_TRUE(config.CopyRootDir(&copy)) << "the absence was not kept";
    EXPECT_EQ(copy, root + L"not there\\");
    ASSERT_TRUE(client->SetRegistryValue(RootDirValue, root.c_str()));
    clock.AdvanceSeconds(600);
    EXPECT_EQ(Text(config.GetRootDir()), root + L"not there\\") << "kept for 600 s, whatever the registry says";
    clock.AdvanceSeconds(1);
    EXPECT_EQ(Text(config.GetRootDir()), root);

    EXPECT_EQ(Text(config.GetSyncDbPath()), syncDb);
    clock.AdvanceSeconds(601);
    ASSERT_TRUE(DeleteFileW(syncDb.c_str()) && CreateDirectoryW(syncDb.c_str(), nullptr));
    EXPECT_EQ(config.GetSyncDbPath(), nullptr) << "a folder is no database";

    // This program writes the 64-bit view of the key; only the 32-bit view counts.
    ASSERT_TRUE(CStandInClient::DeleteRegistryKey());
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, RegistryKeyPath, RootDirValue, REG_SZ, root.c_str(),
                              static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t))), ERROR_SUCCESS);
    clock.AdvanceSeconds(601);
    EXPECT_EQ(config.GetRootDir(), nullptr);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, RegistryKeyPath);
}

TEST_F(ClientConfigTest, UserAndSharingFlagsFromDconf)
{
    CClientConfig& config = CClientConfig::GetInstance();
    ASSERT_TRUE(client->ExecDconf(L"UPDATE driveconfig SET user = '';"));
    EXPECT_EQ(config.GetClientUser(), nullptr) << "an empty user is no user, and is not kept";
    ASSERT_TRUE(client->ExecDconf(L"UPDATE driveconfig SET user = 'bob@example.org';"));
    EXPECT_EQ(Text(config.GetClientUser()), L"bob@example.org");

    const struct { int flags; bool files, folders; } cases[] = {{0, 0, 0}, {1, 1, 0}, {2, 0, 1}, {3, 1, 1}};
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
    EXPECT_FALSE(config.IsSharingEnabled(FILE_ATTRIBUTE_ARCHIVE) || config.IsSharingEnabled(FILE_ATTRIBUTE_DIRECTORY));
}

} // namespace
