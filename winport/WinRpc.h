// Rpcrt4 subset: request-bytes/reply-bytes remote procedure calls between processes, local
// ("ncalrpc") or to another machine of the fleet ("ncacn_np"), with the stub layer that
// hand-written stubs build on (namespace winport::rpc).
//
// Where the stand-in differs from Windows:
// - Only the ncalrpc and ncacn_np protocol sequences exist; endpoints are Unix sockets in the
//   serving machine's runtime folder, owned by the serving process while it lives.
// - ncacn_np calls carry the calling thread's network credentials (taken at each call); the
//   server checks them against its machine and requires an administrator there. ncalrpc
//   accepts processes of the serving machine only.
// - The authentication level and service of a binding are recorded, not negotiated.
// - Exceptions are C++ exceptions (winport::rpc::CRaisedException) under the RpcTryExcept macros.
#pragma once

#include "winport/WinDebug.h"
#include "winport/WinTypes.h"

#include <exception>
#include <functional>
#include <string>

typedef long RPC_STATUS;
typedef WCHAR* RPC_WSTR;
typedef void* RPC_BINDING_HANDLE;
typedef RPC_BINDING_HANDLE handle_t;
// Points at a winport::rpc::SInterface.
typedef void* RPC_IF_HANDLE;

// The run time's codes that the common error list lacks.
#ifndef RPC_S_OK
#define RPC_S_OK 0L
#endif
#ifndef RPC_S_INVALID_ARG
#define RPC_S_INVALID_ARG 87L
#endif
#ifndef RPC_S_OUT_OF_MEMORY
#define RPC_S_OUT_OF_MEMORY 14L
#endif
#ifndef RPC_S_ACCESS_DENIED
#define RPC_S_ACCESS_DENIED 5L
#endif
#ifndef RPC_S_ASYNC_CALL_PENDING
#define RPC_S_ASYNC_CALL_PENDING 997L
#endif
#ifndef RPC_S_INVALID_STRING_BINDING
#define RPC_S_INVALID_STRING_BINDING 1700L
#endif
#ifndef RPC_S_WRONG_KIND_OF_BINDING
#define RPC_S_WRONG_KIND_OF_BINDING 1701L
#endif
#ifndef RPC_S_INVALID_BINDING
#define RPC_S_INVALID_BINDING 1702L
#endif
#ifndef RPC_S_PROTSEQ_NOT_SUPPORTED
#define RPC_S_PROTSEQ_NOT_SUPPORTED 1703L
#endif
#ifndef RPC_S_INVALID_RPC_PROTSEQ
#define RPC_S_INVALID_RPC_PROTSEQ 1704L
#endif
#ifndef RPC_S_INVALID_STRING_UUID
#define RPC_S_INVALID_STRING_UUID 1705L
#endif
#ifndef RPC_S_INVALID_ENDPOINT_FORMAT
#define RPC_S_INVALID_ENDPOINT_FORMAT 1706L
#endif
#ifndef RPC_S_INVALID_NET_ADDR
#define RPC_S_INVALID_NET_ADDR 1707L
#endif
#ifndef RPC_S_ALREADY_REGISTERED
#define RPC_S_ALREADY_REGISTERED 1711L
#endif
#ifndef RPC_S_TYPE_ALREADY_REGISTERED
#define RPC_S_TYPE_ALREADY_REGISTERED 1712L
#endif
#ifndef RPC_S_ALREADY_LISTENING
#define RPC_S_ALREADY_LISTENING 1713L
#endif
#ifndef RPC_S_NO_PROTSEQS_REGISTERED
#define RPC_S_NO_PROTSEQS_REGISTERED 1714L
#endif
#ifndef RPC_S_NOT_LISTENING
#define RPC_S_NOT_LISTENING 1715L
#endif
#ifndef RPC_S_UNKNOWN_IF
#define RPC_S_UNKNOWN_IF 1717L
#endif
#ifndef RPC_S_OUT_OF_RESOURCES
#define RPC_S_OUT_OF_RESOURCES 1721L
#endif
#ifndef RPC_S_SERVER_UNAVAILABLE
#define RPC_S_SERVER_UNAVAILABLE 1722L
#endif
#ifndef RPC_S_SERVER_TOO_BUSY
#define RPC_S_SERVER_TOO_BUSY 1723L
#endif
#ifndef RPC_S_CALL_FAILED
#define RPC_S_CALL_FAILED 1726L
#endif
#ifndef RPC_S_CALL_FAILED_DNE
#define RPC_S_CALL_FAILED_DNE 1727L
#endif
#ifndef RPC_S_PROTOCOL_ERROR
#define RPC_S_PROTOCOL_ERROR 1728L
#endif
#ifndef RPC_S_DUPLICATE_ENDPOINT
#define RPC_S_DUPLICATE_ENDPOINT 1740L
#endif
#ifndef RPC_S_PROCNUM_OUT_OF_RANGE
#define RPC_S_PROCNUM_OUT_OF_RANGE 1745L
#endif
#ifndef RPC_S_UNKNOWN_AUTHN_SERVICE
#define RPC_S_UNKNOWN_AUTHN_SERVICE 1747L
#endif
#ifndef RPC_S_UNKNOWN_AUTHN_LEVEL
#define RPC_S_UNKNOWN_AUTHN_LEVEL 1748L
#endif
#ifndef RPC_S_UNKNOWN_AUTHZ_SERVICE
#define RPC_S_UNKNOWN_AUTHZ_SERVICE 1750L
#endif
#ifndef RPC_X_NULL_REF_POINTER
#define RPC_X_NULL_REF_POINTER 1780L
#endif
#ifndef RPC_X_BAD_STUB_DATA
#define RPC_X_BAD_STUB_DATA 1783L
#endif
#ifndef RPC_S_CALL_IN_PROGRESS
#define RPC_S_CALL_IN_PROGRESS 1791L
#endif
#ifndef RPC_S_NO_CALL_ACTIVE
#define RPC_S_NO_CALL_ACTIVE 1725L
#endif
#ifndef RPC_S_CALL_CANCELLED
#define RPC_S_CALL_CANCELLED 1818L
#endif
#ifndef RPC_S_INVALID_ASYNC_HANDLE
#define RPC_S_INVALID_ASYNC_HANDLE 1914L
#endif
#ifndef RPC_S_INVALID_ASYNC_CALL
#define RPC_S_INVALID_ASYNC_CALL 1915L
#endif

