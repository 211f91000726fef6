// The task transport over RPC: clients, servers, and what the server does with a request.
#include "remoteinstall/RPCTransport.h"

#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/RemoteInstallRpc.h"
#include "winport/WinBase.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <thread>

using RemoteInstall::CRemoteInstallCommon;

namespace
{
std::wstring StatusText(RPC_STATUS status)
{
    return CStringSupport::ConvertWin32ErrorCodeToString(static_cast<DWORD>(status));
}

void LogStatus(RPC_STATUS status)
{
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"RPC_STATUS status = %d, last error = %s",
           static_cast<int>(status), StatusText(status).c_str());
}
} // namespace

CRPCException::CRPCException(RPC_STATUS status) : m_Status(status)
{
    std::wstring format;
    if (CFrameworkGlobalVariables* globals = PeekFrameworkGlobalVariables())
        format = globals->m_StringBundler.GetString(L"BACKEND_RPC_GENERIC_ERROR");
    if (format.empty())
        format = L"RPC error %d: %s";
    m_strMessage = CStringSupport::StringFormat(format.c_str(), static_cast<int>(status),
                                                StatusText(status).c_str());
}

// ---- Clients ----------------------------------------------------------------------------------

void CRPCClient::ThrowStatus(RPC_STATUS status)
{
    LogStatus(status);
    throw CRPCException(status);
}

CRPCClient::~CRPCClient()
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Free CRPCClient, binding string: %s",
           m_pStringBinding != nullptr ? m_pStringBinding : L"");
    if (m_pStringBinding != nullptr)
    {
        RPC_STATUS status = RpcStringFreeW(&m_pStringBinding);
        if (status != RPC_S_OK)
            LogStatus(status);
    }
    if (m_hBinding != nullptr)
    {
        RPC_STATUS status = RpcBindingFree(&m_hBinding);
        if (status != RPC_S_OK)
            LogStatus(status);
    }
}

void CRPCClient::Connect(const std::wstring& networkAddress, const std::wstring& endpoint)
{
    RPC_STATUS status = ComposeStringBinding(networkAddress, endpoint);
    if (status != RPC_S_OK)
        ThrowStatus(status);
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Binding string: %s", m_pStringBinding);
    status = BindingFromStringBinding();
    if (status != RPC_S_OK)
        ThrowStatus(status);
    status = SetAuthentication();
    if (status != RPC_S_OK)
        ThrowStatus(status);
}

void CRPCClient::ConnectLocal(const std::wstring& endpoint)
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Endpoint string: %s", endpoint.c_str());
    Connect(L"", endpoint);
}

RPC_STATUS CRPCClient::BindingFromStringBinding()
{
    return RpcBindingFromStringBindingW(m_pStringBinding, &m_hBinding);
}

int CRPCClient::ExchangeText(const std::wstring& request, std::wstring& result)
{
    int32_t length = 0;
    wchar_t* buffer = nullptr;
    RpcTryExcept
    {
        StubSendRequest(request.c_str(), &length, &buffer);
    }
    RpcExcept(EXCEPTION_EXECUTE_HANDLER)
    {
        RPC_STATUS code = RpcExceptionCode();
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CRPCClient::SendTask(), error code:%d",
               static_cast<int>(code));
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CRPCClient::SendTask(), return data is empty");
        free(buffer);
        ThrowStatus(code);
    }
    RpcEndExcept;
    if (length > 0 && buffer != nullptr)
    {
        // The length counts the terminator; never read past what was sent.
        result.assign(buffer, wcsnlen(buffer, static_cast<size_t>(length)));
        free(buffer);
        return 1;
    }
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"CRPCClient::SendTask(), return data is empty");
    free(buffer);
    return 0;
}

int CRPCClient::SendTask(ITaskSupport* task)
{
    std::wstring request = CRemoteInstallCommon::GetSerializedTaskString(task);
    std::wstring result;
    if (!ExchangeText(request, result))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Send task failed.");
        return 0;
    }
    if (CRemoteInstallCommon::DeserializeTaskResultFromString(task, result))
        task->OnTaskComplete();
    else
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Deserialize task result failed.");
    return 1;
}

