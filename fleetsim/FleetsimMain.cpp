// fleetsim: creates, inspects, resets and stops a simulated fleet of Windows machines.
#include "fleetsim/Fleet.h"
#include "fleetsim/OnMachine.h"

#include "winport/WinString.h"
#include "winport/posix/PosixSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace
{

const char* const kUsage = R"(usage: fleetsim [--fleet DIR] COMMAND [ARGUMENTS]

The fleet is DIR, else $FLEET_ROOT.

Commands:
  create                          create an empty fleet
  add-domain NAME [--dns DNSNAME] [--controller NAME] [--admin USER] [options]
                                  create a domain with its administrator (a Domain Admin)
      --password-file FILE        the administrator's password: the first line of FILE,
      --password-env NAME         the environment variable NAME,
      --password-prompt           asked on the terminal without echo,
      --password PW               or given here, where every process list shows it
                                  (default Passw0rd!)
      --user-file FILE            further accounts, one USER:PASSWORD a line (repeatable)
      --user USER:PW              a further account (repeatable; seen by every process list)
  add NAME --profile PROFILE [options]
                                  add a machine; PROFILE is workstation, server,
                                  exchange2003, exchange2007 or exchange2010
      --arch x86|AMD64            processor architecture (default of the profile)
      --os 5.1|5.2|6.0|6.1        Windows version (default of the profile)
      --os-sp TEXT                Windows service pack, e.g. "Service Pack 2"
      --domain NAME               join an existing domain of the fleet
      --alias NAME                a further name or address (repeatable)
      --admin-password-file FILE  the local Administrator's password: the first line of FILE,
      --admin-password-env NAME   the environment variable NAME,
      --admin-password-prompt     asked on the terminal without echo,
      --admin-password PW         or given here, where every process list shows it
                                  (default Passw0rd!)
      --exchange-sp N             Exchange service pack (0, 1, 2)
      --roles LIST                Exchange 2007/2010 roles: mbx,ht,ca,um,et
      --product VERSION           the product installed at VERSION (e.g. 5.0)
      --build N                   its build
      --patch-build N             its patch build
      --product-sp N              its service pack
      --home PATH                 its home folder
      --hotfix NAME               an installed hotfix key, e.g. "Service Pack 1" (repeatable)
      --cluster                   the product is installed as a cluster (a Microsoft one)
      --cluster-kind microsoft|veritas
                                  the machine is a cluster node (the product, when installed,
                                  is clustered alike)
      --cluster-nodes A,B         the cluster's nodes (default: this machine alone)
      --cluster-remote ADDRESS    Veritas: the remote cluster's address in main.cf (default:
                                  the first --alias, else the machine's name)
      --virtual-servers EVS1,EVS2 Microsoft: Exchange virtual servers online on this node
                                  (names of this machine too)
      --other-virtual-servers EVS3
                                  Microsoft: Exchange virtual servers of the cluster that
                                  another node holds
      --product-files DIR         a folder (of this host) copied into the product's home
      --service-load SVC=MODULE   the service SVC keeps MODULE (a Windows path) loaded while
                                  it runs (repeatable)
  list                            list the machines, their names and profiles
  reg MACHINE KEY                 show a registry key (sub-keys and values); KEY as HKLM\...
  reg-set MACHINE KEY NAME TYPE DATA
                                  set a value; TYPE is REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ
                                  (items separated by "|") or REG_DWORD
  files MACHINE PATH              list a folder of a machine (PATH as C:\...)
  cat MACHINE PATH                print a file of a machine
  reset MACHINE                   re-create a machine from its profile (accounts are kept)
  stop                            stop the fleet's running machine servers
  ps MACHINE [--modules]          list the processes of a machine (and the modules they map)
  services MACHINE                list the services of a machine and their states
  exec MACHINE COMMANDLINE        run a program on a machine (a Windows command line, one
                                  argument) and wait for it; its exit code is the tool's
  kill MACHINE PID                end a process of a machine
  --help                          this text
)";

