// Waits, and the requests every kind of kernel object shares: create or open by name, close.
#include "fleetsim/server/Handlers.h"
#include "fleetsim/server/SyncObjects.h"

#include "winport/WinBase.h"
#include "winport/WinString.h"

#include <chrono>

namespace machine
{
using namespace machine::protocol;

namespace
{

constexpr uint32_t kMaxWaitObjects = 64; // MAXIMUM_WAIT_OBJECTS
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitAbandoned0 = 0x80;
constexpr uint32_t kWaitTimeout = 258;

int64_t SteadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const SObjectOps* OpsOf(uint32_t kind)
{
    switch (static_cast<EObjectKind>(kind))
    {
    case EObjectKind::Event:
        return &g_EventOps;
    case EObjectKind::Mutex:
        return &g_MutexOps;
    default:
        return nullptr;
    }
}

} // namespace

// "Global\NAME" and "Local\NAME" name the same object as "NAME": the machine has one session.
std::wstring ObjectName(const std::string& utf8)
{
    std::wstring name = winport::FromUtf8(utf8);
    for (const wchar_t* prefix : {L"Global\\", L"Local\\"})
    {
        size_t length = wcslen(prefix);
        if (name.size() > length && _wcsnicmp(name.c_str(), prefix, length) == 0)
            return name.substr(length);
    }
    return name;
}

void CMachineServer::AddWait(SConnection& connection, uint16_t code,
                             std::vector<std::shared_ptr<CObject>> objects, bool all,
                             uint32_t timeout, uint32_t threadId)
{
    SPendingWait wait;
    wait.fd = connection.fd;
    wait.code = code;
    wait.objects = std::move(objects);
    wait.all = all;
    wait.waiter = SWaiter{connection.process.get(), threadId};
    wait.deadline = timeout == INFINITE ? -1 : SteadyMilliseconds() + timeout;
    uint32_t result = 0;
    connection.waiting = true;
    if (TryWait(wait, result))
        AnswerWait(wait, ERROR_SUCCESS, result);
    else if (timeout == 0)
        AnswerWait(wait, ERROR_SUCCESS, kWaitTimeout);
    else
        m_Waits.push_back(std::move(wait));
}

bool CMachineServer::TryWait(SPendingWait& wait, uint32_t& result)
{
    auto take = [&wait](CObject& object)
    {
        bool abandoned =
            object.Ops().satisfy != nullptr && object.Ops().satisfy(object, wait.waiter);
        if (object.Ops().processGone != nullptr)
            wait.waiter.process->Watch(object.shared_from_this());
        return abandoned;
    };
    if (wait.all)
    {
        for (const std::shared_ptr<CObject>& object : wait.objects)
        {
            if (!object->Ops().signalled(*object, wait.waiter))
                return false;
        }
        result = kWaitObject0;
        for (size_t i = 0; i < wait.objects.size(); ++i)
        {
            if (take(*wait.objects[i]))
                result = kWaitAbandoned0 + static_cast<uint32_t>(i);
        }
        return true;
    }
    for (size_t i = 0; i < wait.objects.size(); ++i)
    {
        if (wait.objects[i]->Ops().signalled(*wait.objects[i], wait.waiter))
        {
            result = (take(*wait.objects[i]) ? kWaitAbandoned0 : kWaitObject0) +
                     static_cast<uint32_t>(i);
            return true;
        }
    }
    return false;
}

void CMachineServer::AnswerWait(const SPendingWait& wait, uint32_t status, uint32_t result)
{
    auto it = m_Connections.find(wait.fd);
    if (it == m_Connections.end())
        return;
    SConnection& connection = *it->second;
    SWaitReply reply;
    reply.status = status;
    reply.result = result;
    std::string frame = Encode(wait.code, reply);
    connection.outBytes += frame.size();
    connection.out.push_back(std::move(frame));
    connection.waiting = false;
    Flush(connection); // a connection that broke meanwhile is dropped when the loop sees it
}

void CMachineServer::WakeWaiters()
{
    for (auto it = m_Waits.begin(); it != m_Waits.end();)
    {
        uint32_t result = 0;
        if (TryWait(*it, result))
        {
            AnswerWait(*it, ERROR_SUCCESS, result);
            it = m_Waits.erase(it);
        }
        else
            ++it;
    }
}

void CMachineServer::ExpireWaits()
{
    int64_t now = SteadyMilliseconds();
    for (auto it = m_Waits.begin(); it != m_Waits.end();)
    {
        if (it->deadline >= 0 && it->deadline <= now)
        {
            AnswerWait(*it, ERROR_SUCCESS, kWaitTimeout);
            it = m_Waits.erase(it);
        }
        else
            ++it;
    }
}

int CMachineServer::MillisecondsToNextDeadline(int tick) const
{
    int64_t next = tick;
    int64_t now = SteadyMilliseconds();
    for (const SPendingWait& wait : m_Waits)
    {
        if (wait.deadline >= 0)
            next = std::min(next, std::max<int64_t>(0, wait.deadline - now));
    }
    return static_cast<int>(next);
}

namespace handlers
{

void CreateObject(SRequestContext& context, SCreateObjectRequest& in, SObjectReply& out)
{
    const SObjectOps* ops = OpsOf(in.kind);
    if (ops == nullptr)
    {
        out.status = ERROR_INVALID_PARAMETER;
        return;
    }
    CClientProcess& process = *context.connection.process;
    SWaiter caller{&process, in.threadId};
    std::wstring name = ObjectName(in.name);
    std::shared_ptr<CObject> object = name.empty() ? nullptr : context.server.Objects().Find(name);
    if (object)
    {
        // Create-or-open in one step: the name's object, if it is of this kind.
        if (!object->IsKind(*ops))
        {
            out.status = ERROR_INVALID_HANDLE;
            return;
        }
        out.existed = 1;
    }
    else
    {
        bool initial = in.initialState != 0;
        object = ops == &g_EventOps ? NewEvent(in.manualReset != 0, initial)
                                    : NewMutex(initial ? &caller : nullptr);
        if (!name.empty())
            context.server.Objects().Insert(name, object);
    }
    out.handle =
        process.Insert(std::move(object), 0x1F0003 /* EVENT_ALL_ACCESS | MUTEX_ALL_ACCESS */);
}

void OpenObject(SRequestContext& context, SOpenObjectRequest& in, SObjectReply& out)
{
    const SObjectOps* ops = OpsOf(in.kind);
    std::wstring name = ObjectName(in.name);
    if (ops == nullptr || name.empty())
    {
        out.status = ERROR_INVALID_PARAMETER;
        return;
    }
    std::shared_ptr<CObject> object = context.server.Objects().Find(name);
    if (!object)
        out.status = ERROR_FILE_NOT_FOUND;
    else if (!object->IsKind(*ops))
        out.status = ERROR_INVALID_HANDLE;
    else
        out.handle = context.connection.process->Insert(std::move(object), 0x1F0003);
}

void CloseHandle(SRequestContext& context, SCloseHandleRequest& in, SStatusReply& out)
{
    out.status = context.connection.process->Close(in.handle);
}

void Wait(SRequestContext& context, SWaitRequest& in, SWaitReply& out)
{
    size_t count = in.handles.size() / sizeof(uint64_t);
    if (count == 0 || count > kMaxWaitObjects || in.handles.size() % sizeof(uint64_t) != 0)
    {
        out.status = ERROR_INVALID_PARAMETER;
        return;
    }
    std::vector<std::shared_ptr<CObject>> objects;
    for (size_t i = 0; i < count; ++i)
    {
        uint64_t handle;
        memcpy(&handle, in.handles.data() + i * sizeof handle, sizeof handle);
        std::shared_ptr<CObject> object;
        out.status = context.connection.process->GetAny(handle, object);
        if (out.status == ERROR_SUCCESS && object->Ops().signalled == nullptr)
            out.status = ERROR_INVALID_HANDLE; // not an object one can wait on
        if (out.status != ERROR_SUCCESS)
            return;
        // Wait-all on one object twice is refused, as on Windows.
        if (in.all != 0)
        {
            for (const std::shared_ptr<CObject>& earlier : objects)
            {
                if (earlier == object)
                {
                    out.status = ERROR_INVALID_PARAMETER;
                    return;
                }
            }
        }
        objects.push_back(std::move(object));
    }
    context.deferred = true;
    context.server.AddWait(context.connection, static_cast<uint16_t>(ERequest::Wait),
                           std::move(objects), in.all != 0, in.timeout, in.threadId);
}

} // namespace handlers
} // namespace machine