struct CRPCClient::SAsyncCall
{
    RPC_ASYNC_STATE state;
    ITaskSupport* task = nullptr;
    std::wstring request;
    int32_t resultLength = 0;
    wchar_t* result = nullptr;
};

void CRPCClient::StartAsyncExchange(PRPC_ASYNC_STATE state, const std::wstring& request,
                                    int32_t* resultLength, wchar_t** result)
{
    StubSendRequestAsync(state, request.c_str(), resultLength, result);
}

int CRPCClient::SendAsyncTask(ITaskSupport* task)
{
    auto* call = new SAsyncCall();
    call->task = task;
    call->request = CRemoteInstallCommon::GetSerializedTaskString(task);
    RpcAsyncInitializeHandle(&call->state, sizeof call->state);
    call->state.UserInfo = call;
    call->state.NotificationType = RpcNotificationTypeCallback;
    call->state.u.NotificationRoutine = &CRPCClient::OnAsyncCallComplete;
    RpcTryExcept
    {
        StartAsyncExchange(&call->state, call->request, &call->resultLength, &call->result);
    }
    RpcExcept(EXCEPTION_EXECUTE_HANDLER)
    {
        RPC_STATUS code = RpcExceptionCode();
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CRPCClient::SendTask(), error code:%d",
               static_cast<int>(code));
        delete call;
        ThrowStatus(code);
    }
    RpcEndExcept;
    return 1;
}

void CRPCClient::OnAsyncCallComplete(RPC_ASYNC_STATE* state, void*, RPC_ASYNC_EVENT)
{
    auto* call = static_cast<SAsyncCall*>(state->UserInfo);
    RPC_STATUS status = RPC_S_OK;
    try
    {
        status = RpcAsyncCompleteCall(state, nullptr);
    }
    catch (const winport::rpc::CRaisedException& exception)
    {
        status = exception.Status(); // the reply could not be read
    }
    if (status != RPC_S_OK)
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"RpcAsyncCompleteCall, status: %d",
               static_cast<int>(status));
    if (call->task != nullptr && call->resultLength > 0 && call->result != nullptr)
    {
        std::wstring result(call->result,
                            wcsnlen(call->result, static_cast<size_t>(call->resultLength)));
        if (!CRemoteInstallCommon::DeserializeTaskResultFromString(call->task, result))
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Deserialize task result failed.");
        call->task->OnTaskComplete();
    }
    else
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Asynchronous task finished, but failed.");
    free(call->result);
    delete call;
}

void CLocalRPCClient::StubSendRequest(const wchar_t* request, int32_t* resultLength,
                                      wchar_t** result)
{
    LocalSendRequest(m_hBinding, request, resultLength, result);
}

void CLocalRPCClient::StubSendRequestAsync(PRPC_ASYNC_STATE state, const wchar_t* request,
                                           int32_t* resultLength, wchar_t** result)
{
    LocalSendRequestAsync(state, m_hBinding, request, resultLength, result);
}

RPC_STATUS CLocalRPCClient::ComposeStringBinding(const std::wstring&, const std::wstring& endpoint)
{
    return RpcStringBindingComposeW(nullptr, const_cast<RPC_WSTR>(L"ncalrpc"), nullptr,
                                    const_cast<RPC_WSTR>(endpoint.c_str()), nullptr,
                                    &m_pStringBinding);
}

RPC_STATUS CLocalRPCClient::SetAuthentication()
{
    return RpcBindingSetAuthInfoW(m_hBinding, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_AUTHN_WINNT,
                                  nullptr, RPC_C_AUTHZ_NONE);
}

void CRemoteRPCClient::StubSendRequest(const wchar_t* request, int32_t* resultLength,
                                       wchar_t** result)
{
    RemoteSendRequest(m_hBinding, request, resultLength, result);
}

