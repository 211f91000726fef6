// The machine server's loop: connections, their output queues, and the dispatch of requests by
// the one request list.
#include "fleetsim/server/Server.h"

#include "fleetsim/server/Handlers.h"
#include "fleetsim/server/ServiceObject.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/posix/MachineSocket.h"
#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

using namespace machine::protocol;

namespace machine
{
namespace
{

constexpr size_t kReadChunk = 65536;
// A caller with this much unread reply gets no further request served until it reads.
constexpr size_t kMaxPendingOutput = 2 * kMaxMessage;
constexpr size_t kMaxDescriptors = 3;

void KeepDescriptors(SConnection& connection, msghdr& message)
{
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header))
    {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i)
        {
            int fd;
            memcpy(&fd, CMSG_DATA(header) + i * sizeof fd, sizeof fd);
            if (connection.descriptors.size() < kMaxDescriptors)
                connection.descriptors.push_back(fd);
            else
                close(fd);
        }
    }
}

struct SDispatchEntry
{
    const char* name = nullptr;
    EAccess access = EAccess::Anyone;
    bool (*invoke)(SRequestContext&, uint16_t, const char*, size_t, std::string&, DWORD&) = nullptr;
};

template <class TRequest,
          void (*THandler)(SRequestContext&, TRequest&, typename TRequestTraits<TRequest>::TReply&)>
bool Invoke(SRequestContext& context, uint16_t code, const char* body, size_t size,
            std::string& reply, DWORD& status)
{
    TRequest request;
    if (!Decode(body, size, request))
        return false;
    typename TRequestTraits<TRequest>::TReply answer;
    THandler(context, request, answer);
    status = answer.status;
    if (!context.deferred)
        reply = Encode(code, answer);
    return true;
}

struct SDispatchTable
{
    SDispatchEntry entries[kMaxRequestNumber];
    constexpr SDispatchTable()
    {
#define FLEET_DISPATCH_ENTRY(name, number, request, reply, access)                                 \
    entries[number] = SDispatchEntry{#name, EAccess::access, &Invoke<request, &handlers::name>};
        FLEET_MACHINE_REQUESTS(FLEET_DISPATCH_ENTRY)
#undef FLEET_DISPATCH_ENTRY
    }
};
constexpr SDispatchTable s_Dispatch;

// One line of the server's log (runtime/machined.log).
__attribute__((format(printf, 1, 2))) void Log(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
    fflush(stderr);
}

} // namespace

CMachineServer::CMachineServer(std::string fleetRoot, std::string machineName)
    : m_FleetRoot(std::move(fleetRoot)), m_MachineName(std::move(machineName)),
      m_Folder(m_FleetRoot + "/machines/" + m_MachineName)
{
    char canonical[PATH_MAX];
    m_CanonicalRoot = realpath(m_FleetRoot.c_str(), canonical) != nullptr ? canonical : m_FleetRoot;
}

CMachineServer::~CMachineServer()
{
    m_Waits.clear();
    m_Connections.clear();
    for (int fd : {m_ListenFd, m_EpollFd, m_SignalFd, m_ReserveFd, m_LockFd})
    {
        if (fd >= 0)
            close(fd);
    }
}

