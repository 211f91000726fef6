// Linux only: connections to machine servers, starting a server on first use.
#include "winport/posix/MachineClient.h"

#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/posix/MachineSocket.h"
#include "winport/posix/PosixSupport.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace winport::posix
{
namespace
{

std::string ServerProgram()
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

// Starts the server detached from this process (a grandchild in its own session).
void SpawnServer(const std::string& machineFolder, const std::string& machineName)
{
    std::string program = ServerProgram();
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

} // namespace

CMachineConnection::~CMachineConnection()
{
    if (m_Fd >= 0)
        close(m_Fd);
}

int CMachineConnection::ConnectStartingServer(const std::string& machineFolder, const std::string& machineName)
{
    int fd = ConnectMachineSocket(machineFolder);
    if (fd >= 0)
        return fd;
    SpawnServer(machineFolder, machineName);
    // The server binds its socket within milliseconds; a slow machine gets ten seconds.
    for (int attempt = 0; attempt < 1000; ++attempt)
    {
        fd = ConnectMachineSocket(machineFolder);
        if (fd >= 0)
            return fd;
        usleep(attempt < 50 ? 2000 : 10000);
    }
    return -1;
}

DWORD CMachineConnection::Open(const std::string& machineName, const std::wstring& user,
                               const std::wstring& password, std::shared_ptr<CMachineConnection>& connection)
{
    const fleet::SMachine& self = fleet::CurrentMachine();
    std::string folder = self.fleetRoot + "/machines/" + machineName;
    int fd = ConnectStartingServer(folder, machineName);
    if (fd < 0)
        return ERROR_BAD_NETPATH;
    std::shared_ptr<CMachineConnection> created(new CMachineConnection(fd, machineName));
    machine::protocol::SHelloRequest hello;
    hello.pid = static_cast<uint32_t>(getpid());
    hello.callerMachine = self.name;
    hello.user = ToUtf8(user);
    hello.password = ToUtf8(password);
    machine::protocol::SHelloReply reply;
    DWORD rc = created->Call(hello, reply);
    std::fill(hello.password.begin(), hello.password.end(), '\0');
    if (rc != ERROR_SUCCESS)
        return rc;
    if (reply.status != ERROR_SUCCESS)
        return reply.status;
    created->m_bAdministrator = reply.isAdministrator != 0;
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
        *s_pLocal = std::move(opened);
    }
    connection = *s_pLocal;
    return ERROR_SUCCESS;
}

DWORD CMachineConnection::Remote(const std::string& machineFolderName, const std::wstring& user,
                                 const std::wstring& password, std::shared_ptr<CMachineConnection>& connection)
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

DWORD CMachineConnection::RoundTrip(const std::string& frame, std::string& body)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_bBroken)
        return ERROR_NOT_READY;
    uint16_t code = 0;
    if (!SendFrame(m_Fd, frame) || !ReceiveFrame(m_Fd, code, body))
    {
        m_bBroken = true;
        return ERROR_NOT_READY;
    }
    return ERROR_SUCCESS;
}

} // namespace winport::posix

namespace winport::fleet
{

int StopMachineServers(const std::string& fleetRoot)
{
    int stopped = 0;
    std::vector<std::string> stopping;
    DIR* dir = opendir((fleetRoot + "/machines").c_str());
    if (dir == nullptr)
        return 0;
    while (dirent* entry = readdir(dir))
    {
        if (entry->d_name[0] == '.')
            continue;
        int fd = posix::ConnectMachineSocket(fleetRoot + "/machines/" + entry->d_name);
        if (fd < 0)
            continue;
        posix::CFd guard(fd);
        machine::protocol::SHelloRequest hello;
        hello.pid = static_cast<uint32_t>(getpid());
        hello.callerMachine = entry->d_name;
        machine::protocol::SShutdownRequest shutdown;
        uint16_t code;
        std::string body;
        if (posix::SendFrame(fd, machine::protocol::Encode(static_cast<uint16_t>(hello.kCode), hello)) &&
            posix::ReceiveFrame(fd, code, body) &&
            posix::SendFrame(fd, machine::protocol::Encode(static_cast<uint16_t>(shutdown.kCode), shutdown)) &&
            posix::ReceiveFrame(fd, code, body))
        {
            ++stopped;
            stopping.push_back(fleetRoot + "/machines/" + entry->d_name + "/runtime/machined.lock");
        }
    }
    closedir(dir);
    // A server has ended when it lets go of its machine's lock (five seconds at most).
    for (const std::string& lock : stopping)
    {
        posix::CFd fd(open(lock.c_str(), O_RDONLY | O_CLOEXEC));
        for (int i = 0; fd.Get() >= 0 && i < 500; ++i)
        {
            if (flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
                break;
            usleep(10000);
        }
    }
    return stopped;
}

} // namespace winport::fleet
