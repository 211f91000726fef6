// Linux only: locating the fleet and the machine of this process, creating machine folders,
// and placing Windows paths on the machine's folder.
#include "winport/WinMachine.h"

#include "winport/WinBase.h"
#include "winport/WinString.h"
#include "winport/posix/PosixSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace winport::fleet
{
namespace
{

std::string DefaultFleetRoot()
{
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && *state == '/')
        return std::string(state) + "/fleet";
    const char* home = getenv("HOME");
    return std::string(home != nullptr && *home != '\0' ? home : "/tmp") + "/.local/state/fleet";
}

std::string DefaultMachineName()
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        strcpy(host, "WORKSTATION");
    std::string name(host);
    name = name.substr(0, name.find('.'));
    // A NetBIOS computer name: upper case, at most 15 characters.
    for (char& c : name)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return name.substr(0, 15);
}

bool IsValidMachineName(const std::string& name)
{
    if (name.empty() || name.size() > 63 || name == "." || name == "..")
        return false;
    for (char c : name)
    {
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'))
            return false;
    }
    return true;
}

// The machine folder whose name matches without regard to case, or empty.
std::string FindMachineFolder(const std::string& fleetRoot, const std::string& name)
{
    std::string machines = fleetRoot + "/machines";
    std::string exact = machines + "/" + name;
    struct stat st;
    if (stat(exact.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return name;
    DIR* dir = opendir(machines.c_str());
    if (dir == nullptr)
        return {};
    std::string found;
    while (dirent* entry = readdir(dir))
    {
        if (strcasecmp(entry->d_name, name.c_str()) == 0)
        {
            found = entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

DWORD AddHostsLine(const std::string& fleetRoot, const std::string& name)
{
    std::string hosts = fleetRoot + "/hosts";
    int fd = open(hosts.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return posix::ErrnoToWin32(errno);
    posix::CFd guard(fd);
    if (flock(fd, LOCK_EX) != 0)
        return posix::ErrnoToWin32(errno);
    std::string content;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<size_t>(n));
    size_t pos = 0;
    while (pos < content.size())
    {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(pos, end - pos);
        std::string first = line.substr(0, line.find_first_of(" \t"));
        if (strcasecmp(first.c_str(), name.c_str()) == 0)
            return ERROR_SUCCESS;
        pos = end + 1;
    }
    std::string line;
    if (!content.empty() && content.back() != '\n')
        line += "\n";
    line += name + " " + name + "\n";
    if (!posix::WriteAll(fd, line.data(), line.size()))
        return posix::ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

SMachine ResolveCurrentMachine()
{
    SMachine machine;
    const char* root = getenv("FLEET_ROOT");
    machine.fleetRoot = root != nullptr && *root != '\0' ? root : DefaultFleetRoot();
    while (machine.fleetRoot.size() > 1 && machine.fleetRoot.back() == '/')
        machine.fleetRoot.pop_back();
    const char* named = getenv("FLEET_MACHINE");
    bool isDefault = named == nullptr || *named == '\0';
    std::string name = isDefault ? DefaultMachineName() : std::string(named);
    std::string folder = FindMachineFolder(machine.fleetRoot, name);
    if (folder.empty())
    {
        DWORD rc = ERROR_INVALID_NAME;
        if (isDefault && IsValidMachineName(name))
            rc = CreateMachine(machine.fleetRoot, name, EMachineProfile::Workstation);
        else if (!isDefault)
            rc = ERROR_BAD_NETPATH;
        if (rc != ERROR_SUCCESS)
        {
            fprintf(stderr, "fleet: machine '%s' is not in the fleet at '%s' (error %u)\n",
                    name.c_str(), machine.fleetRoot.c_str(), static_cast<unsigned>(rc));
            _exit(70);
        }
        folder = name;
    }
    machine.name = folder;
    machine.folder = machine.fleetRoot + "/machines/" + folder;
    struct stat st;
    machine.hasLinuxDrive = lstat((machine.folder + "/drive/z").c_str(), &st) == 0;
    return machine;
}

// Finds the entry of dir whose name matches without regard to case.
bool FindEntry(const std::string& dir, const std::string& name, std::string& found)
{
    std::string exact = dir + "/" + name;
    struct stat st;
    if (lstat(exact.c_str(), &st) == 0)
    {
        found = name;
        return true;
    }
    if (errno != ENOENT)
        return false;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return false;
    std::wstring wanted = FromUtf8(name);
    bool ok = false;
    while (dirent* entry = readdir(d))
    {
        if (NamesEqual(FromUtf8(entry->d_name), wanted))
        {
            found = entry->d_name;
            ok = true;
            break;
        }
    }
    closedir(d);
    return ok;
}

} // namespace

const SMachine& CurrentMachine()
{
    static const SMachine s_Machine = ResolveCurrentMachine();
    return s_Machine;
}

DWORD CreateMachine(const std::string& fleetRoot, const std::string& name, EMachineProfile profile)
{
    if (!IsValidMachineName(name))
        return ERROR_INVALID_COMPUTERNAME;
    std::string existing = FindMachineFolder(fleetRoot, name);
    std::string folder = fleetRoot + "/machines/" + (existing.empty() ? name : existing);
    static const char* const kFolders[] = {
        "drive/c/Windows/Temp",
        "drive/c/Windows/System32",
        "drive/c/Program Files",
        "drive/c/Users",
        "runtime",
    };
    for (const char* sub : kFolders)
    {
        DWORD rc = posix::MakeDirectories(folder + "/" + sub);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    if (profile == EMachineProfile::Workstation)
    {
        if (symlink("/", (folder + "/drive/z").c_str()) != 0 && errno != EEXIST)
            return posix::ErrnoToWin32(errno);
    }
    return AddHostsLine(fleetRoot, existing.empty() ? name : existing);
}

DWORD MapPath(const std::wstring& windowsPath, std::string& hostPath)
{
    const SMachine& machine = CurrentMachine();
    wchar_t current[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, current);
    SParsedPath parsed;
    DWORD rc = ParseWindowsPath(windowsPath, n > 0 && n < MAX_PATH ? current : L"", parsed);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (parsed.kind == SParsedPath::EKind::Unc)
        return ERROR_BAD_NETPATH; // shares arrive with the machine server
    char letter = static_cast<char>(tolower(static_cast<unsigned char>(parsed.drive)));
    std::string root = machine.folder + "/drive/" + std::string(1, letter);
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    bool linuxDrive = letter == 'z' && machine.hasLinuxDrive;
    std::string path = linuxDrive ? std::string() : root;
    bool exists = true;
    for (size_t i = 0; i < parsed.components.size(); ++i)
    {
        std::string name = ToUtf8(parsed.components[i]);
        std::string found;
        if (exists && FindEntry(path.empty() ? "/" : path, name, found))
        {
            path += "/" + found;
            if (!linuxDrive && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                return ERROR_ACCESS_DENIED; // a link could lead off the machine
        }
        else
        {
            exists = false;
            path += "/" + name;
        }
    }
    hostPath = path.empty() ? "/" : path;
    return ERROR_SUCCESS;
}

std::wstring HostPathToWindows(const std::string& hostPath)
{
    const SMachine& machine = CurrentMachine();
    std::string drives = machine.folder + "/drive/";
    auto toBackslashes = [](std::string text) {
        for (char& c : text)
        {
            if (c == '/')
                c = '\\';
        }
        return FromUtf8(text);
    };
    if (hostPath.compare(0, drives.size(), drives) == 0 && hostPath.size() > drives.size())
    {
        char letter = hostPath[drives.size()];
        std::string rest = hostPath.substr(drives.size() + 1);
        if (letter != 'z' && (rest.empty() || rest[0] == '/'))
        {
            std::wstring result(1, static_cast<wchar_t>(toupper(static_cast<unsigned char>(letter))));
            result += L":";
            result += rest.empty() ? L"\\" : toBackslashes(rest);
            return result;
        }
    }
    if (machine.hasLinuxDrive)
        return L"Z:" + toBackslashes(hostPath);
    return L"\\\\?\\unix" + toBackslashes(hostPath);
}

std::vector<std::pair<std::wstring, std::wstring>> MachineEnvironment()
{
    // The machine's system environment; it moves into its registry with the machine server.
    const SMachine& machine = CurrentMachine();
    std::wstring computer = FromUtf8(machine.name);
    for (wchar_t& c : computer)
        c = static_cast<wchar_t>(towupper(c));
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return {
        {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
        {L"CommonProgramFiles", L"C:\\Program Files\\Common Files"},
        {L"COMPUTERNAME", computer},
        {L"ComSpec", L"C:\\Windows\\system32\\cmd.exe"},
        {L"NUMBER_OF_PROCESSORS", std::to_wstring(cpus > 0 ? cpus : 1)},
        {L"OS", L"Windows_NT"},
        {L"Path", L"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
        {L"PATHEXT", L".COM;.EXE;.BAT;.CMD"},
        {L"PROCESSOR_ARCHITECTURE", machine.hasLinuxDrive ? L"x86" : L"AMD64"},
        {L"ProgramData", L"C:\\ProgramData"},
        {L"ProgramFiles", L"C:\\Program Files"},
        {L"SystemDrive", L"C:"},
        {L"SystemRoot", L"C:\\Windows"},
        {L"TEMP", L"C:\\Windows\\Temp"},
        {L"TMP", L"C:\\Windows\\Temp"},
        {L"windir", L"C:\\Windows"},
    };
}

UINT MachineAnsiCodePage()
{
    // Western European, the default of the machines the product runs on.
    return CP_WINDOWS_1252;
}

} // namespace winport::fleet

UINT GetACP() { return winport::fleet::MachineAnsiCodePage(); }
