// Events: manual-reset and auto-reset, and their requests.
#include "fleetsim/server/Handlers.h"
#include "fleetsim/server/SyncObjects.h"

namespace machine
{
namespace
{

class CEvent : public CObject
{
public:
    CEvent(bool manualReset, bool signalled)
        : CObject(g_EventOps), m_bManualReset(manualReset), m_bSignalled(signalled)
    {
    }
    bool m_bManualReset;
    bool m_bSignalled;
};

bool Signalled(const CObject& object, const SWaiter&)
{
    return static_cast<const CEvent&>(object).m_bSignalled;
}

bool Satisfy(CObject& object, const SWaiter&)
{
    auto& event = static_cast<CEvent&>(object);
    if (!event.m_bManualReset)
        event.m_bSignalled = false; // an auto-reset event lets one waiter through
    return false;
}

} // namespace

const SObjectOps g_EventOps = {"Event", Signalled, Satisfy, nullptr, nullptr};

std::shared_ptr<CObject> NewEvent(bool manualReset, bool signalled)
{
    return std::make_shared<CEvent>(manualReset, signalled);
}

namespace handlers
{

void EventOperation(SRequestContext& context, SEventRequest& in, SStatusReply& out)
{
    std::shared_ptr<CObject> object;
    out.status = context.connection.process->Get(in.handle, g_EventOps, 0, object);
    if (out.status != ERROR_SUCCESS)
        return;
    auto& event = static_cast<CEvent&>(*object);
    switch (in.operation)
    {
    case 1: // SetEvent
        event.m_bSignalled = true;
        context.server.WakeWaiters();
        break;
    case 2: // ResetEvent
        event.m_bSignalled = false;
        break;
    case 3: // PulseEvent: whoever waits now goes on, and the event is reset
        event.m_bSignalled = true;
        context.server.WakeWaiters();
        event.m_bSignalled = false;
        break;
    default:
        out.status = ERROR_INVALID_PARAMETER;
    }
}

} // namespace handlers
} // namespace machine