int CMachineServer::Start()
{
    std::string runtime = m_Folder + "/runtime";
    mkdir(runtime.c_str(), 0755);
    m_LockFd = open((runtime + "/machined.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_LockFd < 0)
    {
        perror("machined: lock");
        return 2;
    }
    if (flock(m_LockFd, LOCK_EX | LOCK_NB) != 0)
        return 1; // another server serves this machine
    // Sections die with their server; a killed one leaves their files behind.
    winport::posix::RemoveTree(runtime + "/sections");
    // The lock file names the server, so that the fleet tool can stop it by signal.
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(m_LockFd, 0) != 0 ||
        pwrite(m_LockFd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
        perror("machined: lock");
    if (m_Store.Open(m_Folder + "/registry.db") != ERROR_SUCCESS)
    {
        fprintf(stderr, "machined: cannot open the registry of %s: %s\n", m_MachineName.c_str(),
                m_Store.LastMessage());
        return 2;
    }
    m_ListenFd = winport::posix::ListenMachineSocket(m_Folder);
    if (m_ListenFd < 0)
    {
        perror("machined: listen");
        return 2;
    }
    m_ReserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    m_SignalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    m_EpollFd = epoll_create1(EPOLL_CLOEXEC);
    for (int fd : {m_ListenFd, m_SignalFd})
    {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_EpollFd, EPOLL_CTL_ADD, fd, &event);
    }
    return 0;
}

int CMachineServer::Run()
{
    int idleFor = 0;
    constexpr int kTick = 1000;
    // Services a killed predecessor left running are adopted, the others reported stopped.
    StartServices(*this);
    while (!m_bStop)
    {
        epoll_event events[64];
        int n = epoll_wait(m_EpollFd, events, 64, MillisecondsToNextDeadline(kTick));
        if (n < 0 && errno != EINTR)
            return 2;
        for (int i = 0; i < n; ++i)
        {
            int fd = events[i].data.fd;
            if (fd == m_ListenFd)
            {
                Accept();
                continue;
            }
            if (fd == m_SignalFd)
            {
                m_bStop = true;
                continue;
            }
            if (m_ProcessTable.Owns(fd))
            {
                m_ProcessTable.Reap(fd);
                continue;
            }
            auto it = m_Connections.find(fd);
            if (it == m_Connections.end())
                continue;
            SConnection& connection = *it->second;
            bool keep = true;
            if (events[i].events & (EPOLLERR | EPOLLHUP))
                keep = false; // nobody is left to read a reply
            if (keep && (events[i].events & EPOLLOUT))
                keep = Flush(connection) && Serve(connection);
            if (keep && (events[i].events & EPOLLIN))
                keep = Receive(connection);
            if (!keep)
                Drop(fd);
        }
        ExpireWaits();
        if (n <= 0)
        {
            // The machine was removed from its fleet: nothing is left to serve.
            struct stat st;
            if (stat(m_Folder.c_str(), &st) != 0)
                break;
            // Processes it started keep it: it is their parent and must hear their end.
            bool idle = m_Connections.empty() && m_ProcessTable.RunningChildren() == 0;
            idleFor = idle ? idleFor + kTick : 0;
            if (idleFor >= m_IdleMilliseconds)
                break;
        }
        else if (!m_Connections.empty())
            idleFor = 0;
    }
    // The machine shuts down: its services end with it rather than start a server again.
    EndServices(*this);
    return 0;
}

void CMachineServer::Accept()
{
    for (;;)
    {
        int fd = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
        {
            if (errno == EMFILE || errno == ENFILE)
                AcceptOverLimit();
            return;
        }
        if (m_Connections.size() >= m_MaxConnections)
        {
            close(fd);
            Log("machined: refused a connection: %zu connections are open", m_MaxConnections);
            continue;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        {
            close(fd);
            continue;
        }
        auto connection = std::make_unique<SConnection>();
        connection->fd = fd;
        connection->peerPid = peer.pid;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_EpollFd, EPOLL_CTL_ADD, fd, &event);
        m_Connections[fd] = std::move(connection);
    }
}

void CMachineServer::AcceptOverLimit()
{
    // Out of descriptors, the waiting caller would keep the listening socket readable for ever:
    // give up the reserve, turn the caller away, and take the reserve back.
    if (m_ReserveFd >= 0)
        close(m_ReserveFd);
    int fd = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        close(fd);
    m_ReserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    Log("machined: refused a connection: no descriptor left");
}

void CMachineServer::Drop(int fd)
{
    // The process ended or broke the protocol: when it was its last connection, its handles
    // go with it.
    epoll_ctl(m_EpollFd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    m_Waits.remove_if([fd](const SPendingWait& wait) { return wait.fd == fd; });
    auto it = m_Connections.find(fd);
    if (it != m_Connections.end())
    {
        for (int received : it->second->descriptors)
            close(received);
        m_Connections.erase(it);
    }
    // A process that ended may have left mutexes abandoned, which waiters may now take.
    WakeWaiters();
}

bool CMachineServer::Receive(SConnection& connection)
{
    char buffer[kReadChunk];
    for (;;)
    {
        // Before its Hello a caller gets no room for more than a Hello.
        size_t limit = connection.process ? 2 * (kMaxMessage + sizeof(SHeader)) : kMaxHelloMessage;
        if (connection.in.size() > limit)
            return false;
        // Descriptors may come along (a process's standard handles); a few at most are kept.
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)];
        iovec part{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(connection.fd, &message, MSG_CMSG_CLOEXEC);
        if (n > 0)
            KeepDescriptors(connection, message);
        if (n == 0)
            return false;
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            return false;
        }
        connection.in.append(buffer, static_cast<size_t>(n));
        // Less than a full chunk: the socket is drained for now, and the loop hears of more.
        if (static_cast<size_t>(n) < sizeof buffer)
            break;
    }
    return Serve(connection);
}

bool CMachineServer::Serve(SConnection& connection)
{
    size_t offset = 0;
    bool keep = true;
    while (keep && !connection.waiting && connection.outBytes < kMaxPendingOutput &&
           connection.in.size() - offset >= sizeof(SHeader))
    {
        SHeader header;
        memcpy(&header, connection.in.data() + offset, sizeof header);
        uint32_t limit = connection.process ? kMaxMessage : kMaxHelloMessage;
        if (header.length < sizeof header - sizeof(uint32_t) || header.length > limit)
            return false;
        size_t total = header.length + sizeof(uint32_t);
        if (connection.in.size() - offset < total)
            break;
        std::string reply;
        keep = Dispatch(connection, header.code, connection.in.data() + offset + sizeof header,
                        total - sizeof header, reply);
        // Descriptors belong to the request they came with: what it did not take goes.
        for (int received : TakeDescriptors(connection))
            close(received);
        if (!reply.empty())
        {
            connection.outBytes += reply.size();
            connection.out.push_back(std::move(reply));
        }
        offset += total;
    }
    connection.in.erase(0, offset);
    // Even a connection that is to end gets its last reply.
    return Flush(connection) && keep;
}

bool CMachineServer::Flush(SConnection& connection)
{
    while (!connection.out.empty())
    {
        const std::string& front = connection.out.front();
        ssize_t n = send(connection.fd, front.data() + connection.outOffset,
                         front.size() - connection.outOffset, MSG_NOSIGNAL);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            break;
        }
        connection.outOffset += static_cast<size_t>(n);
        connection.outBytes -= static_cast<size_t>(n);
        if (connection.outOffset == front.size())
        {
            connection.out.pop_front();
            connection.outOffset = 0;
        }
    }
    bool wantWrite = !connection.out.empty();
    if (wantWrite != connection.writing)
    {
        epoll_event event{};
        event.events = EPOLLIN | (wantWrite ? EPOLLOUT : 0u);
        event.data.fd = connection.fd;
        epoll_ctl(m_EpollFd, EPOLL_CTL_MOD, connection.fd, &event);
        connection.writing = wantWrite;
    }
    return true;
}

