// Linux only: connections to machine servers, starting a server on first use.
#include "winport/fleet/MachineClient.h"

#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/posix/MachineSocket.h"
#include "winport/posix/PosixSupport.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <functional>
#include <map>
#include <vector>

namespace winport::posix
{
namespace
{

// Starts the server detached from this process (a grandchild in its own session).
void SpawnServer(const std::string& machineFolder, const std::string& machineName)
{
    std::string program = fleet::MachineServerProgram();
    std::string log = machineFolder + "/runtime/machined.log";
    std::string rootVariable = "FLEET_ROOT=" + fleet::CurrentMachine().fleetRoot;
    std::string machineVariable = "FLEET_MACHINE=" + machineName;
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e)
    {
        if (strncmp(*e, "FLEET_ROOT=", 11) != 0 && strncmp(*e, "FLEET_MACHINE=", 14) != 0)
            environment.emplace_back(*e);
    }
    environment.push_back(rootVariable);
    environment.push_back(machineVariable);
    std::vector<char*> envp;
    for (std::string& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {program.data(), nullptr};

    pid_t child = fork();
    if (child == 0)
    {
        setsid();
        if (fork() != 0)
            _exit(0);
        int devNull = open("/dev/null", O_RDWR);
        int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(devNull, 0);
        dup2(logFd >= 0 ? logFd : devNull, 1);
        dup2(logFd >= 0 ? logFd : devNull, 2);
        closefrom(3); // the server keeps none of its starter's descriptors open
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    if (child > 0)
        waitpid(child, nullptr, 0);
}

std::mutex s_ConnectionsLock;
std::shared_ptr<CMachineConnection>* s_pLocal = nullptr;
std::map<std::string, std::weak_ptr<CMachineConnection>>& RemoteConnections()
{
    static auto* s_pMap = new std::map<std::string, std::weak_ptr<CMachineConnection>>();
    return *s_pMap;
}

constexpr unsigned kGreetingTimeoutMs = 15000;

// 0 waits for ever.
void SetReceiveTimeout(int fd, unsigned milliseconds)
{
    timeval timeout = {};
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

} // namespace

CMachineConnection::~CMachineConnection()
{
    if (m_Fd >= 0)
        close(m_Fd);
    std::fill(m_Password.begin(), m_Password.end(), L'\0');
}

int CMachineConnection::ConnectStartingServer(const std::string& machineFolder,
                                              const std::string& machineName)
{
    int fd = ConnectMachineSocket(machineFolder);
    if (fd >= 0)
        return fd;
    // The server binds its socket within milliseconds; a slow machine gets ten seconds. A server
    // that was killed may still hold the machine's lock for a moment, and the one started then
    // gives way to it: start another now and again until one answers.
    for (int attempt = 0; attempt < 1000; ++attempt)
    {
        if (attempt % 100 == 0)
            SpawnServer(machineFolder, machineName);
        fd = ConnectMachineSocket(machineFolder);
        if (fd >= 0)
            return fd;
        usleep(attempt < 50 ? 2000 : 10000);
    }
    return -1;
}

DWORD CMachineConnection::Open(const std::string& machineName, const std::wstring& user,
                               const std::wstring& password,
                               std::shared_ptr<CMachineConnection>& connection)
{
    const fleet::SMachine& self = fleet::CurrentMachine();
    std::string folder = self.fleetRoot + "/machines/" + machineName;
    machine::protocol::SHelloRequest hello;
    hello.user = ToUtf8(user);
    hello.password = ToUtf8(password);
    machine::protocol::SHelloReply reply;
    std::shared_ptr<CMachineConnection> created;
    DWORD rc = ERROR_NOT_READY;
    // A server that is being killed may still take a connection and then drop it: a greeting
    // that finds no server is tried again, with a server started anew.
    for (int attempt = 0; attempt < 3 && rc == ERROR_NOT_READY; ++attempt)
    {
        int fd = ConnectStartingServer(folder, machineName);
        if (fd < 0)
        {
            rc = ERROR_BAD_NETPATH;
            break;
        }
        // A server that takes the connection but never greets (its machine hangs) is given up,
        // as Windows gives up a session set-up that gets no answer; later calls wait as long as
        // their work takes.
        SetReceiveTimeout(fd, kGreetingTimeoutMs);
        created.reset(new CMachineConnection(fd, machineName));
        auto start = std::chrono::steady_clock::now();
        rc = created->Call(hello, reply);
        if (rc == ERROR_NOT_READY && std::chrono::steady_clock::now() - start >=
                                         std::chrono::milliseconds(kGreetingTimeoutMs))
        {
            rc = ERROR_SEM_TIMEOUT;
            break;
        }
        SetReceiveTimeout(fd, 0);
        if (rc == ERROR_NOT_READY)
            usleep(20000);
    }
    std::fill(hello.password.begin(), hello.password.end(), '\0');
    if (rc != ERROR_SUCCESS)
        return rc;
    if (reply.status != ERROR_SUCCESS)
        return reply.status;
    created->m_bAdministrator = reply.isAdministrator != 0;
    created->m_ServerPid = reply.serverPid;
    created->m_User = user;
    created->m_Password = password;
    connection = std::move(created);
    return ERROR_SUCCESS;
}

DWORD CMachineConnection::Local(std::shared_ptr<CMachineConnection>& connection)
{
    std::lock_guard<std::mutex> guard(s_ConnectionsLock);
    if (s_pLocal == nullptr)
        s_pLocal = new std::shared_ptr<CMachineConnection>();
    if (!*s_pLocal || (*s_pLocal)->IsBroken())
    {
        std::shared_ptr<CMachineConnection> opened;
        DWORD rc = Open(fleet::CurrentMachine().name, L"", L"", opened);
        if (rc != ERROR_SUCCESS)
            return rc;
        opened->m_bProcessIdentity = true;
        *s_pLocal = std::move(opened);
    }
    connection = *s_pLocal;
    return ERROR_SUCCESS;
}

DWORD CMachineConnection::Remote(const std::string& machineFolderName, const std::wstring& user,
                                 const std::wstring& password,
                                 std::shared_ptr<CMachineConnection>& connection)
{
    // The password is part of the key, so that a connection never serves another password.
    std::string key = machineFolderName + '\n' + ToUtf8(user) + '\n' + ToUtf8(password);
    {
        std::lock_guard<std::mutex> guard(s_ConnectionsLock);
        auto it = RemoteConnections().find(key);
        if (it != RemoteConnections().end())
        {
            std::shared_ptr<CMachineConnection> existing = it->second.lock();
            if (existing && !existing->IsBroken())
            {
                connection = existing;
                return ERROR_SUCCESS;
            }
            RemoteConnections().erase(it);
        }
    }
    std::shared_ptr<CMachineConnection> opened;
    DWORD rc = Open(machineFolderName, user, password, opened);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::lock_guard<std::mutex> guard(s_ConnectionsLock);
    RemoteConnections()[key] = opened;
    connection = std::move(opened);
    return ERROR_SUCCESS;
}

DWORD CMachineConnection::OwnForThisThread(std::shared_ptr<CMachineConnection>& connection)
{
    std::shared_ptr<CMachineConnection> opened;
    DWORD rc = Open(fleet::CurrentMachine().name, L"", L"", opened);
    if (rc != ERROR_SUCCESS)
        return rc;
    opened->m_bProcessIdentity = true;
    connection = std::move(opened);
    return ERROR_SUCCESS;
}

DWORD CMachineConnection::Renew(const std::shared_ptr<CMachineConnection>& broken,
                                std::shared_ptr<CMachineConnection>& fresh)
{
    if (broken->m_bProcessIdentity)
        return Local(fresh);
    return Remote(broken->m_MachineName, broken->m_User, broken->m_Password, fresh);
}

DWORD CMachineConnection::RoundTrip(const std::string& frame, std::string& body,
                                    const std::vector<int>& descriptors)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_bBroken)
        return ERROR_NOT_READY;
    uint16_t code = 0;
    if (!SendFrame(m_Fd, frame, descriptors) || !ReceiveFrame(m_Fd, code, body))
    {
        m_bBroken = true;
        return ERROR_NOT_READY;
    }
    return ERROR_SUCCESS;
}

} // namespace winport::posix

