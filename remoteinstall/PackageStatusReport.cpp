// Package status reporting: the package process's side (reporter, bus to the agent, the pool that
// bounds each report), the agent's forwarding of a bus, the tasks that run on the wizard, and the
// server synchronization tasks.
#include "remoteinstall/PackageStatusReport.h"

#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/BackwardsTaskQueue.h"
#include "remoteinstall/CommunicationPeer.h"
#include "winport/WinBase.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <condition_variable>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <vector>

CCommunicationPeerSupport* CPackageStatusReport::m_pPeerToAgent = nullptr;
CThreadPoolForBlockOperation* CPackageStatusReport::m_pThreadPool = nullptr;
int CPackageStatusReport::m_nBusTaskSendFailedCount = 0;

CPropertyManager* CStatusReporter::m_pPropertyManager = nullptr;
CStringBundler* CStatusReporter::m_pStringBundler = nullptr;

namespace
{

const wchar_t kProductKey[] = L"Software\\Halvorn\\Parvel for Exchange\\CurrentVersion";
const wchar_t kServerSyncNamespace[] = L"Framework\\ServerSynchronization";

// Guards the peer and pool pointers and the time-out count: reports come from several threads.
std::mutex& ReportStateLock()
{
    static std::mutex lock;
    return lock;
}

// Formats as the reporter always did: a buffer of 260 characters first, then heap buffers of
// 8,192 characters doubling until the text fits; the last character of each is the terminator.
std::wstring FormatIntoGrowingBuffer(const wchar_t* format, va_list args)
{
    if (format == nullptr)
        return std::wstring();
    wchar_t fixed[260];
    va_list attempt;
    va_copy(attempt, args);
    int written = _vsnwprintf(fixed, 259, format, attempt);
    va_end(attempt);
    if (written >= 0)
        return std::wstring(fixed, static_cast<size_t>(written));

    // Past this size the text is kept cut rather than growing the buffer without end.
    const size_t kLargestBuffer = size_t(1) << 26;
    std::vector<wchar_t> heap;
    for (size_t size = 8192;; size *= 2)
    {
        heap.assign(size, L'\0');
        va_copy(attempt, args);
        written = _vsnwprintf(heap.data(), size - 1, format, attempt);
        va_end(attempt);
        if (written >= 0)
            return std::wstring(heap.data(), static_cast<size_t>(written));
        if (size >= kLargestBuffer)
            return std::wstring(heap.data(), size - 1);
    }
}

std::wstring FormatText(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = FormatIntoGrowingBuffer(format, args);
    va_end(args);
    return text;
}

// A string value of an open key; absent, or not a string, gives empty.
std::wstring ReadRegistryString(HKEY key, const wchar_t* name)
{
    DWORD type = 0, size = 0;
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
            return std::wstring();
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            return std::wstring();
        // One character more than reported, so the text always ends.
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
        DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
        rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                              &bytes);
        if (rc == ERROR_SUCCESS)
        {
            if (type != REG_SZ && type != REG_EXPAND_SZ)
                return std::wstring();
            buffer[std::min<size_t>(bytes / sizeof(wchar_t), buffer.size() - 1)] = L'\0';
            return buffer.data();
        }
        // The value grew between the two reads: ask again.
        size = bytes;
    }
    return std::wstring();
}

} // namespace

// ---- The pooled send ----------------------------------------------------------------------------

// One report handed to a pool worker. The unit owns a copy of the caller's task and keeps itself
// alive until its worker is done, so a caller that gave up waiting leaves nothing in use.
class CExecutionUnit_SendTaskToSetup : public IExecutionUnitForBlockOperation
{
public:
    explicit CExecutionUnit_SendTaskToSetup(ITaskSupport* task) : m_pTask(task) {}
    ~CExecutionUnit_SendTaskToSetup() override { delete m_pTask; }
    CExecutionUnit_SendTaskToSetup(const CExecutionUnit_SendTaskToSetup&) = delete;
    CExecutionUnit_SendTaskToSetup& operator=(const CExecutionUnit_SendTaskToSetup&) = delete;

