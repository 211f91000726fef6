#include "fleetsim/Fleet.h"
#include "fleetsim/store/RegistryStore.h"
#include "testsupport/TestSupport.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;

struct SResult
{
    int code = -1;
    std::string output;
};

// The command line of the built fleetsim.exe (beside the test binary) on a fleet of its own,
// with nothing on standard input and a guard against hangs.
std::string FleetsimCommand(const std::string& fleet, const std::string& arguments)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    std::string folder(self);
    folder = folder.substr(0, folder.rfind('/'));
    return "timeout -k 10 300 '" + folder + "/fleetsim.exe' --fleet '" + fleet + "' " + arguments +
           " 2>&1 </dev/null";
}

SResult Shell(const std::string& command)
{
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

SResult Fleetsim(const std::string& fleet, const std::string& arguments,
                 const std::string& environment = "")
{
    return Shell(environment + " " + FleetsimCommand(fleet, arguments));
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool Alive(pid_t pid)
{
    std::string stat = testsupport::ReadHostFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

// The server holding a machine's lock, as the lock names it; 0 when none holds it.
pid_t LockingServer(const std::string& machineFolder)
{
    int pid = 0;
    return winport::fleet::MachineServerRunning(machineFolder, &pid) ? pid : 0;
}

// Every live machine server of a machine of a fleet, whatever folder it serves.
std::vector<pid_t> ServersOf(const std::string& fleet, const std::string& machine)
{
    std::vector<pid_t> servers;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr)
    {
        pid_t pid = atoi(entry->d_name);
        std::string base = "/proc/" + std::string(entry->d_name);
        std::string command = testsupport::ReadHostFile(base + "/cmdline");
        std::string environment = '\0' + testsupport::ReadHostFile(base + "/environ");
        if (pid > 0 && Alive(pid) &&
            command.substr(0, command.find('\0')).find("machined") != std::string::npos &&
            environment.find(std::string("\0FLEET_ROOT=", 12) + fleet + '\0') !=
                std::string::npos &&
            environment.find(std::string("\0FLEET_MACHINE=", 15) + machine + '\0') !=
                std::string::npos)
            servers.push_back(pid);
    }
    if (proc != nullptr)
        closedir(proc);
    return servers;
}

// The tool refuses the arguments with exit code 1 and one line that holds the message.
void ExpectRefused(const std::string& fleet, const std::string& arguments, const char* message)
{
    SResult result = Fleetsim(fleet, arguments);
    EXPECT_EQ(result.code, 1) << arguments;
    EXPECT_NE(result.output.find(message), std::string::npos) << arguments << ": " << result.output;
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << arguments;
}

std::string Utf16Bytes(const std::string& text)
{
    std::u16string units = winport::ToUtf16(winport::FromUtf8(text));
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

std::vector<std::string>* s_pFiles = nullptr;
int CollectFile(const char* path, const struct stat* st, int type, struct FTW*)
{
    if (type == FTW_F && S_ISREG(st->st_mode))
        s_pFiles->push_back(path);
    return 0;
}

unsigned Mode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

TEST(FleetsimTool, BuildsInspectsAndResetsAFleet)
{
    std::string fleet = testsupport::FleetRoot() + "/tool";
    ASSERT_EQ(Fleetsim(fleet, "add-domain CORP --dns corp.example --password D0main!").code, 0);
    ASSERT_EQ(Fleetsim(fleet, "add ADMINWS --profile workstation").code, 0);
    // The tool needs no machine of its own, nor a fleet where the environment points (as on a
    // fresh host): the product's files are copied all the same.
    std::string files = fleet + "-product";
    std::filesystem::create_directories(files + "/bin");
    testsupport::WriteHostFile(files + "/bin/core.dll", "core");
    SResult added =
        Fleetsim(fleet,
                 "add EXCH1 --profile exchange2010 --roles mbx,ca --domain CORP --product 5.0 "
                 "--build 77 --patch-build 80 --hotfix 'Service Pack 1' --alias exch1.corp.example "
                 "--alias 192.0.2.11 --product-files '" +
                     files + "'",
                 "env -u FLEET_ROOT -u FLEET_MACHINE XDG_STATE_HOME='" + fleet + "-nowhere'");
    ASSERT_EQ(added.code, 0) << added.output;
    EXPECT_EQ(testsupport::ReadHostFile(fleet + "/machines/EXCH1/drive/c/Program Files/Halvorn/"
                                                "Parvel for Exchange/bin/core.dll"),
              "core");

    SResult list = Fleetsim(fleet, "list");
    EXPECT_NE(list.output.find("EXCH1            exchange2010"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("exch1.corp.example,192.0.2.11"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("ADMINWS          workstation"), std::string::npos) << list.output;

    SResult product =
        Fleetsim(fleet, "reg EXCH1 'HKLM\\SOFTWARE\\Halvorn\\Parvel for Exchange\\CurrentVersion'");
    EXPECT_NE(product.output.find("PatchBuild  REG_SZ  80"), std::string::npos) << product.output;
    SResult roles = Fleetsim(fleet, "reg exch1 'hklm\\software\\microsoft\\exchangeserver\\v14'");
    EXPECT_NE(roles.output.find("[ClientAccessRole]"), std::string::npos) << roles.output;
    EXPECT_NE(roles.output.find("[MailboxRole]"), std::string::npos) << roles.output;
    EXPECT_EQ(roles.output.find("HubTransportRole"), std::string::npos) << roles.output;

    ASSERT_EQ(Fleetsim(fleet, "reg-set EXCH1 'HKLM\\SOFTWARE\\Test' Count REG_DWORD 0x10").code, 0);
    EXPECT_NE(Fleetsim(fleet, "reg EXCH1 'HKLM\\SOFTWARE\\Test'")
                  .output.find("Count  REG_DWORD  16 (0x00000010)"),
              std::string::npos);
    EXPECT_NE(Fleetsim(fleet, "files EXCH1 'C:\\Program Files\\Halvorn'")
                  .output.find("<DIR>          Parvel for Exchange"),
              std::string::npos);

    // A reset brings the profile back and drops what was changed since.
    testsupport::WriteHostFile(fleet + "/machines/EXCH1/drive/c/Windows/Temp/left.txt", "x");
    ASSERT_EQ(Fleetsim(fleet, "reset EXCH1").code, 0);
    EXPECT_FALSE(Exists(fleet + "/machines/EXCH1/drive/c/Windows/Temp/left.txt"));
    EXPECT_NE(Fleetsim(fleet, "reg EXCH1 'HKLM\\SOFTWARE\\Test'").code, 0);
    EXPECT_NE(
        Fleetsim(fleet,
                 "reg EXCH1 'HKLM\\SOFTWARE\\Halvorn\\Parvel for Exchange\\Hotfix\\Service Pack 1'")
            .output.find("Installed  REG_DWORD  1"),
        std::string::npos);
    EXPECT_EQ(Fleetsim(fleet, "stop").code, 0);
}

TEST(FleetsimTool, BadInputGetsOneLineAndLeavesNothing)
{
    std::string fleet = testsupport::FleetRoot() + "/bad";
    ASSERT_EQ(Fleetsim(fleet, "create").code, 0);
    ASSERT_EQ(Fleetsim(fleet, "add-domain D1").code, 0);
    struct SCase
    {
        const char* arguments;
        const char* message;
    };
    auto refuse = [&fleet](const SCase& c) { ExpectRefused(fleet, c.arguments, c.message); };
    const SCase cases[] = {
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
        {"add-domain ../D2", "is not a domain name"},
        {"add-domain D2/X", "is not a domain name"},
        {"add-domain d1", "domain 'd1' exists already (as 'D1')"},
        {"add-domain D2 --user 'bad@name:pw'",
         "The name provided is not a properly formed account name. (error 1315)"},
        {"add X1 --profile server --domain ../domains/D1", "is not a domain name"},
        {"add X1 --profile server --alias localhost", "always names the caller's own machine"},
        {"add X1 --profile server --admin-password-file /nonexistent/pw",
         "cannot read /nonexistent/pw"},
        {"add X1 --profile server --admin-password-env FLEETSIM_TEST_UNSET",
         "no password in the environment"},
        {"add X1 --profile server --admin-password a --admin-password-env HOME", "one way only"},
        {"add X1 --profile server --admin-password-prompt", "needs a terminal"},
        {"reg-set X1 'HKLM\\S' V REG_BOGUS 1", "The specified datatype is invalid. (error 1804)"},
    };
    for (const SCase& c : cases)
        refuse(c);
    // Nothing of a refused machine or domain stays: no folder, no hosts line, no profile.
    EXPECT_FALSE(Exists(fleet + "/machines/X1"));
    EXPECT_FALSE(Exists(fleet + "/profiles/X1"));
    EXPECT_FALSE(Exists(fleet + "/domains/D2"));
    EXPECT_FALSE(Exists(fleet + "/domains/d1"));
    EXPECT_EQ(testsupport::ReadHostFile(fleet + "/hosts"), "");
    ASSERT_EQ(Fleetsim(fleet, "add X1 --profile server --domain d1").code, 0);
    ASSERT_EQ(
        Fleetsim(fleet, "add X3 --profile server --alias a1.example --alias 2001:db8::7").code, 0);
    const SCase taken[] = {
        {"add x1 --profile server", "machine 'x1' exists already (as 'X1')"},
        {"add X2 --profile server --alias x1", "alias 'x1' is a name of machine 'X1' already"},
        {"add X2 --profile server --alias A1.EXAMPLE", "is a name of machine 'X3' already"},
        {"add X2 --profile server --alias 2001:DB8:0::7", "is a name of machine 'X3' already"},
        {"cat X1 'C:\\Windows'", "C:\\Windows is a folder of X1, not a file"},
    };
    for (const SCase& c : taken)
        refuse(c);
    EXPECT_FALSE(Exists(fleet + "/machines/X2"));
    EXPECT_EQ(testsupport::ReadHostFile(fleet + "/hosts"), "X1 X1\nX3 X3 a1.example 2001:db8::7\n");
    // The member joined its domain as the domain spells itself.
    EXPECT_NE(
        Fleetsim(fleet, "reg X1 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon'")
            .output.find("DefaultDomainName  REG_SZ  D1"),
        std::string::npos);
    SResult none = Fleetsim(fleet + "/none", "list");
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.output.find("there is no fleet at"), std::string::npos) << none.output;
    EXPECT_FALSE(Exists(fleet + "/none"));
    EXPECT_EQ(fleetsim::ErrorText(0x7A5C9), "error 501193"); // never an empty message
    EXPECT_EQ(Fleetsim(fleet, "--help").code, 0);
    EXPECT_NE(Fleetsim(fleet, "--help").output.find("reg-set MACHINE KEY NAME TYPE DATA"),
              std::string::npos);
    EXPECT_EQ(Fleetsim(fleet, "").code, 2);
}

TEST(FleetsimTool, RacingAddsOfOneNameInTwoCasesMakeOne)
{
    std::string fleet = testsupport::FleetRoot() + "/race";
    ASSERT_EQ(Fleetsim(fleet, "create").code, 0);
    for (int round = 0; round < 3; ++round)
    {
        std::string n = std::to_string(round);
        for (const std::string& command :
             {"add RACE" + n + " --profile server", "add-domain DOM" + n})
        {
            std::string lower = command;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
            SResult both = Shell("(" + FleetsimCommand(fleet, command) + "; echo rc=$?) & (" +
                                 FleetsimCommand(fleet, lower) + "; echo rc=$?) & wait");
            EXPECT_EQ(std::count(both.output.begin(), both.output.end(), '='), 2) << both.output;
            size_t won = 0;
            for (size_t at = 0; (at = both.output.find("rc=0", at)) != std::string::npos; ++at)
                ++won;
            EXPECT_EQ(won, 1u) << command << ": " << both.output;
            EXPECT_NE(both.output.find("exists already"), std::string::npos) << both.output;
        }
        for (const char* kind : {"/machines", "/domains"})
        {
            int made = 0;
            DIR* dir = opendir((fleet + kind).c_str());
            while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr)
                made += strcasecmp(entry->d_name, ("RACE" + n).c_str()) == 0 ||
                        strcasecmp(entry->d_name, ("DOM" + n).c_str()) == 0;
            if (dir != nullptr)
                closedir(dir);
            EXPECT_EQ(made, 1) << kind << " round " << round;
        }
    }
}

TEST(FleetsimTool, PasswordsFromFileAndEnvironmentStayOutOfTheFleet)
{
    const std::string domainPassword = "Dom#File-5183x", userPassword = "Usr#File-2291k",
                      adminPassword = "Adm#Env-7730q";
    std::string fleet = testsupport::FleetRoot() + "/secret";
    std::string passwordFile = testsupport::FleetRoot() + "/secret-password",
                usersFile = passwordFile + "s";
    testsupport::WriteHostFile(passwordFile, domainPassword + "\r\n");
    testsupport::WriteHostFile(usersFile, "alice:" + userPassword + "\n");
    SResult domain = Fleetsim(fleet, "add-domain SEC --password-file '" + passwordFile +
                                         "' --user-file '" + usersFile + "'");
    ASSERT_EQ(domain.code, 0) << domain.output;
    SResult added = Fleetsim(
        fleet,
        "add SECWS --profile server --domain sec --admin-password-env FLEETSIM_TEST_PASSWORD",
        "FLEETSIM_TEST_PASSWORD='" + adminPassword + "'");
    ASSERT_EQ(added.code, 0) << added.output;
    std::string registry = fleet + "/machines/SECWS/registry.db",
                accounts = fleet + "/domains/SEC/accounts.db";
    auto checkPasswords = [&]
    {
        machine::CRegistryStore store;
        ASSERT_EQ(store.Open(accounts), 0u);
        EXPECT_EQ(store.CheckPassword(L"Administrator", winport::FromUtf8(domainPassword)), 0u);
        EXPECT_EQ(store.CheckPassword(L"alice", winport::FromUtf8(userPassword)), 0u);
        ASSERT_EQ(store.Open(registry), 0u);
        EXPECT_EQ(store.CheckPassword(L"Administrator", winport::FromUtf8(adminPassword)), 0u);
        EXPECT_EQ(store.CheckPassword(L"Administrator", L"Passw0rd!"),
                  static_cast<DWORD>(ERROR_LOGON_FAILURE));
    };
    checkPasswords();
    ASSERT_EQ(Fleetsim(fleet, "reset SECWS").code, 0); // the accounts outlive a reset
    checkPasswords();

    // The stores are their owner's alone, whatever the umask, with their -wal and -shm files;
    // a store left readable by an older build is narrowed when opened.
    EXPECT_EQ(Mode(registry), 0600u);
    EXPECT_EQ(Mode(accounts), 0600u);
    ASSERT_EQ(chmod(accounts.c_str(), 0644), 0);
    mode_t previous = umask(0);
    {
        machine::CRegistryStore fresh, old;
        ASSERT_EQ(fresh.Open(fleet + "/fresh.db"), 0u);
        ASSERT_EQ(old.Open(accounts), 0u);
        for (machine::CRegistryStore* store : {&fresh, &old})
        {
            ASSERT_EQ(store->Begin(), 0u);
            ASSERT_EQ(store->AddAccount(L"bob", L"Bob#Secret-1"), 0u);
            ASSERT_EQ(store->Commit(), 0u);
        }
        for (const std::string& file : {fleet + "/fresh.db", accounts})
        {
            for (const char* suffix : {"", "-wal", "-shm"})
                EXPECT_EQ(Mode(file + suffix), 0600u) << file << suffix;
        }
    }
    umask(previous);

    std::vector<std::string> files;
    s_pFiles = &files;
    nftw(fleet.c_str(), CollectFile, 16, FTW_PHYS);
    s_pFiles = nullptr;
    EXPECT_GT(files.size(), 3u);
    for (const std::string& password : {domainPassword, userPassword, adminPassword})
    {
        for (const std::string& path : files)
        {
            std::string content = testsupport::ReadHostFile(path);
            EXPECT_EQ(content.find(password), std::string::npos) << path << " holds " << password;
            EXPECT_EQ(content.find(Utf16Bytes(password)), std::string::npos)
                << path << " holds " << password;
        }
    }
}

// Keeps the server of its machine busy with writes, reconnecting when its server goes, until
// FLEETSIM_DONE exists; then writes After = 1 until that is acknowledged.
TEST(FleetsimTool, ChildKeepsItsServerBusy)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    HKEY key = nullptr;
    auto put = [&key](const wchar_t* name, DWORD value)
    {
        if (key == nullptr &&
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Busy", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
        {
            key = nullptr;
            return false;
        }
        if (RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof value) == ERROR_SUCCESS)
            return true;
        RegCloseKey(key);
        key = nullptr;
        return false;
    };
    auto end = std::chrono::steady_clock::now() + 120s;
    for (DWORD n = 0; !Exists(getenv("FLEETSIM_DONE")) && std::chrono::steady_clock::now() < end;
         ++n)
    {
        if (put(L"Count", n) && !Exists(getenv("FLEETSIM_STARTED")))
            testsupport::WriteHostFile(getenv("FLEETSIM_STARTED"), "1");
    }
    bool acknowledged = false;
    while (!acknowledged && std::chrono::steady_clock::now() < end)
        acknowledged = put(L"After", 1);
    EXPECT_TRUE(acknowledged);
    RegCloseKey(key);
}

TEST(FleetsimTool, ResetStopsTheServerOrLeavesTheMachineAlone)
{
    std::string fleet = testsupport::FleetRoot() + "/busy";
    std::string folder = fleet + "/machines/BUSY";
    ASSERT_EQ(Fleetsim(fleet, "add BUSY --profile server").code, 0);
    std::string started = fleet + "/started", done = fleet + "/done", output;
    int child = -1;
    std::thread writer(
        [&]
        {
            child = testsupport::RunChild("FleetsimTool.ChildKeepsItsServerBusy",
                                          {{"FLEET_ROOT", fleet},
                                           {"FLEET_MACHINE", "BUSY"},
                                           {"FLEETSIM_STARTED", started},
                                           {"FLEETSIM_DONE", done}},
                                          &output);
        });
    bool busy =
        testsupport::WaitFor([&] { return Exists(started) && LockingServer(folder) > 0; }, 60s);
    pid_t before = LockingServer(folder);
    SResult reset = busy ? Fleetsim(fleet, "reset BUSY") : SResult{};
    // No server of the old machine outlives the reset, and what the new one acknowledges stays.
    bool oldGone = testsupport::WaitFor([&] { return !Alive(before); }, 10s);
    testsupport::WriteHostFile(done, "1");
    writer.join();
    ASSERT_TRUE(busy) << output;
    EXPECT_EQ(reset.code, 0) << reset.output;
    EXPECT_TRUE(oldGone) << "server " << before << " still runs";
    EXPECT_EQ(child, 0) << output;
    EXPECT_NE(Fleetsim(fleet, "reg BUSY 'HKLM\\SOFTWARE\\Busy'").output.find("After  REG_DWORD  1"),
              std::string::npos);
    EXPECT_LE(ServersOf(fleet, "BUSY").size(), 1u);

    // A server that does not end leaves its machine as it was.
    pid_t stuck = LockingServer(folder);
    ASSERT_GT(stuck, 0);
    ASSERT_EQ(kill(stuck, SIGSTOP), 0);
    SResult refused = Fleetsim(fleet, "reset BUSY");
    kill(stuck, SIGCONT);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.output.find("did not end (the machine is unchanged)"), std::string::npos)
        << refused.output;
    EXPECT_EQ(std::count(refused.output.begin(), refused.output.end(), '\n'), 1) << refused.output;
    EXPECT_NE(Fleetsim(fleet, "reg BUSY 'HKLM\\SOFTWARE\\Busy'").output.find("After  REG_DWORD  1"),
              std::string::npos);
    EXPECT_EQ(testsupport::ReadHostFile(fleet + "/hosts"), "BUSY BUSY\n");
    DIR* dir = opendir((fleet + "/machines").c_str());
    int entries = 0;
    while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr)
        entries += entry->d_name[0] != '.' || strncmp(entry->d_name, ".BUSY", 5) == 0;
    if (dir != nullptr)
        closedir(dir);
    EXPECT_EQ(entries, 1); // nothing set aside
    EXPECT_EQ(Fleetsim(fleet, "stop").code, 0);
    EXPECT_TRUE(testsupport::WaitFor([&] { return ServersOf(fleet, "BUSY").empty(); }, 30s));
}

