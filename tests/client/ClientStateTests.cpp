#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "base/ValueCache.h"
#include "client/ClientConfig.h"
#include "client/ClientContract.h"
#include "client/ServiceMonitor.h"
#include "tests/support/ClientEnvironment.h"

namespace {

using ClientConfigTest = ClientEnvironmentTest;
using ServiceMonitorTest = ClientEnvironmentTest;
using namespace ClientContract;

// The answers point into the value cache; these single-threaded tests read them at once.
std::wstring Text(const std::wstring* answer)
{
    return answer ? *answer : L"<none>";
}

// Paths from the registry name existing files and folders; the user and the sharing flags come from dconf.db.
TEST_F(ClientConfigTest, RegistryPathsNameWhatExistsAndDconfGivesTheUserAndSharing)
{
    CClientConfig& config = CClientConfig::GetInstance();
    ASSERT_TRUE(client.ExecDconf(L"UPDATE driveconfig SET user = 'bob@example.org', share_link = 2;"));
    std::wstring user;
    EXPECT_TRUE(config.GetClientUser(&user) && user == L"bob@example.org");
    EXPECT_TRUE(config.IsSharingEnabled(FILE_ATTRIBUTE_DIRECTORY) && !config.IsSharingEnabled(FILE_ATTRIBUTE_ARCHIVE));
    // Kept for 10 s; without dconf.db there is no sharing at all.
    ASSERT_TRUE(client.ExecDconf(L"UPDATE driveconfig SET share_link = 0;"));
    clock.AdvanceSeconds(10);
    EXPECT_TRUE(config.IsSharingEnabled(FILE_ATTRIBUTE_DIRECTORY));
    clock.AdvanceSeconds(1);
    EXPECT_FALSE(config.IsSharingEnabled(FILE_ATTRIBUTE_DIRECTORY));
    ASSERT_TRUE(client.ExecDconf(L"UPDATE driveconfig SET share_link = 3;") &&
                DeleteFileW(client.DconfDbPath().c_str()));
    clock.AdvanceSeconds(601);
    EXPECT_FALSE(config.IsSharingEnabled(FILE_ATTRIBUTE_ARCHIVE) || config.IsSharingEnabled(FILE_ATTRIBUTE_DIRECTORY));

    // The stand-in's own folder, "Orbeth stand-in N-N\", holds "Config\": names ending in a digit and a letter.
    const std::wstring dir = client.ConfigDir(), base = dir.substr(0, dir.size() - 7), root = client.RootDir(),
                       syncDb = client.SyncDbPath();
    std::wstring padded = root; // read into 260 characters, up to the first NUL
    padded.resize(260, L'\0');
    // A value, its data and size in bytes (0: the text and its NUL), and the path it gives.
    // clang-format off
    const std::tuple<const wchar_t*, std::wstring, size_t, std::wstring> cases[] = {
        {ConfigDirValue, base.substr(0, base.size() - 1), 0, base}, {ConfigDirValue, dir, 0, dir}, {L"a_file", syncDb, 0, syncDb},
        {RootDirValue, padded, 520, root}, {RootDirValue, padded, 522, L"<none>"}, // refused rather than cut
        {RootDirValue, root + L"not there", 0, L"<none>"}};
    // clang-format on
    for (const auto& [name, data, bytes, expected] : cases) {
        clock.AdvanceSeconds(601);
        ASSERT_TRUE(client.SetRegistryData(name, data.c_str(),
                                           static_cast<DWORD>(bytes ? bytes : (data.size() + 1) * sizeof(wchar_t))));
        EXPECT_EQ(Text(config.GetRegistryPath(name)), expected) << testing::PrintToString(data);
    }
    ASSERT_TRUE(client.MakeFolder(L"not there"));
    EXPECT_EQ(Text(config.GetRootDir()), root + L"not there\\") << "the absence was not kept";
    ASSERT_TRUE(client.SetRegistryValue(RootDirValue, root.c_str()));
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
                              static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    clock.AdvanceSeconds(601);
    EXPECT_EQ(config.GetRootDir(), nullptr);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, RegistryKeyPath);
}

// Each state the service manager reports is kept for 10 s, a failed query's too; a manager that
// cannot be opened gives no state, never "stopped".
TEST_F(ServiceMonitorTest, EveryStateIsReadAndKeptForTenSeconds)
{
    EXPECT_EQ(ServiceMonitor::QueryServiceState(ServiceName, L"NoSuchDatabase"), -1);
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning());
    ASSERT_TRUE(StandInService::Stop());
    clock.AdvanceSeconds(10);
    EXPECT_TRUE(ServiceMonitor::IsServiceRunning()) << "the state is kept for 10 s";
    const std::pair<bool (*)(), int32_t> cases[] = {{StandInService::Start, SERVICE_RUNNING},
                                                    {StandInService::Pause, SERVICE_PAUSED},
                                                    {StandInService::Continue, SERVICE_RUNNING},
                                                    {StandInService::Stop, SERVICE_STOPPED},
                                                    {StandInService::Remove, -1}};
    for (const auto& [change, state] : cases) {
        SCOPED_TRACE(state);
        ASSERT_TRUE(change());
        clock.AdvanceSeconds(11);
        EXPECT_EQ(ServiceMonitor::QueryServiceState(ServiceName), state);
        EXPECT_EQ(ServiceMonitor::IsServiceRunning(), state == SERVICE_RUNNING);
    }
    unsigned long kept = 0;
    EXPECT_TRUE(CValueCache::GetInstance().GetULong(ServiceName, &kept) && kept == 0xFFFFFFFFul) << kept;
}

} // namespace
