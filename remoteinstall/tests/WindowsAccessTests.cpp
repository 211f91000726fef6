#include "remoteinstall/CWin32API.h"

#include "fleetsim/Fleet.h"
#include "fleetsim/store/RegistryStore.h"
#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinNet.h"
#include "winport/WinReg.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/posix/MachineSocket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace
{

const wchar_t kDomainPassword[] = L"D0main!Access";
const wchar_t kOperatorPassword[] = L"Op3rator!Access";
const wchar_t kClerkPassword[] = L"Cl3rk!Access";
const wchar_t kProductKey[] = L"Software\\Halvorn\\Parvel for Exchange\\CurrentVersion";
const wchar_t kEnvironmentKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

using testsupport::CLogCapture;
using testsupport::SLogLine;

std::string Narrow(const std::wstring& text)
{
    return winport::ToUtf8(text);
}

// A fresh key of this machine's HKLM with the given REG_SZ values.
void CreateKey(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetRaw(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

std::wstring MachineName()
{
    return winport::FromUtf8(winport::fleet::CurrentMachine().name);
}

// ---- Local registry keys ---------------------------------------------------------------------

TEST(RegistryKey, LocalNameFormsOpenLocallyAndOthersGoRemote)
{
    const std::wstring path = L"SOFTWARE\\FleetAccess\\Forms";
    CRegistryKey writer;
    CreateKey(HKEY_LOCAL_MACHINE, path);
    ASSERT_TRUE(writer.Open(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS));
    writer.WriteString(L"Marker", L"here");
    // A key only the local path can reach: the remote connection takes HKLM and HKU only.
    CreateKey(HKEY_CLASSES_ROOT, L"FleetAccessForms");

    CLogCapture log;
    for (const wchar_t* local :
         {L"", L"localhost", L"LocalHost", L"LOCALHOST", L"::1", L"127.0.0.1", L"127.45.6.7",
          L"127.", L"box.localhost", L"Box.LocalHost", L"a.b.LOCALHOST"})
    {
        CRegistryKey key;
        ASSERT_EQ(key.Open(local, HKEY_LOCAL_MACHINE, path, KEY_READ), 1) << Narrow(local);
        EXPECT_EQ(key.ReadString(L"Marker"), L"here") << Narrow(local);
        EXPECT_EQ(key.GetDescription(), std::wstring(L"\\") + local + L" -> " + path);
        CRegistryKey classes;
        EXPECT_EQ(classes.Open(local, HKEY_CLASSES_ROOT, L"FleetAccessForms", KEY_READ), 1)
            << Narrow(local);
    }
    EXPECT_TRUE(log.m_Lines.empty()) << Narrow(log.Dump());

    // This machine by its own name is still a remote connection, which refuses HKCR.
    CRegistryKey self;
    EXPECT_EQ(self.Open(MachineName(), HKEY_LOCAL_MACHINE, path, KEY_READ), 1);
    EXPECT_EQ(self.Open(MachineName(), HKEY_CLASSES_ROOT, L"FleetAccessForms", KEY_READ), 0);
    EXPECT_EQ(self.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(self.IsOpen());

    // Names that only look local go through the remote connection and find no such server.
    for (const wchar_t* remote : {L"NOSUCHSERVER", L"localhostx", L"localhost.", L"127",
                                  L"1127.0.0.1", L"::2", L"localhost.example", L"x.localhostx"})
    {
        log.Clear();
        CRegistryKey key;
        EXPECT_EQ(key.Open(remote, HKEY_LOCAL_MACHINE, path, KEY_READ), 0) << Narrow(remote);
        EXPECT_EQ(key.GetLastError(), ERROR_BAD_NETPATH) << Narrow(remote);
        EXPECT_FALSE(key.IsOpen());
        EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING, std::wstring(L"RegConnectRegistry('\\\\") +
                                                         remote + L"') failed, ErrCode=53"))
            << Narrow(log.Dump());
        EXPECT_FALSE(log.HasStart(ADVLOG_SEVERITY_WARNING, L"RegOpenKeyEx("));
    }
    EXPECT_TRUE(CRegistryKey::IsLocalServerName(L"LOCALHOST"));
    EXPECT_FALSE(CRegistryKey::IsLocalServerName(L"localhost.com"));
}

TEST(RegistryKey, ReadsHonourTheValueType)
{
    const std::wstring path = L"SOFTWARE\\FleetAccess\\Types";
    const wchar_t text[] = L"plain text";
    const wchar_t expandable[] = L"%SystemRoot%\\Temp";
    const wchar_t multi[] = L"first\0second\0";
    const wchar_t unterminated[] = {L'a', L'b', L'c'};
    const wchar_t wide[] = L"a\U0001F600\u00e9b";
    DWORD number = 0xDEADBEEF;
    const BYTE binary[] = {1, 2, 3, 4};
    SetRaw(path, L"Text", REG_SZ, text, sizeof text);
    SetRaw(path, L"Expand", REG_EXPAND_SZ, expandable, sizeof expandable);
    SetRaw(path, L"Multi", REG_MULTI_SZ, multi, sizeof multi);
    SetRaw(path, L"Unterminated", REG_SZ, unterminated, sizeof unterminated);
    SetRaw(path, L"Wide", REG_SZ, wide, sizeof wide);
    SetRaw(path, L"Empty", REG_SZ, L"", 0);
    SetRaw(path, L"Number", REG_DWORD, &number, sizeof number);
    SetRaw(path, L"Binary", REG_BINARY, binary, sizeof binary);

    CRegistryKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, path, KEY_READ), 1);
    CLogCapture log;
    EXPECT_EQ(key.ReadString(L"TEXT"), L"plain text");
    EXPECT_EQ(key.ReadString(L"Expand"), L"%SystemRoot%\\Temp");
    EXPECT_EQ(key.ReadString(L"Multi"), L"first");
    EXPECT_EQ(key.ReadString(L"Unterminated"), L"abc");
    EXPECT_EQ(key.ReadString(L"Wide"), wide);
    EXPECT_EQ(key.ReadString(L"Empty"), L"");
    EXPECT_EQ(key.ReadString(L"Number"), L"");
    EXPECT_EQ(key.ReadString(L"Binary"), L"");
    EXPECT_TRUE(log.m_Lines.empty()) << Narrow(log.Dump());

    EXPECT_EQ(key.ReadDWORD(L"number", 7), 0xDEADBEEFu);
    EXPECT_EQ(key.ReadDWORD(L"Text", 77), 77u);
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_WARNING,
                             L"ReadDWORD(), RegQueryValueEx(Text) return fail, error code is "));
    EXPECT_EQ(key.ReadDWORD(L"Binary", 78), 78u);
    EXPECT_EQ(key.ReadDWORD(L"Missing", 79), 79u);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING,
                        L"ReadDWORD(), RegQueryValueEx(Missing) return fail, error code is 2"));
    EXPECT_EQ(key.ReadString(L"Missing"), L"");
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING,
                        L"ReadString(), RegQueryValueEx(Missing) return fail, error code is 2"));

    EXPECT_EQ(key.IsValueExist(L"multi"), 1);
    EXPECT_EQ(key.IsValueExist(L"BINARY"), 1);
    EXPECT_EQ(key.IsValueExist(L"Multi2"), 0);
    EXPECT_EQ(key.IsValueExist(L""), 0);

    // A key opened for reading refuses writes, and says so.
    log.Clear();
    key.WriteString(L"Text", L"changed");
    key.WriteDWORD(L"Number", 1);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING,
                        L"WriteString(), RegSetValueEx(Text) return fail, error code is 5"));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING,
                        L"WriteDWORD(), RegSetValueEx(Number) return fail, error code is 5"));
    EXPECT_EQ(key.ReadString(L"Text"), L"plain text");

    // Writes round-trip, long and non-ASCII texts included; the terminator is stored.
    CRegistryKey writable;
    ASSERT_EQ(writable.Open(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_WRITE), 1);
    std::wstring longText(5000, L'x');
    longText += L"\u00fc\U0001F600";
    writable.WriteString(L"Long", longText);
    writable.WriteString(L"Blank", L"");
    writable.WriteDWORD(L"Count", 0xFFFFFFFFu);
    EXPECT_EQ(writable.ReadString(L"Long"), longText);
    EXPECT_EQ(writable.ReadString(L"Blank"), L"");
    EXPECT_EQ(writable.ReadDWORD(L"Count", 0), 0xFFFFFFFFu);
    DWORD type = 0, size = 0;
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &raw), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExW(raw, L"Blank", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof(wchar_t));
    RegCloseKey(raw);
}