TEST(FleetsimTool, RunsListsAndEndsProcessesAndServicesOfAMachine)
{
    std::string fleet = testsupport::FleetRoot() + "/processes";
    ASSERT_EQ(Fleetsim(fleet, "add EX7 --profile exchange2007 --roles mbx,ht").code, 0);
    SResult services = Fleetsim(fleet, "services EX7");
    ASSERT_EQ(services.code, 0) << services.output;
    for (const char* name : {"MSExchangeIS", "MSExchangeTransport", "W3SVC", "IISADMIN"})
        EXPECT_NE(services.output.find(name), std::string::npos) << services.output;
    EXPECT_EQ(services.output.find("RUNNING"), std::string::npos) << services.output;

    // A program's exit code is the tool's; the scripts' sc is on the server.
    EXPECT_EQ(Fleetsim(fleet, "exec EX7 'sc start MSExchangeSA'").code, 0);
    SResult missing = Fleetsim(fleet, "exec EX7 'nosuchprogram /x'");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.output.find("error 2"), std::string::npos) << missing.output;

    // The service's program is a process of that machine, with the modules it maps.
    std::string pid;
    ASSERT_TRUE(testsupport::WaitFor(
        [&]
        {
            SResult ps = Fleetsim(fleet, "ps EX7 --modules");
            size_t at = ps.output.find("servicestub.exe\n");
            if (at == std::string::npos)
                return false;
            EXPECT_NE(ps.output.find("fleetkit.dll"), std::string::npos) << ps.output;
            size_t line = ps.output.rfind('\n', at);
            std::istringstream(ps.output.substr(line + 1)) >> pid;
            return true;
        },
        60s));
    EXPECT_EQ(Fleetsim(fleet, "kill EX7 " + pid).code, 0);
    // The service whose program was ended is stopped; the process is gone.
    EXPECT_TRUE(testsupport::WaitFor(
        [&]
        {
            SResult after = Fleetsim(fleet, "services EX7");
            return after.output.find("RUNNING") == std::string::npos &&
                   after.output.find("PENDING") == std::string::npos;
        },
        60s));
    EXPECT_NE(Fleetsim(fleet, "kill EX7 " + pid).code, 0);
    EXPECT_EQ(Fleetsim(fleet, "kill EX7 notanumber").code, 2);
    EXPECT_NE(Fleetsim(fleet, "ps NOSUCH").code, 0);
    EXPECT_EQ(Fleetsim(fleet, "exec EX7").code, 1);
    Fleetsim(fleet, "stop");
}

