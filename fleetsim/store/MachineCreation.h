// Creating a simulated machine with what Windows itself holds about it. Only the fleet tool and
// the machine server create machines: they alone open a machine's database.
#pragma once

#include "winport/WinTypes.h"

#include <string>
#include <utility>
#include <vector>

namespace machine
{
class CRegistryStore;

enum class EMachineProfile
{
    Workstation, // has drive Z: mapped to the Linux root
    Server,
};

// What Windows itself holds about a machine, written when the machine is created.
struct SMachineSettings
{
    EMachineProfile profile = EMachineProfile::Workstation;
    std::wstring architecture = L"x86"; // "x86" or "AMD64"
    std::wstring osVersion = L"5.1";    // "5.1" XP, "5.2" 2003, "6.0" 2008, "6.1" 2008 R2
    std::wstring servicePack;           // e.g. "Service Pack 2"
    std::wstring domain;                // NetBIOS name of the domain joined, empty when none
    std::wstring dnsDomain;             // DNS name of that domain
    std::wstring administratorPassword = L"Passw0rd!";
    std::vector<std::string> aliases; // further names and addresses for the hosts file
};

// Creates a machine folder, its registry (computer name, environment, version, code page,
// shares, accounts) and its line in the fleet's hosts file. An existing machine is refused with
// ERROR_ALREADY_EXISTS; a failed creation leaves nothing behind.
DWORD CreateMachine(const std::string& fleetRoot, const std::string& name,
                    const SMachineSettings& settings);
// The default workstation of a Linux host, created on first use.
DWORD CreateMachine(const std::string& fleetRoot, const std::string& name, EMachineProfile profile);

// The system environment that the machine's registry gives every process.
std::vector<std::pair<std::wstring, std::wstring>> BuildEnvironment(CRegistryStore& store,
                                                                    const std::string& machineName);

} // namespace machine