    void KeepAliveUntilRun(std::shared_ptr<CExecutionUnit_SendTaskToSetup> self)
    {
        m_pSelf = std::move(self);
    }

    void OnRunBlockOperation() override
    {
        std::shared_ptr<CExecutionUnit_SendTaskToSetup> self = std::move(m_pSelf);
        CPackageStatusReport::SendTaskToSetup(m_pTask);
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_bDone = true;
        }
        m_Done.notify_all();
        // self goes last: when the caller already left, the unit ends here.
    }

    // The completion event of the unit; a process-local one, since nobody else waits on it.
    bool WaitDone(int milliseconds)
    {
        std::unique_lock<std::mutex> guard(m_Lock);
        return m_Done.wait_for(guard, std::chrono::milliseconds(milliseconds),
                               [this] { return m_bDone; });
    }

    ITaskSupport* m_pTask;

private:
    std::shared_ptr<CExecutionUnit_SendTaskToSetup> m_pSelf;
    std::mutex m_Lock;
    std::condition_variable m_Done;
    bool m_bDone = false;
};

// ---- CPackageStatusReport -----------------------------------------------------------------------

int CPackageStatusReport::Init()
{
    std::lock_guard<std::mutex> guard(ReportStateLock());
    if (m_pPeerToAgent != nullptr)
        return 0;
    m_pPeerToAgent = new CCommunicationPeerSupport();
    CCommPeerParameter parameter(AGENT_LOCAL_ENDPOINT);
    if (!m_pPeerToAgent->Init(parameter))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"m_pPeerToAgent->Init(CCommPeerParameter(AGENT_LOCAL_ENDPOINT)) return FALSE, "
               L"ErrCode is %d, "
               L"ErrMsg is %s",
               static_cast<int>(m_pPeerToAgent->GetErrorCode()),
               m_pPeerToAgent->GetErrorMessage().c_str());
        return 0;
    }
    // The pool's threads come with the first report that needs them: many package processes
    // report nothing, and a short one should not pay for five threads.
    return 1;
}

void CPackageStatusReport::Uninit()
{
    CCommunicationPeerSupport* peer = nullptr;
    CThreadPoolForBlockOperation* pool = nullptr;
    {
        std::lock_guard<std::mutex> guard(ReportStateLock());
        peer = m_pPeerToAgent;
        pool = m_pThreadPool;
        m_pPeerToAgent = nullptr;
        m_pThreadPool = nullptr;
    }
    // A send still under way holds its own share of the peer.
    delete peer;
    if (pool != nullptr)
    {
        pool->Uninit();
        delete pool;
    }
}

int CPackageStatusReport::SendTaskToSetup(ITaskSupport* task)
{
    std::unique_ptr<CCommunicationPeerSupport> peer;
    {
        std::lock_guard<std::mutex> guard(ReportStateLock());
        if (m_pPeerToAgent != nullptr)
            peer = std::make_unique<CCommunicationPeerSupport>(*m_pPeerToAgent);
    }
    if (!peer)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"SendTaskToSetup failed. The m_pPeerToAgent is NULL means "
                                      L"it doesn't connect to Agent");
        return 0;
    }
    if (task == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CPackageStatusReport::SendTaskToSetup");
        return 0;
    }

    CTaskBusAgentToSource bus;
    bus.m_strPassenger = RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(task);
    if (!peer->SendTask(&bus))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"m_pPeerToAgent->SendTask(&TaskBus) return FALSE, ErrCode is %d, ErrMsg is %s",
               static_cast<int>(peer->GetErrorCode()), peer->GetErrorMessage().c_str());
        return 0;
    }
    if (!bus.m_bIsTaskExecuted)
    {
        ADVLOG(ADVLOG_SEVERITY_FATAL, L"m_pPeerToAgent->SendTask(&TaskBus) return TRUE. However "
                                      L"the task is not executed in actual.");
        return 0;
    }
    if (!RemoteInstall::CRemoteInstallCommon::DeserializeTaskResultFromString(task,
                                                                              bus.m_strPassenger))
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CPackageStatusReport::SendTaskToSetup");
        return 0;
    }
    return 1;
}