bool CMachineServer::Allowed(const SConnection& connection, EAccess access) const
{
    if (access == EAccess::Anyone)
        return true;
    if (!connection.process)
        return false;
    const SCallerIdentity& caller = connection.process->Identity();
    switch (access)
    {
    case EAccess::Caller:
        return true;
    case EAccess::Local:
        return caller.local;
    case EAccess::Registry:
        return caller.hasAccount && (caller.local || caller.administrator);
    case EAccess::LocalAdministrator:
        return caller.local && caller.administrator;
    default:
        return false;
    }
}

bool CMachineServer::Dispatch(SConnection& connection, uint16_t code, const char* body, size_t size,
                              std::string& reply)
{
    const SDispatchEntry* entry = code < kMaxRequestNumber ? &s_Dispatch.entries[code] : nullptr;
    if (entry == nullptr || entry->invoke == nullptr)
    {
        if (!connection.process)
            return false;
        SStatusReply status;
        status.status = ERROR_INVALID_FUNCTION;
        reply = Encode(code, status);
        return true;
    }
    // Nothing but Hello before Hello, and no second Hello.
    if ((!connection.process) != (code == static_cast<uint16_t>(ERequest::Hello)))
        return false;
    if (!Allowed(connection, entry->access))
    {
        SStatusReply status;
        status.status = ERROR_ACCESS_DENIED;
        reply = Encode(code, status);
        Log("machined: %s refused to process %d: access denied", entry->name,
            static_cast<int>(connection.peerPid));
        return true;
    }
    SRequestContext context{*this, connection};
    DWORD status = ERROR_SUCCESS;
    if (!entry->invoke(context, code, body, size, reply, status))
        return false; // a malformed request ends the connection
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND &&
        status != ERROR_NO_MORE_ITEMS && status != ERROR_MORE_DATA)
    {
        bool storeFailed = status == ERROR_REGISTRY_IO_FAILED || status == ERROR_REGISTRY_CORRUPT;
        Log("machined: %s failed: status %u%s%s%s for process %d", entry->name,
            static_cast<unsigned>(status), storeFailed ? " (" : "",
            storeFailed ? m_Store.LastMessage() : "", storeFailed ? ")" : "",
            static_cast<int>(connection.peerPid));
    }
    return !context.drop;
}

