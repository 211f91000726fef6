// Linux only: a process's connections to machine servers. The first process that needs a
// machine starts its server.
#pragma once

#include "protocol/MachineRequests.h"
#include "winport/WinTypes.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winport::posix
{

class CMachineConnection
{
public:
    ~CMachineConnection();
    CMachineConnection(const CMachineConnection&) = delete;
    CMachineConnection& operator=(const CMachineConnection&) = delete;

    // This process's own machine, as the account the process runs as (shared by all threads).
    static DWORD Local(std::shared_ptr<CMachineConnection>& connection);
    // A machine of the fleet (by folder name; this machine too), acting with an account's
    // credentials there. Connections are shared per machine and account; a refused account is
    // not kept.
    static DWORD Remote(const std::string& machineFolderName, const std::wstring& user,
                        const std::wstring& password,
                        std::shared_ptr<CMachineConnection>& connection);
    // A connection of this machine as the process's account for one thread alone (a thread
    // that waits blocks its connection until the wait is over).
    static DWORD OwnForThisThread(std::shared_ptr<CMachineConnection>& connection);
    // A live connection with the identity of one that broke (its server ended meanwhile).
    static DWORD Renew(const std::shared_ptr<CMachineConnection>& broken,
                       std::shared_ptr<CMachineConnection>& fresh);
    // Starts the machine's server when none answers; returns a connected socket or -1.
    static int ConnectStartingServer(const std::string& machineFolder,
                                     const std::string& machineName);

    // One request and its reply; a broken connection gives ERROR_NOT_READY and is not reused.
    // Descriptors given travel with the request.
    template <class TRequest>
    DWORD Call(TRequest& request,
               typename machine::protocol::TRequestTraits<TRequest>::TReply& reply,
               const std::vector<int>& descriptors = {})
    {
        using TReply = typename machine::protocol::TRequestTraits<TRequest>::TReply;
        constexpr auto kCode =
            static_cast<uint16_t>(machine::protocol::TRequestTraits<TRequest>::kCode);
        std::string frame = machine::protocol::Encode(kCode, request);
        std::string body;
        DWORD rc = RoundTrip(frame, body, descriptors);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (machine::protocol::Decode(body.data(), body.size(), reply))
            return ERROR_SUCCESS;
        // A refused request is answered with its status alone, which every reply starts with.
        machine::protocol::SStatusReply status;
        if (!machine::protocol::Decode(body.data(), body.size(), status) ||
            status.status == ERROR_SUCCESS)
            return ERROR_INVALID_DATA;
        reply = TReply{};
        reply.status = status.status;
        return ERROR_SUCCESS;
    }

    bool IsAdministrator() const { return m_bAdministrator; }
    const std::string& MachineName() const { return m_MachineName; }
    bool IsBroken() const { return m_bBroken; }
    // The server process that greeted it: handles are valid on that server alone.
    uint32_t ServerPid() const { return m_ServerPid; }

private:
    CMachineConnection(int fd, std::string machineName)
        : m_Fd(fd), m_MachineName(std::move(machineName))
    {
    }
    DWORD RoundTrip(const std::string& frame, std::string& body,
                    const std::vector<int>& descriptors);
    static DWORD Open(const std::string& machineName, const std::wstring& user,
                      const std::wstring& password,
                      std::shared_ptr<CMachineConnection>& connection);

    int m_Fd;
    std::string m_MachineName;
    bool m_bAdministrator = false;
    bool m_bBroken = false;
    uint32_t m_ServerPid = 0;
    bool m_bProcessIdentity = false; // made by Local(): acts as the process's own account
    std::wstring m_User;             // else the credentials it was made with, to renew it
    std::wstring m_Password;
    std::mutex m_Lock;
};

} // namespace winport::posix
