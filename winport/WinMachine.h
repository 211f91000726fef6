// The simulated machine a process runs on, and how Windows paths map onto it (Linux only).
//
// A fleet is a folder (FLEET_ROOT) of machines; FLEET_MACHINE names the machine of a process.
// Without FLEET_MACHINE a process runs on the machine named after the Linux host name, which is
// created on first use as an administrator's workstation. Without FLEET_ROOT the fleet is
// $XDG_STATE_HOME/fleet (or ~/.local/state/fleet).
#pragma once

#include "winport/WinTypes.h"

#include <string>
#include <vector>

namespace winport::fleet
{

enum class EMachineProfile
{
    Workstation, // has drive Z: mapped to the Linux root
    Server,
};

struct SMachine
{
    std::string fleetRoot;  // Linux folder of the fleet
    std::string name;       // machine name as its folder spells it
    std::string folder;     // FLEET_ROOT/machines/NAME
    bool hasLinuxDrive = false;
};

// The machine of this process, resolved once from the environment.
const SMachine& CurrentMachine();

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
    std::vector<std::string> aliases;   // further names and addresses for the hosts file
};

// Creates a machine folder, its registry (computer name, environment, version, code page,
// shares, accounts) and its line in the fleet's hosts file. An existing machine is refused with
// ERROR_ALREADY_EXISTS; a failed creation leaves nothing behind.
DWORD CreateMachine(const std::string& fleetRoot, const std::string& name, const SMachineSettings& settings);
// The default workstation of a Linux host, created on first use.
DWORD CreateMachine(const std::string& fleetRoot, const std::string& name, EMachineProfile profile);

// A Windows path taken apart, before it is placed on any machine.
struct SParsedPath
{
    enum class EKind
    {
        Drive, // X:\a\b
        Unc,   // \\server\share\a\b or \\?\UNC\server\share\a\b
    } kind = EKind::Drive;
    wchar_t drive = L'C';       // upper case, for Drive
    std::wstring server, share; // for Unc
    std::vector<std::wstring> components; // normalised: no ".", "..", empty parts
};

// Parses and normalises a Windows path the way Win32 does ("..", ".", doubled separators,
// trailing dots and blanks of names); relative forms are resolved against currentDirectory
// (itself an absolute drive path). Returns ERROR_SUCCESS, ERROR_INVALID_NAME or
// ERROR_BAD_PATHNAME.
DWORD ParseWindowsPath(const std::wstring& path, const std::wstring& currentDirectory,
                       SParsedPath& parsed);

// Maps a Windows path of this machine to its Linux path, matching each existing component
// without regard to case. Never leaves the machine's folder (links below a drive's root are
// refused, except on the Linux drive Z:). Returns ERROR_SUCCESS or a system code.
DWORD MapPath(const std::wstring& windowsPath, std::string& hostPath);

// Places a drive path on a machine folder (the rules of MapPath).
DWORD MapOnMachine(const std::string& machineFolder, bool hasLinuxDrive, wchar_t drive,
                   const std::vector<std::wstring>& components, std::string& hostPath);

// The Windows form of a Linux path: a drive path inside the machine's folder, Z:\... on a
// workstation, else \\?\unix\....
std::wstring HostPathToWindows(const std::string& hostPath);

// Case-insensitive comparison of names, as the Windows file system and registry compare them.
bool NamesEqual(const std::wstring& a, const std::wstring& b);

// Resolves a server name as the fleet's hosts file knows it (a name or alias in any letter
// case, an IPv4 or IPv6 address, an IPv6 address in its DNS literal form) to the folder name
// of its machine. "localhost", "127.*", "::1", "*.localhost" and this machine's own names are
// this machine. A leading "\\" is ignored. Returns ERROR_SUCCESS or ERROR_BAD_NETPATH.
DWORD ResolveServer(const std::wstring& server, std::string& folderName);
bool IsLoopbackName(const std::wstring& server);

// One line of the hosts file: the machine's folder name, then the names and addresses it
// answers to. Returns false for a malformed line (which resolution skips).
bool ParseHostsLine(const std::string& line, std::string& folder, std::vector<std::string>& names);

// Asks every running machine server of a fleet to end (none is started); returns how many
// answered.
int StopMachineServers(const std::string& fleetRoot);

// Machine folders and the hosts file (for machine creation and the fleet tool).
bool IsValidMachineName(const std::string& name);
std::string FindMachineFolder(const std::string& fleetRoot, const std::string& name);
DWORD AddHostsLine(const std::string& fleetRoot, const std::string& name, const std::vector<std::string>& aliases);

// The machine's own environment, before a process changes it.
std::vector<std::pair<std::wstring, std::wstring>> MachineEnvironment();

// The machine's ANSI code page.
UINT MachineAnsiCodePage();

} // namespace winport::fleet
