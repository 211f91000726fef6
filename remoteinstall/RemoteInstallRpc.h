// The two task interfaces as their stubs see them: the local one (over "ncalrpc") and the
// remote one (over named pipes), each with a blocking and an asynchronous form of one
// procedure. Procedure numbers, parameter order and UUIDs are what binds a compatible peer.
// Result buffers are taken with malloc by the serving side's stub and freed by the client.
#pragma once

#include "winport/WinRpc.h"

#include <cstdint>

extern const winport::rpc::SInterface g_LocalRemoteInstallInterface;  // 4d4e0eb8-...
extern const winport::rpc::SInterface g_RemoteRemoteInstallInterface; // bc8d08bf-...

// Client stubs (procedures 0 and 1). Failures are raised as RPC exceptions.
void LocalSendRequest(handle_t binding, const wchar_t* request, int32_t* resultLength,
                      wchar_t** result);
void LocalSendRequestAsync(PRPC_ASYNC_STATE state, handle_t binding, const wchar_t* request,
                           int32_t* resultLength, wchar_t** result);
void RemoteSendRequest(handle_t binding, const wchar_t* request, int32_t* resultLength,
                       wchar_t** result);
void RemoteSendRequestAsync(PRPC_ASYNC_STATE state, handle_t binding, const wchar_t* request,
                            int32_t* resultLength, wchar_t** result);

// The manager routines, the same for both interfaces (the server side of the transport).
void Server_SendRequest(handle_t binding, const wchar_t* request, int32_t* resultLength,
                        wchar_t** result);
void Server_SendRequestAsync(PRPC_ASYNC_STATE state, handle_t binding, const wchar_t* request,
                             int32_t* resultLength, wchar_t** result);