int CPackageStatusReport::SendTaskToSetupUsingThreadPool(ITaskSupport* task)
{
    bool pooled = false;
    {
        std::lock_guard<std::mutex> guard(ReportStateLock());
        // Two time-outs in a row: the agent is taken as gone and this process stops reporting.
        if (m_nBusTaskSendFailedCount >= 2)
            return 0;
        pooled = m_pPeerToAgent != nullptr;
        if (pooled && m_pThreadPool == nullptr)
        {
            m_pThreadPool = new CThreadPoolForBlockOperation();
            m_pThreadPool->Init(5);
        }
    }
    if (!pooled)
        return SendTaskToSetup(task);
    if (task == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CPackageStatusReport::SendTaskToSetupUsingThreadPool");
        return 0;
    }

    // The worker sends a copy: after a time-out it may still be sending while the caller's task
    // is long gone.
    ITaskSupport* copy = RemoteInstall::CRemoteInstallCommon::DeserializeNewTaskFromString(
        RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(task));
    if (copy == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CPackageStatusReport::SendTaskToSetupUsingThreadPool");
        return 0;
    }
    auto unit = std::make_shared<CExecutionUnit_SendTaskToSetup>(copy);
    {
        std::lock_guard<std::mutex> guard(ReportStateLock());
        if (m_pThreadPool == nullptr)
            return 0; // taken down meanwhile; the unit ends with this scope
        unit->KeepAliveUntilRun(unit);
        m_pThreadPool->PutExecutionUnitToQueue(unit.get());
    }

    if (!unit->WaitDone(RemoteInstall::ReportTimeoutMilliseconds()))
    {
        {
            std::lock_guard<std::mutex> guard(ReportStateLock());
            ++m_nBusTaskSendFailedCount;
        }
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"SendTaskToSetup failed. The agent doesn't give any response");
        return 0;
    }
    {
        std::lock_guard<std::mutex> guard(ReportStateLock());
        m_nBusTaskSendFailedCount = 0;
    }
    // The worker is done with the copy: hand the wizard's answer to the caller's task.
    if (!RemoteInstall::CRemoteInstallCommon::DeserializeTaskResultFromString(
            task, RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(unit->m_pTask)))
        ADVLOG_UNEXPECTED_BRANCH(L"CPackageStatusReport::SendTaskToSetupUsingThreadPool");
    return 1;
}

void CPackageStatusReport::ReportProgressToUI(const std::wstring& message)
{
    CTaskSendPackageInstallProgress task;
    task.m_bIsErrorMessage = false;
    task.m_strMessage = message;
    SendTaskToSetupUsingThreadPool(&task);
    if (task.m_bIsTaskExecuted)
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Package current progress is '%s'", message.c_str());
    else
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"ReportProgressToUI failed. The progress message is '%s'",
               message.c_str());
}

void CPackageStatusReport::ReportErrorMessageToUI(const std::wstring& message)
{
    CTaskSendPackageInstallProgress task;
    task.m_bIsErrorMessage = true;
    task.m_strMessage = message;
    SendTaskToSetupUsingThreadPool(&task);
    if (task.m_bIsTaskExecuted)
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Package encounter an error. The error message is '%s'",
               message.c_str());
    else
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"ReportErrorMessageToUI failed. The error message is '%s'",
               message.c_str());
}

void CPackageStatusReport::ReportDebugLogToUI(int severity, const std::wstring& text)
{
    CTaskSendPackageDebugLog task;
    task.m_iSeverity = severity;
    task.m_strText = text;
    SendTaskToSetupUsingThreadPool(&task);
    if (task.m_bIsTaskExecuted)
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"The debug log sent to UI is '%s'", text.c_str());
    else
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"ReportDebugLogToUI failed. The debug log is '%s'",
               text.c_str());
}