namespace winport::fleet
{

std::string MachineServerProgram()
{
    const char* configured = getenv("FLEET_MACHINED");
    if (configured != nullptr && *configured != '\0')
        return configured;
    // machined.exe lies beside fleetkit.dll, in the build's and the package's bin folder.
    static const int s_Anchor = 0;
    Dl_info info;
    if (dladdr(&s_Anchor, &info) != 0 && info.dli_fname != nullptr)
    {
        std::string library = info.dli_fname;
        return library.substr(0, library.rfind('/') + 1) + "machined.exe";
    }
    return "machined.exe";
}

namespace
{

// Whether pid is a machine server program (its command line names machined).
bool IsMachineServer(pid_t pid)
{
    std::string command;
    if (!posix::ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline", command))
        return false;
    command = command.substr(0, command.find('\0'));
    return command.find("machined") != std::string::npos;
}

} // namespace

bool MachineServerRunning(const std::string& machineFolder, int* pid)
{
    std::string lock = machineFolder + "/runtime/machined.lock";
    posix::CFd fd(open(lock.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0 || flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
        return false; // no server has ever run, or none holds the lock now (ours goes with fd)
    if (pid != nullptr)
    {
        std::string text;
        *pid = posix::ReadWholeFile(lock, text) ? atoi(text.c_str()) : 0;
    }
    return true;
}

DWORD StopMachineServer(const std::string& fleetRoot, const std::string& machineFolderName)
{
    // The server holds its machine's lock while it runs and names itself in it; it takes SIGTERM
    // as a request to end, which only the fleet's owner can send.
    std::string folder = fleetRoot + "/machines/" + machineFolderName;
    int signalled = 0;
    for (int i = 0; i < 1000; ++i)
    {
        int pid = 0;
        if (!MachineServerRunning(folder, &pid))
            return ERROR_SUCCESS;
        // A client may start the machine's server again meanwhile: each one named is asked.
        if (pid > 0 && pid != signalled && IsMachineServer(pid) && kill(pid, SIGTERM) == 0)
            signalled = pid;
        usleep(10000);
    }
    return ERROR_TIMEOUT;
}

int StopMachineServers(const std::string& fleetRoot)
{
    int stopped = 0;
    DIR* dir = opendir((fleetRoot + "/machines").c_str());
    if (dir == nullptr)
        return 0;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir))
    {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    for (const std::string& name : names)
    {
        if (MachineServerRunning(fleetRoot + "/machines/" + name) &&
            StopMachineServer(fleetRoot, name) == ERROR_SUCCESS)
            ++stopped;
    }
    return stopped;
}

} // namespace winport::fleet

namespace winport::fleet
{
namespace
{
std::function<std::vector<std::pair<std::wstring, std::wstring>>()>* s_pEnvironmentSource = nullptr;
} // namespace

void SetEnvironmentSource(
    std::function<std::vector<std::pair<std::wstring, std::wstring>>()> source)
{
    s_pEnvironmentSource =
        new std::function<std::vector<std::pair<std::wstring, std::wstring>>()>(std::move(source));
}

std::vector<std::pair<std::wstring, std::wstring>> MachineEnvironment()
{
    if (s_pEnvironmentSource != nullptr)
        return (*s_pEnvironmentSource)();
    std::vector<std::pair<std::wstring, std::wstring>> variables;
    std::shared_ptr<posix::CMachineConnection> connection;
    machine::protocol::SGetEnvironmentRequest request;
    machine::protocol::SEnvironmentReply reply;
    if (posix::CMachineConnection::Local(connection) == ERROR_SUCCESS &&
        connection->Call(request, reply) == ERROR_SUCCESS && reply.status == ERROR_SUCCESS)
    {
        size_t pos = 0;
        while (pos < reply.block.size())
        {
            size_t end = reply.block.find('\0', pos);
            if (end == std::string::npos)
                end = reply.block.size();
            std::string item = reply.block.substr(pos, end - pos);
            size_t equals = item.find('=', 1);
            if (equals != std::string::npos)
                variables.emplace_back(FromUtf8(item.substr(0, equals)),
                                       FromUtf8(item.substr(equals + 1)));
            pos = end + 1;
        }
        return variables;
    }
    // Without its server a machine still has the variables Windows itself sets.
    std::wstring computer = FromUtf8(CurrentMachine().name);
    for (wchar_t& c : computer)
        c = static_cast<wchar_t>(towupper(c));
    variables.emplace_back(L"COMPUTERNAME", computer);
    variables.emplace_back(L"SystemRoot", L"C:\\Windows");
    variables.emplace_back(L"SystemDrive", L"C:");
    return variables;
}

} // namespace winport::fleet
