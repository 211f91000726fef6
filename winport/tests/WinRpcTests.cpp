// The RPC run time: string bindings, the server's states, calls local and across machines,
// asynchronous calls, and hostile clients on the endpoint's socket.
#include "fleetsim/Fleet.h"
#include "testsupport/TestFleet.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinRpc.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/posix/MachineSocket.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using testsupport::AsAccount;

namespace
{

constexpr DWORD kGuard = 60000; // only against a hang
constexpr std::chrono::milliseconds kWaitGuard(60000);

std::string Env(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// ---- The test interface --------------------------------------------------------------------

// Calls of the blocking procedure wait here until the test opens the gate.
struct SGate
{
    std::mutex lock;
    std::condition_variable changed;
    int entered = 0;
    bool open = false;
} g_Gate;

// Asynchronous calls the procedure left for the test to complete.
std::mutex g_PendingLock;
std::deque<PRPC_ASYNC_STATE> g_Pending;

void Echo(winport::rpc::CServerCall& call)
{
    const std::string& request = call.Request();
    if (request.rfind("raise:", 0) == 0)
        RpcRaiseException(std::stol(request.substr(6)));
    if (request == "throw")
        throw std::runtime_error("not for the client");
    call.SetReply(request);
}

void AsyncEcho(winport::rpc::CServerCall& call)
{
    std::string request = call.Request();
    call.SetReplyBuilder([request] { return "async:" + request; });
    PRPC_ASYNC_STATE state = call.AsyncState();
    if (request == "now")
    {
        RpcAsyncCompleteCall(state, nullptr);
        return;
    }
    std::lock_guard<std::mutex> guard(g_PendingLock);
    g_Pending.push_back(state);
}

void Block(winport::rpc::CServerCall& call)
{
    std::unique_lock<std::mutex> guard(g_Gate.lock);
    ++g_Gate.entered;
    g_Gate.changed.notify_all();
    g_Gate.changed.wait(guard, [] { return g_Gate.open; });
    call.SetReply("released");
}

void StopListening(winport::rpc::CServerCall& call)
{
    call.SetReply(RpcMgmtStopServerListening(nullptr) == RPC_S_OK ? "stopping" : "not listening");
}

const winport::rpc::PServerProcedure kProcedures[] = {Echo, AsyncEcho, Block, StopListening};
const bool kAsynchronous[] = {false, true, false, false};
winport::rpc::SInterface g_Test = {
    "4D4E0EB8-70CD-46C0-9C55-E122DD48E518", 1, 2, 4, kProcedures, kAsynchronous};
// Same procedures under other uuids: one capped at one call, one for unregistering, one with
// a small size limit.
winport::rpc::SInterface g_Capped = {
    "4d4e0eb8-70cd-46c0-9c55-e122dd48e519", 1, 0, 4, kProcedures, kAsynchronous};
winport::rpc::SInterface g_Removable = {
    "4d4e0eb8-70cd-46c0-9c55-e122dd48e51a", 1, 0, 4, kProcedures, kAsynchronous};
winport::rpc::SInterface g_Small = {
    "4d4e0eb8-70cd-46c0-9c55-e122dd48e51b", 1, 0, 4, kProcedures, kAsynchronous};

enum EProcedure : unsigned
{
    kEcho,
    kAsyncEcho,
    kBlock,
    kStop
};

void OpenGate()
{
    std::lock_guard<std::mutex> guard(g_Gate.lock);
    g_Gate.open = true;
    g_Gate.changed.notify_all();
}
void CloseGate()
{
    std::lock_guard<std::mutex> guard(g_Gate.lock);
    g_Gate.open = false;
    g_Gate.entered = 0;
}
bool WaitEntered(int count)
{
    std::unique_lock<std::mutex> guard(g_Gate.lock);
    return g_Gate.changed.wait_for(guard, kWaitGuard, [&] { return g_Gate.entered >= count; });
}

PRPC_ASYNC_STATE NextPending()
{
    PRPC_ASYNC_STATE state = nullptr;
    testsupport::WaitFor(
        [&]
        {
            std::lock_guard<std::mutex> guard(g_PendingLock);
            if (g_Pending.empty())
                return false;
            state = g_Pending.front();
            g_Pending.pop_front();
            return true;
        },
        kWaitGuard);
    return state;
}

// ---- Helpers -------------------------------------------------------------------------------

RPC_BINDING_HANDLE Bind(const std::wstring& text)
{
    RPC_BINDING_HANDLE binding = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(text.c_str()), &binding), RPC_S_OK)
        << winport::ToUtf8(text);
    return binding;
}

// The status a call ends with, and its reply.
RPC_STATUS Call(RPC_BINDING_HANDLE binding, const winport::rpc::SInterface& iface,
                unsigned procedure, const std::string& request, std::string* reply = nullptr)
{
    RPC_STATUS status = RPC_S_OK;
    RpcTryExcept
    {
        std::string bytes;
        winport::rpc::ClientCall(binding, iface, procedure, request, bytes);
        if (reply != nullptr)
            *reply = bytes;
    }
    RpcExcept(RpcExceptionFilter(RpcExceptionCode()))
    {
        status = RpcExceptionCode();
    }
    RpcEndExcept;
    return status;
}