#define RPC_C_AUTHN_LEVEL_DEFAULT 0
#define RPC_C_AUTHN_LEVEL_NONE 1
#define RPC_C_AUTHN_LEVEL_CONNECT 2
#define RPC_C_AUTHN_LEVEL_CALL 3
#define RPC_C_AUTHN_LEVEL_PKT 4
#define RPC_C_AUTHN_LEVEL_PKT_INTEGRITY 5
#define RPC_C_AUTHN_LEVEL_PKT_PRIVACY 6

#define RPC_C_AUTHN_NONE 0
#define RPC_C_AUTHN_GSS_NEGOTIATE 9
#define RPC_C_AUTHN_WINNT 10
#define RPC_C_AUTHN_GSS_KERBEROS 16
#define RPC_C_AUTHN_DEFAULT 0xFFFFFFFFL

#define RPC_C_AUTHZ_NONE 0
#define RPC_C_AUTHZ_NAME 1
#define RPC_C_AUTHZ_DEFAULT 0xFFFFFFFF

#define RPC_C_LISTEN_MAX_CALLS_DEFAULT 1234
#define RPC_C_PROTSEQ_MAX_REQS_DEFAULT 10

#define RPC_IF_AUTOLISTEN 0x0001
#define RPC_IF_ALLOW_UNKNOWN_AUTHORITY 0x0004
#define RPC_IF_ALLOW_SECURE_ONLY 0x0008
#define RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH 0x0010
#define RPC_IF_ALLOW_LOCAL_ONLY 0x0020

RPC_STATUS RpcStringBindingComposeW(RPC_WSTR objUuid, RPC_WSTR protseq, RPC_WSTR networkAddr,
                                    RPC_WSTR endpoint, RPC_WSTR options, RPC_WSTR* stringBinding);
RPC_STATUS RpcBindingFromStringBindingW(RPC_WSTR stringBinding, RPC_BINDING_HANDLE* binding);
// Frees a string of the run time and sets *string to nullptr.
RPC_STATUS RpcStringFreeW(RPC_WSTR* string);
// Frees a binding and sets *binding to nullptr.
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding);
RPC_STATUS RpcBindingSetAuthInfoW(RPC_BINDING_HANDLE binding, RPC_WSTR serverPrincName,
                                  unsigned long authnLevel, unsigned long authnSvc,
                                  void* authIdentity, unsigned long authzSvc);

