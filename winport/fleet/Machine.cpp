// Linux only: locating the fleet and the machine of this process, preparing the default
// workstation, and the hosts file.
#include "winport/WinMachine.h"

#include "winport/WinBase.h"
#include "winport/WinString.h"
#include "winport/fleet/Network.h"
#include "winport/posix/PosixSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace winport::fleet
{
namespace
{

} // namespace

std::string DefaultFleetRoot(const char* state, const char* home)
{
    if (state != nullptr && *state == '/')
        return std::string(state) + "/fleet";
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

DWORD AddHostsLine(const std::string& fleetRoot, const std::string& name,
                   const std::vector<std::string>& aliases)
{
    std::string hosts = fleetRoot + "/hosts";
    int fd = open(hosts.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return posix::ErrnoToWin32(errno);
    posix::CFd guard(fd);
    if (flock(fd, LOCK_EX) != 0)
        return posix::ErrnoToWin32(errno);
    std::string content;
    if (!posix::ReadRest(fd, content))
        return posix::ErrnoToWin32(errno);
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
    line += name + " " + name;
    for (const std::string& alias : aliases)
        line += " " + alias;
    line += "\n";
    if (!posix::WriteAll(fd, line.data(), line.size()))
        return posix::ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

namespace
{

// Where the environment places this process: fleet root, machine name, and whether the name
// is the default one.
void PlaceProcess(std::string& root, std::string& name, bool& isDefault)
{
    const char* configured = getenv("FLEET_ROOT");
    root = configured != nullptr && *configured != '\0'
               ? configured
               : DefaultFleetRoot(getenv("XDG_STATE_HOME"), getenv("HOME"));
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    const char* named = getenv("FLEET_MACHINE");
    isDefault = named == nullptr || *named == '\0';
    name = isDefault ? DefaultMachineName() : std::string(named);
}

SMachine ResolveCurrentMachine()
{
    SMachine machine;
    std::string name;
    bool isDefault;
    PlaceProcess(machine.fleetRoot, name, isDefault);
    std::string folder = FindMachineFolder(machine.fleetRoot, name);
    if (folder.empty())
    {
        fprintf(stderr, "fleet: machine '%s' is not in the fleet at '%s'%s\n", name.c_str(),
                machine.fleetRoot.c_str(), isDefault ? " (the program did not prepare it)" : "");
        _exit(70);
    }
    machine.name = folder;
    machine.folder = machine.fleetRoot + "/machines/" + folder;
    struct stat st;
    machine.hasLinuxDrive = lstat((machine.folder + "/drive/z").c_str(), &st) == 0;
    return machine;
}

} // namespace

const SMachine& CurrentMachine()
{
    static const SMachine s_Machine = ResolveCurrentMachine();
    return s_Machine;
}

const std::string& CurrentFleetRoot()
{
    static const std::string s_Root = []
    {
        std::string root, name;
        bool isDefault;
        PlaceProcess(root, name, isDefault);
        return root;
    }();
    return s_Root;
}

DWORD PrepareCurrentMachine()
{
    std::string root, name;
    bool isDefault;
    PlaceProcess(root, name, isDefault);
    if (!FindMachineFolder(root, name).empty())
        return ERROR_SUCCESS;
    if (!isDefault)
        return ERROR_BAD_NETPATH;
    if (!IsValidMachineName(name))
        return ERROR_INVALID_COMPUTERNAME;
    // The machine server program writes machine databases; this process never does.
    DWORD rc = posix::MakeDirectories(root);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::string program = MachineServerProgram();
    std::string rootVariable = "FLEET_ROOT=" + root;
    std::string machineVariable = "FLEET_MACHINE=" + name;
    std::vector<std::string> environment = {rootVariable, machineVariable};
    if (const char* path = getenv("PATH"))
        environment.push_back(std::string("PATH=") + path);
    int status = posix::RunProgram({program, "--create-workstation"}, environment);
    if (status != 0)
        return ERROR_BAD_NETPATH;
    return FindMachineFolder(root, name).empty() ? ERROR_BAD_NETPATH : ERROR_SUCCESS;
}

} // namespace winport::fleet

namespace winport::fleet
{
namespace
{

bool IsHostNameCharacter(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == ':' ||
           c == '%';
}

// The address bytes of an IPv4 or IPv6 text (an IPv6 DNS literal is turned back first); the
// scope of an IPv6 address is ignored.
bool AddressBytes(std::string text, std::string& bytes)
{
    static const std::string kLiteral = ".ipv6-literal.net";
    if (text.size() > kLiteral.size() &&
        strcasecmp(text.c_str() + text.size() - kLiteral.size(), kLiteral.c_str()) == 0)
    {
        text.resize(text.size() - kLiteral.size());
        for (char& c : text)
        {
            if (c == '-')
                c = ':';
            else if (c == 's' || c == 'S')
                c = '%';
        }
    }
    text = text.substr(0, text.find('%'));
    unsigned char buffer[16];
    if (inet_pton(AF_INET, text.c_str(), buffer) == 1)
    {
        bytes.assign(reinterpret_cast<char*>(buffer), 4);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), buffer) == 1)
    {
        bytes.assign(reinterpret_cast<char*>(buffer), 16);
        return true;
    }
    return false;
}

bool SameHost(const std::string& wanted, const std::string& known)
{
    if (strcasecmp(wanted.c_str(), known.c_str()) == 0)
        return true;
    std::string a, b;
    return AddressBytes(wanted, a) && AddressBytes(known, b) && a == b;
}

} // namespace

bool ParseHostsLine(const std::string& line, std::string& folder, std::vector<std::string>& names)
{
    folder.clear();
    names.clear();
    std::string text = line.substr(0, line.find('#'));
    size_t pos = 0;
    std::vector<std::string> fields;
    while (pos < text.size())
    {
        size_t start = text.find_first_not_of(" \t\r", pos);
        if (start == std::string::npos)
            break;
        size_t end = text.find_first_of(" \t\r", start);
        if (end == std::string::npos)
            end = text.size();
        fields.push_back(text.substr(start, end - start));
        pos = end;
    }
    if (fields.empty())
        return false;
    for (const std::string& field : fields)
    {
        if (field.size() > 255)
            return false;
        for (char c : field)
        {
            if (!IsHostNameCharacter(c))
                return false;
        }
    }
    folder = fields[0];
    names.assign(fields.begin() + 1, fields.end());
    return IsValidMachineName(folder);
}

bool IsLoopbackName(const std::wstring& server)
{
    std::string name = ToUtf8(server);
    if (name.empty() || strcasecmp(name.c_str(), "localhost") == 0 || name.rfind("127.", 0) == 0)
        return true;
    static const std::string kLocal = ".localhost";
    if (name.size() > kLocal.size() &&
        strcasecmp(name.c_str() + name.size() - kLocal.size(), kLocal.c_str()) == 0)
        return true;
    std::string bytes;
    static const std::string kLoopback6(15, '\0');
    return AddressBytes(name, bytes) && bytes.size() == 16 && bytes == kLoopback6 + '\1';
}

DWORD ResolveServer(const std::wstring& server, std::string& folderName)
{
    std::wstring name = server;
    while (!name.empty() && (name[0] == L'\\' || name[0] == L'/'))
        name.erase(0, 1);
    const SMachine& self = CurrentMachine();
    if (IsLoopbackName(name) || NamesEqual(name, FromUtf8(self.name)))
    {
        folderName = self.name;
        return ERROR_SUCCESS;
    }
    std::string wanted = ToUtf8(name);
    if (wanted.size() > 255)
        return ERROR_BAD_NETPATH;
    std::string content;
    if (!posix::ReadWholeFile(self.fleetRoot + "/hosts", content))
        return ERROR_BAD_NETPATH;
    size_t pos = 0;
    while (pos < content.size())
    {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos)
            end = content.size();
        std::string folder;
        std::vector<std::string> names;
        if (ParseHostsLine(content.substr(pos, end - pos), folder, names))
        {
            bool match = strcasecmp(folder.c_str(), wanted.c_str()) == 0;
            for (size_t i = 0; !match && i < names.size(); ++i)
                match = SameHost(wanted, names[i]);
            if (match)
            {
                std::string found = FindMachineFolder(self.fleetRoot, folder);
                if (found.empty())
                    return ERROR_BAD_NETPATH;
                folderName = found;
                return ERROR_SUCCESS;
            }
        }
        pos = end + 1;
    }
    return ERROR_BAD_NETPATH;
}

bool ReadProcessStart(int pid, SProcessStart& start)
{
    // The environment a process was started with: what it was started on, not what it says.
    std::string environ;
    if (!posix::ReadWholeFile("/proc/" + std::to_string(pid) + "/environ", environ))
        return false;
    std::string root, machine, user, home, state;
    size_t pos = 0;
    while (pos < environ.size())
    {
        size_t end = environ.find('\0', pos);
        if (end == std::string::npos)
            end = environ.size();
        std::string item = environ.substr(pos, end - pos);
        pos = end + 1;
        auto take = [&item](const char* name, std::string& value)
        {
            size_t length = strlen(name);
            if (item.compare(0, length, name) == 0 && item.size() > length && item[length] == '=')
                value = item.substr(length + 1);
        };
        take("FLEET_ROOT", root);
        take("FLEET_MACHINE", machine);
        take("FLEET_USER", user);
        take("HOME", home);
        take("XDG_STATE_HOME", state);
    }
    if (root.empty())
        root = DefaultFleetRoot(state.empty() ? nullptr : state.c_str(),
                                home.empty() ? nullptr : home.c_str());
    char canonical[PATH_MAX];
    if (realpath(root.c_str(), canonical) == nullptr)
        return false;
    start.fleetRoot = canonical;
    start.machineName = machine.empty() ? DefaultMachineName() : machine;
    start.account = user.empty() ? L"Administrator" : FromUtf8(user);
    return true;
}

bool IsProcessOfThisMachine(int pid)
{
    const SMachine& self = CurrentMachine();
    static const std::string s_Root = [&self]
    {
        char canonical[PATH_MAX];
        return realpath(self.fleetRoot.c_str(), canonical) != nullptr ? std::string(canonical)
                                                                      : self.fleetRoot;
    }();
    SProcessStart start;
    return ReadProcessStart(pid, start) && start.fleetRoot == s_Root &&
           NamesEqual(FromUtf8(start.machineName), FromUtf8(self.name));
}

} // namespace winport::fleet
