// Stubs of the task interfaces: a wide string goes as its UTF-16 code units, as Windows sends it.
#include "remoteinstall/RemoteInstallRpc.h"

#include "winport/WinString.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace
{

using winport::rpc::CServerCall;

void PutUint32(std::string& bytes, uint32_t value)
{
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

bool GetUint32(const std::string& bytes, size_t& offset, uint32_t& value)
{
    if (bytes.size() - offset < sizeof value)
        return false;
    memcpy(&value, bytes.data() + offset, sizeof value);
    offset += sizeof value;
    return true;
}

// A counted run of UTF-16 units.
void PutText(std::string& bytes, const wchar_t* text, size_t length)
{
    std::u16string units = winport::ToUtf16(std::wstring(text, length));
    PutUint32(bytes, static_cast<uint32_t>(units.size()));
    bytes.append(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(char16_t));
}

bool GetText(const std::string& bytes, size_t& offset, std::wstring& text)
{
    uint32_t count = 0;
    if (!GetUint32(bytes, offset, count) || (bytes.size() - offset) / sizeof(char16_t) < count)
        return false;
    std::u16string units(count, u'\0');
    memcpy(units.data(), bytes.data() + offset, count * sizeof(char16_t));
    offset += count * sizeof(char16_t);
    text = winport::FromUtf16(units.data(), units.size());
    return true;
}

// [in, string] request: the text up to its terminator.
std::string MarshalRequest(const wchar_t* request)
{
    if (request == nullptr)
        RpcRaiseException(RPC_X_NULL_REF_POINTER);
    std::string bytes;
    PutText(bytes, request, wcslen(request));
    return bytes;
}

// [out] length, [out, unique, size_is(length)] result: the length, whether the pointer is set,
// and then the array (terminator included, as the length counts it).
std::string MarshalReply(int32_t resultLength, const wchar_t* result)
{
    std::string bytes;
    PutUint32(bytes, static_cast<uint32_t>(resultLength));
    PutUint32(bytes, result != nullptr ? 1 : 0);
    if (result != nullptr)
        PutText(bytes, result, resultLength > 0 ? static_cast<size_t>(resultLength) : 0);
    return bytes;
}

void UnmarshalReply(const std::string& bytes, int32_t* resultLength, wchar_t** result)
{
    size_t offset = 0;
    uint32_t length = 0, present = 0;
    std::wstring text;
    if (!GetUint32(bytes, offset, length) || !GetUint32(bytes, offset, present) ||
        (present != 0 && !GetText(bytes, offset, text)) || offset != bytes.size())
        RpcRaiseException(RPC_X_BAD_STUB_DATA);
    *resultLength = static_cast<int32_t>(length);
    *result = nullptr;
    if (present == 0)
        return;
    // The array as sent, always ended by a terminator so that a reader cannot run past it.
    auto* buffer = static_cast<wchar_t*>(malloc((text.size() + 1) * sizeof(wchar_t)));
    if (buffer == nullptr)
        RpcRaiseException(RPC_S_OUT_OF_MEMORY);
    memcpy(buffer, text.data(), text.size() * sizeof(wchar_t));
    buffer[text.size()] = L'\0';
    *result = buffer;
}

bool UnmarshalRequest(const std::string& bytes, std::wstring& request)
{
    size_t offset = 0;
    return GetText(bytes, offset, request) && offset == bytes.size();
}

void ClientSend(const winport::rpc::SInterface& iface, handle_t binding, const wchar_t* request,
                int32_t* resultLength, wchar_t** result)
{
    if (resultLength == nullptr || result == nullptr)
        RpcRaiseException(RPC_X_NULL_REF_POINTER);
    std::string reply;
    winport::rpc::ClientCall(binding, iface, 0, MarshalRequest(request), reply);
    UnmarshalReply(reply, resultLength, result);
}

void ClientSendAsync(const winport::rpc::SInterface& iface, PRPC_ASYNC_STATE state,
                     handle_t binding, const wchar_t* request, int32_t* resultLength,
                     wchar_t** result)
{
    if (resultLength == nullptr || result == nullptr)
        RpcRaiseException(RPC_X_NULL_REF_POINTER);
    winport::rpc::ClientCallAsync(state, binding, iface, 1, MarshalRequest(request),
                                  [resultLength, result](const std::string& reply)
                                  { UnmarshalReply(reply, resultLength, result); });
}

// ---- Server side
// ----------------------------------------------------------------------------------

void ServeSendRequest(CServerCall& call)
{
    std::wstring request;
    if (!UnmarshalRequest(call.Request(), request))
        RpcRaiseException(RPC_X_BAD_STUB_DATA);
    int32_t resultLength = 0;
    wchar_t* result = nullptr;
    Server_SendRequest(call.Binding(), request.c_str(), &resultLength, &result);
    std::string reply = MarshalReply(resultLength, result);
    free(result);
    call.SetReply(std::move(reply));
}

// The out parameters of an asynchronous call live until the call is answered or dropped.
struct SAsyncOut
{
    int32_t resultLength = 0;
    wchar_t* result = nullptr;
    ~SAsyncOut() { free(result); }
};

void ServeSendRequestAsync(CServerCall& call)
{
    std::wstring request;
    if (!UnmarshalRequest(call.Request(), request))
        RpcRaiseException(RPC_X_BAD_STUB_DATA);
    auto out = std::make_shared<SAsyncOut>();
    call.SetReplyBuilder([out] { return MarshalReply(out->resultLength, out->result); });
    Server_SendRequestAsync(call.AsyncState(), call.Binding(), request.c_str(), &out->resultLength,
                            &out->result);
}

const winport::rpc::PServerProcedure kProcedures[] = {&ServeSendRequest, &ServeSendRequestAsync};
const bool kAsynchronous[] = {false, true};

} // namespace

const winport::rpc::SInterface g_LocalRemoteInstallInterface = {
    "4d4e0eb8-70cd-46c0-9c55-e122dd48e518", 1, 0, 2, kProcedures, kAsynchronous};
const winport::rpc::SInterface g_RemoteRemoteInstallInterface = {
    "bc8d08bf-be5b-4d62-aff1-1f235c25ae11", 1, 0, 2, kProcedures, kAsynchronous};

void LocalSendRequest(handle_t binding, const wchar_t* request, int32_t* resultLength,
                      wchar_t** result)
{
    ClientSend(g_LocalRemoteInstallInterface, binding, request, resultLength, result);
}

void LocalSendRequestAsync(PRPC_ASYNC_STATE state, handle_t binding, const wchar_t* request,
                           int32_t* resultLength, wchar_t** result)
{
    ClientSendAsync(g_LocalRemoteInstallInterface, state, binding, request, resultLength, result);
}

void RemoteSendRequest(handle_t binding, const wchar_t* request, int32_t* resultLength,
                       wchar_t** result)
{
    ClientSend(g_RemoteRemoteInstallInterface, binding, request, resultLength, result);
}

void RemoteSendRequestAsync(PRPC_ASYNC_STATE state, handle_t binding, const wchar_t* request,
                            int32_t* resultLength, wchar_t** result)
{
    ClientSendAsync(g_RemoteRemoteInstallInterface, state, binding, request, resultLength, result);
}
