// A process connected to the machine server: who it is, and its handle table, which is closed
// whole when the last connection of the process goes.
#pragma once

#include "fleetsim/server/Object.h"
#include "winport/WinTypes.h"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace machine
{

// Who a caller is, as the server found out from the caller's process and its credentials.
struct SCallerIdentity
{
    pid_t pid = 0;
    bool local = false;         // its process runs on this machine
    bool hasAccount = false;    // it acts as an existing account of this machine or its domain
    bool administrator = false; // that account holds the machine's Administrators group
    std::wstring account;       // "user" or "DOMAIN\user"
};

class CClientProcess
{
public:
    explicit CClientProcess(SCallerIdentity identity) : m_Identity(std::move(identity)) {}
    ~CClientProcess();
    CClientProcess(const CClientProcess&) = delete;
    CClientProcess& operator=(const CClientProcess&) = delete;

    const SCallerIdentity& Identity() const { return m_Identity; }

    uint64_t Insert(std::shared_ptr<CObject> object, uint32_t access);
    // The object behind a handle of this process: ERROR_INVALID_HANDLE when the handle is not
    // one, or of another kind; ERROR_ACCESS_DENIED when it lacks one of the rights asked.
    DWORD Get(uint64_t handle, const SObjectOps& kind, uint32_t rights,
              std::shared_ptr<CObject>& object, uint32_t* granted = nullptr) const;
    // The object behind a handle of any kind.
    DWORD GetAny(uint64_t handle, std::shared_ptr<CObject>& object) const;
    DWORD Close(uint64_t handle);
    void CloseAll();
    size_t HandleCount() const { return m_Handles.size(); }
    // An object that must hear when this process ends (a mutex one of its threads owns).
    void Watch(const std::shared_ptr<CObject>& object);

private:
    struct SHandle
    {
        std::shared_ptr<CObject> object;
        uint32_t access = 0;
    };
    SCallerIdentity m_Identity;
    std::map<uint64_t, SHandle> m_Handles;
    std::map<const CObject*, std::weak_ptr<CObject>> m_Watched;
    size_t m_WatchedPruneAt = 16;
    uint64_t m_NextHandle = 0x1000;
};

} // namespace machine
