// The agent's queue of tasks for the wizard, the long-polling query that drains it, and the
// tasks that answer and cancel it.
#include "remoteinstall/BackwardsTaskQueue.h"

#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/CWin32API.h"
#include "remoteinstall/CommunicationPeer.h"
#include "winport/WinBase.h"
#include "winport/WinSecurity.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

using RemoteInstall::CRemoteInstallCommon;

// ---- The queue
// ------------------------------------------------------------------------------------

struct CPassiveTaskList::SEntry
{
    ITaskSupport* task = nullptr;
    int state = 0; // 0 queued, 1 handed to a query, 2 result delivered
    HANDLE completion = nullptr;
};

struct CPassiveTaskList::SState
{
    std::mutex lock;
    std::deque<std::shared_ptr<SEntry>> entries;
    // Raised while an entry waits that no query has taken yet. It is left raised when a query
    // takes the last one, so that taking costs no call on the machine server; the next query
    // then finds nothing, lowers it and waits again.
    HANDLE available = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool raised = false;
    HANDLE abandoned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE stop = nullptr;
    std::once_flag stopOnce;
    std::vector<HANDLE> spareEvents;             // completion events, reset, for reuse
    std::map<std::wstring, HANDLE> cancelEvents; // by the name of the query they cancel

    HANDLE StopEvent()
    {
        std::call_once(stopOnce,
                       [this] { stop = CreateEventW(nullptr, TRUE, FALSE, kStopEventName); });
        return stop;
    }
    // Under the lock.
    void Raise()
    {
        if (!raised)
            raised = SetEvent(available) != FALSE;
    }
    // Under the lock: lowers the signal when no untaken entry waits.
    void LowerWhenNoneWaits()
    {
        for (const auto& entry : entries)
            if (entry->state == 0)
                return;
        if (raised && ResetEvent(available))
            raised = false;
    }
    // Under the lock.
    HANDLE TakeCompletionEvent()
    {
        if (spareEvents.empty())
            return CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE event = spareEvents.back();
        spareEvents.pop_back();
        return event;
    }
    // Under the lock: the cancel event of a query, opened once for all the rounds of its peer.
    HANDLE CancelEvent(const std::wstring& name)
    {
        auto found = cancelEvents.find(name);
        if (found != cancelEvents.end())
            return found->second;
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        if (event != nullptr)
            cancelEvents[name] = event;
        return event;
    }
};

CPassiveTaskList::SState& CPassiveTaskList::State()
{
    // Lives as long as the process: RPC threads may still wait on its events at exit.
    static SState* state = new SState();
    return *state;
}

size_t CPassiveTaskList::GetTaskCount()
{
    SState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.entries.size();
}

void CPassiveTaskList::Abandon()
{
    SetEvent(State().abandoned);
}

bool CPassiveTaskList::PushTask(ITaskSupport* task)
{
    ADVLOG_TRACE_FUNCTION(L"CPassiveTaskList::PushTask");
    SState& state = State();
    HANDLE stop = state.StopEvent();
    auto entry = std::make_shared<SEntry>();
    entry->task = task;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        entry->completion = state.TakeCompletionEvent();
        state.entries.push_back(entry);
        state.Raise();
    }
    HANDLE handles[3] = {entry->completion, stop, state.abandoned};
    DWORD waited = WaitForMultipleObjects(3, handles, FALSE, INFINITE);
    bool completed = false;
    {
        // The entry leaves the list with its waiter, so a result never reaches a task whose
        // sender has given up on it.
        std::lock_guard<std::mutex> guard(state.lock);
        completed = entry->state == 2;
        for (auto it = state.entries.begin(); it != state.entries.end(); ++it)
            if (*it == entry)
            {
                state.entries.erase(it);
                break;
            }
        state.LowerWhenNoneWaits();
    }
    // Reset now, off the way of the next report.
    if (ResetEvent(entry->completion))
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.spareEvents.push_back(entry->completion);
    }
    else
        CloseHandle(entry->completion);
    if (waited == WAIT_OBJECT_0 || completed)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Task complete.");
        return true;
    }
    if (waited == WAIT_OBJECT_0 + 1)
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Got process quit event, stop waiting for passive tasks.");
    else if (waited == WAIT_OBJECT_0 + 2)
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"No wizard fetches passive tasks any more.");
    else
        ADVLOG_UNEXPECTED_BRANCH(L"CPassiveTaskList::PushTask");
    return false;
}

// ---- The query: agent side
// ------------------------------------------------------------------------

int CQueryBackwardsTask::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteString(m_strTaskText);
    stream->WriteString(m_strCancelEventName);
    stream->WriteInt(m_iWaitResult);
    return 1;
}

