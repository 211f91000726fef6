// The machine server: the single authority for one simulated machine's registry, accounts and
// objects. One process per machine, single-threaded around an epoll loop, like a Wine server
// for its prefix. It ends when it has been idle (no connection) for a while, when asked to (a
// Shutdown request of a local administrator, or SIGTERM), or when its machine folder goes.
#pragma once

#include "fleetsim/server/ClientProcess.h"
#include "fleetsim/server/Object.h"
#include "fleetsim/server/ProcessObject.h"
#include "fleetsim/store/RegistryStore.h"
#include "protocol/MachineRequests.h"

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace machine
{

class CMachineServer;

// One connection of a process.
struct SConnection
{
    int fd = -1;
    pid_t peerPid = 0;
    std::string in;
    std::deque<std::string> out; // replies not yet written: drained under EPOLLOUT
    size_t outOffset = 0;        // of out.front()
    size_t outBytes = 0;
    bool writing = false; // EPOLLOUT is armed
    bool waiting = false; // a Wait of this connection is pending; its reply comes later
    std::shared_ptr<CClientProcess> process; // set by Hello
    std::vector<int> descriptors;            // received with the request being served
};

// What a request handler works with.
struct SRequestContext
{
    CMachineServer& server;
    SConnection& connection;
    bool drop = false;     // end the connection after the reply
    bool deferred = false; // the reply comes later (a wait that is not over yet)
};

class CMachineServer
{
public:
    CMachineServer(std::string fleetRoot, std::string machineName);
    ~CMachineServer();

    // Takes the machine's lock and listens on its socket; returns 0, or a non-zero exit code
    // (1 when another server already serves the machine).
    int Start();
    // Runs until shutdown; returns the exit code.
    int Run();

    void SetIdleMilliseconds(int milliseconds) { m_IdleMilliseconds = milliseconds; }
    void SetMaxConnections(size_t count) { m_MaxConnections = count; }
    void RequestStop() { m_bStop = true; }

    const std::string& MachineName() const { return m_MachineName; }
    const std::string& Folder() const { return m_Folder; }
    const std::string& FleetRoot() const { return m_FleetRoot; }
    CRegistryStore& Store() { return m_Store; }
    CObjectDirectory& Objects() { return m_Objects; }

    // The store of a domain of the fleet, opened on first use; null when there is none.
    CRegistryStore* DomainStore(const std::wstring& domain);
    // The NetBIOS name of the machine's domain, empty when it is in none.
    std::wstring MachineDomain();
    // A REG_SZ-like value below HKEY_LOCAL_MACHINE up to its first terminator, or empty.
    std::wstring ReadString(const wchar_t* keyPath, const wchar_t* name);
    // Checks an account's password here (local, or of the machine's domain).
    DWORD CheckAccount(const std::wstring& account, const std::wstring& password,
                       bool& administrator);
    // Whether an account without a password is one of this machine or its domain.
    bool AccountExists(const std::wstring& account, bool& administrator);
    // The process a connection belongs to: connections of one process share one.
    std::shared_ptr<CClientProcess> ProcessFor(const SCallerIdentity& identity);
    // Who the process at the other end of a connection is, before its credentials count.
    bool IsLocalPeer(pid_t pid, std::wstring& account);

    // A wait of a connection on objects, answered now when it can be, else when an object
    // changes (WakeWaiters, after every change that may let a waiter on) or its time is up.
    void AddWait(SConnection& connection, uint16_t code,
                 std::vector<std::shared_ptr<CObject>> objects, bool all, uint32_t timeout,
                 uint32_t threadId);
    void WakeWaiters();

    CProcessTable& Processes() { return m_ProcessTable; }
    // The handle table of a process of this machine, whether or not it is connected yet.
    std::shared_ptr<CClientProcess> TableOfProcess(CProcessObject& process);
    // Descriptors the loop reports to their owner (pidfds of processes).
    void WatchReadable(int fd);
    void UnwatchReadable(int fd);
    // The descriptors that came with the request being served; the caller closes them.
    std::vector<int> TakeDescriptors(SConnection& connection);

private:
    void Accept();
    void AcceptOverLimit();
    bool Receive(SConnection& connection);
    bool Serve(SConnection& connection);
    bool Flush(SConnection& connection);
    void Drop(int fd);
    bool Dispatch(SConnection& connection, uint16_t code, const char* body, size_t size,
                  std::string& reply);
    bool Allowed(const SConnection& connection, protocol::EAccess access) const;

    struct SPendingWait
    {
        int fd = -1;
        uint16_t code = 0;
        std::vector<std::shared_ptr<CObject>> objects;
        bool all = false;
        SWaiter waiter;
        int64_t deadline = -1; // steady milliseconds, -1 for none
    };
    // Satisfies the wait when it can: its result, or false.
    bool TryWait(SPendingWait& wait, uint32_t& result);
    void AnswerWait(const SPendingWait& wait, uint32_t status, uint32_t result);
    void ExpireWaits();
    int MillisecondsToNextDeadline(int tick) const;

    std::string m_FleetRoot;
    std::string m_CanonicalRoot;
    std::string m_MachineName;
    std::string m_Folder;
    int m_LockFd = -1;
    int m_ListenFd = -1;
    int m_EpollFd = -1;
    int m_SignalFd = -1;
    int m_ReserveFd = -1; // given up to accept and close a caller when descriptors run out
    bool m_bStop = false;
    int m_IdleMilliseconds = 30000;
    size_t m_MaxConnections = 4096; // a caller beyond it is turned away
    std::map<int, std::unique_ptr<SConnection>> m_Connections;
    std::map<std::string, std::weak_ptr<CClientProcess>> m_Processes;
    CRegistryStore m_Store;
    std::map<std::string, std::unique_ptr<CRegistryStore>> m_DomainStores;
    CObjectDirectory m_Objects;
    std::list<SPendingWait> m_Waits;
    CProcessTable m_ProcessTable{*this};
};

} // namespace machine