// This process serves g_Test on "rpctest" (ncalrpc) and "\pipe\rpctest" (ncacn_np), once.
void EnsureServer()
{
    static std::once_flag s_Once;
    std::call_once(
        s_Once,
        []
        {
            ASSERT_EQ(RpcServerUseProtseqEpW((RPC_WSTR)L"ncalrpc", RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                             (RPC_WSTR)L"rpctest", nullptr),
                      RPC_S_OK);
            ASSERT_EQ(RpcServerUseProtseqEpW((RPC_WSTR)L"ncacn_np", RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                             (RPC_WSTR)L"\\pipe\\rpctest", nullptr),
                      RPC_S_OK);
            ASSERT_EQ(RpcServerRegisterIf(&g_Test, nullptr, nullptr), RPC_S_OK);
            ASSERT_EQ(RpcServerRegisterIfEx(&g_Capped, nullptr, nullptr, 0, 1, nullptr), RPC_S_OK);
            ASSERT_EQ(RpcServerRegisterIf2(&g_Small, nullptr, nullptr, 0,
                                           RPC_C_LISTEN_MAX_CALLS_DEFAULT, 1024, nullptr),
                      RPC_S_OK);
            ASSERT_EQ(RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE), RPC_S_OK);
        });
}

std::string LocalSocketPath(const std::string& name)
{
    return winport::fleet::CurrentMachine().folder + "/runtime/rpc/lrpc." + name;
}

// A call frame as a client writes it, for the hostile clients.
std::string RawCall(const winport::rpc::SInterface& iface, unsigned procedure,
                    const std::string& request)
{
    std::string frame(4 + 57 - 4, '\0');
    uint32_t length = static_cast<uint32_t>(53 + request.size());
    memcpy(frame.data(), &length, 4);
    frame[4] = 1;
    std::string uuid = iface.uuid;
    for (char& c : uuid)
        c = static_cast<char>(tolower(c));
    memcpy(frame.data() + 5, uuid.data(), 36);
    memcpy(frame.data() + 41, &iface.majorVersion, 2);
    memcpy(frame.data() + 43, &iface.minorVersion, 2);
    memcpy(frame.data() + 45, &procedure, 4);
    return frame + request;
}

// Sends bytes on a fresh connection to a socket; the status of the reply, or -1 when the
// server closed without one.
long RawExchange(const std::string& path, const std::string& bytes, bool closeWrite = true)
{
    int fd = winport::posix::ConnectUnixSocket(path);
    if (fd < 0)
        return -2;
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (closeWrite)
        shutdown(fd, SHUT_WR);
    char reply[8];
    size_t got = 0;
    while (got < sizeof reply)
    {
        ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got < sizeof reply)
        return -1;
    uint32_t status;
    memcpy(&status, reply + 4, 4);
    return static_cast<long>(status);
}

// The first file below a machine's runtime folder holding one of the secrets, else "".
std::string ScanRuntimeFolders(const std::vector<std::string>& secrets)
{
    std::string command = "grep -rlaF";
    for (const auto& secret : secrets)
        command += " -e '" + secret + "'";
    command += " " + testsupport::FleetRoot() + "/machines/*/runtime 2>/dev/null";
    std::string found;
    if (FILE* pipe = popen(command.c_str(), "r"))
    {
        char line[4096];
        while (fgets(line, sizeof line, pipe) != nullptr)
            found += line;
        pclose(pipe);
    }
    return found;
}

void WritePidFile(const char* variable)
{
    std::string path = Env(variable);
    if (!path.empty())
        testsupport::WriteHostFile(path, std::to_string(getpid()));
}

} // namespace

// ---- Children ------------------------------------------------------------------------------

// Serves g_Test on an endpoint until a client calls kStop (or it is killed).
TEST(WinRpc, ChildServes)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    std::wstring protseq = winport::FromUtf8(Env("RPC_PROTSEQ"));
    std::wstring endpoint = winport::FromUtf8(Env("RPC_ENDPOINT"));
    ASSERT_EQ(
        RpcServerUseProtseqEpW((RPC_WSTR)protseq.c_str(), 0, (RPC_WSTR)endpoint.c_str(), nullptr),
        RPC_S_OK);
    ASSERT_EQ(RpcServerRegisterIf(&g_Test, nullptr, nullptr), RPC_S_OK);
    ASSERT_EQ(RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE), RPC_S_OK);
    WritePidFile("RPC_PID_FILE");
    EXPECT_EQ(RpcMgmtWaitServerListen(), RPC_S_OK);
}

