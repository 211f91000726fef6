// Peers and the heartbeat.
#include "remoteinstall/CommunicationPeer.h"

#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/BackwardsTaskQueue.h"
#include "remoteinstall/CWin32API.h"
#include "winport/WinBase.h"
#include "winport/WinProcess.h"
#include "winport/WinSecurity.h"

// ---- Times, and their test-only shortening
// -------------------------------------------------------

namespace RemoteInstall
{
namespace
{
int TestMilliseconds(const wchar_t* name, int shipped)
{
    CFrameworkGlobalVariables* globals = PeekFrameworkGlobalVariables();
    if (globals == nullptr || !globals->m_PropertyManager.IsPropertyExist(name))
        return shipped;
    int value = globals->m_PropertyManager.GetPropertyInt(name);
    return value > 0 && value < shipped ? value : shipped;
}
} // namespace

int HeartbeatPeriodMilliseconds()
{
    return TestMilliseconds(L"Framework\\Test\\HeartbeatPeriod", 10000);
}

int QueryThreadStopMilliseconds()
{
    return 2500;
}

int ReportTimeoutMilliseconds()
{
    return TestMilliseconds(L"Framework\\Test\\ReportTimeout", 30000);
}
} // namespace RemoteInstall

// ---- Parameters ---------------------------------------------------------------------------------

CCommPeerParameter::CCommPeerParameter() : m_iMode(1), m_Protocol(RemoteInstall::LOCAL) {}

CCommPeerParameter::CCommPeerParameter(const std::wstring& server, const std::wstring& endpoint)
    : m_iMode(1), m_Protocol(RemoteInstall::REMOTE), m_strEndpoint(endpoint),
      m_strServerName(server)
{
}

CCommPeerParameter::CCommPeerParameter(const std::wstring& server, const std::wstring& endpoint,
                                       const std::wstring& domain, const std::wstring& user,
                                       const std::wstring& password)
    : m_iMode(1), m_Protocol(RemoteInstall::REMOTE), m_strEndpoint(endpoint),
      m_strServerName(server), m_strLogonDomain(domain), m_strLogonUser(user),
      m_strLogonPassword(password)
{
}

CCommPeerParameter::CCommPeerParameter(const std::wstring& endpoint)
    : m_iMode(1), m_Protocol(RemoteInstall::LOCAL), m_strEndpoint(endpoint)
{
}

CCommPeerParameter::CCommPeerParameter(const RemoteInstall::RPC_PROTOCOL& protocol,
                                       const std::wstring& endpoint)
    : m_iMode(0), m_Protocol(protocol), m_strEndpoint(endpoint)
{
}

CCommPeerParameter& CCommPeerParameter::operator=(const CCommPeerParameter& other)
{
    m_iMode = other.m_iMode;
    m_strEndpoint = other.m_strEndpoint;
    m_strServerName = other.m_strServerName;
    m_Protocol = other.m_Protocol;
    return *this;
}

// ---- ICommunicationPeer -------------------------------------------------------------------------

uint32_t ICommunicationPeer::GetErrorCode()
{
    std::lock_guard<std::mutex> guard(m_ErrorLock);
    return m_dwErrorCode;
}

std::wstring ICommunicationPeer::GetErrorMessage()
{
    std::lock_guard<std::mutex> guard(m_ErrorLock);
    return m_strErrorMessage;
}

void ICommunicationPeer::SetError(uint32_t code, const std::wstring& message)
{
    std::lock_guard<std::mutex> guard(m_ErrorLock);
    m_dwErrorCode = code;
    m_strErrorMessage = message;
}

// ---- CActivePeer --------------------------------------------------------------------------------

