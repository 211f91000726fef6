// The machine server: the single authority for one simulated machine's registry and accounts.
// One process per machine, single-threaded around an epoll loop, like a Wine server for its
// prefix. It ends when it has been idle (no connection) for a while, when asked to, or when
// its machine folder disappears.
#pragma once

#include "winport/posix/MachineProtocol.h"
#include "winport/posix/RegistryStore.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

namespace machine
{

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

private:
    struct SKeyHandle
    {
        int64_t key = 0;
        uint32_t access = 0;
    };

    struct SClient
    {
        int fd = -1;
        std::string in;
        bool greeted = false;
        bool remote = false;
        bool administrator = false;
        uint32_t pid = 0;
        std::wstring account; // "DOMAIN\user" or "user" for remote callers
        std::unordered_map<uint64_t, SKeyHandle> keys;
        uint64_t nextKey = 0x1000;
    };

    void Accept();
    // Returns false when the client must be dropped.
    bool Receive(SClient& client);
    bool Dispatch(SClient& client, uint16_t code, const char* body, size_t size, std::string& reply);
    void Drop(int fd);

    // Resolves a request's key: one of this client's handles or a predefined key.
    DWORD ResolveKey(SClient& client, uint64_t handle, int64_t& key, uint32_t& access);
    DWORD CheckAccount(const std::wstring& account, const std::wstring& password, bool& administrator);
    bool IsAdministrator(const std::wstring& domain, const std::wstring& user);
    std::wstring MachineDomain();
    // A REG_SZ-like value of HKEY_LOCAL_MACHINE with its terminators, or empty.
    std::wstring ReadString(const wchar_t* keyPath, const wchar_t* name);
    DWORD FindShare(const std::wstring& share, protocol::SGetShareReply& reply);
    winport::posix::CRegistryStore* DomainStore(const std::wstring& domain);

    std::string m_FleetRoot;
    std::string m_MachineName;
    std::string m_Folder;
    int m_LockFd = -1;
    int m_ListenFd = -1;
    int m_EpollFd = -1;
    bool m_bStop = false;
    int m_IdleMilliseconds = 30000;
    std::map<int, std::unique_ptr<SClient>> m_Clients;
    winport::posix::CRegistryStore m_Store;
    std::map<std::string, std::unique_ptr<winport::posix::CRegistryStore>> m_DomainStores;
};

} // namespace machine