// A fresh process: the listening states and their codes.
TEST(WinRpc, ChildChecksTheServerStates)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    EXPECT_EQ(RpcServerListen(1, 10, TRUE), RPC_S_NO_PROTSEQS_REGISTERED);
    EXPECT_EQ(RpcMgmtIsServerListening(nullptr), RPC_S_NOT_LISTENING);
    EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_NOT_LISTENING);
    EXPECT_EQ(RpcMgmtWaitServerListen(), RPC_S_NOT_LISTENING);
    // The parent holds "rpctest" in any letter case.
    EXPECT_EQ(RpcServerUseProtseqEpW((RPC_WSTR)L"ncalrpc", 0, (RPC_WSTR)L"RPCTEST", nullptr),
              RPC_S_DUPLICATE_ENDPOINT);
    EXPECT_EQ(
        RpcServerUseProtseqEpW((RPC_WSTR)L"ncacn_np", 0, (RPC_WSTR)L"\\PIPE\\RpcTest", nullptr),
        RPC_S_DUPLICATE_ENDPOINT);
    ASSERT_EQ(RpcServerUseProtseqEpW((RPC_WSTR)L"ncalrpc", 0, (RPC_WSTR)L"rpcstates", nullptr),
              RPC_S_OK);
    ASSERT_EQ(RpcServerRegisterIf(&g_Test, nullptr, nullptr), RPC_S_OK);
    RPC_BINDING_HANDLE binding = Bind(L"ncalrpc:[rpcstates]");
    // Registered but not listening: the server is unavailable.
    EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(RpcMgmtIsServerListening(binding), RPC_S_NOT_LISTENING);
    EXPECT_EQ(RpcServerListen(1, 10, TRUE), RPC_S_OK);
    EXPECT_EQ(RpcServerListen(1, 10, TRUE), RPC_S_ALREADY_LISTENING);
    EXPECT_EQ(RpcMgmtIsServerListening(nullptr), RPC_S_OK);
    EXPECT_EQ(RpcMgmtIsServerListening(binding), RPC_S_OK);
    EXPECT_EQ(RpcMgmtStopServerListening(binding), RPC_S_ACCESS_DENIED);
    EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_OK);
    EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
    EXPECT_EQ(RpcMgmtIsServerListening(nullptr), RPC_S_NOT_LISTENING);
    EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_SERVER_UNAVAILABLE);
    // Listening again works, and a blocking listen returns once a call stops it.
    std::atomic<bool> returned{false};
    RPC_STATUS listened = -1;
    std::thread listener(
        [&]
        {
            listened = RpcServerListen(1, 10, FALSE);
            returned = true;
        });
    ASSERT_TRUE(testsupport::WaitFor([] { return RpcMgmtIsServerListening(nullptr) == RPC_S_OK; },
                                     kWaitGuard));
    EXPECT_FALSE(returned);
    std::string reply;
    EXPECT_EQ(Call(binding, g_Test, kStop, "", &reply), RPC_S_OK);
    EXPECT_EQ(reply, "stopping");
    listener.join();
    EXPECT_EQ(listened, RPC_S_OK);
    EXPECT_EQ(RpcBindingFree(&binding), RPC_S_OK);
}

// Another machine's process: refused on the parent's ncalrpc socket.
TEST(WinRpc, ChildCallsAForeignLocalEndpoint)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    EXPECT_EQ(RawExchange(Env("RPC_SOCKET"), RawCall(g_Test, kEcho, "x")), RPC_S_ACCESS_DENIED);
}

// ---- Parent tests --------------------------------------------------------------------------

TEST(WinRpc, StringBindingsComposeParseAndFree)
{
    RPC_WSTR text = nullptr;
    ASSERT_EQ(RpcStringBindingComposeW(nullptr, (RPC_WSTR)L"ncacn_np", (RPC_WSTR)L"SRV",
                                       (RPC_WSTR)L"\\pipe\\halvorn", nullptr, &text),
              RPC_S_OK);
    EXPECT_STREQ(text, L"ncacn_np:SRV[\\pipe\\halvorn]");
    EXPECT_EQ(RpcStringFreeW(&text), RPC_S_OK);
    EXPECT_EQ(text, nullptr);
    ASSERT_EQ(RpcStringBindingComposeW((RPC_WSTR)L"12345678-1234-1234-1234-123456789abc",
                                       (RPC_WSTR)L"ncalrpc", nullptr, (RPC_WSTR)L"ep",
                                       (RPC_WSTR)L"Security=Impersonation", &text),
              RPC_S_OK);
    EXPECT_STREQ(text, L"12345678-1234-1234-1234-123456789abc@ncalrpc:[ep,Security=Impersonation]");
    RPC_BINDING_HANDLE binding = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingW(text, &binding), RPC_S_OK);
    EXPECT_EQ(RpcStringFreeW(&text), RPC_S_OK);
    EXPECT_EQ(RpcStringFreeW(nullptr), RPC_S_INVALID_ARG);
    ASSERT_EQ(
        RpcStringBindingComposeW(nullptr, (RPC_WSTR)L"ncalrpc", nullptr, nullptr, nullptr, &text),
        RPC_S_OK);
    EXPECT_STREQ(text, L"ncalrpc:");
    RpcStringFreeW(&text);

    EXPECT_EQ(RpcBindingSetAuthInfoW(binding, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                     RPC_C_AUTHN_WINNT, nullptr, RPC_C_AUTHZ_NONE),
              RPC_S_OK);
    EXPECT_EQ(RpcBindingSetAuthInfoW(binding, nullptr, 7, RPC_C_AUTHN_WINNT, nullptr, 0), 1748);
    EXPECT_EQ(RpcBindingSetAuthInfoW(binding, nullptr, 6, 77, nullptr, 0),
              RPC_S_UNKNOWN_AUTHN_SERVICE);
    EXPECT_EQ(RpcBindingFree(&binding), RPC_S_OK);
    EXPECT_EQ(binding, nullptr);
    EXPECT_EQ(RpcBindingFree(&binding), RPC_S_INVALID_BINDING);
    EXPECT_EQ(RpcBindingFree(nullptr), RPC_S_INVALID_ARG);
    int bogus = 0;
    EXPECT_EQ(RpcBindingSetAuthInfoW(&bogus, nullptr, 1, 0, nullptr, 0), RPC_S_INVALID_BINDING);

    struct
    {
        const wchar_t* text;
        RPC_STATUS status;
    } const cases[] = {
        {L"ncalrpc:[x]", RPC_S_OK},
        {L"ncacn_np:[\\pipe\\x]", RPC_S_OK},
        {L"ncacn_np:\\\\SRV[\\PIPE\\x,opt]", RPC_S_OK},
        {L"ncalrpc:", RPC_S_OK}, // bound at the first call
        {L"ncacn_ip_tcp:host[135]", RPC_S_PROTSEQ_NOT_SUPPORTED},
        {L"bogus:[x]", RPC_S_PROTSEQ_NOT_SUPPORTED},
        {L"ncalrpc", RPC_S_INVALID_STRING_BINDING},
        {L":[x]", RPC_S_INVALID_STRING_BINDING},
        {L"", RPC_S_INVALID_STRING_BINDING},
        {L"ncalrpc:[x", RPC_S_INVALID_STRING_BINDING},
        {L"ncalrpc:[x]y", RPC_S_INVALID_STRING_BINDING},
        {L"ncalrpc:x]", RPC_S_INVALID_STRING_BINDING},
        {L"ncacn_np:SRV[halvorn]", RPC_S_INVALID_ENDPOINT_FORMAT},
        {L"ncacn_np:SRV[\\pipe\\]", RPC_S_INVALID_ENDPOINT_FORMAT},
        {L"not-a-uuid@ncalrpc:[x]", RPC_S_INVALID_STRING_UUID},
    };
    for (const auto& c : cases)
    {
        binding = nullptr;
        EXPECT_EQ(RpcBindingFromStringBindingW((RPC_WSTR)c.text, &binding), c.status)
            << winport::ToUtf8(c.text);
        EXPECT_EQ(binding != nullptr, c.status == RPC_S_OK) << winport::ToUtf8(c.text);
        RpcBindingFree(&binding);
    }
    EXPECT_EQ(RpcBindingFromStringBindingW(nullptr, &binding), RPC_S_INVALID_STRING_BINDING);
    EXPECT_EQ(RpcBindingFromStringBindingW((RPC_WSTR)L"ncalrpc:[x]", nullptr), RPC_S_INVALID_ARG);

    // A binding does not connect: an endpoint nobody serves fails at the call.
    binding = Bind(L"ncalrpc:[nobody-serves-this]");
    EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_SERVER_UNAVAILABLE);
    RpcBindingFree(&binding);
    binding = Bind(L"ncacn_np:NOSUCHSERVER[\\pipe\\rpctest]");
    EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_SERVER_UNAVAILABLE);
    RpcBindingFree(&binding);
}