void CRemoteRPCClient::StubSendRequestAsync(PRPC_ASYNC_STATE state, const wchar_t* request,
                                            int32_t* resultLength, wchar_t** result)
{
    RemoteSendRequestAsync(state, m_hBinding, request, resultLength, result);
}

RPC_STATUS CRemoteRPCClient::ComposeStringBinding(const std::wstring& networkAddress,
                                                  const std::wstring& endpoint)
{
    std::wstring pipe = L"\\pipe\\" + endpoint;
    return RpcStringBindingComposeW(nullptr, const_cast<RPC_WSTR>(L"ncacn_np"),
                                    const_cast<RPC_WSTR>(networkAddress.c_str()),
                                    const_cast<RPC_WSTR>(pipe.c_str()), nullptr, &m_pStringBinding);
}

RPC_STATUS CRemoteRPCClient::SetAuthentication()
{
    // The calling thread's credentials: those of the logon account it impersonates.
    return RpcBindingSetAuthInfoW(m_hBinding, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                  RPC_C_AUTHN_GSS_NEGOTIATE, nullptr, RPC_C_AUTHZ_NONE);
}

CRPCClientSupportImp::CRPCClientSupportImp(const std::wstring& endpoint, const std::wstring& server)
{
    if (server.empty())
    {
        m_pClient = std::make_unique<CLocalRPCClient>();
        m_pClient->ConnectLocal(endpoint);
    }
    else
    {
        m_pClient = std::make_unique<CRemoteRPCClient>();
        m_pClient->Connect(server, endpoint);
    }
}

CRPCClientSupport::CRPCClientSupport(const std::wstring& endpoint, const std::wstring& server)
    : m_pImp(std::make_unique<CRPCClientSupportImp>(endpoint, server))
{
}

// ---- Servers ----------------------------------------------------------------------------------

CSimpleCriticalSection CRPCServer::s_ListenLock;
int CRPCServer::s_iListeningSrvCount = 0;

void CRPCServer::Internal_Server_SendRequest(const wchar_t* request, int32_t* resultLength,
                                             wchar_t** result)
{
    *resultLength = 0;
    *result = nullptr;
    if (request == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CRPCServer::Internal_Server_SendRequest");
        return;
    }
    ITaskSupport* task = CRemoteInstallCommon::DeserializeNewTaskFromString(request);
    if (task == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Deserialize task failed: %s", request);
        return;
    }
    try
    {
        task->RunTaskOnLocal();
        std::wstring text = CRemoteInstallCommon::GetSerializedTaskString(task);
        auto* buffer = static_cast<wchar_t*>(malloc((text.size() + 1) * sizeof(wchar_t)));
        if (buffer == nullptr)
            ADVLOG_UNEXPECTED_BRANCH(L"CRPCServer::Internal_Server_SendRequest");
        else
        {
            wmemcpy(buffer, text.c_str(), text.size() + 1);
            *result = buffer;
            *resultLength = static_cast<int32_t>(text.size() + 1);
        }
    }
    catch (const CExceptionSupport& exception)
    {
        free(*result);
        *result = nullptr;
        *resultLength = 0;
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Internal_Server_SendRequest(), %s",
               exception.GetDescription().c_str());
    }
    delete task;
}

void Server_SendRequest(handle_t, const wchar_t* request, int32_t* resultLength, wchar_t** result)
{
    CRPCServer::Internal_Server_SendRequest(request, resultLength, result);
}

void Server_SendRequestAsync(PRPC_ASYNC_STATE state, handle_t, const wchar_t* request,
                             int32_t* resultLength, wchar_t** result)
{
    CRPCServer::Internal_Server_SendRequest(request, resultLength, result);
    RPC_STATUS status;
    if (RpcServerTestCancel(RpcAsyncGetCallHandle(state)) == RPC_S_CALL_IN_PROGRESS)
        status = RpcAsyncCompleteCall(state, nullptr);
    else
        status = RpcAsyncAbortCall(state, RPC_S_CALL_CANCELLED);
    if (status != RPC_S_OK)
        LogStatus(status);
}