void CPackageStatusReport::ReportFinalResultToUI(bool succeeded, const std::wstring& message)
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Enter ReportFinalResultToUI");
    std::wstring warning;
    if (succeeded)
    {
        HKEY key = nullptr;
        LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0,
                                   KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
        if (rc == ERROR_SUCCESS)
        {
            warning = ReadRegistryString(key, L"SP2SetupWarning");
            RegCloseKey(key);
            ADVLOG(ADVLOG_SEVERITY_DEBUG, L"wstrWaringMsg=%s", warning.c_str());
        }
        else
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"prvlKey.Open failed because:%d, %s",
                   static_cast<int>(rc),
                   CStringSupport::ConvertWin32ErrorCodeToString(static_cast<DWORD>(rc)).c_str());
        }
    }

    CTaskSendPackageFinalResult task;
    task.m_bIsSucceed = succeeded;
    task.m_strFinalMessage = message;
    if (!warning.empty() && CStatusReporter::m_pStringBundler != nullptr)
    {
        std::wstring format =
            CStatusReporter::m_pStringBundler->GetString(L"info.FinishedWithWarningMsg");
        // A bundle without the text keeps the given message rather than sending an empty one.
        if (!format.empty())
            task.m_strFinalMessage = FormatText(format.c_str(), warning.c_str());
    }
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"TaskFinalResult.m_strFinalMessage=%s",
           task.m_strFinalMessage.c_str());
    SendTaskToSetupUsingThreadPool(&task);
    if (!task.m_bIsTaskExecuted)
        ADVLOG_UNEXPECTED_BRANCH(L"CPackageStatusReport::ReportFinalResultToUI");
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Leave ReportFinalResultToUI");
}

int CPackageStatusReport::RetrieveLogonAccount(std::wstring* user, std::wstring* password)
{
    CTaskRetrieveLogonAccount task;
    SendTaskToSetupUsingThreadPool(&task);
    if (!task.m_bIsTaskExecuted)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CPackageStatusReport::RetrieveLogonAccount");
        return 0;
    }
    if (user != nullptr)
        *user = task.m_strLogonUsername;
    if (password != nullptr)
        *password = task.m_strLogonPassword;
    return 1;
}

// ---- CStatusReporter ----------------------------------------------------------------------------

void CStatusReporter::Initialize(const std::wstring& stringBundlePath, CPropertyManager* properties)
{
    CStringBundler loaded;
    loaded.LoadStringBundle(stringBundlePath);
    Initialize(loaded, properties);
}

void CStatusReporter::Initialize(CStringBundler& loaded, CPropertyManager* properties)
{
    m_pPropertyManager = properties;
    delete m_pStringBundler;
    m_pStringBundler = new CStringBundler();
    m_pStringBundler->ShareStringsOf(loaded);
    CPackageStatusReport::Init();
}

void CStatusReporter::Uninitialize()
{
    delete m_pStringBundler;
    m_pStringBundler = nullptr;
    CPackageStatusReport::Uninit();
}

bool CStatusReporter::IsRollback()
{
    if (m_pPropertyManager == nullptr ||
        !m_pPropertyManager->IsPropertyExist(L"CurrentInstallationStatus"))
        return false;
    return m_pPropertyManager->GetProperty(L"CurrentInstallationStatus") == L"Rollback";
}

void CStatusReporter::ReportRollbackActinProgress()
{
    CPackageStatusReport::ReportProgressToUI(m_pStringBundler->GetString(L"info.RollbackAction"));
}

void CStatusReporter::ReportProgress(const wchar_t* key)
{
    if (m_pStringBundler == nullptr || key == nullptr)
        return;
    if (IsRollback())
    {
        ReportRollbackActinProgress();
        return;
    }
    CPackageStatusReport::ReportProgressToUI(m_pStringBundler->GetString(key));
}

void CStatusReporter::ReportProgressWithFormat(const wchar_t* key, ...)
{
    if (m_pStringBundler == nullptr || key == nullptr)
        return;
    if (IsRollback())
    {
        ReportRollbackActinProgress();
        return;
    }
    std::wstring format = m_pStringBundler->GetString(key);
    va_list args;
    va_start(args, key);
    std::wstring text = FormatIntoGrowingBuffer(format.c_str(), args);
    va_end(args);
    CPackageStatusReport::ReportProgressToUI(text);
}