RPC_STATUS RpcServerUseProtseqEpW(RPC_WSTR protseq, unsigned int maxCalls, RPC_WSTR endpoint,
                                  void* securityDescriptor);
typedef RPC_STATUS (*RPC_IF_CALLBACK_FN)(RPC_IF_HANDLE, void*);
RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE ifSpec, void* mgrTypeUuid, void* mgrEpv);
RPC_STATUS RpcServerRegisterIfEx(RPC_IF_HANDLE ifSpec, void* mgrTypeUuid, void* mgrEpv,
                                 unsigned int flags, unsigned int maxCalls, RPC_IF_CALLBACK_FN cb);
RPC_STATUS RpcServerRegisterIf2(RPC_IF_HANDLE ifSpec, void* mgrTypeUuid, void* mgrEpv,
                                unsigned int flags, unsigned int maxCalls, unsigned int maxRpcSize,
                                RPC_IF_CALLBACK_FN cb);
RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE ifSpec, void* mgrTypeUuid,
                                 unsigned int waitForCallsToComplete);
RPC_STATUS RpcServerRegisterAuthInfoW(RPC_WSTR serverPrincName, unsigned long authnSvc,
                                      void* getKeyFn, void* arg);
RPC_STATUS RpcServerListen(unsigned int minimumCallThreads, unsigned int maxCalls,
                           unsigned int dontWait);
// nullptr: this process.
RPC_STATUS RpcMgmtIsServerListening(RPC_BINDING_HANDLE binding);
// nullptr: this process.
RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding);
RPC_STATUS RpcMgmtWaitServerListen();

// Throws winport::rpc::CRaisedException.
[[noreturn]] void RpcRaiseException(RPC_STATUS status);

// Asynchronous calls.
enum RPC_NOTIFICATION_TYPES
{
    RpcNotificationTypeNone,
    RpcNotificationTypeEvent,
    RpcNotificationTypeApc,
    RpcNotificationTypeIoc,
    RpcNotificationTypeHwnd,
    RpcNotificationTypeCallback
};
enum RPC_ASYNC_EVENT
{
    RpcCallComplete = 0,
    RpcSendComplete,
    RpcReceiveComplete
};
struct RPC_ASYNC_STATE;
typedef void RPCNOTIFICATION_ROUTINE(RPC_ASYNC_STATE* state, void* context, RPC_ASYNC_EVENT event);
typedef RPCNOTIFICATION_ROUTINE* PFN_RPCNOTIFICATION_ROUTINE;
union RPC_ASYNC_NOTIFICATION_INFO
{
    struct
    {
        PFN_RPCNOTIFICATION_ROUTINE NotificationRoutine;
        HANDLE hThread;
    } APC;
    struct
    {
        HANDLE hIOPort;
        DWORD dwNumberOfBytesTransferred;
        DWORD_PTR dwCompletionKey;
        void* lpOverlapped;
    } IOC;
    HANDLE hEvent;
    PFN_RPCNOTIFICATION_ROUTINE NotificationRoutine;
};
struct RPC_ASYNC_STATE
{
    unsigned int Size;
    unsigned long Signature;
    long Lock;
    unsigned long Flags;
    void* StubInfo;
    void* UserInfo;
    void* RuntimeInfo;
    RPC_ASYNC_EVENT Event;
    RPC_NOTIFICATION_TYPES NotificationType;
    RPC_ASYNC_NOTIFICATION_INFO u;
    LONG_PTR Reserved[4];
};
typedef RPC_ASYNC_STATE* PRPC_ASYNC_STATE;

// size != sizeof(RPC_ASYNC_STATE): RPC_S_INVALID_ARG.
RPC_STATUS RpcAsyncInitializeHandle(PRPC_ASYNC_STATE state, unsigned int size);
RPC_STATUS RpcAsyncCompleteCall(PRPC_ASYNC_STATE state, void* reply);
RPC_STATUS RpcAsyncAbortCall(PRPC_ASYNC_STATE state, unsigned long exceptionCode);
RPC_STATUS RpcAsyncCancelCall(PRPC_ASYNC_STATE state, BOOL abortCall);
RPC_STATUS RpcAsyncGetCallStatus(PRPC_ASYNC_STATE state);
// Server: the call's handle.
RPC_BINDING_HANDLE RpcAsyncGetCallHandle(PRPC_ASYNC_STATE state);
// RPC_S_CALL_IN_PROGRESS while the call is not cancelled, RPC_S_OK once it is.
RPC_STATUS RpcServerTestCancel(RPC_BINDING_HANDLE callHandle);