TEST(WinRpc, ExceptionBlocks)
{
    RPC_STATUS caught = 0;
    bool finallyRan = false;
    RpcTryExcept
    {
        RpcTryFinally
        {
            RpcRaiseException(RPC_X_BAD_STUB_DATA);
        }
        RpcFinally
        {
            finallyRan = true;
        }
        RpcEndFinally;
    }
    RpcExcept(RpcExceptionCode() == RPC_X_BAD_STUB_DATA)
    {
        caught = RpcExceptionCode();
    }
    RpcEndExcept;
    EXPECT_TRUE(finallyRan);
    EXPECT_EQ(caught, RPC_X_BAD_STUB_DATA);
    // A filter that declines passes the exception on.
    EXPECT_THROW(
        {
            RpcTryExcept
            {
                RpcRaiseException(5);
            }
            RpcExcept(RpcExceptionCode() == 6) {}
            RpcEndExcept;
        },
        winport::rpc::CRaisedException);
}

TEST(WinRpc, ServerStatesOfAFreshProcess)
{
    EnsureServer();
    EXPECT_EQ(RpcServerListen(1, 10, TRUE), RPC_S_ALREADY_LISTENING);
    EXPECT_EQ(RpcServerUseProtseqEpW((RPC_WSTR)L"ncalrpc", 0, (RPC_WSTR)L"RpcTest", nullptr),
              RPC_S_DUPLICATE_ENDPOINT);
    EXPECT_EQ(RpcServerUseProtseqEpW((RPC_WSTR)L"ncacn_ip_tcp", 0, (RPC_WSTR)L"135", nullptr),
              RPC_S_PROTSEQ_NOT_SUPPORTED);
    EXPECT_EQ(RpcServerUseProtseqEpW((RPC_WSTR)L"ncacn_np", 0, (RPC_WSTR)L"rpctest", nullptr),
              RPC_S_INVALID_ENDPOINT_FORMAT);
    EXPECT_EQ(RpcServerRegisterIf(&g_Test, nullptr, nullptr), RPC_S_ALREADY_REGISTERED);
    winport::rpc::SInterface unknown = g_Test;
    unknown.uuid = "00000000-0000-0000-0000-000000000001";
    EXPECT_EQ(RpcServerUnregisterIf(&unknown, nullptr, 1), RPC_S_UNKNOWN_IF);
    std::string output;
    EXPECT_EQ(testsupport::RunChild("WinRpc.ChildChecksTheServerStates", {}, &output), 0) << output;
}