TEST(RegistryKey, ClosedKeyOperationsAreUnexpected)
{
    CLogCapture log;
    CRegistryKey key;
    EXPECT_EQ(key.IsValueExist(L"x"), 0);
    EXPECT_EQ(key.ReadString(L"x"), L"");
    EXPECT_EQ(key.ReadDWORD(L"x", 42), 42u);
    key.WriteString(L"x", L"y");
    key.WriteDWORD(L"x", 1);
    EXPECT_TRUE(key.EnumerateSubKeys().empty());
    EXPECT_TRUE(key.EnumerateValues().empty());
    for (const wchar_t* op :
         {L"CRegistryKey::IsValueExist", L"CRegistryKey::ReadString", L"CRegistryKey::ReadDWORD",
          L"CRegistryKey::WriteString", L"CRegistryKey::WriteDWORD",
          L"CRegistryKey::EnumerateSubKeys", L"CRegistryKey::EnumerateValues"})
        EXPECT_TRUE(log.HasUnexpected(op)) << Narrow(op);
    EXPECT_EQ(log.m_Lines.size(), 7u) << Narrow(log.Dump());

    // A parent that is not open gives no child.
    CRegistryKey child;
    EXPECT_EQ(child.Open(key, L"Sub", KEY_READ), 0);
    EXPECT_TRUE(log.HasUnexpected(L"CRegistryKey::Open"));

    // A failed open logs its mask and leaves the key closed; so does Close.
    log.Clear();
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\FleetAccess\\NoSuchKey", KEY_READ), 0);
    EXPECT_EQ(key.GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING, L"RegOpenKeyEx('SOFTWARE\\FleetAccess\\NoSuchKey')"
                                                 L" failed, AccessMask=0x00020019, ErrCode=2"))
        << Narrow(log.Dump());
    EXPECT_FALSE(key.IsOpen());
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_READ), 1);
    EXPECT_EQ(key.GetLastError(), 0);
    key.Close();
    EXPECT_FALSE(key.IsOpen());
    log.Clear();
    EXPECT_EQ(key.ReadString(L"x"), L"");
    EXPECT_TRUE(log.HasUnexpected(L"CRegistryKey::ReadString"));
}