void CRPCServer::Register(const std::wstring& endpoint)
{
    RPC_STATUS status = RegisterInterface();
    if (status != RPC_S_OK)
        CRPCClient::ThrowStatus(status);
    status = UseProtocolSequence(endpoint);
    if (status == RPC_S_DUPLICATE_ENDPOINT)
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Register RPC Server, duplicate endpoint");
    else if (status != RPC_S_OK)
        LogStatus(status);
    status = RegisterAuthentication();
    if (status != RPC_S_OK)
        CRPCClient::ThrowStatus(status);
}

namespace
{
// Whether the listen thread still runs: its blocking listen returns once listening has stopped
// and every running call has answered.
std::mutex s_ListenThreadLock;
std::condition_variable s_ListenThreadEnded;
bool s_bListenThreadRunning = false;
} // namespace

unsigned CRPCServer::RpcServerRoutine(void*)
{
    struct SEnd
    {
        ~SEnd()
        {
            std::lock_guard<std::mutex> guard(s_ListenThreadLock);
            s_bListenThreadRunning = false;
            s_ListenThreadEnded.notify_all();
        }
    } end;
    ADVLOG_TRACE_FUNCTION(L"RpcServerRoutine");
    RPC_STATUS status = RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, FALSE);
    if (status == RPC_S_ALREADY_LISTENING)
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"RPCServer listen, already listen, please ignore this if you are using local and "
               L"remote RPC server in the same process.");
    else if (status != RPC_S_OK)
        LogStatus(status);
    return 0;
}

bool CRPCServer::WaitUntilStatus(RPC_STATUS wanted)
{
    for (int left = 19; left >= 0; --left)
    {
        RPC_STATUS status = RpcMgmtIsServerListening(nullptr);
        if (status == wanted)
        {
            ADVLOG(ADVLOG_SEVERITY_DEBUG, L"WaitUntilStatus succeed, status: %d, count: %d",
                   static_cast<int>(status), left);
            return true;
        }
        Sleep(500);
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"WaitUntilStatus failed, status: %d, count: %d",
               static_cast<int>(status), left);
    }
    return false;
}

void CRPCServer::Listen()
{
    CCriticalSectionSentry guard(s_ListenLock);
    if (s_iListeningSrvCount++ > 0)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"CRPCServer::Listen(), s_iListeningSrvCount: %d",
               s_iListeningSrvCount);
        return;
    }
    if (m_bListening)
        return;
    try
    {
        std::lock_guard<std::mutex> guard(s_ListenThreadLock);
        std::thread(&CRPCServer::RpcServerRoutine, nullptr).detach();
        s_bListenThreadRunning = true;
    }
    catch (const std::system_error& error)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CRPCServer::Listen(), create thread fail, return code: %d",
               error.code().value());
        return;
    }
    m_bListenThreadStarted = 1;
    m_bListening = WaitUntilStatus(RPC_S_OK) ? 1 : 0;
}

void CRPCServer::Shutdown()
{
    CCriticalSectionSentry guard(s_ListenLock);
    if (s_iListeningSrvCount-- != 1)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"CRPCServer::Shutdown(), %d server still listening.",
               s_iListeningSrvCount);
        return;
    }
    RPC_STATUS status = RpcMgmtStopServerListening(nullptr);
    if (status != RPC_S_OK)
        LogStatus(status);
    WaitUntilStatus(RPC_S_NOT_LISTENING);
    {
        // The calls that were running answer before the server goes (a process that ends right
        // after would cut their answers off); bounded as the wait above is.
        std::unique_lock<std::mutex> guard(s_ListenThreadLock);
        s_ListenThreadEnded.wait_for(guard, std::chrono::seconds(10),
                                     [] { return !s_bListenThreadRunning; });
    }
    m_bListening = 0;
    m_bListenThreadStarted = 0;
    status = UnregisterInterface();
    if (status != RPC_S_OK)
        LogStatus(status);
}

