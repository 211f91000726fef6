#include "fleetsim/Fleet.h"
#include "testsupport/TestFleet.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinNet.h"
#include "winport/WinReg.h"
#include "winport/WinSecurity.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using testsupport::AsAccount;

namespace
{

// A domain with three Exchange servers beside this process's workstation, once per run.
class NetworkAccess : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        fleetsim::SDomain domain;
        domain.name = L"CORP";
        domain.dnsName = L"corp.example";
        domain.adminPassword = L"D0main!";
        domain.users = {{L"operator", L"Op3rator!"}};
        testsupport::AddDomainServers(
            domain,
            {{"EXCH1", "exchange2007"}, {"EXCH2", "exchange2007"}, {"EXCH3", "exchange2007"}},
            [](fleetsim::SMachineProfile& profile)
            {
                profile.settings.aliases = {profile.name + ".corp.example"};
                profile.roles = fleetsim::kRoleMailbox;
                profile.product.installed = true;
                profile.product.build = 1234;
            });
    }

    static std::wstring ReadRemoteString(const wchar_t* server, const wchar_t* key,
                                         const wchar_t* name, LSTATUS& status)
    {
        HKEY root = nullptr;
        status = RegConnectRegistryW(server, HKEY_LOCAL_MACHINE, &root);
        if (status != ERROR_SUCCESS)
            return L"";
        HKEY opened = nullptr;
        status = RegOpenKeyExW(root, key, 0, KEY_READ | KEY_WOW64_64KEY, &opened);
        RegCloseKey(root);
        if (status != ERROR_SUCCESS)
            return L"";
        wchar_t value[256] = {};
        DWORD size = sizeof value;
        DWORD type = 0;
        status =
            RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(opened);
        return value;
    }
};

TEST_F(NetworkAccess, DomainAdministratorReadsEveryServersRegistry)
{
    AsAccount(L"CORP", L"Administrator", L"D0main!",
              []
              {
                  for (const wchar_t* server : {L"EXCH1", L"exch2.CORP.example", L"\\\\exch3"})
                  {
                      LSTATUS status;
                      std::wstring arch = ReadRemoteString(
                          server,
                          L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                          L"PROCESSOR_ARCHITECTURE", status);
                      EXPECT_EQ(status, ERROR_SUCCESS) << server;
                      EXPECT_EQ(arch, L"AMD64") << server;
                      std::wstring build = ReadRemoteString(
                          server, L"Software\\Halvorn\\Parvel for Exchange\\CurrentVersion",
                          L"Build", status);
                      EXPECT_EQ(build, L"1234") << server;
                  }
              });
}