TEST(RegistryKey, ChildKeysAndDescriptions)
{
    const std::wstring path = L"SOFTWARE\\FleetAccess\\Tree";
    CreateKey(HKEY_LOCAL_MACHINE, path + L"\\Beta\\Leaf");
    CreateKey(HKEY_LOCAL_MACHINE, path + L"\\alpha");
    CreateKey(HKEY_LOCAL_MACHINE, path + L"\\Gamma");
    std::wstring longName(255, L'k');
    CreateKey(HKEY_LOCAL_MACHINE, path + L"\\" + longName);

    CRegistryKey parent;
    ASSERT_EQ(parent.Open(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS), 1);
    EXPECT_EQ(parent.GetDescription(), L"(local) -> " + path);
    std::wstring longValue(600, L'v');
    CreateKey(HKEY_LOCAL_MACHINE, path + L"\\\u00c9t\u00e9\U0001F600");
    for (const wchar_t* name : {L"zeta", L"Alpha", L"mid", L"\u00fcber\U0001F600"})
        parent.WriteString(name, name);
    parent.WriteDWORD(longValue, 1);
    EXPECT_EQ(parent.EnumerateSubKeys(),
              (std::vector<std::wstring>{L"alpha", L"Beta", L"Gamma", longName,
                                         L"\u00c9t\u00e9\U0001F600"}));
    EXPECT_EQ(
        parent.EnumerateValues(),
        (std::vector<std::wstring>{L"zeta", L"Alpha", L"mid", L"\u00fcber\U0001F600", longValue}));
    EXPECT_EQ(parent.IsValueExist(longValue), 1);

    CLogCapture log;
    CRegistryKey child;
    ASSERT_EQ(child.Open(parent, L"BETA", KEY_READ), 1);
    EXPECT_EQ(child.GetDescription(), L"(local) -> " + path + L" -> BETA");
    EXPECT_EQ(child.EnumerateSubKeys(), std::vector<std::wstring>{L"Leaf"});
    EXPECT_TRUE(child.EnumerateValues().empty());
    CRegistryKey grandChild;
    ASSERT_EQ(grandChild.Open(child, L"leaf", KEY_READ), 1);
    EXPECT_EQ(grandChild.GetDescription(), L"(local) -> " + path + L" -> BETA -> leaf");
    // A missing child sets the error and logs nothing; the key it held before is closed.
    EXPECT_EQ(child.Open(parent, L"Delta", KEY_READ), 0);
    EXPECT_EQ(child.GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(child.IsOpen());
    EXPECT_TRUE(log.m_Lines.empty()) << Narrow(log.Dump());
    ASSERT_EQ(child.Open(parent, L"Gamma", KEY_READ), 1);
    EXPECT_EQ(child.GetLastError(), 0);

    CRegistryKey named;
    ASSERT_EQ(named.Open(L"localhost", HKEY_LOCAL_MACHINE, path, KEY_READ), 1);
    EXPECT_EQ(named.GetDescription(), L"\\localhost -> " + path);

    // Without the query right neither list can be read.
    CRegistryKey writeOnly;
    ASSERT_EQ(writeOnly.Open(HKEY_LOCAL_MACHINE, path, KEY_SET_VALUE), 1);
    EXPECT_TRUE(writeOnly.EnumerateSubKeys().empty());
    EXPECT_TRUE(
        log.Has(ADVLOG_SEVERITY_WARNING, L"EnumerateSubKeys, RegQueryInfoKey return false"));
    log.Clear();
    EXPECT_TRUE(writeOnly.EnumerateValues().empty());
    EXPECT_TRUE(std::any_of(log.m_Lines.begin(), log.m_Lines.end(),
                            [](const SLogLine& l)
                            { return l.severity == ADVLOG_SEVERITY_WARNING; }));
    EXPECT_EQ(writeOnly.IsValueExist(L"zeta"), 0);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING, L"RegEnumValue failed, the error code is 5"))
        << Narrow(log.Dump());
}

// ---- Registry helpers ------------------------------------------------------------------------

TEST(Win32ApiRegistry, HelpersReadWriteAndLogFailures)
{
    const std::wstring path = L"SOFTWARE\\FleetAccess\\Helpers";
    CreateKey(HKEY_LOCAL_MACHINE, path);
    CWin32API::RegWriteStringValue(HKEY_LOCAL_MACHINE, path, L"Plain", L"one");
    CWin32API::RegWriteStringValue_WOW6464Key(HKEY_LOCAL_MACHINE, path, L"Wide", L"two");
    CWin32API::RegWriteDwordValue_WOW6464Key(HKEY_LOCAL_MACHINE, path, L"Number", 1234);
    EXPECT_EQ(CWin32API::RegReadStringValue(HKEY_LOCAL_MACHINE, path, L"wide"), L"two");
    EXPECT_EQ(CWin32API::RegReadStringValue_WOW6464Key(HKEY_LOCAL_MACHINE, path, L"PLAIN"), L"one");
    EXPECT_EQ(CWin32API::RegReadDwordValue_WOW6464Key(HKEY_LOCAL_MACHINE, path, L"Number", 9),
              1234u);
    EXPECT_EQ(CWin32API::RegReadDwordValue_WOW6464Key(HKEY_LOCAL_MACHINE, path, L"Plain", 9), 9u);
    EXPECT_EQ(CWin32API::RegIsValueExist_WOW6464Key(HKEY_LOCAL_MACHINE, path, L"number"), 1);
    EXPECT_EQ(CWin32API::RegIsValueExist_WOW6464Key(HKEY_LOCAL_MACHINE, path, L"Other"), 0);
    DWORD type = 0;
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &raw), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(raw, L"Number", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(RegQueryValueExW(raw, L"Wide", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    RegCloseKey(raw);

    CLogCapture log;
    const std::wstring missing = L"SOFTWARE\\FleetAccess\\Absent";
    EXPECT_EQ(CWin32API::RegReadStringValue(HKEY_LOCAL_MACHINE, missing, L"x"), L"");
    EXPECT_EQ(CWin32API::RegReadStringValue_WOW6464Key(HKEY_LOCAL_MACHINE, missing, L"x"), L"");
    const std::wstring line =
        L"RegReadStringValue, RegKey.Open('" + missing + L"') return FALSE, win32 error code is 2";
    EXPECT_EQ(std::count_if(log.m_Lines.begin(), log.m_Lines.end(),
                            [&](const SLogLine& l)
                            { return l.severity == ADVLOG_SEVERITY_WARNING && l.message == line; }),
              2)
        << Narrow(log.Dump());
    log.Clear();
    EXPECT_EQ(CWin32API::RegReadDwordValue_WOW6464Key(HKEY_LOCAL_MACHINE, missing, L"x", 31), 31u);
    CWin32API::RegWriteStringValue(HKEY_LOCAL_MACHINE, missing, L"x", L"y");
    CWin32API::RegWriteStringValue_WOW6464Key(HKEY_LOCAL_MACHINE, missing, L"x", L"y");
    CWin32API::RegWriteDwordValue_WOW6464Key(HKEY_LOCAL_MACHINE, missing, L"x", 1);
    int warnings = 0;
    for (const SLogLine& l : log.m_Lines)
    {
        if (l.severity == ADVLOG_SEVERITY_WARNING &&
            l.message.find(L"'" + missing + L"'") != std::wstring::npos &&
            l.message.find(L"code is 2") != std::wstring::npos)
            ++warnings;
    }
    EXPECT_EQ(warnings, 4) << Narrow(log.Dump());
    // Writing never creates the key.
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, missing.c_str(), 0, KEY_READ, &raw),
              ERROR_FILE_NOT_FOUND);
}

