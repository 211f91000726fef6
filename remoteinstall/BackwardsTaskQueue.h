// The backwards leg: tasks that travel from a target server to the wizard wait in the agent's
// queue until the wizard's long-polling query fetches them, runs them and sends the result back.
#pragma once

#include "remoteinstall/CTaskSupport.h"

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <thread>

class ICommunicationPeer;

// Wait results of a query.
enum
{
    QUERY_WAIT_NOTHING = 0,
    QUERY_WAIT_TASK = 1,
    QUERY_WAIT_CANCELLED = 2,
    QUERY_WAIT_AGENT_STOPPING = 3,
};

class CRPCClientSupport;

class CQueryBackwardsTask : public ITaskSupport,
                            public std::enable_shared_from_this<CQueryBackwardsTask>
{
public:
    CQueryBackwardsTask() = default;
    ~CQueryBackwardsTask() override;
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    void OnTaskComplete() override;

    // Wizard side: start and stop the polling thread of an active peer. The thread shares the
    // peer's RPC client and this task, so that a thread still blocked in a call when the peer
    // gives up waiting for it uses nothing that is gone.
    void StartPolling(std::shared_ptr<CRPCClientSupport> client, const std::wstring& server,
                      const std::wstring& domain, const std::wstring& user,
                      const std::wstring& password, const std::wstring& cancelEventName);
    // Clears the running flag and waits up to the given time for the thread to end.
    void StopPolling(int waitMilliseconds);

    std::wstring m_strTaskText;
    std::wstring m_strCancelEventName;
    int m_iWaitResult = QUERY_WAIT_NOTHING;

protected:
    void OnRun() override;

private:
    int WaitForTask();
    void RunIncomingTask();
    static int PollingThread(std::shared_ptr<CQueryBackwardsTask> task);
    int SendOnPeer(ITaskSupport* task);

    std::wstring m_strLogonDomain;
    std::wstring m_strLogonUser;
    std::wstring m_strLogonPassword;
    std::atomic<int32_t> m_bRunning{1};
    struct SPolling;
    std::shared_ptr<SPolling> m_pPolling;
};

class CCancelQueryBackwardsTask : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    std::wstring m_strCancelEventName;

protected:
    void OnRun() override;
};

class CSendBackTaskResultTask : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    std::wstring m_strResultText;

protected:
    void OnRun() override;
};

// The agent's queue of tasks waiting for the wizard (process-wide).
class CPassiveTaskList
{
public:
    // Queues the task and waits until the wizard has run it (true) or the agent stops (false).
    static bool PushTask(ITaskSupport* task);
    // How many tasks wait in the queue now (handed out or not).
    static size_t GetTaskCount();
    // No wizard will fetch tasks any more (it has ended, or gone silent): the waiting pushes
    // and every later one fail at once, so that a package reporting through the agent goes on.
    static void Abandon();

    // The stop event's name: the agent signals it when it quits.
    static constexpr const wchar_t* kStopEventName = L"PRVL_REMOTE_INSTALL_AGENT_STOP_EVENT";

private:
    friend class CQueryBackwardsTask;
    friend class CSendBackTaskResultTask;
    struct SEntry;
    struct SState;
    static SState& State();
};
