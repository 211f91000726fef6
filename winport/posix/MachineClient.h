// Linux only: a process's connections to machine servers. The first process that needs a
// machine starts its server.
#pragma once

#include "winport/WinTypes.h"
#include "winport/posix/MachineProtocol.h"

#include <memory>
#include <mutex>
#include <string>

namespace winport::posix
{

class CMachineConnection
{
public:
    ~CMachineConnection();
    CMachineConnection(const CMachineConnection&) = delete;
    CMachineConnection& operator=(const CMachineConnection&) = delete;

    // This process's own machine (shared by all threads).
    static DWORD Local(std::shared_ptr<CMachineConnection>& connection);
    // Another machine of the fleet (by folder name), acting with network credentials there.
    // Connections are shared per machine and account; a refused account is not kept.
    static DWORD Remote(const std::string& machineFolderName, const std::wstring& user,
                        const std::wstring& password, std::shared_ptr<CMachineConnection>& connection);
    // Starts the machine's server when none answers; returns a connected socket or -1.
    static int ConnectStartingServer(const std::string& machineFolder, const std::string& machineName);

    // One request and its reply; a broken connection gives ERROR_NOT_READY and is not reused.
    template <class TRequest, class TReply>
    DWORD Call(TRequest& request, TReply& reply, uint16_t code = static_cast<uint16_t>(TRequest::kCode))
    {
        std::string frame = machine::protocol::Encode(code, request);
        std::string body;
        DWORD rc = RoundTrip(frame, body);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (machine::protocol::Decode(body.data(), body.size(), reply))
            return ERROR_SUCCESS;
        // A refused request is answered with its status alone, which every reply starts with.
        machine::protocol::SStatusReply status;
        if (!machine::protocol::Decode(body.data(), body.size(), status) || status.status == ERROR_SUCCESS)
            return ERROR_INVALID_DATA;
        reply = TReply{};
        reply.status = status.status;
        return ERROR_SUCCESS;
    }

    bool IsAdministrator() const { return m_bAdministrator; }
    const std::string& MachineName() const { return m_MachineName; }
    bool IsBroken() const { return m_bBroken; }

private:
    CMachineConnection(int fd, std::string machineName) : m_Fd(fd), m_MachineName(std::move(machineName)) {}
    DWORD RoundTrip(const std::string& frame, std::string& body);
    static DWORD Open(const std::string& machineName, const std::wstring& user, const std::wstring& password,
                      std::shared_ptr<CMachineConnection>& connection);

    int m_Fd;
    std::string m_MachineName;
    bool m_bAdministrator = false;
    bool m_bBroken = false;
    std::mutex m_Lock;
};

} // namespace winport::posix