// ---- Names -----------------------------------------------------------------------------------

TEST(Win32ApiNames, PickupDomainUsername)
{
    struct SCase
    {
        const wchar_t* full;
        const wchar_t* domain;
        const wchar_t* user;
    };
    for (const SCase& c :
         {SCase{L"CORP\\Administrator", L"CORP", L"Administrator"},
          SCase{L"Administrator", L".", L"Administrator"}, SCase{L"CORP\\", L".", L"CORP\\"},
          SCase{L"\\", L".", L"\\"}, SCase{L"", L".", L""}, SCase{L"\\user", L"", L"user"},
          SCase{L"a\\b\\c", L"a", L"b\\c"}, SCase{L"corp.example\\ops", L"corp.example", L"ops"},
          SCase{L"user@corp.example", L".", L"user@corp.example"}})
    {
        std::wstring domain = L"stale", user = L"stale";
        CWin32API::PickupDomainUsername(c.full, domain, user);
        EXPECT_EQ(domain, c.domain) << Narrow(c.full);
        EXPECT_EQ(user, c.user) << Narrow(c.full);
    }
}

TEST(Win32ApiNames, RemoteResourceOnServer)
{
    const std::wstring prefix = L"\\\\EXCH1";
    EXPECT_TRUE(CWin32API::IsRemoteResourceLocateOnServer(L"\\\\EXCH1", prefix));
    EXPECT_TRUE(CWin32API::IsRemoteResourceLocateOnServer(L"\\\\exch1", prefix));
    EXPECT_TRUE(CWin32API::IsRemoteResourceLocateOnServer(L"\\\\Exch1\\ADMIN$", prefix));
    EXPECT_TRUE(CWin32API::IsRemoteResourceLocateOnServer(L"\\\\EXCH1\\", prefix));
    EXPECT_FALSE(CWin32API::IsRemoteResourceLocateOnServer(L"\\\\EXCH10", prefix));
    EXPECT_FALSE(CWin32API::IsRemoteResourceLocateOnServer(L"\\\\EXCH10\\C$", prefix));
    EXPECT_FALSE(CWin32API::IsRemoteResourceLocateOnServer(L"\\\\EXCH1.corp\\C$", prefix));
    EXPECT_FALSE(CWin32API::IsRemoteResourceLocateOnServer(L"\\\\EXCH", prefix));
    EXPECT_FALSE(CWin32API::IsRemoteResourceLocateOnServer(L"", prefix));
    EXPECT_FALSE(CWin32API::IsRemoteResourceLocateOnServer(L"\\\\EXCH2\\C$", prefix));
}

// ---- The fleet: a domain with three Exchange servers -----------------------------------------

class WindowsAccess : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (testsupport::IsChild())
            return; // the parent built the fleet
        std::string root = testsupport::FleetRoot();
        fleetsim::SDomain domain;
        domain.name = L"CORP";
        domain.dnsName = L"corp.example";
        domain.adminPassword = kDomainPassword;
        domain.users = {{L"operator", kOperatorPassword}};
        ASSERT_EQ(fleetsim::CreateDomain(root, domain), 0u);
        int build = 1200;
        for (const char* name : {"EXCH1", "EXCH2", "EXCH3"})
        {
            fleetsim::SMachineProfile profile;
            ASSERT_EQ(fleetsim::ParseProfileName("exchange2007", profile), 0u);
            profile.name = name;
            profile.settings.domain = L"CORP";
            profile.settings.dnsDomain = L"corp.example";
            profile.settings.aliases = {std::string(name) + ".corp.example"};
            profile.roles = fleetsim::kRoleMailbox;
            profile.product.installed = true;
            profile.product.build = ++build;
            ASSERT_EQ(fleetsim::AddMachine(root, profile), 0u);
        }
    }

    // The servers end before the fleet is removed, so that none writes into it afterwards.
    static void TearDownTestSuite()
    {
        if (testsupport::IsChild())
            return;
        for (const char* name : {"EXCH1", "EXCH2", "EXCH3"})
            EXPECT_TRUE(StopServer(name)) << name;
    }

    // Returns once no server holds the machine's lock.
    static bool StopServer(const std::string& machine)
    {
        return winport::fleet::StopMachineServer(testsupport::FleetRoot(), machine) ==
               ERROR_SUCCESS;
    }

    static int BuildOf(int server) { return 1201 + server; }
};