int CQueryBackwardsTask::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_strTaskText = stream->ReadString();
    m_strCancelEventName = stream->ReadString();
    m_iWaitResult = stream->ReadInt();
    return 1;
}

void CQueryBackwardsTask::OnRun()
{
    ADVLOG_TRACE_FUNCTION(L"CQueryBackwardsTask::OnRun");
    m_iWaitResult = WaitForTask();
}

int CQueryBackwardsTask::WaitForTask()
{
    ADVLOG_TRACE_FUNCTION(L"CQueryBackwardsTask::WaitForTask");
    CPassiveTaskList::SState& state = CPassiveTaskList::State();
    HANDLE stop = state.StopEvent();
    HANDLE cancel;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        cancel = m_strCancelEventName.empty() ? CreateEventW(nullptr, TRUE, FALSE, nullptr)
                                              : state.CancelEvent(m_strCancelEventName);
    }
    HANDLE handles[3] = {state.available, cancel, stop};
    int result = QUERY_WAIT_NOTHING;
    for (;;)
    {
        DWORD waited = WaitForMultipleObjects(3, handles, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0)
        {
            // An entry in the list has a sender that still waits: one that gives up (the stop
            // event) takes its entry out under the lock, and a result for it goes nowhere.
            std::lock_guard<std::mutex> guard(state.lock);
            std::shared_ptr<CPassiveTaskList::SEntry> taken;
            for (const auto& entry : state.entries)
                if (entry->state == 0)
                {
                    taken = entry;
                    break;
                }
            if (!taken)
            {
                state.LowerWhenNoneWaits(); // the last one was taken already
                continue;
            }
            taken->state = 1;
            m_strTaskText = CRemoteInstallCommon::GetSerializedTaskString(taken->task);
            result = QUERY_WAIT_TASK;
            break;
        }
        if (waited == WAIT_OBJECT_0 + 1)
        {
            result = QUERY_WAIT_CANCELLED;
            ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Master peer quit from querying task. Target is %s",
                   m_strCancelEventName.c_str());
        }
        else if (waited == WAIT_OBJECT_0 + 2)
        {
            result = QUERY_WAIT_AGENT_STOPPING;
            ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Install agent quit, stop querying task. Target is %s",
                   m_strCancelEventName.c_str());
        }
        else
            ADVLOG_UNEXPECTED_BRANCH(L"CQueryBackwardsTask::WaitForTask");
        break;
    }
    if (m_strCancelEventName.empty())
        CloseHandle(cancel);
    else if (result != QUERY_WAIT_TASK)
    {
        // The peer's rounds are over (cancelled, stopping or broken): its event goes.
        std::lock_guard<std::mutex> guard(state.lock);
        state.cancelEvents.erase(m_strCancelEventName);
        CloseHandle(cancel);
    }
    return result;
}

void CSendBackTaskResultTask::OnRun()
{
    CPassiveTaskList::SState& state = CPassiveTaskList::State();
    std::lock_guard<std::mutex> guard(state.lock);
    // The entry a query took; one whose sender gave up has left the list, and its result goes
    // nowhere.
    for (const auto& entry : state.entries)
        if (entry->state == 1)
        {
            entry->state = 2;
            CRemoteInstallCommon::DeserializeTaskResultFromString(entry->task, m_strResultText);
            SetEvent(entry->completion);
            return;
        }
}

int CSendBackTaskResultTask::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteString(m_strResultText);
    return 1;
}

int CSendBackTaskResultTask::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_strResultText = stream->ReadString();
    return 1;
}

void CCancelQueryBackwardsTask::OnRun()
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Cancel query task. Task is %s", m_strCancelEventName.c_str());
    HANDLE cancel =
        CreateEventW(nullptr, FALSE, TRUE,
                     m_strCancelEventName.empty() ? nullptr : m_strCancelEventName.c_str());
    if (cancel != nullptr)
    {
        SetEvent(cancel);
        CloseHandle(cancel);
    }
}

int CCancelQueryBackwardsTask::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteString(m_strCancelEventName);
    return 1;
}

int CCancelQueryBackwardsTask::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_strCancelEventName = stream->ReadString();
    return 1;
}

// ---- The query: wizard side
// -----------------------------------------------------------------------

struct CQueryBackwardsTask::SPolling
{
    std::shared_ptr<CRPCClientSupport> client;
    std::wstring server;
    std::mutex lock;
    std::condition_variable ended;
    bool hasEnded = false;
    std::thread thread;
};