CActivePeer::CActivePeer(const std::wstring& server, const std::wstring& endpoint,
                         const std::wstring& domain, const std::wstring& user,
                         const std::wstring& password)
    : m_strServerName(server), m_strLogonDomain(domain), m_strLogonUser(user),
      m_strLogonPassword(password)
{
    ADVLOG_TRACE_FUNCTION(L"CActivePeer::CActivePeer");
    try
    {
        m_pClient = std::make_shared<CRPCClientSupport>(endpoint, server);
        if (!server.empty())
        {
            m_strCancelQueryEventName = CStringSupport::StringFormat(
                L"CANCEL_QUERY_TASK_%s_%d_%d_%s", endpoint.c_str(),
                static_cast<int>(GetCurrentProcessId()), static_cast<int>(GetCurrentThreadId()),
                server.c_str());
            ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Send query backwards task. The query task name is %s",
                   m_strCancelQueryEventName.c_str());
            m_pQueryTask = std::make_shared<CQueryBackwardsTask>();
            m_pQueryTask->StartPolling(m_pClient, server, domain, user, password,
                                       m_strCancelQueryEventName);
            m_Heartbeat.Start(this, domain, user, password,
                              RemoteInstall::HeartbeatPeriodMilliseconds());
        }
    }
    catch (const CRPCException& exception)
    {
        SetError(static_cast<uint32_t>(exception.GetStatus()), exception.GetDescription());
    }
}

CActivePeer::~CActivePeer()
{
    if (m_strServerName.empty())
        return;
    // The cancel goes out first: it is what wakes the query call the polling thread holds open,
    // so the thread ends at once instead of after the whole wait.
    if (m_pQueryTask)
        m_pQueryTask->StopPolling(0);
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Stop the backward task on target server (%s)",
           m_strServerName.c_str());
    CCancelQueryBackwardsTask cancel;
    cancel.m_strCancelEventName = m_strCancelQueryEventName;
    int sent = 0;
    {
        CImpersonateUser impersonate(m_strLogonDomain, m_strLogonUser, m_strLogonPassword,
                                     LOGON32_LOGON_NEW_CREDENTIALS);
        sent = SendTask(&cancel);
    }
    if (!sent)
    {
        ADVLOG(
            ADVLOG_SEVERITY_NOISY,
            L"Stop the backward task on target server (%s) failed. Agent program on target server "
            L"may already been closed. This message do not indicate an error if it happened when "
            L"setup program is quitting",
            m_strServerName.c_str());
        ADVLOG(
            ADVLOG_SEVERITY_NOISY,
            L"When setup program is quitting. Sometimes log file will have lines "
            L"\"CRPCClient::SendTask(), error code: XXX\"  This message do not indicate an error.");
    }
    if (m_pQueryTask)
        m_pQueryTask->StopPolling(RemoteInstall::QueryThreadStopMilliseconds());
    m_Heartbeat.Stop();
}

int CActivePeer::SendTask(ITaskSupport* task)
{
    if (!m_pClient)
        return 0; // the client could not be set up; the error says why
    task->m_strTargetServerName = m_strServerName;
    try
    {
        return m_pClient->SendTask(task);
    }
    catch (const CRPCException& exception)
    {
        SetError(static_cast<uint32_t>(exception.GetStatus()), exception.GetDescription());
        return 0;
    }
}

int CActivePeer::SendAsyncTask(ITaskSupport* task)
{
    if (!m_pClient)
        return 0;
    task->m_strTargetServerName = m_strServerName;
    try
    {
        return m_pClient->SendAsyncTask(task);
    }
    catch (const CRPCException& exception)
    {
        SetError(static_cast<uint32_t>(exception.GetStatus()), exception.GetDescription());
        return 0;
    }
}

// ---- CPassivePeer -------------------------------------------------------------------------------

CPassivePeer::CPassivePeer(const std::wstring& endpoint, const std::wstring& protocolSequence)
{
    try
    {
        m_pServer = std::make_unique<CRPCServerSupport>(protocolSequence, endpoint);
    }
    catch (const CRPCException& exception)
    {
        SetError(static_cast<uint32_t>(exception.GetStatus()), exception.GetDescription());
    }
}

int CPassivePeer::SendTask(ITaskSupport* task)
{
    return CPassiveTaskList::PushTask(task) ? 1 : 0;
}