void CStatusReporter::ReportErrorMessage(const wchar_t* key)
{
    if (m_pStringBundler == nullptr || key == nullptr)
        return;
    CPackageStatusReport::ReportErrorMessageToUI(m_pStringBundler->GetString(key));
}

void CStatusReporter::ReportErrorMessageWithFormat(const wchar_t* key, ...)
{
    if (m_pStringBundler == nullptr || key == nullptr)
        return;
    std::wstring format = m_pStringBundler->GetString(key);
    va_list args;
    va_start(args, key);
    std::wstring text = FormatIntoGrowingBuffer(format.c_str(), args);
    va_end(args);
    CPackageStatusReport::ReportErrorMessageToUI(text);
}

// ---- CTaskBusAgentToSource ----------------------------------------------------------------------

int CTaskBusAgentToSource::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteString(m_strPassenger);
    return 1;
}

int CTaskBusAgentToSource::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_strPassenger = stream->ReadString();
    return 1;
}

void CTaskBusAgentToSource::OnRun()
{
    ADVLOG_TRACE_FUNCTION(L"CTaskBusAgentToSource::OnRun");
    auto peerToSetup = std::make_unique<CCommunicationPeerSupport>();
    CCommPeerParameter parameter(RemoteInstall::REMOTE, AGENT_REMOTE_ENDPOINT);
    if (!peerToSetup->Init(parameter))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"m_pPeerToSetup->Init(CCommPeerParameter(RemoteInstall::REMOTE, "
               L"AGENT_REMOTE_ENDPOINT)) return "
               L"FALSE, ErrCode is %d, ErrMsg is %s",
               static_cast<int>(peerToSetup->GetErrorCode()),
               peerToSetup->GetErrorMessage().c_str());
        peerToSetup.reset();
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskBusAgentToSource::OnRun");
        return;
    }

    std::unique_ptr<ITaskSupport> passenger(
        RemoteInstall::CRemoteInstallCommon::DeserializeNewTaskFromString(m_strPassenger));
    if (!passenger)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskBusAgentToSource::OnRun");
        return;
    }
    // Only reports ride to the wizard. A carrier or a queue task as passenger would have the
    // wizard's polling thread serve a queue of its own and wait there for good.
    if (dynamic_cast<CTaskBusAgentToSource*>(passenger.get()) != nullptr ||
        dynamic_cast<CQueryBackwardsTask*>(passenger.get()) != nullptr ||
        dynamic_cast<CSendBackTaskResultTask*>(passenger.get()) != nullptr ||
        dynamic_cast<CCancelQueryBackwardsTask*>(passenger.get()) != nullptr)
        throw CTaskRefusedException(
            L"CTaskBusAgentToSource::OnRun, a passenger of class " +
            CStringSupport::GetClassNameThroughTypeInfo(typeid(*passenger)) + L" is not forwarded");

    // Queued for the wizard; this thread waits until it has run the passenger or the agent stops.
    if (peerToSetup->SendTask(passenger.get()))
    {
        if (!passenger->m_bIsTaskExecuted)
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"m_pPeerToSetup->SendTask(pPassenger) return TRUE. However pPassenger doesn't "
                   L"get executed. "
                   L"class type is %s",
                   CStringSupport::GetClassNameThroughTypeInfo(typeid(*passenger)).c_str());
        std::wstring result =
            RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(passenger.get());
        if (result.empty())
            ADVLOG_UNEXPECTED_BRANCH(L"CTaskBusAgentToSource::OnRun");
        else
            m_strPassenger = result;
    }
    else
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"m_pPeerToSetup->SendTask(pPassenger) return FALSE, pPassenger type is %s, ErrCode "
               L"is %d, "
               L"ErrMsg is %s",
               CStringSupport::GetClassNameThroughTypeInfo(typeid(*passenger)).c_str(),
               static_cast<int>(peerToSetup->GetErrorCode()),
               peerToSetup->GetErrorMessage().c_str());
    }
}