namespace winport::rpc
{

class CRaisedException
{
public:
    explicit CRaisedException(RPC_STATUS status) : m_status(status) {}
    RPC_STATUS Status() const { return m_status; }

private:
    RPC_STATUS m_status;
};

class CServerCall;
typedef void (*PServerProcedure)(CServerCall& call);

struct SInterface
{
    const char* uuid; // "4d4e0eb8-70cd-46c0-9c55-e122dd48e518"
    unsigned short majorVersion, minorVersion;
    unsigned procedureCount;
    const PServerProcedure* procedures; // server dispatch table; nullptr in a client-only spec
    const bool* asynchronous; // per procedure: completed by RpcAsyncCompleteCall/AbortCall
};

// One call; waits for the reply. Failures are raised (CRaisedException) with their status.
void ClientCall(RPC_BINDING_HANDLE binding, const SInterface& iface, unsigned procedure,
                const std::string& request, std::string& reply);
// Starts the call and returns (raises when it cannot start). The state's notification runs on a
// run-time thread when the reply or a failure is in; RpcAsyncCompleteCall then calls unmarshal
// with the reply bytes (on success) and returns the call's status.
void ClientCallAsync(PRPC_ASYNC_STATE state, RPC_BINDING_HANDLE binding, const SInterface& iface,
                     unsigned procedure, std::string request,
                     std::function<void(const std::string& reply)> unmarshal);

struct SServerCallState;

// One incoming call, as the server stub sees it.
class CServerCall
{
public:
    explicit CServerCall(SServerCallState& state) : m_state(state) {}
    CServerCall(const CServerCall&) = delete;
    CServerCall& operator=(const CServerCall&) = delete;

    const std::string& Request() const;
    // The call's handle (for RpcServerTestCancel).
    RPC_BINDING_HANDLE Binding();
    // Synchronous procedure: the reply bytes, set before the procedure returns.
    void SetReply(std::string bytes);
    // Asynchronous procedure: the run time's state of this call, and the builder of the reply
    // bytes that RpcAsyncCompleteCall runs (on whatever thread calls it).
    PRPC_ASYNC_STATE AsyncState();
    void SetReplyBuilder(std::function<std::string()> builder);

private:
    SServerCallState& m_state;
};

} // namespace winport::rpc

// Exception blocks over C++ exceptions; RpcExceptionCode() works in the filter and the block.
#define RpcTryExcept                                                                               \
    {                                                                                              \
        try                                                                                        \
        {
#define RpcExcept(filter)                                                                          \
    }                                                                                              \
    catch (const ::winport::rpc::CRaisedException& rpcRaisedException_)                            \
    {                                                                                              \
        [[maybe_unused]] const RPC_STATUS rpcExceptionCode_ = rpcRaisedException_.Status();        \
        if (!(filter))                                                                             \
            throw;                                                                                 \
        {
#define RpcEndExcept                                                                               \
    }                                                                                              \
    }                                                                                              \
    }
#define RpcExceptionCode() (rpcExceptionCode_)
// Every raised status is one the caller handles: there are no access violations to pass on.
#define RpcExceptionFilter(code) ((void)(code), EXCEPTION_EXECUTE_HANDLER)

// The try block's exception, if any, waits until the finally block has run. A return or break
// out of the try block skips the finally block: leave it by its end.
#define RpcTryFinally                                                                              \
    {                                                                                              \
        std::exception_ptr rpcPendingException_;                                                   \
        try                                                                                        \
        {
#define RpcFinally                                                                                 \
    }                                                                                              \
    catch (...)                                                                                    \
    {                                                                                              \
        rpcPendingException_ = std::current_exception();                                           \
    }                                                                                              \
    {
#define RpcEndFinally                                                                              \
    }                                                                                              \
    if (rpcPendingException_)                                                                      \
        std::rethrow_exception(rpcPendingException_);                                              \
    }
