// Peers: the two ends of a task channel. An active peer sends tasks by RPC (and, towards a
// target server, keeps a backwards query open and a heartbeat ticking); a passive peer serves
// RPC and queues the tasks it sends for the far side to fetch.
#pragma once

#include "remoteinstall/CTaskSupport.h"
#include "remoteinstall/RPCTransport.h"
#include "winport/WinTimerQueue.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class CQueryBackwardsTask;

class CCommPeerParameter
{
public:
    CCommPeerParameter();
    CCommPeerParameter(const std::wstring& server, const std::wstring& endpoint);
    CCommPeerParameter(const std::wstring& server, const std::wstring& endpoint,
                       const std::wstring& domain, const std::wstring& user,
                       const std::wstring& password);
    explicit CCommPeerParameter(const std::wstring& endpoint);
    CCommPeerParameter(const RemoteInstall::RPC_PROTOCOL& protocol, const std::wstring& endpoint);
    CCommPeerParameter(const CCommPeerParameter& other) = default;
    // Copies mode, endpoint, server name and protocol; the logon account stays.
    CCommPeerParameter& operator=(const CCommPeerParameter& other);
    virtual ~CCommPeerParameter() = default;

    int m_iMode;
    RemoteInstall::RPC_PROTOCOL m_Protocol;
    std::wstring m_strEndpoint;
    std::wstring m_strServerName;
    std::wstring m_strLogonDomain;
    std::wstring m_strLogonUser;
    std::wstring m_strLogonPassword;
};

class ICommunicationPeer
{
public:
    virtual ~ICommunicationPeer() = default;
    virtual int SendTask(ITaskSupport* task) = 0;
    virtual int SendAsyncTask(ITaskSupport* task) = 0;
    virtual uint32_t GetErrorCode();
    virtual std::wstring GetErrorMessage();

    void SetError(uint32_t code, const std::wstring& message);

private:
    std::mutex m_ErrorLock; // senders of several threads share a peer
    uint32_t m_dwErrorCode = 0;
    std::wstring m_strErrorMessage;
};

// Sends a heartbeat task on its peer at a fixed period; five failures in a row in a process stop
// every heartbeat of that process.
class CPeerHeartbeat
{
public:
    CPeerHeartbeat() = default;
    ~CPeerHeartbeat() { Stop(); }
    CPeerHeartbeat(const CPeerHeartbeat&) = delete;
    CPeerHeartbeat& operator=(const CPeerHeartbeat&) = delete;

    void Start(ICommunicationPeer* peer, const std::wstring& domain, const std::wstring& user,
               const std::wstring& password, int periodMilliseconds);
    void Stop();

    // The failures in a row of this process (shared by all its heartbeats).
    static int GetFailureCount();
    static void ResetFailureCount();

private:
    static void OnTimer(void* parameter, BOOLEAN timerOrWaitFired);

    CSimpleCriticalSection m_Lock;
    HANDLE m_hTimerQueue = nullptr;
    ICommunicationPeer* m_pPeer = nullptr;
    std::wstring m_strLogonDomain;
    std::wstring m_strLogonUser;
    std::wstring m_strLogonPassword;
};

class CActivePeer : public ICommunicationPeer
{
public:
    CActivePeer(const std::wstring& server, const std::wstring& endpoint,
                const std::wstring& domain, const std::wstring& user, const std::wstring& password);
    ~CActivePeer() override;
    CActivePeer(const CActivePeer&) = delete;
    CActivePeer& operator=(const CActivePeer&) = delete;

    int SendTask(ITaskSupport* task) override;
    int SendAsyncTask(ITaskSupport* task) override;

private:
    std::wstring m_strServerName;
    std::wstring m_strCancelQueryEventName;
    std::wstring m_strLogonDomain;
    std::wstring m_strLogonUser;
    std::wstring m_strLogonPassword;
    std::shared_ptr<CRPCClientSupport> m_pClient;
    std::shared_ptr<CQueryBackwardsTask> m_pQueryTask;
    CPeerHeartbeat m_Heartbeat;
};

class CPassivePeer : public ICommunicationPeer
{
public:
    CPassivePeer(const std::wstring& endpoint, const std::wstring& protocolSequence);
    int SendTask(ITaskSupport* task) override;
    int SendAsyncTask(ITaskSupport* task) override;

private:
    std::unique_ptr<CRPCServerSupport> m_pServer;
};

class CCommunicationPeerSupport
{
public:
    CCommunicationPeerSupport() = default;
    explicit CCommunicationPeerSupport(const CCommPeerParameter& parameter);
    // Copies share one peer, deleted by the last of them.
    CCommunicationPeerSupport(const CCommunicationPeerSupport& other) = default;
    CCommunicationPeerSupport& operator=(const CCommunicationPeerSupport& other) = default;
    ~CCommunicationPeerSupport();

    int Init(CCommPeerParameter& parameter);
    int SendTask(ITaskSupport* task);
    int SendAsyncTask(ITaskSupport* task);
    uint32_t GetErrorCode();
    std::wstring GetErrorMessage();
    ICommunicationPeer* GetPeer() const { return m_pPeer.get(); }

    // The passive peer the agent program registered under an endpoint name, or null.
    static ICommunicationPeer* GetCommunicationPeer(const std::wstring& endpoint);
    // For the agent program: makes its passive peer findable by endpoint name.
    static void RegisterCommunicationPeer(const std::wstring& endpoint, ICommunicationPeer* peer);

private:
    int m_bInitialized = 0;
    CCommPeerParameter m_Parameter;
    std::shared_ptr<ICommunicationPeer> m_pPeer;

    static std::map<std::wstring, ICommunicationPeer*> s_peerList;
};

class CHeartbeatTask : public ITaskSupport
{
protected:
    void OnRun() override;
};

// The agent's watch for heartbeat silence: after count ticks of the period without a heartbeat
// it signals the event.
class CAgentTimeoutClean
{
public:
    CAgentTimeoutClean(int timeoutCount, int periodMilliseconds, HANDLE timeoutEvent);
    ~CAgentTimeoutClean();
    CAgentTimeoutClean(const CAgentTimeoutClean&) = delete;
    CAgentTimeoutClean& operator=(const CAgentTimeoutClean&) = delete;

    static std::atomic<int32_t> s_nCurrTimeout;
    static int s_nTimeoutCount;
    static HANDLE s_hTimeoutEvent;

private:
    static void OnTimer(void* parameter, BOOLEAN timerOrWaitFired);
    HANDLE m_hTimerQueue = nullptr;
};

// Times the system keeps; a test may shorten them through the framework property store
// ("Framework\Test\..."), never in a shipped run.
namespace RemoteInstall
{
int HeartbeatPeriodMilliseconds(); // 10000; "Framework\Test\HeartbeatPeriod"
int QueryThreadStopMilliseconds(); // 2500
int ReportTimeoutMilliseconds();   // 30000; "Framework\Test\ReportTimeout"
} // namespace RemoteInstall