// ---- Tasks run on the wizard --------------------------------------------------------------------

int CTaskSendPackageInstallProgress::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteInt(m_bIsErrorMessage ? 1 : 0);
    stream->WriteString(m_strMessage);
    return 1;
}

int CTaskSendPackageInstallProgress::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_bIsErrorMessage = stream->ReadInt() != 0;
    m_strMessage = stream->ReadString();
    return 1;
}

void CTaskSendPackageInstallProgress::OnRun()
{
    ADVLOG_TRACE_FUNCTION(L"CTaskSendPackageInstallProgress::OnRun");
    CArgVane52PackageProgressChanged args;
    args.m_strServerName = m_strTargetServerName;
    args.m_strLastProgressMessage = m_strMessage;
    args.m_bIsErrorMessage = m_bIsErrorMessage;
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(
        L"MESSAGE_VANE52_PACKAGE_PROGRESS_CHANGED", &args);
}

int CTaskSendPackageFinalResult::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteInt(m_bIsSucceed ? 1 : 0);
    stream->WriteString(m_strFinalMessage);
    return 1;
}

int CTaskSendPackageFinalResult::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_bIsSucceed = stream->ReadInt() != 0;
    m_strFinalMessage = stream->ReadString();
    return 1;
}

void CTaskSendPackageFinalResult::OnRun()
{
    ADVLOG_TRACE_FUNCTION(L"CTaskSendPackageFinalResult::OnRun");
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"The install/uninstall action is completed. Server is %s, final result is %d (0:Fail, "
           L"1:Succeed)",
           m_strTargetServerName.c_str(), m_bIsSucceed ? 1 : 0);
    CArgVane52PackageFinalResult args;
    args.m_strServerName = m_strTargetServerName;
    args.m_bIsSucceed = m_bIsSucceed;
    args.m_strFinalResultMessage = m_strFinalMessage;
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(
        L"MESSAGE_VANE52_PACKAGE_EXECUTION_FINISHED", &args);
}

int CTaskSendPackageDebugLog::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteInt(m_iSeverity);
    stream->WriteString(m_strText);
    return 1;
}

int CTaskSendPackageDebugLog::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_iSeverity = stream->ReadInt();
    m_strText = stream->ReadString();
    return 1;
}

void CTaskSendPackageDebugLog::OnRun()
{
    ADVLOG_TRACE_FUNCTION(L"CTaskSendPackageDebugLog::OnRun");
    ADVLOG(static_cast<ADVLOG_SEVERITY_LEVEL>(m_iSeverity), L"%s:%s", m_strTargetServerName.c_str(),
           m_strText.c_str());
}

int CTaskRetrieveLogonAccount::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteString(m_strLogonUsername);
    stream->WriteString(m_strLogonPassword);
    return 1;
}

int CTaskRetrieveLogonAccount::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_strLogonUsername = stream->ReadString();
    m_strLogonPassword = stream->ReadString();
    return 1;
}

void CTaskRetrieveLogonAccount::OnRun()
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"%s() is called", L"CTaskRetrieveLogonAccount::OnRun");
    if (m_strTargetServerName.empty())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskRetrieveLogonAccount::OnRun");
        return;
    }
    CArgVane52RetrieveLogonAccount args;
    args.m_strServerName = m_strTargetServerName;
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(
        L"MESSAGE_VANE52_RETRIEVE_LOGON_ACCOUNT", &args);
    m_strLogonUsername = args.m_strLogonUsername;
    m_strLogonPassword = args.m_strLogonPassword;
}

// ---- Server synchronization ---------------------------------------------------------------------

namespace
{
CPropertyManagerNamespaceView ServerSyncView()
{
    return CPropertyManagerNamespaceView(&GetFrameworkGlobalVariables()->m_PropertyManager,
                                         kServerSyncNamespace);
}
} // namespace

int CTaskServerSyncLockRequest::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteInt(m_bGranted ? 1 : 0);
    stream->WriteString(m_strLockName);
    stream->WriteString(m_strOwner);
    stream->WriteInt(m_bAcquire ? 1 : 0);
    return 1;
}