int CPassivePeer::SendAsyncTask(ITaskSupport*)
{
    return 0;
}

// ---- CCommunicationPeerSupport ------------------------------------------------------------------

std::map<std::wstring, ICommunicationPeer*> CCommunicationPeerSupport::s_peerList;

namespace
{
std::mutex& PeerListLock()
{
    static std::mutex lock;
    return lock;
}
} // namespace

CCommunicationPeerSupport::CCommunicationPeerSupport(const CCommPeerParameter& parameter)
    : m_Parameter(parameter)
{
    Init(m_Parameter);
}

CCommunicationPeerSupport::~CCommunicationPeerSupport()
{
    if (m_Parameter.m_iMode == 0 && m_pPeer && m_pPeer.use_count() == 1)
    {
        // Only this peer's own entry goes: a bus task's short-lived passive peer must not
        // unregister the agent's.
        std::lock_guard<std::mutex> guard(PeerListLock());
        auto found = s_peerList.find(m_Parameter.m_strEndpoint);
        if (found != s_peerList.end() && found->second == m_pPeer.get())
            s_peerList.erase(found);
    }
}

int CCommunicationPeerSupport::Init(CCommPeerParameter& parameter)
{
    if (!m_bInitialized)
    {
        m_Parameter = parameter;
        m_Parameter.m_strLogonDomain = parameter.m_strLogonDomain;
        m_Parameter.m_strLogonUser = parameter.m_strLogonUser;
        m_Parameter.m_strLogonPassword = parameter.m_strLogonPassword;
        if (parameter.m_iMode == 1)
            m_pPeer = std::make_shared<CActivePeer>(
                parameter.m_strServerName, parameter.m_strEndpoint, parameter.m_strLogonDomain,
                parameter.m_strLogonUser, parameter.m_strLogonPassword);
        else
            m_pPeer = std::make_shared<CPassivePeer>(
                parameter.m_strEndpoint,
                parameter.m_Protocol == RemoteInstall::REMOTE ? L"ncacn_np" : L"ncalrpc");
        m_bInitialized = 1;
    }
    return m_pPeer && m_pPeer->GetErrorCode() == 0 ? 1 : 0;
}

int CCommunicationPeerSupport::SendTask(ITaskSupport* task)
{
    return m_pPeer ? m_pPeer->SendTask(task) : 0;
}

int CCommunicationPeerSupport::SendAsyncTask(ITaskSupport* task)
{
    return m_pPeer ? m_pPeer->SendAsyncTask(task) : 0;
}

uint32_t CCommunicationPeerSupport::GetErrorCode()
{
    return m_pPeer ? m_pPeer->GetErrorCode() : 0;
}

std::wstring CCommunicationPeerSupport::GetErrorMessage()
{
    return m_pPeer ? m_pPeer->GetErrorMessage() : std::wstring();
}

ICommunicationPeer* CCommunicationPeerSupport::GetCommunicationPeer(const std::wstring& endpoint)
{
    std::lock_guard<std::mutex> guard(PeerListLock());
    auto found = s_peerList.find(endpoint);
    return found != s_peerList.end() ? found->second : nullptr;
}

void CCommunicationPeerSupport::RegisterCommunicationPeer(const std::wstring& endpoint,
                                                          ICommunicationPeer* peer)
{
    std::lock_guard<std::mutex> guard(PeerListLock());
    if (peer != nullptr)
        s_peerList[endpoint] = peer;
    else
        s_peerList.erase(endpoint);
}

// ---- Heartbeat
// ------------------------------------------------------------------------------------

namespace
{
std::atomic<int> s_HeartbeatFailureCount{0};

// A timer queue with one timer that fires at once and then every period; null when it cannot be
// had (logged).
HANDLE StartPeriodicTimer(WAITORTIMERCALLBACK callback, void* parameter, int periodMilliseconds)
{
    HANDLE queue = CreateTimerQueue();
    if (queue == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_FATAL, L"CreateTimerQueue fail, %d.",
               static_cast<int>(GetLastError()));
        return nullptr;
    }
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, queue, callback, parameter, 0,
                               static_cast<DWORD>(periodMilliseconds), WT_EXECUTEDEFAULT))
        ADVLOG(ADVLOG_SEVERITY_FATAL, L"CreateTimerQueueTimer fail, %d. ",
               static_cast<int>(GetLastError()));
    return queue;
}

