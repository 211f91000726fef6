// The simulated machine a process runs on, and how Windows paths map onto it (Linux only).
//
// A fleet is a folder (FLEET_ROOT) of machines; FLEET_MACHINE names the machine of a process.
// Without FLEET_MACHINE a process runs on the machine named after the Linux host name, which is
// created on first use as an administrator's workstation. Without FLEET_ROOT the fleet is
// $XDG_STATE_HOME/fleet (or ~/.local/state/fleet).
#pragma once

#include "winport/WinTypes.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace winport::fleet
{

struct SMachine
{
    std::string fleetRoot; // Linux folder of the fleet
    std::string name;      // machine name as its folder spells it
    std::string folder;    // FLEET_ROOT/machines/NAME
    bool hasLinuxDrive = false;
};

// The machine of this process, looked up once from the environment. A process whose machine
// is not in the fleet ends with exit code 70: it never runs on a machine that does not exist.
const SMachine& CurrentMachine();
// The fleet this process's environment names, whether or not its machine is there: the fleet
// tool works on a fleet's files without being a machine of it. For a process with a machine it
// is that machine's fleetRoot.
const std::string& CurrentFleetRoot();

// The start-up call of a program: makes sure the machine of this process exists. Without
// FLEET_MACHINE that is the Linux host's workstation, which the machine server program creates
// on first use. Returns ERROR_SUCCESS, or why the machine cannot be had.
DWORD PrepareCurrentMachine();

// The defaults a process without FLEET_ROOT or FLEET_MACHINE runs with (also how the machine
// server places its callers): $XDG_STATE_HOME/fleet, else $HOME/.local/state/fleet; the host
// name's first label, upper case, at most 15 characters.
std::string DefaultFleetRoot(const char* stateHome, const char* home);
std::string DefaultMachineName();

// What the environment a process was started with says of the machine it runs on and the
// account it runs as (what it was started on, not what it says); false when the process cannot
// be read (it ended, or is not ours).
struct SProcessStart
{
    std::string fleetRoot;   // canonical Linux folder
    std::string machineName; // as FLEET_MACHINE or the host name gives it
    std::wstring account;    // FLEET_USER, else "Administrator"
};
bool ReadProcessStart(int pid, SProcessStart& start);
// Whether a Linux process runs on this process's machine: a machine sees its own processes only.
bool IsProcessOfThisMachine(int pid);

// The program of the machine server: FLEET_MACHINED, else machined.exe beside fleetkit.dll.
std::string MachineServerProgram();

// A Windows path taken apart, before it is placed on any machine.
struct SParsedPath
{
    enum class EKind
    {
        Drive, // X:\a\b
        Unc,   // \\server\share\a\b or \\?\UNC\server\share\a\b
    } kind = EKind::Drive;
    wchar_t drive = L'C';                 // upper case, for Drive
    std::wstring server, share;           // for Unc
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

// Case-insensitive comparison of names, as the Windows file system and registry compare them
// (ASCII and Latin-1 letters), and the folded form they are compared in.
bool NamesEqual(const std::wstring& a, const std::wstring& b);
wchar_t FoldCharacter(wchar_t c);
std::wstring FoldName(std::wstring name);

// A string as the registry stores it (UTF-16LE with its terminator), and back (without the
// trailing terminators; a multi-string keeps the NULs between its items).
std::string ToStoredString(const std::wstring& text);
std::wstring FromStoredString(const std::string& bytes);

// "NAME" or "DOMAIN\NAME" split into its parts; domain "." or empty for a local name.
void SplitAccountName(const std::wstring& full, std::wstring& domain, std::wstring& name);

// Resolves a server name as the fleet's hosts file knows it (a name or alias in any letter
// case, an IPv4 or IPv6 address, an IPv6 address in its DNS literal form) to the folder name
// of its machine. "localhost", "127.*", "::1", "*.localhost" and this machine's own names are
// this machine. A leading "\\" is ignored. Returns ERROR_SUCCESS or ERROR_BAD_NETPATH.
DWORD ResolveServer(const std::wstring& server, std::string& folderName);
bool IsLoopbackName(const std::wstring& server);

// One line of the hosts file: the machine's folder name, then the names and addresses it
// answers to. Returns false for a malformed line (which resolution skips).
bool ParseHostsLine(const std::string& line, std::string& folder, std::vector<std::string>& names);

// Asks every running machine server of a fleet to end (none is started) and waits until they
// have; returns how many were stopped.
int StopMachineServers(const std::string& fleetRoot);
// Whether a server holds the machine's lock (by the machine's folder), and its process as it
// names itself there (0 until it has); asking starts no server.
bool MachineServerRunning(const std::string& machineFolder, int* pid = nullptr);
// Stops the server of one machine (by its folder name) and waits until it has let go of the
// machine: ERROR_SUCCESS once no server serves it, ERROR_TIMEOUT when the server did not end.
DWORD StopMachineServer(const std::string& fleetRoot, const std::string& machineFolderName);

// Machine folders and the hosts file (for machine creation and the fleet tool).
bool IsValidMachineName(const std::string& name);
std::string FindMachineFolder(const std::string& fleetRoot, const std::string& name);
DWORD AddHostsLine(const std::string& fleetRoot, const std::string& name,
                   const std::vector<std::string>& aliases);

// The machine's own environment, before a process changes it (asked of the machine server).
std::vector<std::pair<std::wstring, std::wstring>> MachineEnvironment();
// Where the machine server itself takes its environment from, instead of asking itself.
void SetEnvironmentSource(
    std::function<std::vector<std::pair<std::wstring, std::wstring>>()> source);
// The process's Windows environment as it stands now, and its encoding for a child's start
// (FLEET_ENVIRONMENT, read at the child's first use instead of asking the machine server).
std::vector<std::pair<std::wstring, std::wstring>> ProcessEnvironment();
std::string EncodeEnvironment(const std::vector<std::pair<std::wstring, std::wstring>>& variables);
std::vector<std::pair<std::wstring, std::wstring>> DecodeEnvironment(const std::string& encoded);

} // namespace winport::fleet