TEST(WinRpc, SynchronousCalls)
{
    EnsureServer();
    for (const wchar_t* text :
         {L"ncalrpc:[rpctest]", L"ncalrpc:[RPCTEST]", L"ncacn_np:[\\pipe\\rpctest]",
          L"ncacn_np:localhost[\\PIPE\\RpcTest]"})
    {
        SCOPED_TRACE(winport::ToUtf8(text));
        RPC_BINDING_HANDLE binding = Bind(text);
        std::string reply;
        EXPECT_EQ(Call(binding, g_Test, kEcho, "hello", &reply), RPC_S_OK);
        EXPECT_EQ(reply, "hello");
        EXPECT_EQ(Call(binding, g_Test, kEcho, "", &reply), RPC_S_OK);
        EXPECT_EQ(reply, "");
        std::string big(3 << 20, 'b');
        big[12345] = '\0';
        EXPECT_EQ(Call(binding, g_Test, kEcho, big, &reply), RPC_S_OK);
        EXPECT_EQ(reply, big);
        EXPECT_EQ(Call(binding, g_Test, kEcho, "raise:1783"), RPC_X_BAD_STUB_DATA);
        EXPECT_EQ(Call(binding, g_Test, kEcho, "throw"), RPC_S_CALL_FAILED);
        EXPECT_EQ(Call(binding, g_Test, kEcho, "after", &reply), RPC_S_OK);
        EXPECT_EQ(reply, "after");
        RpcBindingFree(&binding);
    }
    RPC_BINDING_HANDLE binding = Bind(L"ncalrpc:[rpctest]");
    // Numbers and interfaces the server does not know, and one the client's spec lacks.
    winport::rpc::SInterface wider = g_Test;
    wider.procedureCount = 9;
    EXPECT_EQ(Call(binding, wider, 8, "x"), RPC_S_PROCNUM_OUT_OF_RANGE);
    EXPECT_EQ(Call(binding, g_Test, 4, "x"), RPC_S_PROCNUM_OUT_OF_RANGE);
    winport::rpc::SInterface other = g_Test;
    other.uuid = "00000000-0000-0000-0000-000000000001";
    EXPECT_EQ(Call(binding, other, kEcho, "x"), RPC_S_UNKNOWN_IF);
    winport::rpc::SInterface newer = g_Test;
    newer.minorVersion = 3;
    EXPECT_EQ(Call(binding, newer, kEcho, "x"), RPC_S_UNKNOWN_IF);
    winport::rpc::SInterface major = g_Test;
    major.majorVersion = 2;
    EXPECT_EQ(Call(binding, major, kEcho, "x"), RPC_S_UNKNOWN_IF);
    int bogus = 0;
    EXPECT_EQ(Call(&bogus, g_Test, kEcho, "x"), RPC_S_INVALID_BINDING);

    // Concurrent calls on one binding each get their own answer.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < 200; ++i)
                {
                    std::string request = std::to_string(t) + "/" + std::to_string(i), reply;
                    if (Call(binding, g_Test, kEcho, request, &reply) != RPC_S_OK ||
                        reply != request)
                        ++wrong;
                }
            });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    RpcBindingFree(&binding);
}