// Deletes a timer queue once its running callback has returned.
void DeleteTimerQueueWaiting(HANDLE queue)
{
    if (queue != nullptr && !DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE))
        ADVLOG(ADVLOG_SEVERITY_FATAL, L"DeleteTimerQueueEx fail, %d. ",
               static_cast<int>(GetLastError()));
}
constexpr int kHeartbeatFailureLimit = 5;
} // namespace

int CPeerHeartbeat::GetFailureCount()
{
    return s_HeartbeatFailureCount;
}

void CPeerHeartbeat::ResetFailureCount()
{
    s_HeartbeatFailureCount = 0;
}

void CPeerHeartbeat::Start(ICommunicationPeer* peer, const std::wstring& domain,
                           const std::wstring& user, const std::wstring& password,
                           int periodMilliseconds)
{
    CCriticalSectionSentry guard(m_Lock);
    m_pPeer = peer;
    m_strLogonDomain = domain;
    m_strLogonUser = user;
    m_strLogonPassword = password;
    m_hTimerQueue = StartPeriodicTimer(&CPeerHeartbeat::OnTimer, this, periodMilliseconds);
}

void CPeerHeartbeat::Stop()
{
    CCriticalSectionSentry guard(m_Lock);
    DeleteTimerQueueWaiting(m_hTimerQueue);
    m_hTimerQueue = nullptr;
    m_pPeer = nullptr;
}

void CPeerHeartbeat::OnTimer(void* parameter, BOOLEAN)
{
    auto* self = static_cast<CPeerHeartbeat*>(parameter);
    if (self->m_pPeer == nullptr || s_HeartbeatFailureCount >= kHeartbeatFailureLimit)
        return;
    CImpersonateUser impersonate(self->m_strLogonDomain, self->m_strLogonUser,
                                 self->m_strLogonPassword, LOGON32_LOGON_NEW_CREDENTIALS);
    auto* task = new CHeartbeatTask();
    if (self->m_pPeer->SendTask(task))
        s_HeartbeatFailureCount = 0;
    else if (++s_HeartbeatFailureCount == kHeartbeatFailureLimit)
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Heartbeat failed %d times, stop sending it.",
               kHeartbeatFailureLimit);
    delete task;
}

// ---- The agent's side of the heartbeat
// ------------------------------------------------------------

std::atomic<int32_t> CAgentTimeoutClean::s_nCurrTimeout{0};
int CAgentTimeoutClean::s_nTimeoutCount = 0;
HANDLE CAgentTimeoutClean::s_hTimeoutEvent = nullptr;

void CHeartbeatTask::OnRun()
{
    CAgentTimeoutClean::s_nCurrTimeout.exchange(0);
}

CAgentTimeoutClean::CAgentTimeoutClean(int timeoutCount, int periodMilliseconds,
                                       HANDLE timeoutEvent)
{
    s_nTimeoutCount = timeoutCount;
    s_hTimeoutEvent = timeoutEvent;
    m_hTimerQueue = StartPeriodicTimer(&CAgentTimeoutClean::OnTimer, nullptr, periodMilliseconds);
}

CAgentTimeoutClean::~CAgentTimeoutClean()
{
    DeleteTimerQueueWaiting(m_hTimerQueue);
}

void CAgentTimeoutClean::OnTimer(void*, BOOLEAN)
{
    if (s_nCurrTimeout.fetch_add(1) + 1 >= s_nTimeoutCount)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Timeout period has expired.");
        if (s_hTimeoutEvent != nullptr && s_hTimeoutEvent != INVALID_HANDLE_VALUE)
            SetEvent(s_hTimeoutEvent);
        s_nCurrTimeout.exchange(0);
    }
}
