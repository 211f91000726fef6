// Fuzz target: the RPC run time's frame reader. The input is what a caller sends on one
// connection (its first byte picks a local or a named-pipe endpoint); the server reads it as
// frames and answers on the same connection, with one small interface registered: an echo and
// an asynchronous echo.
#include "testsupport/TemporaryFleet.h"
#include "winport/WinRpc.h"
#include "winport/fleet/RpcTesting.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace
{

void Echo(winport::rpc::CServerCall& call)
{
    call.SetReply(call.Request());
}

void EchoAsync(winport::rpc::CServerCall& call)
{
    std::string reply = call.Request();
    call.SetReplyBuilder([reply] { return reply; });
    RpcAsyncCompleteCall(call.AsyncState(), nullptr);
}

const winport::rpc::PServerProcedure kProcedures[] = {&Echo, &EchoAsync};
const bool kAsynchronous[] = {false, true};
const winport::rpc::SInterface kInterface = {"4d4e0eb8-70cd-46c0-9c55-e122dd48e518", 1, 0, 2,
                                             kProcedures, kAsynchronous};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv)
{
    // The run time places its callers on a machine: the target runs inside a fleet of its own.
    static std::string root = testsupport::EnterTemporaryFleet("fleet-fuzz", *argv);
    RpcServerRegisterIf2(const_cast<winport::rpc::SInterface*>(&kInterface), nullptr, nullptr,
                         RPC_IF_AUTOLISTEN, 0, 1 << 16, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    bool namedPipe = (data[0] & 1) != 0;
    std::thread caller(
        [&]
        {
            const char* p = reinterpret_cast<const char*>(data + 1);
            size_t left = size - 1;
            while (left > 0)
            {
                ssize_t sent = send(pair[0], p, left, MSG_NOSIGNAL);
                if (sent <= 0)
                    break;
                p += sent;
                left -= static_cast<size_t>(sent);
            }
            shutdown(pair[0], SHUT_WR);
            char answers[4096];
            while (recv(pair[0], answers, sizeof answers, 0) > 0)
            {
            }
        });
    winport::rpc::testing::ServeConnection(pair[1], namedPipe);
    shutdown(pair[0], SHUT_RDWR);
    caller.join();
    close(pair[0]);
    return 0;
}