TEST_F(WindowsAccess, RemoteRegistryWithNetworkCredentials)
{
    CLogCapture log;
    // Without network credentials the servers refuse the registry.
    CRegistryKey key;
    EXPECT_EQ(key.Open(L"EXCH1", HKEY_LOCAL_MACHINE, kProductKey, KEY_READ | KEY_WOW64_64KEY), 0);
    EXPECT_EQ(key.GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(
        log.Has(ADVLOG_SEVERITY_WARNING, L"RegConnectRegistry('\\\\EXCH1') failed, ErrCode=5"));

    ASSERT_EQ(CWin32API::NetworkCredentialImpersonateBegin(L"CORP\\Administrator", kDomainPassword),
              1);
    const wchar_t* servers[] = {L"EXCH1", L"exch2.CORP.example", L"Exch3"};
    for (int i = 0; i < 3; ++i)
    {
        CRegistryKey environment;
        ASSERT_EQ(environment.Open(servers[i], HKEY_LOCAL_MACHINE, kEnvironmentKey,
                                   KEY_READ | KEY_WOW64_64KEY),
                  1)
            << Narrow(servers[i]) << Narrow(log.Dump());
        EXPECT_EQ(environment.ReadString(L"PROCESSOR_ARCHITECTURE"), L"AMD64");
        EXPECT_EQ(environment.GetDescription(),
                  std::wstring(L"\\") + servers[i] + L" -> " + kEnvironmentKey);
        CRegistryKey product;
        ASSERT_EQ(
            product.Open(servers[i], HKEY_LOCAL_MACHINE, kProductKey, KEY_READ | KEY_WOW64_64KEY),
            1);
        EXPECT_EQ(product.ReadString(L"Build"), std::to_wstring(BuildOf(i))) << Narrow(servers[i]);
        EXPECT_EQ(product.ReadString(L"Version"), L"5.0");
        EXPECT_EQ(product.ReadDWORD(L"IsCluster", 7), 0u);
        std::vector<std::wstring> values = product.EnumerateValues();
        EXPECT_NE(std::find(values.begin(), values.end(), L"HomeDir"), values.end());
        // A child key opens on the same server, below the remote parent.
        CRegistryKey parent, child;
        ASSERT_EQ(parent.Open(servers[i], HKEY_LOCAL_MACHINE, L"Software\\Halvorn",
                              KEY_READ | KEY_WOW64_64KEY),
                  1);
        ASSERT_EQ(child.Open(parent, L"Parvel for Exchange\\CurrentVersion", KEY_READ), 1);
        EXPECT_EQ(child.ReadString(L"Build"), std::to_wstring(BuildOf(i)));
    }
    // A missing key of a server names its mask.
    log.Clear();
    EXPECT_EQ(
        key.Open(L"EXCH1", HKEY_LOCAL_MACHINE, L"SOFTWARE\\NoSuch", KEY_READ | KEY_WOW64_64KEY), 0);
    EXPECT_EQ(key.GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(
        log.Has(ADVLOG_SEVERITY_WARNING,
                L"RegOpenKeyEx('SOFTWARE\\NoSuch') failed, AccessMask=0x00020119, ErrCode=2"))
        << Narrow(log.Dump());

    // The credentials belong to this thread only.
    std::thread other(
        []
        {
            CRegistryKey elsewhere;
            EXPECT_EQ(elsewhere.Open(L"EXCH2", HKEY_LOCAL_MACHINE, kProductKey, KEY_READ), 0);
            EXPECT_EQ(elsewhere.GetLastError(), ERROR_ACCESS_DENIED);
        });
    other.join();
    CWin32API::NetworkCredentialImpersonateEnd();
    EXPECT_EQ(key.Open(L"EXCH2", HKEY_LOCAL_MACHINE, kProductKey, KEY_READ), 0);
    EXPECT_EQ(key.GetLastError(), ERROR_ACCESS_DENIED);

    // Wrong password, unknown domain: the logon carries them, the server refuses them.
    for (const wchar_t* account :
         {L"CORP\\Administrator", L"OTHER\\Administrator", L"CORP\\nobody"})
    {
        const wchar_t* password =
            wcscmp(account, L"CORP\\Administrator") == 0 ? L"wrong" : kDomainPassword;
        ASSERT_EQ(CWin32API::NetworkCredentialImpersonateBegin(account, password), 1);
        log.Clear();
        EXPECT_EQ(key.Open(L"EXCH3", HKEY_LOCAL_MACHINE, kProductKey, KEY_READ | KEY_WOW64_64KEY),
                  0);
        EXPECT_EQ(key.GetLastError(), ERROR_LOGON_FAILURE) << Narrow(account);
        EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING,
                            L"RegConnectRegistry('\\\\EXCH3') failed, ErrCode=1326"));
        CWin32API::NetworkCredentialImpersonateEnd();
    }
    // A domain user who is no administrator of the server gets in but may not open keys.
    ASSERT_EQ(CWin32API::NetworkCredentialImpersonateBegin(L"CORP\\operator", kOperatorPassword),
              1);
    log.Clear();
    EXPECT_EQ(key.Open(L"EXCH1", HKEY_LOCAL_MACHINE, kProductKey, KEY_READ), 0);
    EXPECT_EQ(key.GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_WARNING, L"RegOpenKeyEx('Software\\Halvorn"));
    CWin32API::NetworkCredentialImpersonateEnd();

    // An empty user name cannot log on.
    log.Clear();
    EXPECT_EQ(CWin32API::NetworkCredentialImpersonateBegin(L"", L"x"), 0);
    EXPECT_TRUE(
        log.Has(ADVLOG_SEVERITY_ERROR, L"NetworkCredentialImpersonateBegin, LogonUser('') failed"));
}