TEST(HostNames, ResolveInAnyFormAndSkipMalformedLines)
{
    std::string root = testsupport::FleetRoot();
    ASSERT_EQ(machine::CreateMachine(root, "SRV6", machine::EMachineProfile::Server), 0u);
    // Lines added by hand, one of them malformed, before the well-formed ones.
    std::string hosts = testsupport::ReadHostFile(root + "/hosts");
    hosts += "BROKEN name with/slash\nSRV6 srv6.corp.example 192.0.2.60 fe80::1%4 2001:db8::60\n";
    testsupport::WriteHostFile(root + "/hosts", hosts);
    std::string folder;
    for (const wchar_t* name : {L"SRV6", L"srv6", L"\\\\Srv6", L"SRV6.CORP.EXAMPLE", L"192.0.2.60",
                                L"fe80::1", L"FE80::1%7", L"fe80--1s4.ipv6-literal.net",
                                L"2001:0db8:0:0::60", L"2001-db8--60.IPV6-LITERAL.NET"})
    {
        folder.clear();
        EXPECT_EQ(winport::fleet::ResolveServer(name, folder), 0u) << name;
        EXPECT_EQ(folder, "SRV6") << name;
    }
    const std::string self = winport::fleet::CurrentMachine().name;
    for (const wchar_t* name : {L"localhost", L"LOCALHOST", L"127.0.0.1", L"127.9.9.9", L"::1",
                                L"0:0::1", L"a.b.localhost", L"Box.LocalHost"})
    {
        folder.clear();
        EXPECT_EQ(winport::fleet::ResolveServer(name, folder), 0u) << name;
        EXPECT_EQ(folder, self) << name;
    }
    EXPECT_EQ(winport::fleet::ResolveServer(L"", folder), 0u);
    EXPECT_EQ(folder, self); // no name is this machine
    for (const wchar_t* name : {L"BROKEN", L"name", L"srv", L"192.0.2.6", L"srv6.corp"})
    {
        EXPECT_EQ(winport::fleet::ResolveServer(name, folder),
                  static_cast<DWORD>(ERROR_BAD_NETPATH))
            << name;
    }
    EXPECT_EQ(winport::fleet::ResolveServer(std::wstring(300, L'a'), folder),
              static_cast<DWORD>(ERROR_BAD_NETPATH));
}