int CTaskServerSyncLockRequest::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_bGranted = stream->ReadInt() != 0;
    m_strLockName = stream->ReadString();
    m_strOwner = stream->ReadString();
    m_bAcquire = stream->ReadInt() != 0;
    return 1;
}

void CTaskServerSyncLockRequest::OnRun()
{
    static std::mutex s_lock;
    std::lock_guard<std::mutex> guard(s_lock);
    // Without a name or an owner there is no lock to speak of: refuse rather than store a half
    // lock.
    if (m_strLockName.empty() || m_strOwner.empty())
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Server synchronization lock request refused. LockName='%s', Owner='%s'",
               m_strLockName.c_str(), m_strOwner.c_str());
        m_bGranted = false;
        return;
    }
    CPropertyManagerNamespaceView view = ServerSyncView();
    const std::wstring countName =
        CStringSupport::StringFormat(L"%s_RefCount", m_strLockName.c_str());
    const std::wstring owner = view.GetProperty(m_strLockName);
    if (!owner.empty())
    {
        if (owner != m_strOwner)
        {
            m_bGranted = false;
            return;
        }
        m_bGranted = true;
        int count = view.GetPropertyInt(countName) + (m_bAcquire ? 1 : -1);
        if (count > 0)
        {
            view.SetPropertyInt(countName, count);
        }
        else
        {
            view.SetProperty(m_strLockName, L"");
            view.SetProperty(countName, L"");
        }
    }
    else if (m_bAcquire)
    {
        m_bGranted = true;
        view.SetProperty(m_strLockName, m_strOwner);
        view.SetPropertyInt(countName, 1);
    }
    // No owner and a release: nothing to free, and the answer stays as it came.
}

int CTaskServerSyncGetAllVariables::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteString(m_strVariables);
    return 1;
}

int CTaskServerSyncGetAllVariables::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_strVariables = stream->ReadString();
    return 1;
}

void CTaskServerSyncGetAllVariables::OnRun()
{
    static std::mutex s_lock;
    std::lock_guard<std::mutex> guard(s_lock);
    CPropertyManagerNamespaceView view = ServerSyncView();
    CPersistentStorageMemory storage;
    if (!CSerializer::SerializeObjectToStorage(&view, &storage))
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskServerSyncGetAllVariables::OnRun");
        return;
    }
    m_strVariables = storage.GetMemoryDataAsText();
}

int CTaskServerSyncSetSingleVariable::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteString(m_strName);
    stream->WriteString(m_strValue);
    return 1;
}

int CTaskServerSyncSetSingleVariable::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_strName = stream->ReadString();
    m_strValue = stream->ReadString();
    return 1;
}

void CTaskServerSyncSetSingleVariable::OnRun()
{
    static std::mutex s_lock;
    std::lock_guard<std::mutex> guard(s_lock);
    if (m_strName.empty())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskServerSyncSetSingleVariable::OnRun");
        return;
    }
    ServerSyncView().SetProperty(m_strName, m_strValue);
}

// ---- Message arguments --------------------------------------------------------------------------

std::wstring CArgVane52PackageProgressChanged::DumpObjectToString()
{
    return CStringSupport::StringFormat(
        L"ServerName:%s, bIsErrorMessage=%d, strLastProgressMessage=%s", m_strServerName.c_str(),
        m_bIsErrorMessage ? 1 : 0, m_strLastProgressMessage.c_str());
}

std::wstring CArgVane52PackageFinalResult::DumpObjectToString()
{
    return CStringSupport::StringFormat(L"ServerName:%s, bIsSucceed=%d, strFinalResultMessage=%s",
                                        m_strServerName.c_str(), m_bIsSucceed ? 1 : 0,
                                        m_strFinalResultMessage.c_str());
}

std::wstring CArgVane52RetrieveLogonAccount::DumpObjectToString()
{
    return CStringSupport::StringFormat(L"ServerName:%s, strLogonAccount=%s",
                                        m_strServerName.c_str(), m_strLogonUsername.c_str());
}
