// Linux only: a handle of this process to an object of its machine's server (events, mutexes,
// processes, threads). The server handle closes with the last reference to it.
#pragma once

#include "winport/fleet/MachineClient.h"
#include "winport/posix/PosixSupport.h"

namespace winport::fleet
{

class CServerObject : public winport::posix::CKernelObject
{
public:
    CServerObject(std::shared_ptr<winport::posix::CMachineConnection> connection, uint64_t handle,
                  machine::protocol::EObjectKind kind)
        : m_Connection(std::move(connection)), m_Handle(handle), m_Kind(kind)
    {
    }
    ~CServerObject() override;
    // A second server handle to the same object (DuplicateHandle).
    std::shared_ptr<CKernelObject> Duplicate(const std::shared_ptr<CKernelObject>& self,
                                             DWORD access, bool sameAccess) override;

    std::shared_ptr<winport::posix::CMachineConnection> m_Connection;
    uint64_t m_Handle;
    machine::protocol::EObjectKind m_Kind;
};

std::shared_ptr<CServerObject> ServerObject(HANDLE handle);
// The reply's status as the call's result on the process's own connection (the one used when
// *used is given); a connection that broke is ERROR_NOT_READY.
template <class TRequest>
DWORD AskServer(TRequest& request,
                typename machine::protocol::TRequestTraits<TRequest>::TReply& reply,
                std::shared_ptr<winport::posix::CMachineConnection>* used = nullptr)
{
    std::shared_ptr<winport::posix::CMachineConnection> connection;
    DWORD rc = winport::posix::CMachineConnection::Local(connection);
    if (rc == ERROR_SUCCESS)
        rc = connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (used != nullptr)
        *used = std::move(connection);
    return rc;
}

} // namespace winport::fleet