TEST_F(NetworkAccess, RemoteAccessIsRefusedWithoutValidAdministratorCredentials)
{
    HKEY root = nullptr;
    // No network credentials at all.
    EXPECT_EQ(RegConnectRegistryW(L"EXCH1", HKEY_LOCAL_MACHINE, &root), ERROR_ACCESS_DENIED);
    AsAccount(L"CORP", L"Administrator", L"wrong",
              [&] {
                  EXPECT_EQ(RegConnectRegistryW(L"EXCH1", HKEY_LOCAL_MACHINE, &root),
                            ERROR_LOGON_FAILURE);
              });
    AsAccount(L"CORP", L"nobody", L"x",
              [&] {
                  EXPECT_EQ(RegConnectRegistryW(L"EXCH1", HKEY_LOCAL_MACHINE, &root),
                            ERROR_LOGON_FAILURE);
              });
    AsAccount(L"OTHER", L"Administrator", L"D0main!",
              [&] {
                  EXPECT_EQ(RegConnectRegistryW(L"EXCH1", HKEY_LOCAL_MACHINE, &root),
                            ERROR_LOGON_FAILURE);
              });
    // A valid domain user who is no administrator of the server.
    AsAccount(
        L"CORP", L"operator", L"Op3rator!",
        [&]
        {
            ASSERT_EQ(RegConnectRegistryW(L"EXCH1", HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS);
            HKEY key = nullptr;
            EXPECT_EQ(RegOpenKeyExW(root, L"SOFTWARE", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
            RegCloseKey(root);
            NETRESOURCEW resource{};
            resource.dwType = RESOURCETYPE_ANY;
            resource.lpRemoteName = const_cast<wchar_t*>(L"\\\\EXCH1\\ADMIN$");
            EXPECT_EQ(WNetAddConnection2W(&resource, L"Op3rator!", L"CORP\\operator", 0),
                      ERROR_ACCESS_DENIED);
        });
    EXPECT_EQ(RegConnectRegistryW(L"NOSUCH", HKEY_LOCAL_MACHINE, &root), ERROR_BAD_NETPATH);
}

TEST_F(NetworkAccess, AdminShareConnectionCarriesFileAccess)
{
    NETRESOURCEW resource{};
    resource.dwType = RESOURCETYPE_ANY;
    resource.lpRemoteName = const_cast<wchar_t*>(L"\\\\EXCH2\\ADMIN$");
    EXPECT_EQ(WNetAddConnection2W(&resource, L"bad", L"CORP\\Administrator", 0),
              ERROR_LOGON_FAILURE);
    // Without a connection or credentials the share is out of reach.
    EXPECT_EQ(CreateDirectoryW(L"\\\\EXCH2\\ADMIN$\\Temp\\x", nullptr), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(WNetAddConnection2W(&resource, L"D0main!", L"CORP\\Administrator", 0), ERROR_SUCCESS);
    EXPECT_EQ(WNetAddConnection2W(&resource, L"Op3rator!", L"CORP\\operator", 0),
              ERROR_SESSION_CREDENTIAL_CONFLICT);
    ASSERT_TRUE(CreateDirectoryW(L"\\\\EXCH2\\ADMIN$\\Temp\\x", nullptr));
    FILE* file = _wfopen(L"\\\\?\\UNC\\exch2\\admin$\\TEMP\\x\\note.txt", L"w, ccs=UTF-8");
    ASSERT_NE(file, nullptr);
    winport::fputws(L"hello\n", file);
    fclose(file);
    std::string onServer = testsupport::ReadHostFile(
        testsupport::FleetRoot() + "/machines/EXCH2/drive/c/Windows/Temp/x/note.txt");
    EXPECT_EQ(onServer, "\xEF\xBB\xBFhello\r\n");
    // A share path never leaves the share, and unknown shares are named as such.
    EXPECT_EQ(GetFileAttributesW(L"\\\\EXCH2\\ADMIN$\\..\\..\\..\\EXCH1"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(L"\\\\EXCH2\\NOSHARE\\x"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NET_NAME));
    EXPECT_EQ(WNetCancelConnection2W(L"\\\\EXCH2\\ADMIN$", 0, TRUE), ERROR_SUCCESS);
    EXPECT_EQ(WNetCancelConnection2W(L"\\\\EXCH2\\ADMIN$", 0, TRUE), ERROR_NOT_CONNECTED);
    EXPECT_EQ(GetFileAttributesW(L"\\\\EXCH2\\ADMIN$\\Temp\\x"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(NetworkAccess, JoinAndDomainControllerFacts)
{
    AsAccount(L"CORP", L"Administrator", L"D0main!",
              []
              {
                  LPWSTR name = nullptr;
                  NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
                  ASSERT_EQ(NetGetJoinInformation(L"EXCH3", &name, &status), 0u);
                  EXPECT_EQ(status, NetSetupDomainName);
                  EXPECT_STREQ(name, L"CORP");
                  NetApiBufferFree(name);
                  LPBYTE buffer = nullptr;
                  ASSERT_EQ(NetShareGetInfo(const_cast<wchar_t*>(L"EXCH3"),
                                            const_cast<wchar_t*>(L"ADMIN$"), 2, &buffer),
                            0u);
                  EXPECT_STREQ(reinterpret_cast<SHARE_INFO_2*>(buffer)->shi2_path, L"C:\\Windows");
                  NetApiBufferFree(buffer);
                  EXPECT_EQ(NetShareGetInfo(const_cast<wchar_t*>(L"EXCH3"),
                                            const_cast<wchar_t*>(L"NOPE"), 2, &buffer),
                            static_cast<DWORD>(NERR_NetNameNotFound));
              });
    LPWSTR name = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    ASSERT_EQ(NetGetJoinInformation(nullptr, &name, &status), 0u);
    EXPECT_EQ(status, NetSetupWorkgroupName); // this workstation is in no domain
    NetApiBufferFree(name);
    PDOMAIN_CONTROLLER_INFOW info = nullptr;
    EXPECT_EQ(DsGetDcNameW(nullptr, nullptr, nullptr, nullptr,
                           DS_DIRECTORY_SERVICE_REQUIRED | DS_RETURN_FLAT_NAME, &info),
              static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN));
    ASSERT_EQ(DsGetDcNameW(nullptr, L"CORP", nullptr, nullptr, DS_RETURN_DNS_NAME, &info), 0u);
    EXPECT_STREQ(info->DomainName, L"corp.example");
    NetApiBufferFree(info);
}

} // namespace
