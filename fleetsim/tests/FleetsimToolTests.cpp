#include "testsupport/TestSupport.h"
#include "winport/WinMachine.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace
{

struct SResult
{
    int code = -1;
    std::string output;
};

// Runs the built fleetsim.exe (beside the test binary) on a fleet of its own.
SResult Fleetsim(const std::string& fleet, const std::string& arguments)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    std::string folder(self);
    folder = folder.substr(0, folder.rfind('/'));
    std::string command = "'" + folder + "/fleetsim.exe' --fleet '" + fleet + "' " + arguments + " 2>&1";
    SResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, got);
    int status = pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(FleetsimTool, BuildsInspectsAndResetsAFleet)
{
    std::string fleet = testsupport::FleetRoot() + "/tool";
    ASSERT_EQ(Fleetsim(fleet, "add-domain CORP --dns corp.example --password D0main!").code, 0);
    ASSERT_EQ(Fleetsim(fleet, "add ADMINWS --profile workstation").code, 0);
    SResult added = Fleetsim(fleet, "add EXCH1 --profile exchange2010 --roles mbx,ca --domain CORP --product 5.0 "
                                    "--build 77 --patch-build 80 --hotfix 'Service Pack 1' --alias exch1.corp.example "
                                    "--alias 192.0.2.11");
    ASSERT_EQ(added.code, 0) << added.output;

    SResult list = Fleetsim(fleet, "list");
    EXPECT_NE(list.output.find("EXCH1            exchange2010"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("exch1.corp.example,192.0.2.11"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("ADMINWS          workstation"), std::string::npos) << list.output;

    SResult product = Fleetsim(fleet, "reg EXCH1 'HKLM\\SOFTWARE\\Halvorn\\Parvel for Exchange\\CurrentVersion'");
    EXPECT_NE(product.output.find("PatchBuild  REG_SZ  80"), std::string::npos) << product.output;
    SResult roles = Fleetsim(fleet, "reg exch1 'hklm\\software\\microsoft\\exchangeserver\\v14'");
    EXPECT_NE(roles.output.find("[ClientAccessRole]"), std::string::npos) << roles.output;
    EXPECT_NE(roles.output.find("[MailboxRole]"), std::string::npos) << roles.output;
    EXPECT_EQ(roles.output.find("HubTransportRole"), std::string::npos) << roles.output;

    ASSERT_EQ(Fleetsim(fleet, "reg-set EXCH1 'HKLM\\SOFTWARE\\Test' Count REG_DWORD 0x10").code, 0);
    EXPECT_NE(Fleetsim(fleet, "reg EXCH1 'HKLM\\SOFTWARE\\Test'").output.find("Count  REG_DWORD  16 (0x00000010)"),
              std::string::npos);
    EXPECT_NE(Fleetsim(fleet, "files EXCH1 'C:\\Program Files\\Halvorn'").output.find("<DIR>          Parvel for Exchange"),
              std::string::npos);

    // A reset brings the profile back and drops what was changed since.
    testsupport::WriteHostFile(fleet + "/machines/EXCH1/drive/c/Windows/Temp/left.txt", "x");
    ASSERT_EQ(Fleetsim(fleet, "reset EXCH1").code, 0);
    EXPECT_FALSE(Exists(fleet + "/machines/EXCH1/drive/c/Windows/Temp/left.txt"));
    EXPECT_NE(Fleetsim(fleet, "reg EXCH1 'HKLM\\SOFTWARE\\Test'").code, 0);
    EXPECT_NE(Fleetsim(fleet, "reg EXCH1 'HKLM\\SOFTWARE\\Halvorn\\Parvel for Exchange\\Hotfix\\Service Pack 1'")
                  .output.find("Installed  REG_DWORD  1"),
              std::string::npos);
    EXPECT_EQ(Fleetsim(fleet, "stop").code, 0);
}

TEST(FleetsimTool, BadInputGetsOneLineAndLeavesNothing)
{
    std::string fleet = testsupport::FleetRoot() + "/bad";
    ASSERT_EQ(Fleetsim(fleet, "create").code, 0);
    struct SCase
    {
        const char* arguments;
        const char* message;
    } cases[] = {
        {"add X1 --profile nope", "unknown profile 'nope'"},
        {"add X1", "add needs --profile"},
        {"add THIS-NAME-IS-FAR-TOO-LONG --profile server", "is not a machine name"},
        {"add ../X --profile server", "is not a machine name"},
        {"add X1 --profile server --domain NOPE", "domain 'NOPE' is not in the fleet"},
        {"add X1 --profile exchange2007 --roles mbx,zz", "unknown role 'zz'"},
        {"add X1 --profile exchange2003 --roles mbx", "Exchange 2003 has no roles"},
        {"add X1 --profile server --build 5", "product options need --product"},
        {"add X1 --profile server --os 9.9", "unknown Windows version"},
        {"add X1 --profile server --alias 'bad name'", "cannot add machine"},
        {"add X1 --profile server --frobnicate", "unknown option --frobnicate"},
        {"reg NOSUCH 'HKLM\\SOFTWARE'", "cannot read"},
        {"reg-set X1 'HKLM\\S' V REG_DWORD notanumber", "cannot set the value"},
        {"files X1 'C:\\'", "cannot reach"},
        {"frob", "unknown command 'frob'"},
    };
    for (const SCase& c : cases)
    {
        SResult result = Fleetsim(fleet, c.arguments);
        EXPECT_EQ(result.code, 1) << c.arguments;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << c.arguments << ": " << result.output;
        EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << c.arguments;
    }
    // Nothing of a refused machine stays: no folder, no hosts line, no profile.
    EXPECT_FALSE(Exists(fleet + "/machines/X1"));
    EXPECT_FALSE(Exists(fleet + "/profiles/X1"));
    EXPECT_EQ(testsupport::ReadHostFile(fleet + "/hosts"), "");
    ASSERT_EQ(Fleetsim(fleet, "add X1 --profile server").code, 0);
    SResult twice = Fleetsim(fleet, "add x1 --profile server");
    EXPECT_EQ(twice.code, 1);
    EXPECT_NE(twice.output.find("exists already"), std::string::npos);
    EXPECT_EQ(Fleetsim(fleet, "--help").code, 0);
    EXPECT_NE(Fleetsim(fleet, "--help").output.find("reg-set MACHINE KEY NAME TYPE DATA"), std::string::npos);
    EXPECT_EQ(Fleetsim(fleet, "").code, 2);
}

TEST(HostNames, ResolveInAnyFormAndSkipMalformedLines)
{
    std::string root = testsupport::FleetRoot();
    ASSERT_EQ(winport::fleet::CreateMachine(root, "SRV6", winport::fleet::EMachineProfile::Server), 0u);
    // Lines added by hand, one of them malformed, before the well-formed ones.
    std::string hosts = testsupport::ReadHostFile(root + "/hosts");
    hosts += "BROKEN name with/slash\nSRV6 srv6.corp.example 192.0.2.60 fe80::1%4 2001:db8::60\n";
    testsupport::WriteHostFile(root + "/hosts", hosts);
    std::string folder;
    for (const wchar_t* name : {L"SRV6", L"srv6", L"\\\\Srv6", L"SRV6.CORP.EXAMPLE", L"192.0.2.60", L"fe80::1",
                                L"FE80::1%7", L"fe80--1s4.ipv6-literal.net", L"2001:0db8:0:0::60",
                                L"2001-db8--60.IPV6-LITERAL.NET"})
    {
        folder.clear();
        EXPECT_EQ(winport::fleet::ResolveServer(name, folder), 0u) << name;
        EXPECT_EQ(folder, "SRV6") << name;
    }
    const std::string self = winport::fleet::CurrentMachine().name;
    for (const wchar_t* name : {L"localhost", L"LOCALHOST", L"127.0.0.1", L"127.9.9.9", L"::1", L"0:0::1",
                                L"a.b.localhost", L"Box.LocalHost"})
    {
        folder.clear();
        EXPECT_EQ(winport::fleet::ResolveServer(name, folder), 0u) << name;
        EXPECT_EQ(folder, self) << name;
    }
    EXPECT_EQ(winport::fleet::ResolveServer(L"", folder), 0u);
    EXPECT_EQ(folder, self); // no name is this machine
    for (const wchar_t* name : {L"BROKEN", L"name", L"srv", L"192.0.2.6", L"srv6.corp"})
    {
        EXPECT_EQ(winport::fleet::ResolveServer(name, folder), static_cast<DWORD>(ERROR_BAD_NETPATH)) << name;
    }
    EXPECT_EQ(winport::fleet::ResolveServer(std::wstring(300, L'a'), folder), static_cast<DWORD>(ERROR_BAD_NETPATH));
}

} // namespace
