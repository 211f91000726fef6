// Building and inspecting simulated fleets: domains, machines from profiles, registry and
// files of a machine. Used by the fleetsim tool and by tests that build their own fleets.
#pragma once

#include "fleetsim/store/MachineCreation.h"
#include "winport/WinMachine.h"

#include <string>
#include <vector>

namespace fleetsim
{

struct SDomain
{
    std::wstring name;       // NetBIOS name, e.g. "CORP"
    std::wstring dnsName;    // e.g. "corp.example"
    std::wstring controller; // the domain controller's computer name
    std::wstring adminUser = L"Administrator";
    std::wstring adminPassword = L"Passw0rd!";
    std::vector<std::pair<std::wstring, std::wstring>> users; // further accounts (Domain Users)
};

enum class EExchange
{
    None,
    Exchange2003,
    Exchange2007,
    Exchange2010,
};

// Exchange 2007 and 2010 roles, as the role keys name them.
constexpr unsigned kRoleClientAccess = 1, kRoleUnifiedMessaging = 2, kRoleHubTransport = 4,
                   kRoleEdgeTransport = 8, kRoleMailbox = 16;

struct SProduct
{
    bool installed = false;
    std::wstring version = L"5.0";
    int build = 1000;
    std::wstring patchBuild;  // empty: not written
    std::wstring servicePack; // e.g. "1"; empty: not written
    std::wstring homeDir = L"C:\\Program Files\\Halvorn\\Parvel for Exchange";
    std::vector<std::wstring> hotfixes; // e.g. "Service Pack 1", written as installed
    bool cluster = false; // installed on a Microsoft cluster (as SCluster::kind Microsoft)
    std::string files;    // a host folder whose tree is copied into the home folder
};

enum class EClusterKind
{
    None,
    Microsoft, // Windows' own cluster service: HKLM\Cluster
    Veritas,   // VERITAS cluster server: its home folder and conf\config\main.cf
};

// The machine as a cluster node. The product on it, when installed, is clustered alike
// (IsCluster for Microsoft, ThirdPartyClusterType for Veritas).
struct SCluster
{
    EClusterKind kind = EClusterKind::None;
    std::vector<std::wstring> nodes; // the member nodes in order; empty: this machine alone
    std::wstring remoteAddress;      // Veritas: the remote cluster's address; empty: the machine's
                                     // first alias, else its name
    // Microsoft: Exchange virtual servers online on this node (they answer on it too), and
    // those of the cluster that another node holds.
    std::vector<std::wstring> virtualServers;
    std::vector<std::wstring> otherVirtualServers;
};

struct SMachineProfile
{
    std::string name;
    std::string profile = "server"; // workstation, server, exchange2003, exchange2007, exchange2010
    machine::SMachineSettings settings;
    EExchange exchange = EExchange::None;
    int exchangeServicePack = 0;
    unsigned roles = 0;
    SProduct product;
    SCluster cluster;
    // A service and a module (Windows path) that its program keeps loaded while it runs.
    std::vector<std::pair<std::wstring, std::wstring>> serviceModules;
};

// Creates an empty fleet (its hosts file and folders); an existing fleet is left as it is.
DWORD CreateFleet(const std::string& root);
bool FleetExists(const std::string& root);
// A NetBIOS-like name of a machine or domain: letters, digits, '-' and '_', at most 15.
bool IsNetBiosName(const std::string& name);
// Refuses a domain whose name exists already in any letter case (ERROR_ALREADY_EXISTS) or is
// not a NetBIOS-like name (ERROR_INVALID_NAME).
DWORD CreateDomain(const std::string& root, const SDomain& domain);
// The folder name of a domain of the fleet, found without regard to case; empty when none.
std::string FindDomain(const std::string& root, const std::string& name);
// The folder name of the machine whose hosts line holds a name or address (letter case and the
// spelling of an address do not matter); empty when none.
std::string MachineAnswering(const std::string& root, const std::string& name);
// Applies the profile's defaults (architecture, version) to what the caller left unset.
DWORD ParseProfileName(const std::string& text, SMachineProfile& profile);
// The cluster kind of a profile: its own, else Microsoft for a product installed as a cluster.
EClusterKind ClusterKindOf(const SMachineProfile& profile);
// Checks the cluster part of a profile: ERROR_SUCCESS, else ERROR_INVALID_PARAMETER with the
// reason in one line.
DWORD CheckCluster(const SMachineProfile& profile, std::string& reason);
// The Veritas home folder of a cluster node, with its configuration in conf\config\main.cf.
extern const wchar_t* const kVeritasHome;
// Creates the machine and records its profile so that it can be reset. A name or alias that a
// machine of the fleet answers to already is refused (ERROR_ALREADY_EXISTS), as is a domain
// that is not in the fleet (ERROR_NO_SUCH_DOMAIN). The virtual servers online on a cluster node
// are names of that node too.
DWORD AddMachine(const std::string& root, const SMachineProfile& profile);
// Re-creates a machine from its recorded profile, keeping its accounts. Its server is stopped
// first; when it does not end the machine is left as it was and the result is ERROR_TIMEOUT.
DWORD ResetMachine(const std::string& root, const std::string& name);

struct SMachineSummary
{
    std::string name;
    std::vector<std::string> names; // its hosts line
    std::string profile;
    bool serverRunning = false;
};
std::vector<SMachineSummary> ListMachines(const std::string& root);

// The registry of a machine, read and written in its database (the machine server rereads it).
// A key path starts with its root ("HKLM\..." or "HKEY_LOCAL_MACHINE\...", "HKU\...").
DWORD ReadRegistry(const std::string& root, const std::string& machine, const std::wstring& key,
                   std::vector<std::wstring>& lines);
DWORD WriteRegistry(const std::string& root, const std::string& machine, const std::wstring& key,
                    const std::wstring& name, const std::wstring& type, const std::wstring& data);

// A Windows path of a machine as a Linux path (the machine's own view, links refused).
DWORD MachineFilePath(const std::string& root, const std::string& machine, const std::wstring& path,
                      std::string& hostPath);

// The system's text of an error code, "error N" when it has none.
std::string ErrorText(DWORD code);

} // namespace fleetsim