CQueryBackwardsTask::~CQueryBackwardsTask()
{
    if (m_pPolling && m_pPolling->thread.joinable())
        m_pPolling->thread.detach();
}

void CQueryBackwardsTask::StartPolling(std::shared_ptr<CRPCClientSupport> client,
                                       const std::wstring& server, const std::wstring& domain,
                                       const std::wstring& user, const std::wstring& password,
                                       const std::wstring& cancelEventName)
{
    m_strLogonDomain = domain;
    m_strLogonUser = user;
    m_strLogonPassword = password;
    m_strCancelEventName = cancelEventName;
    m_pPolling = std::make_shared<SPolling>();
    m_pPolling->client = std::move(client);
    m_pPolling->server = server;
    try
    {
        m_pPolling->thread = std::thread(&CQueryBackwardsTask::PollingThread, shared_from_this());
    }
    catch (const std::system_error&)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"_beginthreadex failed.");
        m_pPolling.reset();
    }
}

void CQueryBackwardsTask::StopPolling(int waitMilliseconds)
{
    m_bRunning.store(0);
    if (!m_pPolling || !m_pPolling->thread.joinable())
        return;
    if (waitMilliseconds <= 0)
        return;
    bool ended;
    {
        std::unique_lock<std::mutex> guard(m_pPolling->lock);
        ended = m_pPolling->ended.wait_for(guard, std::chrono::milliseconds(waitMilliseconds),
                                           [&] { return m_pPolling->hasEnded; });
    }
    // A thread still blocked in its call is let go; it shares what it uses and ends with the call.
    if (ended)
        m_pPolling->thread.join();
    else
        m_pPolling->thread.detach();
}

int CQueryBackwardsTask::SendOnPeer(ITaskSupport* task)
{
    task->m_strTargetServerName = m_pPolling->server;
    try
    {
        return m_pPolling->client->SendTask(task);
    }
    catch (const CRPCException&)
    {
        return 0; // the RPC layer has logged why
    }
}

int CQueryBackwardsTask::PollingThread(std::shared_ptr<CQueryBackwardsTask> task)
{
    int code = 0;
    {
        CImpersonateUser impersonate(task->m_strLogonDomain, task->m_strLogonUser,
                                     task->m_strLogonPassword, LOGON32_LOGON_NEW_CREDENTIALS);
        while (task->m_bRunning.load() == 1)
        {
            task->m_strTaskText.clear();
            task->m_iWaitResult = QUERY_WAIT_NOTHING;
            if (!task->SendOnPeer(task.get()))
            {
                ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Send query backwards task failed.");
                code = -1;
                break;
            }
        }
    }
    std::shared_ptr<SPolling> polling = task->m_pPolling;
    {
        std::lock_guard<std::mutex> guard(polling->lock);
        polling->hasEnded = true;
    }
    polling->ended.notify_all();
    return code;
}

void CQueryBackwardsTask::OnTaskComplete()
{
    ADVLOG_TRACE_FUNCTION(L"CQueryBackwardsTask::OnTaskComplete");
    if (m_strTaskText.empty())
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Stop Query Backwards task.");
        m_bRunning.store(0);
        return;
    }
    RunIncomingTask();
    if (!m_pPolling)
        return;
    CImpersonateUser impersonate(m_strLogonDomain, m_strLogonUser, m_strLogonPassword,
                                 LOGON32_LOGON_NEW_CREDENTIALS);
    CSendBackTaskResultTask sendBack;
    sendBack.m_strResultText = m_strTaskText;
    if (!SendOnPeer(&sendBack))
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"SendBackTaskResultTask failed.");
}

void CQueryBackwardsTask::RunIncomingTask()
{
    ITaskSupport* incoming = CRemoteInstallCommon::DeserializeNewTaskFromString(m_strTaskText);
    if (incoming == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Deserialize task failed: %s", m_strTaskText.c_str());
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Run incoming task error: %s", m_strTaskText.c_str());
        return;
    }
    if (m_iWaitResult == QUERY_WAIT_TASK)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"RunIncomingTask(), target server is %s, task is %s",
               m_strTargetServerName.c_str(),
               CStringSupport::GetClassNameThroughTypeInfo(typeid(*incoming)).c_str());
        incoming->m_strTargetServerName = m_strTargetServerName;
        try
        {
            incoming->RunTaskOnLocal();
            m_strTaskText = CRemoteInstallCommon::GetSerializedTaskString(incoming);
        }
        catch (const CExceptionSupport& exception)
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Run incoming task error: %s",
                   exception.GetDescription().c_str());
        }
    }
    else
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"CQueryBackwardsTask quit:%d", m_iWaitResult);
    delete incoming;
}