TEST_F(WindowsAccess, ShareConnectionsAndTheirLines)
{
    CLogCapture log;
    EXPECT_EQ(GetFileAttributesW(L"\\\\EXCH1\\C$\\Windows"), INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(CWin32API::EstablishWNetConnection(L"EXCH1", L"CORP\\Administrator", kDomainPassword,
                                                 L"ADMIN$"),
              0u);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG,
                        L"EstablishWNetConnection(EXCH1, ADMIN$), start call WNetAddConnection2"));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG,
                        L"EstablishWNetConnection(EXCH1, ADMIN$), WNetAddConnection2 return "
                        L"succeed, connection is established"));
    ASSERT_EQ(CWin32API::EstablishWNetConnection(L"EXCH1", L"CORP\\Administrator", kDomainPassword,
                                                 L"C$"),
              0u);
    ASSERT_EQ(CWin32API::EstablishWNetConnection(L"EXCH2", L"CORP\\Administrator", kDomainPassword,
                                                 L"ADMIN$"),
              0u);
    EXPECT_NE(GetFileAttributesW(L"\\\\EXCH1\\C$\\Windows"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(L"\\\\EXCH2\\ADMIN$\\Temp"), INVALID_FILE_ATTRIBUTES);

    // A second account to the same server conflicts; a wrong password is refused.
    log.Clear();
    EXPECT_EQ(
        CWin32API::EstablishWNetConnection(L"EXCH1", L"CORP\\operator", kOperatorPassword, L"C$"),
        static_cast<DWORD>(ERROR_SESSION_CREDENTIAL_CONFLICT));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING,
                        L"EstablishWNetConnection(EXCH1, C$) failed, log on account is "
                        L"CORP\\operator, last error is 1219"))
        << Narrow(log.Dump());
    EXPECT_EQ(
        CWin32API::EstablishWNetConnection(L"EXCH3", L"CORP\\Administrator", L"wrong", L"ADMIN$"),
        static_cast<DWORD>(ERROR_LOGON_FAILURE));
    EXPECT_EQ(CWin32API::EstablishWNetConnection(L"NOSUCH", L"CORP\\Administrator", kDomainPassword,
                                                 L"ADMIN$"),
              static_cast<DWORD>(ERROR_BAD_NETPATH));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING,
                        L"EstablishWNetConnection(NOSUCH, ADMIN$) failed, log on account is "
                        L"CORP\\Administrator, last error is 53"));

    // Disconnecting one server closes both of its shares and leaves the other server's.
    log.Clear();
    CWin32API::DisconnectAllWNetConncetionsForServer(L"exch1");
    EXPECT_TRUE(
        log.Has(ADVLOG_SEVERITY_DEBUG, L"DisconnectAllWNetConncetionsForServer(exch1) is called"));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, L"DisconnectAllWNetConncetionsForServer(exch1), "
                                               L"Closing connection \\\\EXCH1\\ADMIN$ success"))
        << Narrow(log.Dump());
    EXPECT_TRUE(log.Has(
        ADVLOG_SEVERITY_ERROR,
        L"DisconnectAllWNetConncetionsForServer(exch1), Closing connection \\\\EXCH1\\C$ success"));
    EXPECT_EQ(log.m_Lines.size(), 3u) << Narrow(log.Dump());
    EXPECT_EQ(GetFileAttributesW(L"\\\\EXCH1\\C$\\Windows"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(L"\\\\EXCH2\\ADMIN$\\Temp"), INVALID_FILE_ATTRIBUTES);
    HANDLE enumeration = nullptr;
    ASSERT_EQ(WNetOpenEnumW(RESOURCE_CONNECTED, RESOURCETYPE_ANY, 0, nullptr, &enumeration), 0u);
    std::vector<BYTE> buffer(16384);
    DWORD count = static_cast<DWORD>(-1), size = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(WNetEnumResourceW(enumeration, &count, buffer.data(), &size), 0u);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(reinterpret_cast<NETRESOURCEW*>(buffer.data())->lpRemoteName,
                 L"\\\\EXCH2\\ADMIN$");
    WNetCloseEnum(enumeration);

    // Now another account may connect to the first server.
    EXPECT_EQ(CWin32API::EstablishWNetConnection(L"EXCH1", L"CORP\\Administrator", kDomainPassword,
                                                 L"C$"),
              0u);
    log.Clear();
    CWin32API::DisconnectAllWNetConncetionsForServer(L"EXCH3");
    EXPECT_EQ(log.m_Lines.size(), 1u) << Narrow(log.Dump());

    log.Clear();
    CWin32API::CloseWNetConnection(L"EXCH2", L"ADMIN$");
    CWin32API::CloseWNetConnection(L"EXCH1", L"c$");
    EXPECT_TRUE(log.m_Lines.empty()) << Narrow(log.Dump());
    CWin32API::CloseWNetConnection(L"EXCH2", L"ADMIN$");
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING,
                        L"CloseWNetConnection(EXCH2, ADMIN$) failed, last error is 2250"));
    EXPECT_EQ(GetFileAttributesW(L"\\\\EXCH2\\ADMIN$\\Temp"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WindowsAccess, DisconnectingAServerClosesMoreConnectionsThanOneBufferHolds)
{
    // Enough shares that their entries take several enumeration buffers.
    constexpr int kShares = 120;
    for (int i = 0; i < kShares; ++i)
        ASSERT_EQ(fleetsim::WriteRegistry(
                      testsupport::FleetRoot(), "EXCH3",
                      L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares",
                      L"Share" + std::to_wstring(i), L"REG_MULTI_SZ",
                      L"Path=C:\\Windows|Remark=share " + std::to_wstring(i)),
                  0u);
    for (int i = 0; i < kShares; ++i)
        ASSERT_EQ(CWin32API::EstablishWNetConnection(L"EXCH3", L"CORP\\Administrator",
                                                     kDomainPassword,
                                                     L"Share" + std::to_wstring(i)),
                  0u);
    ASSERT_EQ(CWin32API::EstablishWNetConnection(L"EXCH2", L"CORP\\Administrator", kDomainPassword,
                                                 L"C$"),
              0u);
    CLogCapture log;
    CWin32API::DisconnectAllWNetConncetionsForServer(L"EXCH3");
    int closed = 0;
    for (const SLogLine& l : log.m_Lines)
    {
        if (l.message.find(L"Closing connection \\\\EXCH3\\Share") != std::wstring::npos &&
            l.message.find(L" success") != std::wstring::npos)
            ++closed;
    }
    EXPECT_EQ(closed, kShares) << Narrow(log.Dump());
    EXPECT_EQ(GetFileAttributesW(L"\\\\EXCH3\\Share7\\Temp"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(L"\\\\EXCH2\\C$\\Windows"), INVALID_FILE_ATTRIBUTES);
    CWin32API::DisconnectAllWNetConncetionsForServer(L"EXCH2");
    HANDLE enumeration = nullptr;
    ASSERT_EQ(WNetOpenEnumW(RESOURCE_CONNECTED, RESOURCETYPE_ANY, 0, nullptr, &enumeration), 0u);
    std::vector<BYTE> buffer(16384);
    DWORD count = static_cast<DWORD>(-1), size = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(WNetEnumResourceW(enumeration, &count, buffer.data(), &size),
              static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    WNetCloseEnum(enumeration);
}

TEST_F(WindowsAccess, ThreadsImpersonateIndependently)
{
    // Each worker acts with its own account at the same time, as the peers' threads do.
    std::vector<std::thread> workers;
    std::vector<int> wrong(4, 0);
    for (int w = 0; w < 4; ++w)
    {
        workers.emplace_back(
            [w, &wrong]
            {
                bool administrator = w % 2 == 0;
                CImpersonateUser user(L"CORP", administrator ? L"Administrator" : L"operator",
                                      administrator ? kDomainPassword : kOperatorPassword,
                                      LOGON32_LOGON_NEW_CREDENTIALS);
                for (int i = 0; i < 15; ++i)
                {
                    CRegistryKey key;
                    int opened = key.Open(i % 2 ? L"EXCH1" : L"EXCH2", HKEY_LOCAL_MACHINE,
                                          kProductKey, KEY_READ);
                    if (administrator ? opened != 1 || key.ReadString(L"Build").empty()
                                      : opened != 0 || key.GetLastError() != ERROR_ACCESS_DENIED)
                        ++wrong[w];
                }
            });
    }
    for (std::thread& t : workers)
        t.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST_F(WindowsAccess, DomainAndHostNames)
{
    CLogCapture log;
    EXPECT_EQ(CWin32API::GetDomainNameOfTargetComputer(L"EXCH1"), L"");
    EXPECT_TRUE(log.Has(
        ADVLOG_SEVERITY_WARNING,
        L"GetDomainNameOfTargetComputer(EXCH1), NetGetJoinInformation failed, error code is 5"));
    ASSERT_EQ(CWin32API::NetworkCredentialImpersonateBegin(L"CORP\\Administrator", kDomainPassword),
              1);
    EXPECT_EQ(CWin32API::GetDomainNameOfTargetComputer(L"EXCH1"), L"CORP");
    EXPECT_EQ(CWin32API::GetDomainNameOfTargetComputer(L"exch3.corp.example"), L"CORP");
    log.Clear();
    EXPECT_EQ(CWin32API::GetDomainNameOfTargetComputer(L"NOSUCH"), L"");
    EXPECT_TRUE(log.Has(
        ADVLOG_SEVERITY_WARNING,
        L"GetDomainNameOfTargetComputer(NOSUCH), NetGetJoinInformation failed, error code is 53"));
    CWin32API::NetworkCredentialImpersonateEnd();
    // This workstation is in a workgroup: no domain, and no failure either.
    log.Clear();
    EXPECT_EQ(CWin32API::GetDomainNameOfTargetComputer(L""), L"");
    EXPECT_EQ(CWin32API::GetDomainNameOfTargetComputer(MachineName()), L"");
    EXPECT_TRUE(log.m_Lines.empty()) << Narrow(log.Dump());
    EXPECT_EQ(CWin32API::GetDomainNameOfLocalComputer(), L"");
    EXPECT_TRUE(winport::fleet::NamesEqual(CWin32API::GetDnsHostName(), MachineName()));
    EXPECT_EQ(CWin32API::GetLocalComputerName(), CWin32API::GetDnsHostName());
}

TEST_F(WindowsAccess, LocalAdministratorCheck)
{
    EXPECT_EQ(CWin32API::IsCurrentUserLocalAdministrator(), 1);
    // New credentials keep the identity.
    ASSERT_EQ(CWin32API::NetworkCredentialImpersonateBegin(L"CORP\\operator", kOperatorPassword),
              1);
    EXPECT_EQ(CWin32API::IsCurrentUserLocalAdministrator(), 1);
    CWin32API::NetworkCredentialImpersonateEnd();

    // A local account outside the Administrators group.
    std::string db = testsupport::FleetRoot() + "/machines/" +
                     winport::fleet::CurrentMachine().name + "/registry.db";
    {
        machine::CRegistryStore store;
        ASSERT_EQ(store.Open(db), 0u);
        if (!store.AccountExists(L"clerk"))
        {
            ASSERT_EQ(store.AddAccount(L"clerk", kClerkPassword), 0u);
            ASSERT_EQ(store.AddGroupMember(L"Users", L"clerk"), 0u);
        }
    }
    {
        // Logged on interactively, the thread acts as the clerk.
        CImpersonateUser clerk(L".", L"clerk", kClerkPassword, LOGON32_LOGON_INTERACTIVE);
        ASSERT_TRUE(clerk.IsImpersonating());
        EXPECT_EQ(CWin32API::IsCurrentUserLocalAdministrator(), 0);
        std::thread other([] { EXPECT_EQ(CWin32API::IsCurrentUserLocalAdministrator(), 1); });
        other.join();
        EXPECT_EQ(clerk.RevertBack(), 1);
        EXPECT_EQ(CWin32API::IsCurrentUserLocalAdministrator(), 1);
    }

    std::string output;
    EXPECT_EQ(
        testsupport::RunChild("WindowsAccess.ChildRunsAsClerk", {{"FLEET_USER", "clerk"}}, &output),
        0)
        << output;
    EXPECT_NE(output.find("[       OK ] WindowsAccess.ChildRunsAsClerk"), std::string::npos)
        << output;
}

TEST_F(WindowsAccess, ChildRunsAsClerk)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    EXPECT_EQ(CWin32API::IsCurrentUserLocalAdministrator(), 0);
    // The account is real: it logs on with its password.
    HANDLE token = nullptr;
    ASSERT_TRUE(LogonUserW(L"clerk", L".", kClerkPassword, LOGON32_LOGON_INTERACTIVE,
                           LOGON32_PROVIDER_DEFAULT, &token));
    CloseHandle(token);
    // The local administrator's logon lifts this thread only while it lasts.
    CImpersonateUser administrator(L".", L"Administrator", L"Passw0rd!", LOGON32_LOGON_INTERACTIVE);
    ASSERT_TRUE(administrator.IsImpersonating());
    EXPECT_EQ(CWin32API::IsCurrentUserLocalAdministrator(), 1);
    EXPECT_EQ(administrator.RevertBack(), 1);
    EXPECT_EQ(CWin32API::IsCurrentUserLocalAdministrator(), 0);
}

TEST_F(WindowsAccess, ImpersonateUser)
{
    CLogCapture log;
    {
        CImpersonateUser nobody(L"CORP", L"", L"x", LOGON32_LOGON_NEW_CREDENTIALS);
        EXPECT_FALSE(nobody.IsImpersonating());
        EXPECT_EQ(nobody.RevertBack(), 1);
        HANDLE token = nullptr;
        EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    }
    EXPECT_TRUE(log.m_Lines.empty()) << Narrow(log.Dump());
    {
        CImpersonateUser wrong(L".", L"Administrator", L"wrong", LOGON32_LOGON_INTERACTIVE);
        EXPECT_FALSE(wrong.IsImpersonating());
        EXPECT_EQ(wrong.RevertBack(), 1);
    }
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR,
                        L"LogonUser() failed:" +
                            CStringSupport::ConvertWin32ErrorCodeToString(ERROR_LOGON_FAILURE)))
        << Narrow(log.Dump());
    EXPECT_FALSE(CStringSupport::ConvertWin32ErrorCodeToString(ERROR_LOGON_FAILURE).empty());
    {
        // New credentials reach the servers while the object lives.
        CImpersonateUser network(L"CORP", L"Administrator", kDomainPassword,
                                 LOGON32_LOGON_NEW_CREDENTIALS);
        ASSERT_TRUE(network.IsImpersonating());
        CRegistryKey key;
        EXPECT_EQ(key.Open(L"EXCH2", HKEY_LOCAL_MACHINE, kProductKey, KEY_READ | KEY_WOW64_64KEY),
                  1);
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
        CloseHandle(token);
    }
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    CRegistryKey key;
    EXPECT_EQ(key.Open(L"EXCH2", HKEY_LOCAL_MACHINE, kProductKey, KEY_READ), 0);
    EXPECT_EQ(key.GetLastError(), ERROR_ACCESS_DENIED);
}

// The four lines, checked against the machine's registry facts.
void ExpectSystemInformation(const wchar_t* domain, int architecture, int productType)
{
    CLogCapture log;
    CWin32API::DumpSystemInformationToDebugLog();
    ASSERT_EQ(log.m_Lines.size(), 4u) << Narrow(log.Dump());
    for (const SLogLine& line : log.m_Lines)
        EXPECT_EQ(line.severity, ADVLOG_SEVERITY_DEBUG);
    EXPECT_EQ(log.m_Lines[0].message,
              L"Local computer name is " + MachineName() + L", domain name is " + domain);
    const std::wstring version = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    std::wstring current =
        CWin32API::RegReadStringValue(HKEY_LOCAL_MACHINE, version, L"CurrentVersion");
    std::wstring build =
        CWin32API::RegReadStringValue(HKEY_LOCAL_MACHINE, version, L"CurrentBuildNumber");
    std::wstring servicePack =
        CWin32API::RegReadStringValue(HKEY_LOCAL_MACHINE, version, L"CSDVersion");
    std::wstring processors =
        CWin32API::RegReadStringValue(HKEY_LOCAL_MACHINE, kEnvironmentKey, L"NUMBER_OF_PROCESSORS");
    ASSERT_FALSE(current.empty());
    std::wstring major = current.substr(0, current.find(L'.'));
    std::wstring minor = current.substr(current.find(L'.') + 1);
    std::wstring spMajor = L"0";
    size_t digit = servicePack.find_first_of(L"0123456789");
    if (digit != std::wstring::npos)
        spMajor = servicePack.substr(digit, 1);
    EXPECT_EQ(log.m_Lines[1].message, L"ProcessorArchitecture:" + std::to_wstring(architecture) +
                                          L"(0:INTEL 9:AMD64) NumberOfProcessors:" +
                                          (processors.empty() ? L"1" : processors));
    EXPECT_EQ(log.m_Lines[2].message, L"OSMajorVersion:" + major + L" OSMinorVersion:" + minor +
                                          L" BuildNumber:" + build + L" CSDVersion:'" +
                                          servicePack + L"' ServicePackMajor:" + spMajor +
                                          L" ServicePackMinor:0");
    std::wstring suite = productType == 1 ? L"0x0" : L"0x2";
    EXPECT_EQ(log.m_Lines[3].message,
              L"SuiteMask:" + suite + L" (MSDN OSVERSIONINFOEX list all suite code)  ProductType:" +
                  std::to_wstring(productType) + L"(1:Workstation 2:DC 3:Server)");
}

TEST_F(WindowsAccess, SystemInformationOfThisWorkstation)
{
    ExpectSystemInformation(L"", 0, 1);
    std::string output;
    EXPECT_EQ(
        testsupport::RunChild("WindowsAccess.ChildOnServer", {{"FLEET_MACHINE", "EXCH1"}}, &output),
        0)
        << output;
    EXPECT_NE(output.find("[       OK ] WindowsAccess.ChildOnServer"), std::string::npos) << output;
}

TEST_F(WindowsAccess, ChildOnServer)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    ExpectSystemInformation(L"CORP", 9, 3);
}

} // namespace