RPC_STATUS CLocalRPCServer::RegisterInterface()
{
    return RpcServerRegisterIf(
        const_cast<winport::rpc::SInterface*>(&g_LocalRemoteInstallInterface), nullptr, nullptr);
}

RPC_STATUS CLocalRPCServer::RegisterAuthentication()
{
    return RpcServerRegisterAuthInfoW(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr);
}

RPC_STATUS CLocalRPCServer::UseProtocolSequence(const std::wstring& endpoint)
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Endpoint string: %s", endpoint.c_str());
    return RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncalrpc"), RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                  const_cast<RPC_WSTR>(endpoint.c_str()), nullptr);
}

RPC_STATUS CLocalRPCServer::UnregisterInterface()
{
    return RpcServerUnregisterIf(
        const_cast<winport::rpc::SInterface*>(&g_LocalRemoteInstallInterface), nullptr, 1);
}

RPC_STATUS CRemoteRPCServer::RegisterInterface()
{
    return RpcServerRegisterIf2(
        const_cast<winport::rpc::SInterface*>(&g_RemoteRemoteInstallInterface), nullptr, nullptr, 0,
        RPC_C_LISTEN_MAX_CALLS_DEFAULT, 0xA00000, nullptr);
}

RPC_STATUS CRemoteRPCServer::RegisterAuthentication()
{
    return RpcServerRegisterAuthInfoW(nullptr, RPC_C_AUTHN_GSS_NEGOTIATE, nullptr, nullptr);
}

RPC_STATUS CRemoteRPCServer::UseProtocolSequence(const std::wstring& endpoint)
{
    std::wstring pipe = L"\\pipe\\" + endpoint;
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Endpoint string: %s", pipe.c_str());
    return RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncacn_np"), RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                  const_cast<RPC_WSTR>(pipe.c_str()), nullptr);
}

RPC_STATUS CRemoteRPCServer::UnregisterInterface()
{
    return RpcServerUnregisterIf(
        const_cast<winport::rpc::SInterface*>(&g_RemoteRemoteInstallInterface), nullptr, 1);
}

namespace
{
// The process's server of one kind and its users.
struct SServerSlot
{
    CSimpleCriticalSection lock;
    IRPCServer* server = nullptr;
    int useCount = 0;
};
SServerSlot& Slot(bool local)
{
    static SServerSlot* slots = new SServerSlot[2];
    return slots[local ? 0 : 1];
}
} // namespace

CRPCServerSupportImp::CRPCServerSupportImp(const std::wstring& protocolSequence,
                                           const std::wstring& endpoint)
    : m_bLocal(protocolSequence == L"ncalrpc"), m_strProtocolSequence(protocolSequence)
{
    SServerSlot& slot = Slot(m_bLocal);
    CCriticalSectionSentry guard(slot.lock);
    if (slot.server == nullptr)
    {
        std::unique_ptr<CRPCServer> server;
        if (m_bLocal)
            server = std::make_unique<CLocalRPCServer>();
        else
            server = std::make_unique<CRemoteRPCServer>();
        server->Register(endpoint);
        server->Listen();
        slot.server = server.release();
    }
    ++slot.useCount;
}

CRPCServerSupportImp::~CRPCServerSupportImp()
{
    SServerSlot& slot = Slot(m_bLocal);
    CCriticalSectionSentry guard(slot.lock);
    if (slot.useCount-- == 1)
    {
        slot.server->Shutdown();
        delete slot.server;
        slot.server = nullptr;
        slot.useCount = 0;
    }
}

CRPCServerSupport::CRPCServerSupport(const std::wstring& protocolSequence,
                                     const std::wstring& endpoint)
    : m_pImp(std::make_unique<CRPCServerSupportImp>(protocolSequence, endpoint))
{
}
