// The task transport: one request text, one result text per call, over the local interface
// ("ncalrpc") or the remote one (named pipes), blocking or asynchronous. Used by the peers alone.
#pragma once

#include "framework/ErrorHandles.h"
#include "framework/Sync.h"
#include "remoteinstall/CTaskSupport.h"
#include "winport/WinRpc.h"

#include <cstdint>
#include <memory>
#include <string>

namespace RemoteInstall
{
enum RPC_PROTOCOL : int32_t
{
    LOCAL = 0,  // "ncalrpc"
    REMOTE = 1, // "ncacn_np"
};
} // namespace RemoteInstall

#define AGENT_LOCAL_ENDPOINT L"RemoteInstallAgent_LocalEndPoint"
#define AGENT_REMOTE_ENDPOINT L"RemoteInstallAgent_RemoteEndPoint"

// An RPC failure with its status; the only exception the system throws, caught at the peers.
class CRPCException : public CExceptionSupport
{
public:
    explicit CRPCException(RPC_STATUS status);
    std::wstring GetDescription() const override { return m_strMessage; }
    RPC_STATUS GetStatus() const { return m_Status; }

private:
    RPC_STATUS m_Status;
    std::wstring m_strMessage;
};

// ---- Clients ----------------------------------------------------------------------------------

class IRPCClient
{
public:
    virtual ~IRPCClient() = default;
    virtual void Connect(const std::wstring& networkAddress, const std::wstring& endpoint) = 0;
    virtual void ConnectLocal(const std::wstring& endpoint) = 0;
    virtual int SendTask(ITaskSupport* task) = 0;
    virtual int SendAsyncTask(ITaskSupport* task) = 0;
};

class CRPCClient : public IRPCClient
{
public:
    CRPCClient() = default;
    ~CRPCClient() override;
    CRPCClient(const CRPCClient&) = delete;
    CRPCClient& operator=(const CRPCClient&) = delete;

    void Connect(const std::wstring& networkAddress, const std::wstring& endpoint) override;
    void ConnectLocal(const std::wstring& endpoint) override;
    int SendTask(ITaskSupport* task) override;
    int SendAsyncTask(ITaskSupport* task) override;

    // Logs the status and throws it as a CRPCException.
    [[noreturn]] static void ThrowStatus(RPC_STATUS status);

protected:
    struct SAsyncCall;
    virtual int ExchangeText(const std::wstring& request, std::wstring& result);
    virtual void StartAsyncExchange(PRPC_ASYNC_STATE state, const std::wstring& request,
                                    int32_t* resultLength, wchar_t** result);
    virtual void StubSendRequest(const wchar_t* request, int32_t* resultLength,
                                 wchar_t** result) = 0;
    virtual void StubSendRequestAsync(PRPC_ASYNC_STATE state, const wchar_t* request,
                                      int32_t* resultLength, wchar_t** result) = 0;
    virtual RPC_STATUS ComposeStringBinding(const std::wstring& networkAddress,
                                            const std::wstring& endpoint) = 0;
    virtual RPC_STATUS BindingFromStringBinding();
    virtual RPC_STATUS SetAuthentication() = 0;

    static void OnAsyncCallComplete(RPC_ASYNC_STATE* state, void* context, RPC_ASYNC_EVENT event);

    RPC_WSTR m_pStringBinding = nullptr;
    RPC_BINDING_HANDLE m_hBinding = nullptr;
};

class CLocalRPCClient : public CRPCClient
{
public:
    ~CLocalRPCClient() override = default;

protected:
    void StubSendRequest(const wchar_t* request, int32_t* resultLength, wchar_t** result) override;
    void StubSendRequestAsync(PRPC_ASYNC_STATE state, const wchar_t* request, int32_t* resultLength,
                              wchar_t** result) override;
    RPC_STATUS ComposeStringBinding(const std::wstring& networkAddress,
                                    const std::wstring& endpoint) override;
    RPC_STATUS SetAuthentication() override;
};