TEST(WinRpc, AsynchronousCalls)
{
    EnsureServer();
    RPC_BINDING_HANDLE binding = Bind(L"ncalrpc:[rpctest]");
    RPC_ASYNC_STATE state;
    EXPECT_EQ(RpcAsyncInitializeHandle(&state, sizeof state - 1), RPC_S_INVALID_ARG);

    // Callback notification, completed by the server after the procedure returned.
    ASSERT_EQ(RpcAsyncInitializeHandle(&state, sizeof state), RPC_S_OK);
    static std::atomic<int> s_Notified;
    s_Notified = 0;
    state.NotificationType = RpcNotificationTypeCallback;
    state.u.NotificationRoutine = [](RPC_ASYNC_STATE*, void*, RPC_ASYNC_EVENT event)
    {
        if (event == RpcCallComplete)
            ++s_Notified;
    };
    std::string out;
    winport::rpc::ClientCallAsync(&state, binding, g_Test, kAsyncEcho, "one",
                                  [&](const std::string& reply) { out = reply; });
    PRPC_ASYNC_STATE server = NextPending();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(RpcAsyncCompleteCall(&state, nullptr), RPC_S_ASYNC_CALL_PENDING);
    EXPECT_EQ(RpcAsyncGetCallStatus(&state), RPC_S_ASYNC_CALL_PENDING);
    RPC_BINDING_HANDLE callHandle = RpcAsyncGetCallHandle(server);
    ASSERT_NE(callHandle, nullptr);
    EXPECT_EQ(RpcServerTestCancel(callHandle), RPC_S_CALL_IN_PROGRESS);
    EXPECT_EQ(RpcBindingFree(&callHandle), RPC_S_WRONG_KIND_OF_BINDING);
    EXPECT_EQ(RpcAsyncCompleteCall(server, nullptr), RPC_S_OK);
    EXPECT_EQ(RpcAsyncCompleteCall(server, nullptr), RPC_S_INVALID_ASYNC_HANDLE);
    ASSERT_TRUE(testsupport::WaitFor([] { return s_Notified == 1; }, kWaitGuard));
    EXPECT_EQ(RpcAsyncGetCallStatus(&state), RPC_S_OK);
    EXPECT_EQ(RpcAsyncCompleteCall(&state, nullptr), RPC_S_OK);
    EXPECT_EQ(out, "async:one");
    EXPECT_EQ(RpcAsyncCompleteCall(&state, nullptr), RPC_S_INVALID_ASYNC_HANDLE);

    // Event notification, completed inside the procedure; then an abort with a code.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(RpcAsyncInitializeHandle(&state, sizeof state), RPC_S_OK);
    state.NotificationType = RpcNotificationTypeEvent;
    state.u.hEvent = event;
    out.clear();
    winport::rpc::ClientCallAsync(&state, binding, g_Test, kAsyncEcho, "now",
                                  [&](const std::string& reply) { out = reply; });
    ASSERT_EQ(WaitForSingleObject(event, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(RpcAsyncCompleteCall(&state, nullptr), RPC_S_OK);
    EXPECT_EQ(out, "async:now");

    ASSERT_EQ(RpcAsyncInitializeHandle(&state, sizeof state), RPC_S_OK);
    state.NotificationType = RpcNotificationTypeEvent;
    state.u.hEvent = event;
    bool unmarshalled = false;
    winport::rpc::ClientCallAsync(&state, binding, g_Test, kAsyncEcho, "abort",
                                  [&](const std::string&) { unmarshalled = true; });
    server = NextPending();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(RpcAsyncAbortCall(server, ERROR_BAD_ARGUMENTS), RPC_S_OK);
    ASSERT_EQ(WaitForSingleObject(event, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(RpcAsyncCompleteCall(&state, nullptr), ERROR_BAD_ARGUMENTS);
    EXPECT_FALSE(unmarshalled);

    // A cancel the server sees: it answers, and the call ends with its answer.
    ASSERT_EQ(RpcAsyncInitializeHandle(&state, sizeof state), RPC_S_OK);
    state.NotificationType = RpcNotificationTypeEvent;
    state.u.hEvent = event;
    winport::rpc::ClientCallAsync(&state, binding, g_Test, kAsyncEcho, "cancel", nullptr);
    server = NextPending();
    ASSERT_NE(server, nullptr);
    callHandle = RpcAsyncGetCallHandle(server);
    EXPECT_EQ(RpcServerTestCancel(callHandle), RPC_S_CALL_IN_PROGRESS);
    EXPECT_EQ(RpcAsyncCancelCall(&state, FALSE), RPC_S_OK);
    EXPECT_TRUE(testsupport::WaitFor([&] { return RpcServerTestCancel(callHandle) == RPC_S_OK; },
                                     kWaitGuard));
    EXPECT_EQ(RpcAsyncCompleteCall(&state, nullptr), RPC_S_ASYNC_CALL_PENDING);
    EXPECT_EQ(RpcAsyncAbortCall(server, RPC_S_CALL_CANCELLED), RPC_S_OK);
    ASSERT_EQ(WaitForSingleObject(event, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(RpcAsyncCompleteCall(&state, nullptr), RPC_S_CALL_CANCELLED);

    // An abortive cancel ends the call at once; the server's call counts as cancelled and is
    // freed by its completion.
    ASSERT_EQ(RpcAsyncInitializeHandle(&state, sizeof state), RPC_S_OK);
    state.NotificationType = RpcNotificationTypeNone;
    winport::rpc::ClientCallAsync(&state, binding, g_Test, kAsyncEcho, "abandon", nullptr);
    server = NextPending();
    ASSERT_NE(server, nullptr);
    callHandle = RpcAsyncGetCallHandle(server);
    EXPECT_EQ(RpcAsyncCancelCall(&state, TRUE), RPC_S_OK);
    EXPECT_EQ(RpcAsyncCompleteCall(&state, nullptr), RPC_S_CALL_CANCELLED);
    EXPECT_TRUE(testsupport::WaitFor([&] { return RpcServerTestCancel(callHandle) == RPC_S_OK; },
                                     kWaitGuard));
    EXPECT_EQ(RpcAsyncCompleteCall(server, nullptr), RPC_S_OK);
    EXPECT_EQ(RpcAsyncCancelCall(&state, TRUE), RPC_S_INVALID_ASYNC_HANDLE);

    // Many calls wait at once, each on a connection of its own.
    constexpr int kCalls = 1100;
    std::vector<RPC_ASYNC_STATE> states(kCalls);
    std::vector<std::string> replies(kCalls);
    for (int i = 0; i < kCalls; ++i)
    {
        ASSERT_EQ(RpcAsyncInitializeHandle(&states[i], sizeof states[i]), RPC_S_OK);
        states[i].NotificationType = RpcNotificationTypeNone;
        winport::rpc::ClientCallAsync(&states[i], binding, g_Test, kAsyncEcho, std::to_string(i),
                                      [&replies, i](const std::string& reply)
                                      { replies[i] = reply; });
    }
    std::vector<PRPC_ASYNC_STATE> waiting;
    for (int i = 0; i < kCalls; ++i)
    {
        waiting.push_back(NextPending());
        ASSERT_NE(waiting.back(), nullptr) << i;
    }
    for (PRPC_ASYNC_STATE pending : waiting)
        EXPECT_EQ(RpcAsyncCompleteCall(pending, nullptr), RPC_S_OK);
    for (int i = 0; i < kCalls; ++i)
    {
        ASSERT_TRUE(testsupport::WaitFor(
            [&] { return RpcAsyncGetCallStatus(&states[i]) != RPC_S_ASYNC_CALL_PENDING; },
            kWaitGuard));
        EXPECT_EQ(RpcAsyncCompleteCall(&states[i], nullptr), RPC_S_OK);
        EXPECT_EQ(replies[i], "async:" + std::to_string(i));
    }
    CloseHandle(event);
    RpcBindingFree(&binding);
}

TEST(WinRpc, CapsSizeLimitsAndUnregistering)
{
    EnsureServer();
    RPC_BINDING_HANDLE binding = Bind(L"ncalrpc:[rpctest]");
    CloseGate();
    // One call at a time on the capped interface: a second is too much.
    RPC_STATUS first = -1;
    std::thread blocked([&] { first = Call(binding, g_Capped, kBlock, ""); });
    ASSERT_TRUE(WaitEntered(1));
    EXPECT_EQ(Call(binding, g_Capped, kEcho, "x"), RPC_S_SERVER_TOO_BUSY);
    EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_OK);
    OpenGate();
    blocked.join();
    EXPECT_EQ(first, RPC_S_OK);
    EXPECT_EQ(Call(binding, g_Capped, kEcho, "x"), RPC_S_OK);

    // The size limit: a request over it is refused, the server serves on.
    std::string reply;
    EXPECT_EQ(Call(binding, g_Small, kEcho, std::string(1024, 's'), &reply), RPC_S_OK);
    EXPECT_EQ(Call(binding, g_Small, kEcho, std::string(1025, 's')), RPC_S_ACCESS_DENIED);
    EXPECT_EQ(Call(binding, g_Small, kEcho, std::string(8 << 20, 's')), RPC_S_ACCESS_DENIED);
    EXPECT_EQ(Call(binding, g_Small, kEcho, "fine", &reply), RPC_S_OK);
    EXPECT_EQ(reply, "fine");

    // Unregistering waits for the interface's running call.
    CloseGate();
    ASSERT_EQ(RpcServerRegisterIf(&g_Removable, nullptr, nullptr), RPC_S_OK);
    RPC_STATUS running = -1;
    std::thread call([&] { running = Call(binding, g_Removable, kBlock, ""); });
    ASSERT_TRUE(WaitEntered(1));
    std::atomic<bool> unregistered{false};
    std::thread remover(
        [&]
        {
            EXPECT_EQ(RpcServerUnregisterIf(&g_Removable, nullptr, 1), RPC_S_OK);
            unregistered = true;
        });
    // Gone for new calls at once, while the running one holds the unregistering.
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return Call(binding, g_Removable, kEcho, "x") == RPC_S_UNKNOWN_IF; }, kWaitGuard));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(unregistered);
    OpenGate();
    call.join();
    remover.join();
    EXPECT_EQ(running, RPC_S_OK);
    EXPECT_TRUE(unregistered);
    EXPECT_EQ(RpcServerUnregisterIf(&g_Removable, nullptr, 1), RPC_S_UNKNOWN_IF);
    RpcBindingFree(&binding);
}

TEST(WinRpc, HostileClientsLeaveTheServerServing)
{
    EnsureServer();
    std::string path = LocalSocketPath("RPCTEST");
    ASSERT_EQ(access(path.c_str(), F_OK), 0) << path;
    // The raw frame is a real call.
    EXPECT_EQ(RawExchange(path, RawCall(g_Test, kEcho, "raw")), RPC_S_OK);
    // Oversized: refused unread, whatever it declares.
    std::string huge = RawCall(g_Test, kEcho, "");
    uint32_t length = 0xFFFFFFF0u;
    memcpy(huge.data(), &length, 4);
    EXPECT_EQ(RawExchange(path, huge, false), RPC_S_ACCESS_DENIED);
    std::string small = RawCall(g_Small, kEcho, std::string(2000, 'x'));
    EXPECT_EQ(RawExchange(path, small.substr(0, 100), false), RPC_S_ACCESS_DENIED);
    // Garbage, truncated frames, lies about the credentials: the connection just ends.
    std::string credentials = RawCall(g_Test, kEcho, "abc");
    uint32_t userSize = 0x7FFFFFFF;
    memcpy(credentials.data() + 49, &userSize, 4);
    std::string wrongKind = RawCall(g_Test, kEcho, "abc");
    wrongKind[4] = 9;
    std::string shortLength = RawCall(g_Test, kEcho, "abc");
    length = 10;
    memcpy(shortLength.data(), &length, 4);
    for (const std::string& bad :
         {std::string("garbage!garbage!garbage!"), std::string("\x01\x00", 2),
          RawCall(g_Test, kEcho, "truncated").substr(0, 30),
          RawCall(g_Test, kEcho, "truncated body").substr(0, 60), credentials, wrongKind,
          shortLength})
        EXPECT_EQ(RawExchange(path, bad), -1);
    // A client that sends half a frame and stays: others are served meanwhile.
    int stalled = winport::posix::ConnectUnixSocket(path);
    ASSERT_GE(stalled, 0);
    std::string half = RawCall(g_Test, kEcho, std::string(100000, 'h')).substr(0, 50000);
    send(stalled, half.data(), half.size(), MSG_NOSIGNAL);
    RPC_BINDING_HANDLE binding = Bind(L"ncalrpc:[rpctest]");
    std::string reply;
    EXPECT_EQ(Call(binding, g_Test, kEcho, "still here", &reply), RPC_S_OK);
    EXPECT_EQ(reply, "still here");
    close(stalled);
    EXPECT_EQ(Call(binding, g_Test, kEcho, "and here", &reply), RPC_S_OK);
    RpcBindingFree(&binding);
}

TEST(WinRpc, EndpointOfAnotherProcessAndItsDeath)
{
    std::string pidFile = testsupport::FleetRoot() + "/rpc-child.pid";
    unlink(pidFile.c_str());
    std::string output;
    int result = -1;
    std::thread child(
        [&]
        {
            result = testsupport::RunChild("WinRpc.ChildServes",
                                           {{"RPC_PROTSEQ", "ncalrpc"},
                                            {"RPC_ENDPOINT", "rpc-child"},
                                            {"RPC_PID_FILE", pidFile}},
                                           &output);
        });
    // The file may be there before its number is.
    pid_t server = 0;
    EXPECT_TRUE(testsupport::WaitFor(
        [&]
        {
            server = static_cast<pid_t>(atoi(testsupport::ReadHostFile(pidFile).c_str()));
            return server > 0;
        },
        kWaitGuard));
    if (server <= 0)
    {
        child.join();
        FAIL() << output;
    }
    EXPECT_EQ(RpcServerUseProtseqEpW((RPC_WSTR)L"ncalrpc", 0, (RPC_WSTR)L"RPC-CHILD", nullptr),
              RPC_S_DUPLICATE_ENDPOINT);
    RPC_BINDING_HANDLE binding = Bind(L"ncalrpc:[rpc-child]");
    std::string reply;
    EXPECT_EQ(Call(binding, g_Test, kEcho, "to the child", &reply), RPC_S_OK);
    EXPECT_EQ(reply, "to the child");
    // A client waiting in a call learns of the server's death at once.
    RPC_STATUS blocked = -1;
    std::thread caller([&] { blocked = Call(binding, g_Test, kBlock, ""); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto killed = std::chrono::steady_clock::now();
    EXPECT_EQ(kill(server, SIGKILL), 0);
    caller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(10));
    EXPECT_EQ(blocked, RPC_S_CALL_FAILED);
    child.join();
    EXPECT_EQ(result, 128 + SIGKILL) << output;
    // The dead server's pooled connection and stale socket: no server, then a new owner.
    EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(RpcServerUseProtseqEpW((RPC_WSTR)L"ncalrpc", 0, (RPC_WSTR)L"rpc-child", nullptr),
              RPC_S_OK);
    EnsureServer();
    EXPECT_EQ(Call(binding, g_Test, kEcho, "to the parent", &reply), RPC_S_OK);
    EXPECT_EQ(reply, "to the parent");
    RpcBindingFree(&binding);
}

namespace
{

// A domain, a server of it, and a child serving there on "\pipe\rpcremote".
class WinRpcRemote : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (testsupport::IsChild())
            return;
        fleetsim::SDomain domain;
        domain.name = L"RPCDOM";
        domain.dnsName = L"rpcdom.example";
        domain.adminPassword = L"D0main!";
        domain.users = {{L"operator", L"Op3rator!"}};
        testsupport::AddDomainServers(domain, {{"RPCSRV", "server"}},
                                      [](fleetsim::SMachineProfile& profile)
                                      { profile.settings.aliases = {"rpcsrv.rpcdom.example"}; });
    }
};

} // namespace

TEST_F(WinRpcRemote, NamedPipeCallsCarryTheCallersCredentials)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    std::string pidFile = testsupport::FleetRoot() + "/rpc-remote.pid";
    std::string output;
    int result = -1;
    std::thread child(
        [&]
        {
            result = testsupport::RunChild("WinRpc.ChildServes",
                                           {{"FLEET_MACHINE", "RPCSRV"},
                                            {"RPC_PROTSEQ", "ncacn_np"},
                                            {"RPC_ENDPOINT", "\\pipe\\rpcremote"},
                                            {"RPC_PID_FILE", pidFile}},
                                           &output);
        });
    ASSERT_TRUE(
        testsupport::WaitFor([&] { return access(pidFile.c_str(), F_OK) == 0; }, kWaitGuard));
    RPC_BINDING_HANDLE binding = Bind(L"ncacn_np:rpcsrv.rpcdom.example[\\pipe\\rpcremote]");
    ASSERT_EQ(RpcBindingSetAuthInfoW(binding, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                     RPC_C_AUTHN_GSS_NEGOTIATE, nullptr, RPC_C_AUTHZ_NONE),
              RPC_S_OK);
    // No credentials from another machine.
    EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_ACCESS_DENIED);
    std::string reply;
    AsAccount(L"RPCSRV", L"Administrator", L"Passw0rd!",
              [&]
              {
                  EXPECT_EQ(Call(binding, g_Test, kEcho, "admin", &reply), RPC_S_OK);
                  EXPECT_EQ(reply, "admin");
                  EXPECT_EQ(Call(binding, g_Test, kEcho, "again", &reply), RPC_S_OK);
              });
    AsAccount(L"RPCDOM", L"Administrator", L"D0main!",
              [&] { EXPECT_EQ(Call(binding, g_Test, kEcho, "domain admin", &reply), RPC_S_OK); });
    // Taken at each call: the same pooled connection checks the new ones.
    AsAccount(L"RPCSRV", L"Administrator", L"wrong",
              [&] { EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), ERROR_LOGON_FAILURE); });
    AsAccount(L"RPCSRV", L"nobody", L"Passw0rd!",
              [&] { EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), ERROR_LOGON_FAILURE); });
    AsAccount(L"RPCDOM", L"operator", L"Op3rator!",
              [&] { EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_ACCESS_DENIED); });
    EXPECT_EQ(Call(binding, g_Test, kEcho, "x"), RPC_S_ACCESS_DENIED);
    AsAccount(L"RPCSRV", L"Administrator", L"Passw0rd!",
              [&] { EXPECT_EQ(Call(binding, g_Test, kStop, "", &reply), RPC_S_OK); });
    child.join();
    EXPECT_EQ(result, 0) << output;
    // The server's normal end takes its endpoint's files along.
    std::string files = testsupport::FleetRoot() + "/machines/RPCSRV/runtime/rpc";
    for (const char* name : {"np.RPCREMOTE", "np.RPCREMOTE.lock"})
        EXPECT_NE(access((files + "/" + name).c_str(), F_OK), 0) << name << " left behind";
    // No password that went through the calls is written anywhere at run time.
    std::string found = ScanRuntimeFolders({"Passw0rd!", "D0main!", "Op3rator!"});
    EXPECT_EQ(found, "");
    RpcBindingFree(&binding);
}

TEST_F(WinRpcRemote, LocalEndpointsRefuseOtherMachines)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    EnsureServer();
    std::string output;
    EXPECT_EQ(testsupport::RunChild(
                  "WinRpc.ChildCallsAForeignLocalEndpoint",
                  {{"FLEET_MACHINE", "RPCSRV"}, {"RPC_SOCKET", LocalSocketPath("RPCTEST")}},
                  &output),
              0)
        << output;
    // This machine's processes are served.
    EXPECT_EQ(RawExchange(LocalSocketPath("RPCTEST"), RawCall(g_Test, kEcho, "x")), RPC_S_OK);
}
