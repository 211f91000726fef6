#include "fleetsim/Fleet.h"

#include "fleetsim/store/RegistryStore.h"
#include "framework/CStringSupport.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/posix/MachineSocket.h"
#include "winport/posix/PosixSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

using machine::CRegistryStore;

namespace fleetsim
{
namespace
{

std::string MachineFolder(const std::string& root, const std::string& name)
{
    std::string found = winport::fleet::FindMachineFolder(root, name);
    return found.empty() ? std::string() : root + "/machines/" + found;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The fleet's lock, held while machines and domains are added or reset: checking that a name is
// free and taking it must be one step, or racing tools create "X1" and "x1" both.
class CFleetLock
{
public:
    DWORD Acquire(const std::string& root)
    {
        DWORD rc = winport::posix::MakeDirectories(root);
        if (rc != ERROR_SUCCESS)
            return rc;
        m_Fd.emplace(open((root + "/fleet.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (m_Fd->Get() < 0)
            return winport::posix::ErrnoToWin32(errno);
        while (flock(m_Fd->Get(), LOCK_EX) != 0)
        {
            if (errno != EINTR)
                return winport::posix::ErrnoToWin32(errno);
        }
        return ERROR_SUCCESS;
    }

private:
    std::optional<winport::posix::CFd> m_Fd;
};

// Stops the machine's server and takes the machine's own lock, so that no server starts on it
// while the lock is held (a client that needs the machine meanwhile starts one, which sees the
// lock and ends).
DWORD HoldMachine(const std::string& root, const std::string& folderName,
                  std::optional<winport::posix::CFd>& lock)
{
    std::string runtime = root + "/machines/" + folderName + "/runtime";
    mkdir(runtime.c_str(), 0755);
    for (int attempt = 0; attempt < 10; ++attempt)
    {
        DWORD rc = winport::fleet::StopMachineServer(root, folderName);
        if (rc != ERROR_SUCCESS)
            return rc;
        lock.emplace(
            open((runtime + "/machined.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (lock->Get() < 0)
            return winport::posix::ErrnoToWin32(errno);
        if (flock(lock->Get(), LOCK_EX | LOCK_NB) == 0)
        {
            // It names no server while the lock is ours.
            return ftruncate(lock->Get(), 0) == 0 ? ERROR_SUCCESS
                                                  : winport::posix::ErrnoToWin32(errno);
        }
        lock.reset(); // a client started a server again in between
    }
    return ERROR_TIMEOUT;
}

// Drops the hosts line of a machine, under the hosts file's lock as lines are added.
void RemoveHostsLine(const std::string& root, const std::string& name)
{
    winport::posix::CFd fd(open((root + "/hosts").c_str(), O_RDWR | O_CLOEXEC));
    if (fd.Get() < 0 || flock(fd.Get(), LOCK_EX) != 0)
        return;
    std::string content;
    if (!winport::posix::ReadRest(fd.Get(), content))
        return;
    std::string kept;
    std::istringstream in(content);
    std::string text;
    while (std::getline(in, text))
    {
        std::string first = text.substr(0, text.find_first_of(" \t"));
        if (strcasecmp(first.c_str(), name.c_str()) != 0)
            kept += text + "\n";
    }
    if (kept.size() != content.size() && ftruncate(fd.Get(), 0) == 0 &&
        lseek(fd.Get(), 0, SEEK_SET) == 0)
        winport::posix::WriteAll(fd.Get(), kept.data(), kept.size());
}

// The bytes of an IPv4 or IPv6 address (without its zone), empty for a name.
std::string AddressBytes(const std::string& text)
{
    unsigned char bytes[16];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
        return std::string(reinterpret_cast<char*>(bytes), 4);
    std::string address = text.substr(0, text.find('%'));
    if (inet_pton(AF_INET6, address.c_str(), bytes) == 1)
        return std::string(reinterpret_cast<char*>(bytes), 16);
    return {};
}

bool SameHostName(const std::string& a, const std::string& b)
{
    if (strcasecmp(a.c_str(), b.c_str()) == 0)
        return true;
    std::string address = AddressBytes(a);
    return !address.empty() && address == AddressBytes(b);
}

// The Exchange and product layers, on top of the Windows server.
// A service of the simulated server, run by the stub service program under its own name.
struct SServiceEntry
{
    const wchar_t* name;
    const wchar_t* displayName;
    const wchar_t* dependencies; // items separated by '/'
};

void RegisterService(machine::CRegistryWriter& w, const SServiceEntry& service,
                     const SMachineProfile& profile)
{
    std::wstring key = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + service.name;
    std::wstring loads;
    for (const auto& [name, module] : profile.serviceModules)
        if (winport::fleet::NamesEqual(name, service.name))
            loads += L" --load \"" + module + L"\"";
    w.Dword(key, L"Type", 0x10);      // SERVICE_WIN32_OWN_PROCESS
    w.Dword(key, L"Start", 2);        // SERVICE_AUTO_START
    w.Dword(key, L"ErrorControl", 1); // SERVICE_ERROR_NORMAL
    w.String(key, L"ImagePath",
             std::wstring(L"%SystemRoot%\\System32\\servicestub.exe --name ") + service.name +
                 loads,
             REG_EXPAND_SZ);
    w.String(key, L"DisplayName", service.displayName);
    w.String(key, L"ObjectName", L"LocalSystem");
    if (*service.dependencies != L'\0')
    {
        std::wstring multi = service.dependencies;
        std::replace(multi.begin(), multi.end(), L'/', L'\0');
        w.String(key, L"DependOnService", multi + L'\0', REG_MULTI_SZ);
    }
}

// The services of a profile: IIS and Exchange by version and roles, and the product's.
std::vector<SServiceEntry> ProfileServices(const SMachineProfile& profile)
{
    std::vector<SServiceEntry> services;
    if (profile.exchange != EExchange::None)
    {
        services.push_back({L"IISADMIN", L"IIS Admin Service", L""});
        services.push_back({L"W3SVC", L"World Wide Web Publishing Service", L"IISADMIN"});
        services.push_back({L"MSExchangeSA", L"Microsoft Exchange System Attendant", L""});
    }
    bool mailbox = profile.exchange == EExchange::Exchange2003 || (profile.roles & kRoleMailbox);
    if (profile.exchange == EExchange::Exchange2003)
        services.push_back({L"SMTPSVC", L"Simple Mail Transfer Protocol (SMTP)", L"IISADMIN"});
    if (profile.exchange != EExchange::None && mailbox)
        services.push_back(
            {L"MSExchangeIS", L"Microsoft Exchange Information Store", L"MSExchangeSA"});
    if (profile.exchange != EExchange::None && profile.exchange != EExchange::Exchange2003 &&
        (profile.roles & (kRoleHubTransport | kRoleEdgeTransport)))
        services.push_back({L"MSExchangeTransport", L"Microsoft Exchange Transport", L""});
    if (profile.product.installed)
    {
        services.push_back({L"Parvel_Master", L"Parvel Master Service", L""});
        services.push_back({L"Parvel_SystemWatcher", L"Parvel System Watcher", L"Parvel_Master"});
        services.push_back(
            {L"Parvel_RemoteConfig", L"Parvel Remote Configuration", L"Parvel_Master"});
        services.push_back({L"QVLT_Monitor", L"Parvel Quarantine Monitor", L"Parvel_Master"});
    }
    return services;
}

// Cluster keys are named by GUIDs (lower case, without braces); an object's GUID comes from
// its kind and name, so that every node of a cluster and every reset name it alike.
std::wstring ClusterId(const std::wstring& kind, const std::wstring& name)
{
    std::wstring text = kind + L":" + winport::fleet::FoldName(name);
    uint64_t hash[2] = {14695981039346656037ull, 1099511628211ull};
    for (int half = 0; half < 2; ++half)
    {
        for (wchar_t c : text)
            hash[half] = (hash[half] ^ static_cast<uint64_t>(c)) * 1099511628211ull;
        // Spread the last characters' difference over every digit.
        hash[half] = (hash[half] ^ (hash[half] >> 30)) * 0xbf58476d1ce4e5b9ull;
        hash[half] = (hash[half] ^ (hash[half] >> 27)) * 0x94d049bb133111ebull;
        hash[half] ^= hash[half] >> 31;
        text += L'#';
    }
    wchar_t id[40];
    _snwprintf(id, 40, L"%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(hash[0] >> 32),
               static_cast<unsigned>((hash[0] >> 16) & 0xFFFF),
               static_cast<unsigned>((hash[0] & 0x0FFF) | 0x4000),
               static_cast<unsigned>(((hash[1] >> 48) & 0x3FFF) | 0x8000),
               static_cast<unsigned long long>(hash[1] & 0xFFFFFFFFFFFFull));
    return id;
}

std::wstring MultiString(const std::vector<std::wstring>& items)
{
    std::wstring multi;
    for (const std::wstring& item : items)
        multi += item + L'\0';
    return multi + L'\0';
}

// The nodes of a cluster: those named, else the machine alone.
std::vector<std::wstring> ClusterNodes(const SMachineProfile& profile)
{
    if (!profile.cluster.nodes.empty())
        return profile.cluster.nodes;
    return {winport::FromUtf8(profile.name)};
}

// Windows' cluster database of a node: its nodes, and a group per Exchange virtual server with
// its network name and its System Attendant. OwnerNode names the node that holds a group now.
void WriteMicrosoftCluster(machine::CRegistryWriter& w, const SMachineProfile& profile)
{
    std::vector<std::wstring> nodes = ClusterNodes(profile);
    for (size_t i = 0; i < nodes.size(); ++i)
        w.String(L"Cluster\\Nodes\\" + std::to_wstring(i + 1), L"NodeName", nodes[i]);
    w.Key(L"Cluster\\Groups");
    w.Key(L"Cluster\\Resources");
    const std::wstring self = winport::FromUtf8(profile.name);
    std::wstring other;
    for (const std::wstring& node : nodes)
    {
        if (other.empty() && !winport::fleet::NamesEqual(node, self))
            other = node;
    }
    auto group = [&w](const std::wstring& name, const std::wstring& owner)
    {
        std::wstring groupId = ClusterId(L"group", name);
        std::wstring networkName = ClusterId(L"network name", name);
        std::wstring attendant = ClusterId(L"system attendant", name);
        std::wstring groupKey = L"Cluster\\Groups\\" + groupId;
        w.String(groupKey, L"Name", name);
        w.String(groupKey, L"Contains", MultiString({networkName, attendant}), REG_MULTI_SZ);
        w.String(groupKey, L"OwnerNode", owner);
        std::wstring resource = L"Cluster\\Resources\\" + networkName;
        w.String(resource, L"Name", L"Network Name (" + name + L")");
        w.String(resource, L"Type", L"Network Name");
        w.String(resource + L"\\Parameters", L"Name", name);
        resource = L"Cluster\\Resources\\" + attendant;
        w.String(resource, L"Name", L"Exchange System Attendant - (" + name + L")");
        w.String(resource, L"Type", L"Microsoft Exchange System Attendant");
        w.String(resource, L"DependsOn", MultiString({networkName}), REG_MULTI_SZ);
    };
    for (const std::wstring& name : profile.cluster.virtualServers)
        group(name, self);
    for (const std::wstring& name : profile.cluster.otherVirtualServers)
        group(name, other);
}

// The cluster server's configuration: its systems, and a remote cluster whose address is an
// alias of this cluster.
std::string VeritasConfiguration(const SMachineProfile& profile)
{
    std::wstring address = profile.cluster.remoteAddress;
    if (address.empty())
        address = winport::FromUtf8(profile.settings.aliases.empty() ? profile.name
                                                                     : profile.settings.aliases[0]);
    std::string text = "include \"types.cf\"\r\n\r\n"
                       "cluster LocalCluster (\r\n\t)\r\n\r\n"
                       "remotecluster RemoteCluster (\r\n\tClusterAddress = \"" +
                       winport::ToUtf8(address) + "\"\r\n\t)\r\n";
    for (const std::wstring& node : ClusterNodes(profile))
        text += "\r\nsystem " + winport::ToUtf8(node) + " (\r\n\t)\r\n";
    return text;
}

// A Windows folder of a machine folder as a Linux path, made when missing.
DWORD MakeMachineFolder(const std::string& folder, const std::wstring& path, std::string& hostPath)
{
    winport::fleet::SParsedPath parsed;
    DWORD rc = winport::fleet::ParseWindowsPath(path, L"C:\\", parsed);
    if (rc != ERROR_SUCCESS || parsed.kind != winport::fleet::SParsedPath::EKind::Drive)
        return ERROR_BAD_PATHNAME;
    rc = winport::fleet::MapOnMachine(folder, false, parsed.drive, parsed.components, hostPath);
    return rc == ERROR_SUCCESS ? winport::posix::MakeDirectories(hostPath) : rc;
}

DWORD WriteVeritasConfiguration(const std::string& folder, const SMachineProfile& profile)
{
    std::string config;
    DWORD rc = MakeMachineFolder(folder, std::wstring(kVeritasHome) + L"\\conf\\config", config);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::ofstream out(config + "/main.cf", std::ios::binary | std::ios::trunc);
    out << VeritasConfiguration(profile);
    out.close();
    return out ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

// The stand-in programs a server's services and scripts run, in its System32, copied from
// beside the machine server.
DWORD InstallServicePrograms(const std::string& folder)
{
    std::string program = winport::fleet::MachineServerProgram();
    for (const char* name : {"servicestub.exe", "sc.exe", "cmd.exe", "timeout.exe", "taskkill.exe"})
    {
        std::string source = program.substr(0, program.rfind('/') + 1) + name;
        std::string target = folder + "/drive/c/Windows/System32/" + name;
        std::error_code error;
        std::filesystem::copy_file(source, target,
                                   std::filesystem::copy_options::overwrite_existing, error);
        if (error)
            return winport::posix::ErrnoToWin32(error.value());
    }
    return ERROR_SUCCESS;
}

DWORD WriteApplications(const std::string& folder, const SMachineProfile& profile)
{
    CRegistryStore store;
    DWORD rc = store.Open(folder + "/registry.db");
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = store.Begin();
    if (rc != ERROR_SUCCESS)
        return rc;
    machine::CRegistryWriter w(store);
    static const std::pair<unsigned, const wchar_t*> kRoles[] = {
        {kRoleMailbox, L"MailboxRole"},
        {kRoleHubTransport, L"HubTransportRole"},
        {kRoleClientAccess, L"ClientAccessRole"},
        {kRoleUnifiedMessaging, L"UnifiedMessagingRole"},
        {kRoleEdgeTransport, L"EdgeTransportRole"},
    };
    switch (profile.exchange)
    {
    case EExchange::Exchange2003:
    {
        // Build numbers of the releases: 6944 RTM, 7226 SP1, 7638 SP2.
        const wchar_t* setup = L"SOFTWARE\\Microsoft\\Exchange\\Setup";
        DWORD servicePackBuild = profile.exchangeServicePack == 0   ? 0
                                 : profile.exchangeServicePack == 1 ? 7226
                                                                    : 7638;
        w.Dword(setup, L"NewestBuild", profile.exchangeServicePack == 0 ? 6944 : servicePackBuild);
        w.Dword(setup, L"ServicePackBuild", servicePackBuild);
        w.String(setup, L"Services", L"C:\\Program Files\\Exchsrvr");
        w.Dword(L"SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\VirusScan", L"Enabled", 0);
        w.Dword(L"SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\VirusScan", L"ReloadNow", 0);
        break;
    }
    case EExchange::Exchange2007:
    case EExchange::Exchange2010:
    {
        bool is2007 = profile.exchange == EExchange::Exchange2007;
        std::wstring base = is2007 ? L"SOFTWARE\\Microsoft\\Exchange\\v8.0"
                                   : L"SOFTWARE\\Microsoft\\ExchangeServer\\v14";
        std::wstring setup = is2007 ? L"SOFTWARE\\Microsoft\\Exchange\\Setup"
                                    : L"SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup";
        w.Dword(setup, L"MsiProductMajor", is2007 ? 8 : 14);
        w.Dword(setup, L"MsiProductMinor", static_cast<DWORD>(profile.exchangeServicePack));
        w.String(setup, L"MsiInstallPath",
                 is2007 ? L"C:\\Program Files\\Microsoft\\Exchange Server\\"
                        : L"C:\\Program Files\\Microsoft\\Exchange Server\\V14\\");
        for (const auto& [bit, name] : kRoles)
        {
            if (profile.roles & bit)
                w.String(base + L"\\" + name, L"ConfiguredVersion",
                         is2007 ? L"8.0.685.24" : L"14.0.639.21");
        }
        if (is2007 && (profile.roles & kRoleMailbox))
        {
            w.Dword(L"SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\VirusScan", L"Enabled", 0);
            w.Dword(L"SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\VirusScan", L"ReloadNow",
                    0);
        }
        break;
    }
    case EExchange::None:
        break;
    }
    std::vector<SServiceEntry> services = ProfileServices(profile);
    for (const SServiceEntry& service : services)
        RegisterService(w, service, profile);
    const EClusterKind cluster = ClusterKindOf(profile);
    if (cluster == EClusterKind::Microsoft)
        WriteMicrosoftCluster(w, profile);
    else if (cluster == EClusterKind::Veritas)
        w.String(L"SOFTWARE\\VERITAS\\VCS\\Base", L"HOMEDIRECTORY", kVeritasHome);
    if (profile.exchange != EExchange::None)
        w.String(L"SOFTWARE\\Clients\\Mail\\ExchangeMAPI", L"DLLPath",
                 L"C:\\Windows\\system32\\mapi32.dll");
    if (profile.product.installed)
    {
        const std::wstring key = L"SOFTWARE\\Halvorn\\Parvel for Exchange\\CurrentVersion";
        w.String(key, L"HomeDir", profile.product.homeDir);
        w.String(key, L"Version", profile.product.version);
        w.String(key, L"Build", std::to_wstring(profile.product.build));
        if (!profile.product.patchBuild.empty())
            w.String(key, L"PatchBuild", profile.product.patchBuild);
        if (!profile.product.servicePack.empty())
            w.String(key, L"ServicePack", profile.product.servicePack);
        w.Dword(key, L"IsCluster", cluster == EClusterKind::Microsoft ? 1 : 0);
        w.Dword(key, L"ThirdPartyClusterType", cluster == EClusterKind::Veritas ? 1 : 0);
        w.String(key, L"SP2SetupWarning", L"");
        for (const std::wstring& hotfix : profile.product.hotfixes)
            w.Dword(L"SOFTWARE\\Halvorn\\Parvel for Exchange\\Hotfix\\" + hotfix, L"Installed", 1);
    }
    if (w.Status() != ERROR_SUCCESS)
        return w.Status();
    rc = store.Commit();
    if (rc == ERROR_SUCCESS && profile.settings.profile != machine::EMachineProfile::Workstation)
        rc = InstallServicePrograms(folder);
    if (rc == ERROR_SUCCESS && cluster == EClusterKind::Veritas)
        rc = WriteVeritasConfiguration(folder, profile);
    if (rc != ERROR_SUCCESS || !profile.product.installed)
        return rc;
    // The product's home folder, where its files live.
    std::string home;
    rc = MakeMachineFolder(folder, profile.product.homeDir, home);
    if (rc != ERROR_SUCCESS || profile.product.files.empty())
        return rc;
    // The product's files, with their read-only flags (the permissions travel with them).
    std::error_code error;
    std::filesystem::copy(profile.product.files, home,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing,
                          error);
    return error ? winport::posix::ErrnoToWin32(error.value()) : ERROR_SUCCESS;
}

// The profile record: what AddMachine was given, less any password.
std::string ProfileRecord(const SMachineProfile& p)
{
    std::ostringstream out;
    auto line = [&out](const char* key, const std::wstring& value)
    { out << key << '=' << winport::ToUtf8(value) << '\n'; };
    out << "profile=" << p.profile << '\n';
    line("architecture", p.settings.architecture);
    line("os", p.settings.osVersion);
    line("servicepack", p.settings.servicePack);
    line("domain", p.settings.domain);
    line("dnsdomain", p.settings.dnsDomain);
    for (const std::string& alias : p.settings.aliases)
        out << "alias=" << alias << '\n';
    out << "exchangesp=" << p.exchangeServicePack << '\n' << "roles=" << p.roles << '\n';
    out << "product=" << (p.product.installed ? 1 : 0) << '\n';
    line("productversion", p.product.version);
    out << "productbuild=" << p.product.build << '\n';
    line("patchbuild", p.product.patchBuild);
    line("productsp", p.product.servicePack);
    line("homedir", p.product.homeDir);
    for (const std::wstring& hotfix : p.product.hotfixes)
        line("hotfix", hotfix);
    out << "cluster=" << (p.product.cluster ? 1 : 0) << '\n';
    out << "productfiles=" << p.product.files << '\n';
    static const char* const kKinds[] = {"none", "microsoft", "veritas"};
    out << "clusterkind=" << kKinds[static_cast<int>(p.cluster.kind)] << '\n';
    for (const std::wstring& node : p.cluster.nodes)
        line("clusternode", node);
    line("clusterremote", p.cluster.remoteAddress);
    for (const std::wstring& name : p.cluster.virtualServers)
        line("virtualserver", name);
    for (const std::wstring& name : p.cluster.otherVirtualServers)
        line("othervirtualserver", name);
    for (const auto& [service, module] : p.serviceModules)
        out << "serviceload=" << winport::ToUtf8(service) << '=' << winport::ToUtf8(module) << '\n';
    return out.str();
}

DWORD ReadProfileRecord(const std::string& path, SMachineProfile& p)
{
    std::ifstream in(path);
    if (!in)
        return ERROR_FILE_NOT_FOUND;
    std::string text;
    bool known = false;
    while (std::getline(in, text))
    {
        size_t at = text.find('=');
        if (at == std::string::npos)
            continue;
        std::string key = text.substr(0, at);
        std::string value = text.substr(at + 1);
        std::wstring wide = winport::FromUtf8(value);
        if (key == "profile")
            known = ParseProfileName(value, p) == ERROR_SUCCESS;
        else if (key == "architecture")
            p.settings.architecture = wide;
        else if (key == "os")
            p.settings.osVersion = wide;
        else if (key == "servicepack")
            p.settings.servicePack = wide;
        else if (key == "domain")
            p.settings.domain = wide;
        else if (key == "dnsdomain")
            p.settings.dnsDomain = wide;
        else if (key == "alias")
            p.settings.aliases.push_back(value);
        else if (key == "exchangesp")
            p.exchangeServicePack = atoi(value.c_str());
        else if (key == "roles")
            p.roles = static_cast<unsigned>(atoi(value.c_str()));
        else if (key == "product")
            p.product.installed = value == "1";
        else if (key == "productversion")
            p.product.version = wide;
        else if (key == "productbuild")
            p.product.build = atoi(value.c_str());
        else if (key == "patchbuild")
            p.product.patchBuild = wide;
        else if (key == "productsp")
            p.product.servicePack = wide;
        else if (key == "homedir")
            p.product.homeDir = wide;
        else if (key == "hotfix")
            p.product.hotfixes.push_back(wide);
        else if (key == "cluster")
            p.product.cluster = value == "1";
        else if (key == "productfiles")
            p.product.files = value;
        else if (key == "clusterkind")
            p.cluster.kind = value == "microsoft" ? EClusterKind::Microsoft
                             : value == "veritas" ? EClusterKind::Veritas
                                                  : EClusterKind::None;
        else if (key == "clusternode")
            p.cluster.nodes.push_back(wide);
        else if (key == "clusterremote")
            p.cluster.remoteAddress = wide;
        else if (key == "virtualserver")
            p.cluster.virtualServers.push_back(wide);
        else if (key == "othervirtualserver")
            p.cluster.otherVirtualServers.push_back(wide);
        else if (key == "serviceload" && value.find('=') != std::string::npos)
            p.serviceModules.emplace_back(winport::FromUtf8(value.substr(0, value.find('='))),
                                          winport::FromUtf8(value.substr(value.find('=') + 1)));
    }
    return known ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

bool ServerAnswers(const std::string& folder)
{
    int fd = winport::posix::ConnectMachineSocket(folder);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

} // namespace

const wchar_t* const kVeritasHome = L"C:\\Program Files\\Veritas\\cluster server";

EClusterKind ClusterKindOf(const SMachineProfile& profile)
{
    if (profile.cluster.kind == EClusterKind::None && profile.product.cluster)
        return EClusterKind::Microsoft;
    return profile.cluster.kind;
}

DWORD CheckCluster(const SMachineProfile& profile, std::string& reason)
{
    const SCluster& c = profile.cluster;
    const EClusterKind kind = ClusterKindOf(profile);
    auto refuse = [&reason](const std::string& text)
    {
        reason = text;
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    };
    if (profile.product.cluster && c.kind == EClusterKind::Veritas)
        return refuse("a product installed on a Microsoft cluster is on no Veritas cluster");
    if (kind == EClusterKind::None && !c.nodes.empty())
        return refuse("cluster nodes need a cluster kind");
    if (kind != EClusterKind::Veritas && !c.remoteAddress.empty())
        return refuse("a remote cluster address needs a Veritas cluster");
    if (kind != EClusterKind::Microsoft &&
        (!c.virtualServers.empty() || !c.otherVirtualServers.empty()))
        return refuse("Exchange virtual servers need a Microsoft cluster");
    // Every name once, in any letter case: nodes among themselves, virtual servers among
    // themselves and apart from the nodes and the machine.
    std::vector<std::wstring> seen;
    auto unique = [&seen](const std::wstring& name)
    {
        for (const std::wstring& other : seen)
        {
            if (winport::fleet::NamesEqual(other, name))
                return false;
        }
        seen.push_back(name);
        return true;
    };
    for (const std::wstring& node : c.nodes)
    {
        std::string text = winport::ToUtf8(node);
        if (!IsNetBiosName(text))
            return refuse("'" + text +
                          "' is not a node name (letters, digits, '-' and '_', at most 15)");
        if (!unique(node))
            return refuse("node '" + text + "' is named twice");
    }
    seen = ClusterNodes(profile);
    seen.push_back(winport::FromUtf8(profile.name));
    for (const auto* list : {&c.virtualServers, &c.otherVirtualServers})
    {
        for (const std::wstring& name : *list)
        {
            std::string text = winport::ToUtf8(name);
            if (!IsNetBiosName(text))
                return refuse("'" + text +
                              "' is not a virtual server name (letters, digits, "
                              "'-' and '_', at most 15)");
            if (!unique(name))
                return refuse("virtual server '" + text +
                              "' is named twice or is the name of a node");
        }
    }
    if (!c.remoteAddress.empty())
    {
        std::string folder, text = winport::ToUtf8(c.remoteAddress);
        std::vector<std::string> names;
        if (!winport::fleet::ParseHostsLine("X " + text, folder, names) || names.size() != 1)
            return refuse("'" + text + "' is not a host name or address");
    }
    return ERROR_SUCCESS;
}

std::string ErrorText(DWORD code)
{
    std::string text = winport::ToUtf8(CStringSupport::ConvertWin32ErrorCodeToString(code));
    return text.empty() ? "error " + std::to_string(code) : text;
}

bool FleetExists(const std::string& root)
{
    struct stat st;
    return Exists(root + "/hosts") ||
           (stat((root + "/machines").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

bool IsNetBiosName(const std::string& name)
{
    return winport::fleet::IsValidMachineName(name) && name.size() <= 15;
}

std::string FindDomain(const std::string& root, const std::string& name)
{
    if (!IsNetBiosName(name))
        return {};
    DIR* dir = opendir((root + "/domains").c_str());
    if (dir == nullptr)
        return {};
    std::string found;
    while (dirent* entry = readdir(dir))
    {
        if (strcasecmp(entry->d_name, name.c_str()) == 0 &&
            Exists(root + "/domains/" + entry->d_name + "/accounts.db"))
        {
            found = entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

std::string MachineAnswering(const std::string& root, const std::string& name)
{
    std::ifstream in(root + "/hosts");
    std::string text, folder;
    std::vector<std::string> names;
    while (std::getline(in, text))
    {
        if (!winport::fleet::ParseHostsLine(text, folder, names))
            continue;
        if (SameHostName(folder, name))
            return folder;
        for (const std::string& other : names)
        {
            if (SameHostName(other, name))
                return folder;
        }
    }
    return {};
}

DWORD CreateFleet(const std::string& root)
{
    for (const char* sub : {"/machines", "/domains", "/profiles"})
    {
        DWORD rc = winport::posix::MakeDirectories(root + sub);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    std::string hosts = root + "/hosts";
    std::ofstream touch(hosts, std::ios::app);
    return touch ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD CreateDomain(const std::string& root, const SDomain& domain)
{
    std::string name = winport::ToUtf8(domain.name);
    if (!IsNetBiosName(name))
        return ERROR_INVALID_NAME;
    CFleetLock lock;
    DWORD rc = lock.Acquire(root);
    if (rc != ERROR_SUCCESS)
        return rc;
    // Domain names compare without regard to case, as Windows compares them.
    DIR* dir = opendir((root + "/domains").c_str());
    bool taken = false;
    while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr)
        taken = taken || strcasecmp(entry->d_name, name.c_str()) == 0;
    if (dir != nullptr)
        closedir(dir);
    if (taken)
        return ERROR_ALREADY_EXISTS;
    std::string folder = root + "/domains/" + name;
    rc = winport::posix::MakeDirectories(folder);
    if (rc != ERROR_SUCCESS)
        return rc;
    CRegistryStore store;
    rc = store.Open(folder + "/accounts.db");
    if (rc == ERROR_SUCCESS)
        rc = store.Begin();
    if (rc == ERROR_SUCCESS)
    {
        machine::CRegistryWriter w(store);
        w.String(L"Domain", L"DnsName", domain.dnsName);
        w.String(L"Domain", L"ControllerName",
                 domain.controller.empty() ? domain.name + L"-DC" : domain.controller);
        w.Check(store.AddGroup(L"Domain Admins"));
        w.Check(store.AddGroup(L"Domain Users"));
        w.Check(store.AddAccount(domain.adminUser, domain.adminPassword));
        w.Check(store.AddGroupMember(L"Domain Admins", domain.adminUser));
        w.Check(store.AddGroupMember(L"Domain Users", domain.adminUser));
        for (const auto& [user, password] : domain.users)
        {
            w.Check(store.AddAccount(user, password));
            w.Check(store.AddGroupMember(L"Domain Users", user));
        }
        rc = w.Status() == ERROR_SUCCESS ? store.Commit() : w.Status();
    }
    store.Close();
    if (rc != ERROR_SUCCESS)
        winport::posix::RemoveTree(folder);
    return rc;
}

DWORD ParseProfileName(const std::string& text, SMachineProfile& profile)
{
    profile.profile = text;
    auto& s = profile.settings;
    if (text == "workstation")
    {
        s.profile = machine::EMachineProfile::Workstation;
        s.architecture = L"x86";
        s.osVersion = L"5.1";
        return ERROR_SUCCESS;
    }
    s.profile = machine::EMachineProfile::Server;
    if (text == "server")
    {
        s.architecture = L"AMD64";
        s.osVersion = L"5.2";
        profile.exchange = EExchange::None;
    }
    else if (text == "exchange2003")
    {
        s.architecture = L"x86";
        s.osVersion = L"5.2";
        profile.exchange = EExchange::Exchange2003;
    }
    else if (text == "exchange2007")
    {
        s.architecture = L"AMD64";
        s.osVersion = L"5.2";
        profile.exchange = EExchange::Exchange2007;
    }
    else if (text == "exchange2010")
    {
        s.architecture = L"AMD64";
        s.osVersion = L"6.1";
        profile.exchange = EExchange::Exchange2010;
    }
    else
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

DWORD AddMachine(const std::string& root, const SMachineProfile& profile)
{
    if (profile.exchange != EExchange::None && profile.roles == 0 &&
        profile.exchange != EExchange::Exchange2003)
        return ERROR_INVALID_PARAMETER; // Exchange 2007 and 2010 have at least one role
    if (profile.exchange == EExchange::Exchange2003 && profile.roles != 0)
        return ERROR_INVALID_PARAMETER;
    if (!IsNetBiosName(profile.name))
        return ERROR_INVALID_COMPUTERNAME;
    std::string reason;
    if (CheckCluster(profile, reason) != ERROR_SUCCESS)
        return ERROR_INVALID_PARAMETER;
    std::string domainName = winport::ToUtf8(profile.settings.domain);
    if (!domainName.empty() && !IsNetBiosName(domainName))
        return ERROR_INVALID_NAME;
    if (!domainName.empty() && FindDomain(root, domainName).empty())
        return ERROR_NO_SUCH_DOMAIN;
    CFleetLock lock;
    DWORD rc = lock.Acquire(root);
    if (rc != ERROR_SUCCESS)
        return rc;
    // Every name the machine answers to must be its own alone, in any letter case.
    if (!winport::fleet::FindMachineFolder(root, profile.name).empty())
        return ERROR_ALREADY_EXISTS;
    machine::SMachineSettings settings = profile.settings;
    for (const std::wstring& name : profile.cluster.virtualServers)
    {
        bool named = false;
        for (const std::string& alias : settings.aliases)
            named = named || winport::fleet::NamesEqual(winport::FromUtf8(alias), name);
        if (!named)
            settings.aliases.push_back(winport::ToUtf8(name));
    }
    for (const std::string& name : settings.aliases)
    {
        if (winport::fleet::IsLoopbackName(winport::FromUtf8(name)))
            return ERROR_INVALID_PARAMETER; // always the caller's own machine
        if (!MachineAnswering(root, name).empty())
            return ERROR_ALREADY_EXISTS;
    }
    std::string stale = MachineAnswering(root, profile.name);
    if (!stale.empty() && strcasecmp(stale.c_str(), profile.name.c_str()) != 0)
        return ERROR_ALREADY_EXISTS;
    rc = CreateFleet(root);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!domainName.empty())
    {
        domainName = FindDomain(root, domainName);
        if (domainName.empty())
            return ERROR_NO_SUCH_DOMAIN;
        settings.domain = winport::FromUtf8(domainName); // as the domain spells itself
    }
    if (!settings.domain.empty() && settings.dnsDomain.empty())
    {
        // A member takes its domain's DNS name.
        CRegistryStore domain;
        int64_t key;
        DWORD type;
        std::string data;
        if (domain.Open(root + "/domains/" + domainName + "/accounts.db") == ERROR_SUCCESS &&
            domain.OpenKey(machine::kKeyLocalMachine, L"Domain", key) == ERROR_SUCCESS &&
            domain.QueryValue(key, L"DnsName", type, data) == ERROR_SUCCESS)
            settings.dnsDomain = winport::fleet::FromStoredString(data).c_str();
    }
    rc = machine::CreateMachine(root, profile.name, settings);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::string folder = MachineFolder(root, profile.name);
    rc = WriteApplications(folder, profile);
    if (rc == ERROR_SUCCESS)
    {
        // The record names the domain as it was joined, so that a reset joins it alike.
        SMachineProfile recorded = profile;
        recorded.settings.domain = settings.domain;
        recorded.settings.dnsDomain = settings.dnsDomain;
        std::ofstream record(root + "/profiles/" + profile.name, std::ios::trunc);
        record << ProfileRecord(recorded);
        if (!record)
            rc = ERROR_WRITE_FAULT;
    }
    if (rc != ERROR_SUCCESS)
    {
        // Nothing half-made stays: the folder goes, and its hosts line with it.
        winport::posix::RemoveTree(folder);
        RemoveHostsLine(root, profile.name);
        unlink((root + "/profiles/" + profile.name).c_str());
    }
    return rc;
}

DWORD ResetMachine(const std::string& root, const std::string& name)
{
    CFleetLock fleetLock;
    DWORD rc = fleetLock.Acquire(root);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::string folder = MachineFolder(root, name);
    if (folder.empty())
        return ERROR_BAD_NETPATH;
    std::string actual = folder.substr(folder.rfind('/') + 1);
    SMachineProfile profile;
    rc = ReadProfileRecord(root + "/profiles/" + actual, profile);
    if (rc != ERROR_SUCCESS)
        return rc;
    profile.name = actual;
    // No server may outlive the old machine: it would go on serving (and acknowledging writes
    // to) a registry that is thrown away, beside the new machine's own server.
    std::optional<winport::posix::CFd> oldLock, newLock;
    rc = HoldMachine(root, actual, oldLock);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::string aside = root + "/machines/." + actual + ".old." + std::to_string(getpid());
    if (rename(folder.c_str(), aside.c_str()) != 0)
        return winport::posix::ErrnoToWin32(errno);
    // The hosts line stays; the machine is made again and gets its old accounts back.
    profile.settings.administratorPassword = winport::FromUtf8(std::to_string(getpid()) + "-reset");
    rc = machine::CreateMachine(root, actual, profile.settings);
    if (rc == ERROR_SUCCESS)
        rc = HoldMachine(root, actual, newLock); // until its accounts are back
    if (rc == ERROR_SUCCESS)
        rc = WriteApplications(folder, profile);
    if (rc == ERROR_SUCCESS)
    {
        sqlite3* db = nullptr;
        std::string sql = "ATTACH DATABASE '" + aside +
                          "/registry.db' AS old; BEGIN;"
                          "DELETE FROM accounts; DELETE FROM groups; DELETE FROM members;"
                          "INSERT INTO accounts SELECT * FROM old.accounts;"
                          "INSERT INTO groups SELECT * FROM old.groups;"
                          "INSERT INTO members SELECT * FROM old.members; COMMIT;";
        if (aside.find('\'') != std::string::npos ||
            sqlite3_open((folder + "/registry.db").c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            rc = ERROR_REGISTRY_IO_FAILED;
        sqlite3_close(db);
    }
    if (rc != ERROR_SUCCESS)
    {
        winport::posix::RemoveTree(folder);
        rename(aside.c_str(), folder.c_str());
        return rc;
    }
    winport::posix::RemoveTree(aside);
    return ERROR_SUCCESS;
}

std::vector<SMachineSummary> ListMachines(const std::string& root)
{
    std::vector<SMachineSummary> machines;
    std::ifstream in(root + "/hosts");
    std::string text;
    while (std::getline(in, text))
    {
        SMachineSummary summary;
        if (!winport::fleet::ParseHostsLine(text, summary.name, summary.names))
            continue;
        std::string folder = MachineFolder(root, summary.name);
        if (folder.empty())
            continue;
        SMachineProfile profile;
        summary.profile =
            ReadProfileRecord(root + "/profiles/" + summary.name, profile) == ERROR_SUCCESS
                ? profile.profile
                : "workstation";
        summary.serverRunning = ServerAnswers(folder);
        machines.push_back(summary);
    }
    std::sort(machines.begin(), machines.end(),
              [](const SMachineSummary& a, const SMachineSummary& b) { return a.name < b.name; });
    return machines;
}

namespace
{
DWORD OpenMachineKey(CRegistryStore& store, const std::string& root, const std::string& machine,
                     const std::wstring& key, int64_t& id, bool create)
{
    std::string folder = MachineFolder(root, machine);
    if (folder.empty())
        return ERROR_BAD_NETPATH;
    DWORD rc = store.Open(folder + "/registry.db");
    if (rc != ERROR_SUCCESS)
        return rc;
    size_t slash = key.find(L'\\');
    std::wstring hive = key.substr(0, slash);
    std::wstring rest = slash == std::wstring::npos ? L"" : key.substr(slash + 1);
    int64_t base;
    if (winport::fleet::NamesEqual(hive, L"HKLM") ||
        winport::fleet::NamesEqual(hive, L"HKEY_LOCAL_MACHINE"))
        base = machine::kKeyLocalMachine;
    else if (winport::fleet::NamesEqual(hive, L"HKU") ||
             winport::fleet::NamesEqual(hive, L"HKEY_USERS"))
        base = machine::kKeyUsers;
    else
        return ERROR_INVALID_PARAMETER;
    bool created;
    return create ? store.CreateKey(base, rest, id, created) : store.OpenKey(base, rest, id);
}
} // namespace

DWORD ReadRegistry(const std::string& root, const std::string& machine, const std::wstring& key,
                   std::vector<std::wstring>& lines)
{
    CRegistryStore store;
    int64_t id;
    DWORD rc = OpenMachineKey(store, root, machine, key, id, false);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::wstring name;
    for (DWORD i = 0; store.EnumKey(id, i, name) == ERROR_SUCCESS; ++i)
        lines.push_back(L"[" + name + L"]");
    DWORD type;
    std::string data;
    for (DWORD i = 0; store.EnumValue(id, i, name, type, data) == ERROR_SUCCESS; ++i)
    {
        std::wstring shown;
        switch (type)
        {
        case REG_SZ:
        case REG_EXPAND_SZ:
            shown = winport::fleet::FromStoredString(data).c_str();
            break;
        case REG_MULTI_SZ:
        {
            std::wstring all = winport::fleet::FromStoredString(data);
            for (size_t pos = 0; pos < all.size() && all[pos] != L'\0';)
            {
                std::wstring item = all.c_str() + pos;
                shown += (shown.empty() ? L"" : L" | ") + item;
                pos += item.size() + 1;
            }
            break;
        }
        case REG_DWORD:
        {
            DWORD value = 0;
            memcpy(&value, data.data(), std::min<size_t>(4, data.size()));
            shown = winport::Format(L"%u (0x%08x)", value, value);
            break;
        }
        default:
            CStringSupport::BinaryToString(reinterpret_cast<const unsigned char*>(data.data()),
                                           static_cast<unsigned>(data.size()), shown);
        }
        static const std::map<DWORD, const wchar_t*> kTypes = {{REG_SZ, L"REG_SZ"},
                                                               {REG_EXPAND_SZ, L"REG_EXPAND_SZ"},
                                                               {REG_BINARY, L"REG_BINARY"},
                                                               {REG_DWORD, L"REG_DWORD"},
                                                               {REG_MULTI_SZ, L"REG_MULTI_SZ"},
                                                               {REG_QWORD, L"REG_QWORD"}};
        auto found = kTypes.find(type);
        lines.push_back((name.empty() ? L"(Default)" : name) + L"  " +
                        (found != kTypes.end() ? found->second : L"REG_NONE") + L"  " + shown);
    }
    return ERROR_SUCCESS;
}

DWORD WriteRegistry(const std::string& root, const std::string& machine, const std::wstring& key,
                    const std::wstring& name, const std::wstring& type, const std::wstring& data)
{
    DWORD kind;
    std::string bytes;
    if (type == L"REG_SZ" || type == L"REG_EXPAND_SZ")
    {
        kind = type == L"REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        bytes = winport::fleet::ToStoredString(data);
    }
    else if (type == L"REG_MULTI_SZ")
    {
        // Items separated by "|".
        kind = REG_MULTI_SZ;
        std::wstring items;
        for (const std::wstring& item : CStringSupport::StringToVector(data, L'|'))
            items += item + L'\0';
        bytes = winport::fleet::ToStoredString(items);
    }
    else if (type == L"REG_DWORD")
    {
        kind = REG_DWORD;
        wchar_t* end = nullptr;
        unsigned long long value = wcstoull(data.c_str(), &end, 0);
        if (data.empty() || end == nullptr || *end != L'\0' || value > 0xFFFFFFFFull)
            return ERROR_INVALID_DATA;
        DWORD v = static_cast<DWORD>(value);
        bytes.assign(reinterpret_cast<const char*>(&v), sizeof v);
    }
    else
        return ERROR_INVALID_DATATYPE;
    CRegistryStore store;
    int64_t id;
    DWORD rc = OpenMachineKey(store, root, machine, key, id, true);
    return rc == ERROR_SUCCESS ? store.SetValue(id, name, kind, bytes) : rc;
}

DWORD MachineFilePath(const std::string& root, const std::string& machine, const std::wstring& path,
                      std::string& hostPath)
{
    std::string folder = MachineFolder(root, machine);
    if (folder.empty())
        return ERROR_BAD_NETPATH;
    winport::fleet::SParsedPath parsed;
    DWORD rc = winport::fleet::ParseWindowsPath(path, L"C:\\", parsed);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (parsed.kind != winport::fleet::SParsedPath::EKind::Drive)
        return ERROR_BAD_PATHNAME;
    struct stat st;
    bool linuxDrive = lstat((folder + "/drive/z").c_str(), &st) == 0;
    return winport::fleet::MapOnMachine(folder, linuxDrive, parsed.drive, parsed.components,
                                        hostPath);
}

} // namespace fleetsim