int Fail(const std::string& message)
{
    fprintf(stderr, "fleetsim: %s\n", message.c_str());
    return 1;
}

int FailCode(const std::string& what, DWORD code)
{
    std::string text = fleetsim::ErrorText(code);
    std::string number = "error " + std::to_string(code);
    return Fail(what + ": " + (text == number ? text : text + " (" + number + ")"));
}

// Options after the positional arguments: "--name value" or a bare flag.
struct SArguments
{
    std::vector<std::string> positional;
    std::multimap<std::string, std::string> options;
    std::string Get(const std::string& name, const std::string& fallback = "") const
    {
        auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
    std::vector<std::string> All(const std::string& name) const
    {
        std::vector<std::string> values;
        auto range = options.equal_range(name);
        for (auto it = range.first; it != range.second; ++it)
            values.push_back(it->second);
        return values;
    }
    bool Has(const std::string& name) const { return options.count(name) > 0; }
};

bool ParseArguments(int argc, char** argv, int from, const std::vector<std::string>& flags,
                    const std::vector<std::string>& valued, SArguments& out, std::string& error)
{
    for (int i = from; i < argc; ++i)
    {
        std::string argument = argv[i];
        if (argument.rfind("--", 0) != 0)
        {
            out.positional.push_back(argument);
            continue;
        }
        std::string name = argument.substr(2);
        if (std::find(flags.begin(), flags.end(), name) != flags.end())
            out.options.emplace(name, "1");
        else if (std::find(valued.begin(), valued.end(), name) != valued.end())
        {
            if (i + 1 >= argc)
            {
                error = "option " + argument + " needs a value";
                return false;
            }
            out.options.emplace(name, argv[++i]);
        }
        else
        {
            error = "unknown option " + argument;
            return false;
        }
    }
    return true;
}

// The terminal's settings while a password is typed without echo, put back on an interrupt.
termios s_SavedTerminal;

void RestoreTerminal(int signal)
{
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &s_SavedTerminal);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

bool AskHidden(const std::string& prompt, std::string& answer)
{
    fputs(prompt.c_str(), stderr);
    fflush(stderr);
    if (tcgetattr(STDIN_FILENO, &s_SavedTerminal) != 0)
        return false;
    termios quiet = s_SavedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    struct sigaction restore = {}, previousInt = {}, previousTerm = {};
    restore.sa_handler = RestoreTerminal;
    sigaction(SIGINT, &restore, &previousInt);
    sigaction(SIGTERM, &restore, &previousTerm);
    bool read = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    answer.clear();
    char c;
    ssize_t n = 0;
    while (read && (n = ::read(STDIN_FILENO, &c, 1)) == 1 && c != '\n')
        answer += c;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &s_SavedTerminal);
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    fputs("\n", stderr);
    return read && n == 1;
}

