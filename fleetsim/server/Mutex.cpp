// Mutexes: an owner thread with a recursion count, abandoned when the owner's process ends.
#include "fleetsim/server/Handlers.h"
#include "fleetsim/server/SyncObjects.h"

namespace machine
{
namespace
{

class CMutex : public CObject
{
public:
    CMutex() : CObject(g_MutexOps) {}
    CClientProcess* m_pOwner =
        nullptr; // only compared, never followed: the process tells us when it goes
    uint32_t m_OwnerThread = 0;
    uint32_t m_Count = 0;
    bool m_bAbandoned = false;
};

bool OwnedBy(const CMutex& mutex, const SWaiter& by)
{
    return mutex.m_Count > 0 && mutex.m_pOwner == by.process && mutex.m_OwnerThread == by.threadId;
}

bool Signalled(const CObject& object, const SWaiter& by)
{
    const auto& mutex = static_cast<const CMutex&>(object);
    return mutex.m_Count == 0 || OwnedBy(mutex, by);
}

bool Satisfy(CObject& object, const SWaiter& by)
{
    auto& mutex = static_cast<CMutex&>(object);
    bool abandoned = mutex.m_bAbandoned;
    mutex.m_bAbandoned = false;
    mutex.m_pOwner = by.process;
    mutex.m_OwnerThread = by.threadId;
    ++mutex.m_Count;
    return abandoned;
}

void ProcessGone(CObject& object, CClientProcess& gone)
{
    auto& mutex = static_cast<CMutex&>(object);
    if (mutex.m_Count > 0 && mutex.m_pOwner == &gone)
    {
        // Its owner died holding it: the next waiter gets it with WAIT_ABANDONED.
        mutex.m_pOwner = nullptr;
        mutex.m_OwnerThread = 0;
        mutex.m_Count = 0;
        mutex.m_bAbandoned = true;
    }
}

} // namespace

const SObjectOps g_MutexOps = {"Mutex", Signalled, Satisfy, nullptr, ProcessGone};

std::shared_ptr<CObject> NewMutex(const SWaiter* owner)
{
    auto mutex = std::make_shared<CMutex>();
    if (owner != nullptr)
        OwnMutex(mutex, *owner);
    return mutex;
}

void OwnMutex(const std::shared_ptr<CObject>& mutex, const SWaiter& owner)
{
    Satisfy(*mutex, owner);
    owner.process->Watch(mutex);
}

namespace handlers
{

void ReleaseMutex(SRequestContext& context, SReleaseMutexRequest& in, SStatusReply& out)
{
    std::shared_ptr<CObject> object;
    out.status = context.connection.process->Get(in.handle, g_MutexOps, 0, object);
    if (out.status != ERROR_SUCCESS)
        return;
    auto& mutex = static_cast<CMutex&>(*object);
    if (!OwnedBy(mutex, SWaiter{context.connection.process.get(), in.threadId}))
    {
        out.status = ERROR_NOT_OWNER;
        return;
    }
    if (--mutex.m_Count == 0)
    {
        mutex.m_pOwner = nullptr;
        mutex.m_OwnerThread = 0;
        context.server.WakeWaiters();
    }
}

} // namespace handlers
} // namespace machine