class CRemoteRPCClient : public CRPCClient
{
public:
    ~CRemoteRPCClient() override = default;

protected:
    void StubSendRequest(const wchar_t* request, int32_t* resultLength, wchar_t** result) override;
    void StubSendRequestAsync(PRPC_ASYNC_STATE state, const wchar_t* request, int32_t* resultLength,
                              wchar_t** result) override;
    RPC_STATUS ComposeStringBinding(const std::wstring& networkAddress,
                                    const std::wstring& endpoint) override;
    RPC_STATUS SetAuthentication() override;
};

class CRPCClientSupportImp
{
public:
    CRPCClientSupportImp(const std::wstring& endpoint, const std::wstring& server);
    IRPCClient* Client() { return m_pClient.get(); }

private:
    std::unique_ptr<IRPCClient> m_pClient;
};

// A connected client: the local variant for an empty server name, else the remote one. Throws
// CRPCException when it cannot be set up.
class CRPCClientSupport
{
public:
    CRPCClientSupport(const std::wstring& endpoint, const std::wstring& server);
    int SendTask(ITaskSupport* task) { return m_pImp->Client()->SendTask(task); }
    int SendAsyncTask(ITaskSupport* task) { return m_pImp->Client()->SendAsyncTask(task); }

private:
    std::unique_ptr<CRPCClientSupportImp> m_pImp;
};

// ---- Servers ----------------------------------------------------------------------------------

class IRPCServer
{
public:
    virtual ~IRPCServer() = default;
    virtual void Register(const std::wstring& endpoint) = 0;
    virtual void Listen() = 0;
    virtual void Shutdown() = 0;
};

class CRPCServer : public IRPCServer
{
public:
    void Register(const std::wstring& endpoint) override;
    void Listen() override;
    void Shutdown() override;

    // Both procedures of both interfaces come here: run the task, hand back its result text in
    // a malloc'ed buffer (null and length 0 when there is none).
    static void Internal_Server_SendRequest(const wchar_t* request, int32_t* resultLength,
                                            wchar_t** result);

protected:
    virtual RPC_STATUS RegisterInterface() = 0;
    virtual RPC_STATUS RegisterAuthentication() = 0;
    virtual RPC_STATUS UseProtocolSequence(const std::wstring& endpoint) = 0;
    virtual RPC_STATUS UnregisterInterface() = 0;

    static bool WaitUntilStatus(RPC_STATUS wanted);
    static unsigned RpcServerRoutine(void* unused);

    int m_bListening = 0;
    int m_bListenThreadStarted = 0;

    static CSimpleCriticalSection s_ListenLock;
    static int s_iListeningSrvCount;
};

class CLocalRPCServer : public CRPCServer
{
protected:
    RPC_STATUS RegisterInterface() override;
    RPC_STATUS RegisterAuthentication() override;
    RPC_STATUS UseProtocolSequence(const std::wstring& endpoint) override;
    RPC_STATUS UnregisterInterface() override;
};

class CRemoteRPCServer : public CRPCServer
{
protected:
    RPC_STATUS RegisterInterface() override;
    RPC_STATUS RegisterAuthentication() override;
    RPC_STATUS UseProtocolSequence(const std::wstring& endpoint) override;
    RPC_STATUS UnregisterInterface() override;
};

class CRPCServerSupportImp
{
public:
    CRPCServerSupportImp(const std::wstring& protocolSequence, const std::wstring& endpoint);
    ~CRPCServerSupportImp();
    CRPCServerSupportImp(const CRPCServerSupportImp&) = delete;
    CRPCServerSupportImp& operator=(const CRPCServerSupportImp&) = delete;

private:
    bool m_bLocal;
    std::wstring m_strProtocolSequence;
};

// A use of the process's server of its kind ("ncalrpc" the local one, else the remote one),
// registered and listening from the first use to the last.
class CRPCServerSupport
{
public:
    CRPCServerSupport(const std::wstring& protocolSequence, const std::wstring& endpoint);

private:
    std::unique_ptr<CRPCServerSupportImp> m_pImp;
};