// The sub-keys of a key as the tool lists them ("[NAME]" lines), in order.
std::vector<std::string> SubKeys(const std::string& fleet, const std::string& machine,
                                 const std::string& key)
{
    std::vector<std::string> names;
    std::istringstream lines(Fleetsim(fleet, "reg " + machine + " '" + key + "'").output);
    for (std::string line; std::getline(lines, line);)
    {
        if (line.size() > 2 && line.front() == '[' && line.back() == ']')
            names.push_back(line.substr(1, line.size() - 2));
    }
    return names;
}

// Everything the tool shows of a key and the keys below it.
std::string RegistryTree(const std::string& fleet, const std::string& machine,
                         const std::string& key)
{
    std::string tree = key + "\n" + Fleetsim(fleet, "reg " + machine + " '" + key + "'").output;
    for (const std::string& sub : SubKeys(fleet, machine, key))
        tree += RegistryTree(fleet, machine, key + "\\" + sub);
    return tree;
}

TEST(FleetsimTool, ClusterNodesHoldTheirClusterDatabaseAndMainCf)
{
    std::string fleet = testsupport::FleetRoot() + "/cluster";
    const std::string product = "'HKLM\\SOFTWARE\\Halvorn\\Parvel for Exchange\\CurrentVersion'";
    SResult added =
        Fleetsim(fleet, "add MSNODE1 --profile exchange2003 --product 5.0 --cluster-kind microsoft "
                        "--cluster-nodes MSNODE1,MSNODE2 --virtual-servers EVS1,Evs2 "
                        "--other-virtual-servers EVS3 --alias msclus --alias evs1");
    ASSERT_EQ(added.code, 0) << added.output;
    SResult values = Fleetsim(fleet, "reg MSNODE1 " + product);
    EXPECT_NE(values.output.find("IsCluster  REG_DWORD  1 (0x00000001)"), std::string::npos)
        << values.output;
    EXPECT_NE(values.output.find("ThirdPartyClusterType  REG_DWORD  0 (0x00000000)"),
              std::string::npos)
        << values.output;
    EXPECT_EQ(SubKeys(fleet, "MSNODE1", "HKLM\\Cluster\\Nodes"),
              (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(Fleetsim(fleet, "reg MSNODE1 'HKLM\\Cluster\\Nodes\\2'").output,
              "NodeName  REG_SZ  MSNODE2\n");
    // A virtual server online here answers here too, once however often it is named.
    EXPECT_NE(
        testsupport::ReadHostFile(fleet + "/hosts").find("MSNODE1 MSNODE1 msclus evs1 Evs2\n"),
        std::string::npos)
        << testsupport::ReadHostFile(fleet + "/hosts");

    // One group a virtual server, with its owner, its network name and its System Attendant.
    std::vector<std::string> groups = SubKeys(fleet, "MSNODE1", "HKLM\\Cluster\\Groups");
    ASSERT_EQ(groups.size(), 3u);
    std::map<std::string, std::string> owners;
    for (const std::string& group : groups)
    {
        EXPECT_EQ(group.size(), 36u) << group;
        std::string text =
            Fleetsim(fleet, "reg MSNODE1 'HKLM\\Cluster\\Groups\\" + group + "'").output;
        std::string name = text.substr(text.find("Name  REG_SZ  ") + 14);
        name = name.substr(0, name.find('\n'));
        std::string owner = text.substr(text.find("OwnerNode  REG_SZ  ") + 19);
        owners[name] = owner.substr(0, owner.find('\n'));
        std::string contains = text.substr(text.find("Contains  REG_MULTI_SZ  ") + 24);
        contains = contains.substr(0, contains.find('\n'));
        ASSERT_EQ(contains.size(), 36u + 3u + 36u) << contains;
        std::string resources[] = {contains.substr(0, 36), contains.substr(39)};
        EXPECT_EQ(
            Fleetsim(fleet, "reg MSNODE1 'HKLM\\Cluster\\Resources\\" + resources[0] + "'").output,
            "[Parameters]\nName  REG_SZ  Network Name (" + name +
                ")\nType  REG_SZ  Network Name\n");
        EXPECT_EQ(Fleetsim(fleet, "reg MSNODE1 'HKLM\\Cluster\\Resources\\" + resources[0] +
                                      "\\Parameters'")
                      .output,
                  "Name  REG_SZ  " + name + "\n");
        EXPECT_EQ(
            Fleetsim(fleet, "reg MSNODE1 'HKLM\\Cluster\\Resources\\" + resources[1] + "'").output,
            "Name  REG_SZ  Exchange System Attendant - (" + name +
                ")\nType  REG_SZ  Microsoft Exchange System Attendant\nDependsOn  "
                "REG_MULTI_SZ  " +
                resources[0] + "\n");
    }
    EXPECT_EQ(owners, (std::map<std::string, std::string>{
                          {"EVS1", "MSNODE1"}, {"Evs2", "MSNODE1"}, {"EVS3", "MSNODE2"}}));

    // The other node names the same groups by the same keys; what one holds, the other does not.
    added = Fleetsim(fleet, "add MSNODE2 --profile exchange2003 --cluster-kind microsoft "
                            "--cluster-nodes MSNODE1,MSNODE2 --virtual-servers evs3 "
                            "--other-virtual-servers EVS1,EVS2");
    ASSERT_EQ(added.code, 0) << added.output;
    EXPECT_EQ(SubKeys(fleet, "MSNODE2", "HKLM\\Cluster\\Groups"), groups);
    ExpectRefused(fleet,
                  "add MSNODE3 --profile server --cluster-kind microsoft --virtual-servers "
                  "MSCLUS",
                  "virtual server 'MSCLUS' is a name of machine 'MSNODE1' already");
    EXPECT_FALSE(Exists(fleet + "/machines/MSNODE3"));

    // A Veritas node: its home folder in the registry and main.cf there.
    added = Fleetsim(fleet, "add VNODE1 --profile server --product 5.0 --cluster-kind veritas "
                            "--cluster-nodes VNODE1,VNODE2 --cluster-remote 192.0.2.77");
    ASSERT_EQ(added.code, 0) << added.output;
    values = Fleetsim(fleet, "reg VNODE1 " + product);
    EXPECT_NE(values.output.find("IsCluster  REG_DWORD  0 (0x00000000)"), std::string::npos);
    EXPECT_NE(values.output.find("ThirdPartyClusterType  REG_DWORD  1 (0x00000001)"),
              std::string::npos)
        << values.output;
    EXPECT_EQ(Fleetsim(fleet, "reg VNODE1 'HKLM\\SOFTWARE\\VERITAS\\VCS\\Base'").output,
              "HOMEDIRECTORY  REG_SZ  C:\\Program Files\\Veritas\\cluster server\n");
    EXPECT_NE(Fleetsim(fleet, "reg VNODE1 'HKLM\\Cluster'").code, 0);
    const std::string mainCf =
        "VNODE1 'C:\\Program Files\\Veritas\\cluster server\\conf\\config\\main.cf'";
    const std::string expected = "include \"types.cf\"\r\n\r\n"
                                 "cluster LocalCluster (\r\n\t)\r\n\r\n"
                                 "remotecluster RemoteCluster (\r\n"
                                 "\tClusterAddress = \"192.0.2.77\"\r\n\t)\r\n\r\n"
                                 "system VNODE1 (\r\n\t)\r\n\r\n"
                                 "system VNODE2 (\r\n\t)\r\n";
    EXPECT_EQ(Fleetsim(fleet, "cat " + mainCf).output, expected);
    // Without an address of its own, the remote cluster is the node's first alias.
    ASSERT_EQ(Fleetsim(fleet, "add VNODE2 --profile server --cluster-kind veritas --alias vclus "
                              "--cluster-nodes VNODE1,VNODE2")
                  .code,
              0);
    EXPECT_NE(Fleetsim(fleet, "cat VNODE2 'C:\\Program Files\\Veritas\\cluster server\\conf\\"
                              "config\\main.cf'")
                  .output.find("\tClusterAddress = \"vclus\"\r\n"),
              std::string::npos);

    // --cluster is a Microsoft cluster of the machine alone.
    ASSERT_EQ(Fleetsim(fleet, "add SOLO --profile server --product 5.0 --cluster").code, 0);
    EXPECT_NE(Fleetsim(fleet, "reg SOLO " + product).output.find("IsCluster  REG_DWORD  1"),
              std::string::npos);
    EXPECT_EQ(Fleetsim(fleet, "reg SOLO 'HKLM\\Cluster\\Nodes\\1'").output,
              "NodeName  REG_SZ  SOLO\n");

    // A reset writes the same keys and file again, whatever was changed or removed since.
    std::string before = RegistryTree(fleet, "MSNODE1", "HKLM\\Cluster");
    ASSERT_EQ(Fleetsim(fleet, "reg-set MSNODE1 'HKLM\\Cluster\\Nodes\\1' NodeName REG_SZ X").code,
              0);
    ASSERT_EQ(Fleetsim(fleet, "reg-set MSNODE1 'HKLM\\Cluster\\Groups\\x' Name REG_SZ Y").code, 0);
    ASSERT_NE(RegistryTree(fleet, "MSNODE1", "HKLM\\Cluster"), before);
    std::string cf;
    ASSERT_EQ(fleetsim::MachineFilePath(fleet, "VNODE1",
                                        L"C:\\Program Files\\Veritas\\cluster server\\conf\\"
                                        L"config\\main.cf",
                                        cf),
              0u);
    ASSERT_EQ(unlink(cf.c_str()), 0);
    for (const char* machine : {"MSNODE1", "VNODE1"})
        ASSERT_EQ(Fleetsim(fleet, std::string("reset ") + machine).code, 0) << machine;
    EXPECT_EQ(RegistryTree(fleet, "MSNODE1", "HKLM\\Cluster"), before);
    EXPECT_EQ(Fleetsim(fleet, "cat " + mainCf).output, expected);
    EXPECT_NE(Fleetsim(fleet, "reg VNODE1 " + product)
                  .output.find("ThirdPartyClusterType  "
                               "REG_DWORD  1"),
              std::string::npos);
    Fleetsim(fleet, "stop");
}

TEST(FleetsimTool, BadClusterOptionsAreRefusedAndLeaveNothing)
{
    std::string fleet = testsupport::FleetRoot() + "/badcluster";
    ASSERT_EQ(Fleetsim(fleet, "create").code, 0);
    const std::pair<const char*, const char*> cases[] = {
        {"--cluster-kind sun", "unknown cluster kind 'sun' (microsoft or veritas)"},
        {"--cluster-nodes A,B", "cluster options need --cluster-kind"},
        {"--virtual-servers EVS1", "cluster options need --cluster-kind"},
        {"--cluster-kind microsoft --cluster-nodes A,,B", "'' is not a node name"},
        {"--cluster-kind microsoft --cluster-nodes ''", "'' is not a node name"},
        {"--cluster-kind veritas --cluster-nodes 'A B'", "'A B' is not a node name"},
        {"--cluster-kind veritas --cluster-nodes A,../B", "'../B' is not a node name"},
        {"--cluster-kind veritas --cluster-nodes X1,x1", "node 'x1' is named twice"},
        {"--cluster-kind veritas --virtual-servers EVS1",
         "Exchange virtual servers need a Microsoft cluster"},
        {"--cluster-kind microsoft --cluster-remote 192.0.2.1",
         "a remote cluster address needs a Veritas cluster"},
        {"--cluster-kind veritas --cluster-remote 'a\"b'", "is not a host name or address"},
        {"--cluster-kind veritas --cluster-remote ''", "'' is not a host name or address"},
        {"--cluster --cluster-kind veritas", "--cluster is a Microsoft cluster"},
        {"--cluster-kind microsoft --virtual-servers x1", "virtual server 'x1' is named twice"},
        {"--cluster-kind microsoft --cluster-nodes N1,N2 --other-virtual-servers n2",
         "virtual server 'n2' is named twice or is the name of a node"},
        {"--cluster-kind microsoft --virtual-servers EVS1 --other-virtual-servers evs1",
         "virtual server 'evs1' is named twice"},
        {"--cluster-kind microsoft --virtual-servers FAR-TOO-LONG-A-NAME",
         "'FAR-TOO-LONG-A-NAME' is not a virtual server name"},
        {"--cluster-kind microsoft --cluster-nodes", "option --cluster-nodes needs a value"},
    };
    for (const auto& [options, message] : cases)
        ExpectRefused(fleet, std::string("add X1 --profile server ") + options, message);
    EXPECT_FALSE(Exists(fleet + "/machines/X1"));
    EXPECT_FALSE(Exists(fleet + "/profiles/X1"));
    EXPECT_EQ(testsupport::ReadHostFile(fleet + "/hosts"), "");

    // The library refuses what the tool would, with the same reason.
    fleetsim::SMachineProfile profile;
    ASSERT_EQ(fleetsim::ParseProfileName("server", profile), 0u);
    profile.name = "X1";
    profile.product.installed = profile.product.cluster = true;
    profile.cluster.kind = fleetsim::EClusterKind::Veritas;
    std::string reason;
    EXPECT_EQ(fleetsim::CheckCluster(profile, reason), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_NE(reason.find("no Veritas cluster"), std::string::npos) << reason;
    EXPECT_EQ(fleetsim::AddMachine(fleet, profile), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    profile.product.cluster = false;
    profile.cluster.otherVirtualServers = {L"EVS1"};
    EXPECT_EQ(fleetsim::AddMachine(fleet, profile), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Exists(fleet + "/machines/X1"));

    std::string help = Fleetsim(fleet, "--help").output;
    for (const char* option :
         {"--cluster-kind microsoft|veritas", "--cluster-nodes A,B", "--cluster-remote ADDRESS",
          "--virtual-servers EVS1,EVS2", "--other-virtual-servers EVS3"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

} // namespace