// The first line of a file, without its line end.
bool ReadFirstLine(const std::string& path, std::string& line, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    struct stat st;
    if (!in || stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
    {
        error = "cannot read " + path;
        return false;
    }
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

// A password from the one source the options name (OPTION PW, OPTION-file FILE, OPTION-env
// NAME or OPTION-prompt); left as it is (the default) when they name none.
bool TakePassword(const SArguments& args, const std::string& option, const std::string& account,
                  std::wstring& password, std::string& error)
{
    int sources = args.Has(option) + args.Has(option + "-file") + args.Has(option + "-env") +
                  args.Has(option + "-prompt");
    if (sources == 0)
        return true;
    if (sources > 1)
    {
        error = "give the password of " + account + " one way only (--" + option + ", --" + option +
                "-file, --" + option + "-env or --" + option + "-prompt)";
        return false;
    }
    std::string text;
    if (args.Has(option))
        text = args.Get(option);
    else if (args.Has(option + "-file"))
    {
        std::string file = args.Get(option + "-file");
        if (!ReadFirstLine(file, text, error))
            return false;
        if (text.empty())
        {
            error = "no password in " + file;
            return false;
        }
    }
    else if (args.Has(option + "-env"))
    {
        std::string name = args.Get(option + "-env");
        const char* value = getenv(name.c_str());
        if (value == nullptr || *value == '\0')
        {
            error = "no password in the environment variable " + name;
            return false;
        }
        text = value;
    }
    else
    {
        std::string again;
        if (!isatty(STDIN_FILENO))
        {
            error = "--" + option + "-prompt needs a terminal on standard input";
            return false;
        }
        if (!AskHidden("Password of " + account + ": ", text) || !AskHidden("Again: ", again))
        {
            error = "no password was typed";
            return false;
        }
        if (text != again)
        {
            error = "the passwords typed differ";
            return false;
        }
    }
    password = winport::FromUtf8(text);
    std::fill(text.begin(), text.end(), '\0');
    return true;
}

bool ParseNumber(const std::string& text, int& value)
{
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v > 1000000)
        return false;
    value = static_cast<int>(v);
    return true;
}

int AddMachine(const std::string& root, const SArguments& args)
{
    if (args.positional.size() != 1)
        return Fail("add takes one machine name");
    fleetsim::SMachineProfile profile;
    profile.name = args.positional[0];
    if (!winport::fleet::IsValidMachineName(profile.name) || profile.name.size() > 15)
        return Fail("'" + profile.name +
                    "' is not a machine name (letters, digits, '-' and '_', at most 15)");
    std::string profileName = args.Get("profile");
    if (profileName.empty())
        return Fail("add needs --profile");
    if (fleetsim::ParseProfileName(profileName, profile) != ERROR_SUCCESS)
        return Fail("unknown profile '" + profileName + "'");
    auto& s = profile.settings;
    if (args.Has("arch"))
        s.architecture = winport::FromUtf8(args.Get("arch"));
    if (args.Has("os"))
    {
        std::string os = args.Get("os");
        if (os != "5.1" && os != "5.2" && os != "6.0" && os != "6.1")
            return Fail("unknown Windows version '" + os + "' (5.1, 5.2, 6.0 or 6.1)");
        s.osVersion = winport::FromUtf8(os);
    }
    s.servicePack = winport::FromUtf8(args.Get("os-sp"));
    std::string domain = args.Get("domain");
    if (args.Has("domain") && !fleetsim::IsNetBiosName(domain))
        return Fail("'" + domain +
                    "' is not a domain name (letters, digits, '-' and '_', at most 15)");
    s.domain = winport::FromUtf8(domain);
    s.aliases = args.All("alias");
    for (const std::string& alias : s.aliases)
    {
        if (winport::fleet::IsLoopbackName(winport::FromUtf8(alias)))
            return Fail("alias '" + alias + "' always names the caller's own machine");
    }
    std::string error;
    if (!TakePassword(args, "admin-password", profile.name + "\\Administrator",
                      s.administratorPassword, error))
        return Fail(error);
    if (args.Has("exchange-sp") &&
        !ParseNumber(args.Get("exchange-sp"), profile.exchangeServicePack))
        return Fail("--exchange-sp takes a number");
    if (args.Has("roles"))
    {
        static const std::map<std::string, unsigned> kRoles = {
            {"mbx", fleetsim::kRoleMailbox},
            {"ht", fleetsim::kRoleHubTransport},
            {"ca", fleetsim::kRoleClientAccess},
            {"um", fleetsim::kRoleUnifiedMessaging},
            {"et", fleetsim::kRoleEdgeTransport}};
        std::string list = args.Get("roles");
        size_t pos = 0;
        while (pos <= list.size())
        {
            size_t end = list.find(',', pos);
            std::string role =
                list.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            auto it = kRoles.find(role);
            if (it == kRoles.end())
                return Fail("unknown role '" + role + "' (mbx, ht, ca, um, et)");
            profile.roles |= it->second;
            if (end == std::string::npos)
                break;
            pos = end + 1;
        }
    }
    for (const std::string& load : args.All("service-load"))
    {
        size_t at = load.find('=');
        if (at == 0 || at == std::string::npos || at + 1 == load.size())
            return Fail("--service-load needs SERVICE=MODULE: " + load);
        profile.serviceModules.emplace_back(winport::FromUtf8(load.substr(0, at)),
                                            winport::FromUtf8(load.substr(at + 1)));
    }
    if (args.Has("cluster-kind"))
    {
        std::string kind = args.Get("cluster-kind");
        if (kind == "microsoft")
            profile.cluster.kind = fleetsim::EClusterKind::Microsoft;
        else if (kind == "veritas")
            profile.cluster.kind = fleetsim::EClusterKind::Veritas;
        else
            return Fail("unknown cluster kind '" + kind + "' (microsoft or veritas)");
    }
    if (args.Has("cluster"))
    {
        if (profile.cluster.kind == fleetsim::EClusterKind::Veritas)
            return Fail("--cluster is a Microsoft cluster, not --cluster-kind veritas");
        profile.cluster.kind = fleetsim::EClusterKind::Microsoft;
    }
    // "A,B" lists; an empty item stays, to be refused as no name.
    auto list = [&args](const std::string& option, std::vector<std::wstring>& items)
    {
        std::string text = args.Get(option);
        for (size_t pos = 0; args.Has(option) && pos <= text.size();)
        {
            size_t end = std::min(text.find(',', pos), text.size());
            items.push_back(winport::FromUtf8(text.substr(pos, end - pos)));
            pos = end + 1;
        }
    };
    list("cluster-nodes", profile.cluster.nodes);
    list("virtual-servers", profile.cluster.virtualServers);
    list("other-virtual-servers", profile.cluster.otherVirtualServers);
    if (args.Has("cluster-remote"))
    {
        profile.cluster.remoteAddress = winport::FromUtf8(args.Get("cluster-remote"));
        if (profile.cluster.remoteAddress.empty())
            return Fail("'' is not a host name or address");
    }
    if (profile.cluster.kind == fleetsim::EClusterKind::None &&
        (args.Has("cluster-nodes") || args.Has("cluster-remote") || args.Has("virtual-servers") ||
         args.Has("other-virtual-servers")))
        return Fail("cluster options need --cluster-kind microsoft|veritas");
    std::string reason;
    if (fleetsim::CheckCluster(profile, reason) != ERROR_SUCCESS)
        return Fail(reason);
    if (args.Has("product"))
    {
        profile.product.installed = true;
        profile.product.version = winport::FromUtf8(args.Get("product"));
        if (args.Has("build") && !ParseNumber(args.Get("build"), profile.product.build))
            return Fail("--build takes a number");
        int number;
        if (args.Has("patch-build") && !ParseNumber(args.Get("patch-build"), number))
            return Fail("--patch-build takes a number");
        profile.product.patchBuild = winport::FromUtf8(args.Get("patch-build"));
        profile.product.servicePack = winport::FromUtf8(args.Get("product-sp"));
        if (args.Has("home"))
            profile.product.homeDir = winport::FromUtf8(args.Get("home"));
        for (const std::string& hotfix : args.All("hotfix"))
            profile.product.hotfixes.push_back(winport::FromUtf8(hotfix));
        profile.product.cluster = args.Has("cluster");
        if (args.Has("product-files"))
        {
            std::error_code error;
            std::filesystem::path files =
                std::filesystem::absolute(args.Get("product-files"), error);
            if (error || !std::filesystem::is_directory(files))
                return Fail("--product-files: not a folder: " + args.Get("product-files"));
            profile.product.files = files.string();
        }
    }
    else if (args.Has("build") || args.Has("patch-build") || args.Has("product-sp") ||
             args.Has("hotfix") || args.Has("product-files"))
        return Fail("product options need --product VERSION");
    if (profile.exchange != fleetsim::EExchange::None &&
        profile.exchange != fleetsim::EExchange::Exchange2003 && profile.roles == 0)
        profile.roles =
            fleetsim::kRoleMailbox | fleetsim::kRoleHubTransport | fleetsim::kRoleClientAccess;
    if (profile.exchange == fleetsim::EExchange::Exchange2003 && args.Has("roles"))
        return Fail("Exchange 2003 has no roles");
    DWORD rc = fleetsim::AddMachine(root, profile);
    if (rc == ERROR_ALREADY_EXISTS)
    {
        std::string existing = winport::fleet::FindMachineFolder(root, profile.name);
        if (!existing.empty())
            return Fail("machine '" + profile.name + "' exists already" +
                        (existing != profile.name ? " (as '" + existing + "')" : ""));
        for (const std::string& name : s.aliases)
        {
            std::string owner = fleetsim::MachineAnswering(root, name);
            if (!owner.empty())
                return Fail("alias '" + name + "' is a name of machine '" + owner + "' already");
        }
        for (const std::wstring& name : profile.cluster.virtualServers)
        {
            std::string owner = fleetsim::MachineAnswering(root, winport::ToUtf8(name));
            if (!owner.empty())
                return Fail("virtual server '" + winport::ToUtf8(name) +
                            "' is a name of machine '" + owner + "' already");
        }
        std::string owner = fleetsim::MachineAnswering(root, profile.name);
        return Fail("'" + profile.name + "' is a name of machine '" +
                    (owner.empty() ? "?" : owner) + "' already");
    }
    if (rc == ERROR_NO_SUCH_DOMAIN)
        return Fail("domain '" + args.Get("domain") + "' is not in the fleet (add-domain first)");
    if (rc != ERROR_SUCCESS)
        return FailCode("cannot add machine '" + profile.name + "'", rc);
    printf("added %s (%s)\n", profile.name.c_str(), profile.profile.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (fleetsim::IsOnMachineRun(argc, argv))
        return fleetsim::RunOnMachineCommand(argc, argv);
    int first = 1;
    std::string root = getenv("FLEET_ROOT") != nullptr ? getenv("FLEET_ROOT") : "";
    if (argc > 2 && strcmp(argv[1], "--fleet") == 0)
    {
        root = argv[2];
        first = 3;
    }
    if (argc <= first || strcmp(argv[first], "--help") == 0 || strcmp(argv[first], "-h") == 0)
    {
        fputs(kUsage, argc <= first ? stderr : stdout);
        return argc <= first ? 2 : 0;
    }
    if (root.empty())
        return Fail("no fleet: give --fleet DIR or set FLEET_ROOT");
    std::string command = argv[first];
    SArguments args;
    std::string error;
    static const std::vector<std::string> kValued = {"dns",
                                                     "controller",
                                                     "admin",
                                                     "password",
                                                     "password-file",
                                                     "password-env",
                                                     "user",
                                                     "user-file",
                                                     "profile",
                                                     "arch",
                                                     "os",
                                                     "os-sp",
                                                     "domain",
                                                     "alias",
                                                     "admin-password",
                                                     "admin-password-file",
                                                     "admin-password-env",
                                                     "exchange-sp",
                                                     "roles",
                                                     "product",
                                                     "build",
                                                     "patch-build",
                                                     "product-sp",
                                                     "home",
                                                     "hotfix",
                                                     "product-files",
                                                     "service-load",
                                                     "cluster-kind",
                                                     "cluster-nodes",
                                                     "cluster-remote",
                                                     "virtual-servers",
                                                     "other-virtual-servers"};
    static const std::vector<std::string> kFlags = {"cluster", "password-prompt",
                                                    "admin-password-prompt", "modules"};
    if (!ParseArguments(argc, argv, first + 1, kFlags, kValued, args, error))
        return Fail(error);
    auto wide = [](const std::string& text) { return winport::FromUtf8(text); };

    if (command == "create")
    {
        DWORD rc = fleetsim::CreateFleet(root);
        return rc == ERROR_SUCCESS ? 0 : FailCode("cannot create the fleet at " + root, rc);
    }
    if (command == "add-domain")
    {
        if (args.positional.size() != 1)
            return Fail("add-domain takes one domain name");
        fleetsim::SDomain domain;
        domain.name = wide(args.positional[0]);
        domain.dnsName = wide(args.Get("dns", args.positional[0] + ".local"));
        domain.controller = wide(args.Get("controller"));
        domain.adminUser = wide(args.Get("admin", "Administrator"));
        if (!fleetsim::IsNetBiosName(args.positional[0]))
            return Fail("'" + args.positional[0] +
                        "' is not a domain name (letters, digits, '-' and '_', at most 15)");
        if (!TakePassword(args, "password",
                          args.positional[0] + "\\" + args.Get("admin", "Administrator"),
                          domain.adminPassword, error))
            return Fail(error);
        auto addUser = [&domain, &wide](const std::string& user)
        {
            size_t colon = user.find(':');
            if (colon == std::string::npos || colon == 0)
                return false;
            domain.users.emplace_back(wide(user.substr(0, colon)), wide(user.substr(colon + 1)));
            return true;
        };
        for (const std::string& user : args.All("user"))
        {
            if (!addUser(user))
                return Fail("--user takes USER:PASSWORD");
        }
        for (const std::string& file : args.All("user-file"))
        {
            std::ifstream in(file, std::ios::binary);
            struct stat st;
            if (!in || stat(file.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
                return Fail("cannot read " + file);
            std::string line;
            for (int number = 1; std::getline(in, line); ++number)
            {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (!line.empty() && !addUser(line))
                    return Fail("line " + std::to_string(number) + " of " + file +
                                " is not USER:PASSWORD");
            }
        }
        DWORD rc = fleetsim::CreateFleet(root);
        if (rc == ERROR_SUCCESS)
            rc = fleetsim::CreateDomain(root, domain);
        if (rc == ERROR_ALREADY_EXISTS)
        {
            std::string existing = fleetsim::FindDomain(root, args.positional[0]);
            return Fail("domain '" + args.positional[0] + "' exists already" +
                        (!existing.empty() && existing != args.positional[0]
                             ? " (as '" + existing + "')"
                             : ""));
        }
        return rc == ERROR_SUCCESS ? 0 : FailCode("cannot add the domain", rc);
    }
    if (command == "add")
        return AddMachine(root, args);
    static const std::vector<std::string> kOnFleet = {"list",     "reg",   "reg-set", "files",
                                                      "cat",      "reset", "stop",    "ps",
                                                      "services", "exec",  "kill"};
    if (std::find(kOnFleet.begin(), kOnFleet.end(), command) != kOnFleet.end() &&
        !fleetsim::FleetExists(root))
        return Fail("there is no fleet at " + root + " (fleetsim create makes one)");
    if (command == "list")
    {
        for (const fleetsim::SMachineSummary& machine : fleetsim::ListMachines(root))
        {
            std::string names;
            for (const std::string& name : machine.names)
                names += (names.empty() ? "" : ",") + name;
            printf("%-16s %-13s %-8s %s\n", machine.name.c_str(), machine.profile.c_str(),
                   machine.serverRunning ? "running" : "stopped", names.c_str());
        }
        return 0;
    }
    if (command == "reg" || command == "reg-set")
    {
        size_t expected = command == "reg" ? 2 : 5;
        if (args.positional.size() != expected)
            return Fail(command + " takes " + std::to_string(expected) + " arguments (see --help)");
        if (command == "reg")
        {
            std::vector<std::wstring> lines;
            DWORD rc =
                fleetsim::ReadRegistry(root, args.positional[0], wide(args.positional[1]), lines);
            if (rc != ERROR_SUCCESS)
                return FailCode("cannot read " + args.positional[1] + " of " + args.positional[0],
                                rc);
            for (const std::wstring& line : lines)
                printf("%s\n", winport::ToUtf8(line).c_str());
            return 0;
        }
        DWORD rc = fleetsim::WriteRegistry(root, args.positional[0], wide(args.positional[1]),
                                           wide(args.positional[2]), wide(args.positional[3]),
                                           wide(args.positional[4]));
        return rc == ERROR_SUCCESS ? 0 : FailCode("cannot set the value", rc);
    }
    if (command == "files" || command == "cat")
    {
        if (args.positional.size() != 2)
            return Fail(command + " takes a machine and a path");
        std::string host;
        DWORD rc =
            fleetsim::MachineFilePath(root, args.positional[0], wide(args.positional[1]), host);
        if (rc != ERROR_SUCCESS)
            return FailCode("cannot reach " + args.positional[1] + " on " + args.positional[0], rc);
        if (command == "cat")
        {
            winport::posix::CFd fd(open(host.c_str(), O_RDONLY | O_CLOEXEC));
            struct stat st;
            if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0)
                return Fail(args.positional[1] + " is not a readable file of " +
                            args.positional[0]);
            if (S_ISDIR(st.st_mode))
                return Fail(args.positional[1] + " is a folder of " + args.positional[0] +
                            ", not a file");
            char buffer[65536];
            ssize_t n;
            while ((n = read(fd.Get(), buffer, sizeof buffer)) > 0)
            {
                if (fwrite(buffer, 1, static_cast<size_t>(n), stdout) != static_cast<size_t>(n))
                    return Fail("cannot write " + args.positional[1] + " to standard output");
            }
            if (n < 0)
                return Fail("cannot read " + args.positional[1] + " of " + args.positional[0] +
                            ": " + strerror(errno));
            return fflush(stdout) == 0
                       ? 0
                       : Fail("cannot write " + args.positional[1] + " to standard output");
        }
        DIR* dir = opendir(host.c_str());
        if (dir == nullptr)
            return Fail(args.positional[1] + " is not a folder of " + args.positional[0]);
        std::vector<std::string> entries;
        while (dirent* entry = readdir(dir))
        {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
                continue;
            struct stat st;
            std::string path = host + "/" + entry->d_name;
            bool folder = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            entries.push_back(
                folder
                    ? std::string("<DIR>          ") + entry->d_name
                    : std::to_string(st.st_size) +
                          std::string(15 - std::min<size_t>(15, std::to_string(st.st_size).size()),
                                      ' ') +
                          entry->d_name);
        }
        closedir(dir);
        std::sort(entries.begin(), entries.end());
        for (const std::string& entry : entries)
            printf("%s\n", entry.c_str());
        return 0;
    }
    if (command == "reset")
    {
        if (args.positional.size() != 1)
            return Fail("reset takes one machine name");
        DWORD rc = fleetsim::ResetMachine(root, args.positional[0]);
        if (rc == ERROR_TIMEOUT)
            return Fail("cannot reset '" + args.positional[0] +
                        "': its machine server did not end (the machine is unchanged)");
        return rc == ERROR_SUCCESS ? 0 : FailCode("cannot reset '" + args.positional[0] + "'", rc);
    }
    if (command == "ps" || command == "services" || command == "exec" || command == "kill")
    {
        size_t expected = command == "ps" || command == "services" ? 1 : 2;
        if (args.positional.size() != expected)
            return Fail(command + " takes " + std::to_string(expected) + " arguments (see --help)");
        std::vector<std::string> forwarded = {command};
        forwarded.insert(forwarded.end(), args.positional.begin() + 1, args.positional.end());
        if (args.Has("modules"))
            forwarded.push_back("--modules");
        return fleetsim::RunOnMachine(root, args.positional[0], forwarded);
    }
    if (command == "stop")
    {
        printf("stopped %d machine servers\n", winport::fleet::StopMachineServers(root));
        return 0;
    }
    return Fail("unknown command '" + command + "' (see --help)");
}