std::shared_ptr<CClientProcess> CMachineServer::ProcessFor(const SCallerIdentity& identity)
{
    // Connections of one process with one identity share its handle table.
    std::string key = std::to_string(identity.pid) + (identity.local ? "L" : "R") +
                      winport::ToUtf8(identity.account);
    for (auto it = m_Processes.begin(); it != m_Processes.end();)
        it = it->second.expired() ? m_Processes.erase(it) : std::next(it);
    auto it = m_Processes.find(key);
    if (it != m_Processes.end())
    {
        if (std::shared_ptr<CClientProcess> existing = it->second.lock())
            return existing;
    }
    auto created = std::make_shared<CClientProcess>(identity);
    m_Processes[key] = created;
    return created;
}

std::shared_ptr<CClientProcess> CMachineServer::TableOfProcess(CProcessObject& process)
{
    if (process.m_Table)
        return process.m_Table;
    SCallerIdentity identity;
    identity.pid = process.Pid();
    identity.local = IsLocalPeer(identity.pid, identity.account);
    if (!identity.local || !process.Running())
        return nullptr;
    identity.hasAccount = AccountExists(identity.account, identity.administrator);
    // Kept with the process until it ends, so that what is put there waits for it.
    process.m_Table = ProcessFor(identity);
    return process.m_Table;
}

void CMachineServer::WatchReadable(int fd)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(m_EpollFd, EPOLL_CTL_ADD, fd, &event);
}

void CMachineServer::UnwatchReadable(int fd)
{
    epoll_ctl(m_EpollFd, EPOLL_CTL_DEL, fd, nullptr);
}

std::vector<int> CMachineServer::TakeDescriptors(SConnection& connection)
{
    std::vector<int> taken;
    taken.swap(connection.descriptors);
    return taken;
}

bool CMachineServer::IsLocalPeer(pid_t pid, std::wstring& account)
{
    winport::fleet::SProcessStart start;
    if (!winport::fleet::ReadProcessStart(pid, start))
        return false;
    account = start.account;
    return start.fleetRoot == m_CanonicalRoot &&
           winport::fleet::NamesEqual(winport::FromUtf8(start.machineName),
                                      winport::FromUtf8(m_MachineName));
}

} // namespace machine
