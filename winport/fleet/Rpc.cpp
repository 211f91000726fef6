// Linux only: the RPC run time. Calls travel as length-prefixed frames over Unix sockets in the
// serving machine's runtime folder; the serving process owns each endpoint through a lock file.
#include "winport/WinRpc.h"

#include "protocol/MachineRequests.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/fleet/MachineClient.h"
#include "winport/posix/LibCrypto.h"
#include "winport/posix/MachineSocket.h"
#include "winport/posix/PosixSupport.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using machine::protocol::SAccountInfoRequest;
using machine::protocol::SCheckCredentialsRequest;
using machine::protocol::SHelloReply;
using winport::posix::CFd;

namespace winport::rpc
{

// What a server stub's call refers to; lives until the call is answered (an asynchronous one
// until it is completed or aborted, even when its client has gone).
struct SServerCallState
{
    std::string request;
    std::string reply;
    std::function<std::string()> builder;
    RPC_ASYNC_STATE async{};
    bool asynchronous = false;
    std::atomic<bool> cancelled{false};
    std::mutex lock;
    bool completed = false; // the answer is decided (status and reply)
    // The connection's thread gave up on the call (its client went): whoever completes it ends
    // it. Otherwise that thread ends it once the answer is sent, so a stop of listening that
    // waits for running calls waits for their answers too.
    bool orphaned = false;
    RPC_STATUS status = RPC_S_OK;
    int wakeFd = -1; // tells the connection's thread that the answer is decided
    std::shared_ptr<struct SInterfaceEntry> entry;

    ~SServerCallState()
    {
        if (wakeFd >= 0)
            close(wakeFd);
    }
};

} // namespace winport::rpc

namespace
{

using winport::rpc::CRaisedException;
using winport::rpc::SInterface;
using winport::rpc::SServerCallState;

constexpr uint8_t kFrameCall = 1;
constexpr uint8_t kFrameCancel = 2;
constexpr uint8_t kFrameInquire = 3;
constexpr size_t kUuidLength = 36;
// After the length: kind, uuid, major, minor, procedure, user length, password length.
constexpr size_t kCallPrefix = 1 + kUuidLength + 2 + 2 + 4 + 4 + 4;
constexpr size_t kMaxCredential = 4096;
// The limit of a request to an interface registered without one, and of any reply.
constexpr uint64_t kDefaultMaxRequest = 64ull << 20;
constexpr uint64_t kMaxReply = 256ull << 20;
constexpr size_t kMaxIdleConnections = 64;
constexpr unsigned long kAsyncSignature = 0x43595341;

[[noreturn]] void Raise(RPC_STATUS status)
{
    throw CRaisedException(status);
}

std::wstring Text(const WCHAR* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

std::string LowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool IsUuid(const std::wstring& text)
{
    if (text.size() != kUuidLength)
        return false;
    for (size_t i = 0; i < text.size(); ++i)
    {
        wchar_t c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23)
        {
            if (c != L'-')
                return false;
        }
        else if (!iswxdigit(c) || c > 0x7f)
            return false;
    }
    return true;
}

// The interface's uuid as frames carry it; empty when it is no uuid.
std::string InterfaceKey(const SInterface& iface)
{
    if (iface.uuid == nullptr)
        return {};
    std::string uuid = LowerAscii(iface.uuid);
    return IsUuid(winport::FromUtf8(uuid)) ? uuid : std::string();
}

enum class EProtseq
{
    Local,
    NamedPipe
};

bool ParseProtseq(const std::wstring& text, EProtseq& protseq)
{
    if (text == L"ncalrpc")
        protseq = EProtseq::Local;
    else if (text == L"ncacn_np")
        protseq = EProtseq::NamedPipe;
    else
        return false;
    return true;
}

bool StartsWithPipe(const std::wstring& endpoint)
{
    static const std::wstring kPipe = L"\\pipe\\";
    return endpoint.size() >= kPipe.size() &&
           winport::fleet::NamesEqual(endpoint.substr(0, kPipe.size()), kPipe);
}

// The endpoint's socket file name in runtime/rpc: its name folded to one case, every byte
// unsafe in a file name escaped. Empty when the endpoint is no valid one for the protseq.
std::string EndpointFileName(EProtseq protseq, const std::wstring& endpoint)
{
    std::wstring name = endpoint;
    if (protseq == EProtseq::NamedPipe)
    {
        if (!StartsWithPipe(endpoint))
            return {};
        name = endpoint.substr(6);
    }
    if (name.empty() || name.find(L'\0') != std::wstring::npos)
        return {};
    std::string bytes = winport::ToUtf8(winport::fleet::FoldName(name));
    std::string file = protseq == EProtseq::Local ? "lrpc." : "np.";
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : bytes)
    {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '-' || c == '_')
            file += static_cast<char>(c);
        else
        {
            file += '%';
            file += kHex[c >> 4];
            file += kHex[c & 15];
        }
    }
    if (file.size() > 200)
        return {};
    return file;
}

std::string RpcFolder(const std::string& machineFolder)
{
    return machineFolder + "/runtime/rpc";
}

RPC_WSTR CopyString(const std::wstring& text)
{
    auto* copy = new (std::nothrow) WCHAR[text.size() + 1];
    if (copy != nullptr)
        std::copy(text.c_str(), text.c_str() + text.size() + 1, copy);
    return copy;
}

// ---- Sockets ------------------------------------------------------------------------------

bool SendAll(int fd, iovec* parts, int count)
{
    while (count > 0)
    {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<size_t>(count);
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        auto left = static_cast<size_t>(sent);
        while (count > 0 && left >= parts->iov_len)
        {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0)
        {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

void PutU16(char* p, uint16_t v)
{
    memcpy(p, &v, sizeof v);
}
void PutU32(char* p, uint32_t v)
{
    memcpy(p, &v, sizeof v);
}
uint16_t GetU16(const char* p)
{
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}
uint32_t GetU32(const char* p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

bool SendReply(int fd, RPC_STATUS status, const std::string& bytes)
{
    char header[8];
    PutU32(header, static_cast<uint32_t>(4 + bytes.size()));
    PutU32(header + 4, static_cast<uint32_t>(status));
    iovec parts[2] = {{header, sizeof header}, {const_cast<char*>(bytes.data()), bytes.size()}};
    return SendAll(fd, parts, bytes.empty() ? 1 : 2);
}

// One reply frame: false when the connection ended or broke, protocolError when what came was
// no reply.
bool ReceiveReply(int fd, RPC_STATUS& status, std::string& reply, bool& protocolError)
{
    protocolError = false;
    char first[16384];
    ssize_t got;
    do
        got = recv(fd, first, sizeof first, 0);
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        return false;
    auto have = static_cast<size_t>(got);
    if (have < 8)
    {
        if (!winport::posix::ReceiveExactly(fd, first + have, 8 - have))
            return false;
        have = 8;
    }
    uint32_t length = GetU32(first);
    if (length < 4 || length > kMaxReply || have > length + 4u)
    {
        protocolError = true;
        return false;
    }
    status = static_cast<RPC_STATUS>(GetU32(first + 4));
    reply.assign(first + 8, have - 8);
    size_t rest = length + 4u - have;
    if (rest == 0)
        return true;
    size_t already = reply.size();
    reply.resize(already + rest);
    return winport::posix::ReceiveExactly(fd, reply.data() + already, rest);
}

// ---- Bindings -----------------------------------------------------------------------------

struct SBindingData
{
    EProtseq protseq = EProtseq::Local;
    std::wstring objectUuid, networkAddress, endpoint, options;
    std::string fileName; // of the endpoint's socket
    unsigned long authnLevel = RPC_C_AUTHN_LEVEL_NONE;
    unsigned long authnService = RPC_C_AUTHN_NONE;

    std::mutex lock;
    std::vector<int> idle; // connections waiting for the next call

    ~SBindingData()
    {
        for (int fd : idle)
            close(fd);
    }

    // A connection for one call: an idle one still open, else a new one. 0 or the status.
    RPC_STATUS Acquire(int& fd, bool& reused)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            while (!idle.empty())
            {
                fd = idle.back();
                idle.pop_back();
                // An idle connection has nothing to read: readiness means the server let go.
                pollfd probe{fd, POLLIN | POLLRDHUP, 0};
                if (poll(&probe, 1, 0) == 0)
                {
                    reused = true;
                    return RPC_S_OK;
                }
                close(fd);
            }
        }
        reused = false;
        return Connect(fd);
    }

    RPC_STATUS Connect(int& fd)
    {
        if (endpoint.empty())
            return EPT_S_NOT_REGISTERED_STATUS;
        const auto& self = winport::fleet::CurrentMachine();
        std::string machineFolder = self.folder;
        if (protseq == EProtseq::NamedPipe && !networkAddress.empty())
        {
            std::string folder;
            if (winport::fleet::ResolveServer(networkAddress, folder) != ERROR_SUCCESS)
                return RPC_S_SERVER_UNAVAILABLE;
            machineFolder = self.fleetRoot + "/machines/" + folder;
        }
        fd = winport::posix::ConnectUnixSocket(RpcFolder(machineFolder) + "/" + fileName);
        return fd >= 0 ? RPC_S_OK : RPC_S_SERVER_UNAVAILABLE;
    }

    void Release(int fd)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (idle.size() < kMaxIdleConnections)
            idle.push_back(fd);
        else
            close(fd);
    }

    static constexpr RPC_STATUS EPT_S_NOT_REGISTERED_STATUS = 1753;
};

struct SBinding
{
    std::shared_ptr<SBindingData> data;
};

std::mutex s_BindingLock;
std::set<SBinding*>& Bindings()
{
    static auto* s_pBindings = new std::set<SBinding*>;
    return *s_pBindings;
}

bool IsServerCallHandle(void* handle);

// The binding behind a client handle, or the status that refuses the handle.
RPC_STATUS FindBinding(RPC_BINDING_HANDLE handle, std::shared_ptr<SBindingData>& data)
{
    if (handle == nullptr)
        return RPC_S_INVALID_BINDING;
    {
        std::lock_guard<std::mutex> guard(s_BindingLock);
        auto it = Bindings().find(static_cast<SBinding*>(handle));
        if (it != Bindings().end())
        {
            data = (*it)->data;
            return RPC_S_OK;
        }
    }
    return IsServerCallHandle(handle) ? RPC_S_WRONG_KIND_OF_BINDING : RPC_S_INVALID_BINDING;
}

// The call frame's header (length through password); the request follows it.
std::string CallHeader(const std::string& uuid, const SInterface& iface, unsigned procedure,
                       const std::string& user, const std::string& password, size_t requestSize,
                       RPC_STATUS& status)
{
    uint64_t length = kCallPrefix + user.size() + password.size() + requestSize;
    if (length > 0xFFFFFFFFull)
    {
        status = RPC_S_ACCESS_DENIED; // over every size limit a server has
        return {};
    }
    std::string header(4 + kCallPrefix, '\0');
    char* p = header.data();
    PutU32(p, static_cast<uint32_t>(length));
    p[4] = static_cast<char>(kFrameCall);
    memcpy(p + 5, uuid.data(), kUuidLength);
    PutU16(p + 5 + kUuidLength, iface.majorVersion);
    PutU16(p + 7 + kUuidLength, iface.minorVersion);
    PutU32(p + 9 + kUuidLength, procedure);
    PutU32(p + 13 + kUuidLength, static_cast<uint32_t>(user.size()));
    PutU32(p + 17 + kUuidLength, static_cast<uint32_t>(password.size()));
    header += user;
    header += password;
    status = RPC_S_OK;
    return header;
}

void Wipe(std::string& text)
{
    std::fill(text.begin(), text.end(), '\0');
}
void Wipe(std::wstring& text)
{
    std::fill(text.begin(), text.end(), L'\0');
}

// Sends a call on a connection of the binding; fd receives the connection. Raises on failure.
void SendCall(SBindingData& binding, const SInterface& iface, unsigned procedure,
              const std::string& request, int& fd)
{
    std::string uuid = InterfaceKey(iface);
    if (uuid.empty())
        Raise(RPC_S_INVALID_ARG);
    if (procedure >= iface.procedureCount)
        Raise(RPC_S_PROCNUM_OUT_OF_RANGE);
    std::string user, password;
    if (binding.protseq == EProtseq::NamedPipe)
    {
        std::wstring wideUser, widePassword;
        winport::security::ThreadNetworkCredentials(wideUser, widePassword);
        user = winport::ToUtf8(wideUser);
        password = winport::ToUtf8(widePassword);
        Wipe(widePassword);
    }
    RPC_STATUS status;
    std::string header = CallHeader(uuid, iface, procedure, user, password, request.size(), status);
    Wipe(password);
    if (status != RPC_S_OK)
        Raise(status);
    struct SWipe
    {
        std::string& text;
        ~SWipe() { Wipe(text); }
    } wipeHeader{header};
    for (int attempt = 0;; ++attempt)
    {
        bool reused = false;
        status = binding.Acquire(fd, reused);
        if (status != RPC_S_OK)
            Raise(status);
        iovec parts[2] = {{header.data(), header.size()},
                          {const_cast<char*>(request.data()), request.size()}};
        if (SendAll(fd, parts, request.empty() ? 1 : 2))
            return;
        // A server that refused the call before reading all of it has answered already.
        RPC_STATUS answered = RPC_S_OK;
        std::string ignored;
        bool protocolError = false;
        bool early = ReceiveReply(fd, answered, ignored, protocolError);
        close(fd);
        fd = -1;
        if (early)
            Raise(answered != RPC_S_OK ? answered : RPC_S_PROTOCOL_ERROR);
        // An idle connection the server dropped meanwhile took nothing: try a fresh one.
        if (!reused || attempt > 0)
            Raise(RPC_S_CALL_FAILED_DNE);
    }
}

// Waiting calls take a descriptor each: a process holds well over a thousand.
void RaiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max)
    {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// ---- Asynchronous client calls -------------------------------------------------------------

struct SClientAsyncCall
{
    PRPC_ASYNC_STATE state = nullptr;
    std::shared_ptr<SBindingData> binding;
    std::function<void(const std::string&)> unmarshal;
    std::mutex lock;
    int fd = -1;
    bool done = false;
    RPC_STATUS status = RPC_S_ASYNC_CALL_PENDING;
    std::string reply;
};

// One thread waits for the replies of every asynchronous call of the process.
class CAsyncReactor
{
public:
    static CAsyncReactor& Instance()
    {
        static auto* s_pReactor = new CAsyncReactor;
        return *s_pReactor;
    }

    RPC_STATUS Start(const std::shared_ptr<SClientAsyncCall>& call)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (m_Epoll < 0)
        {
            m_Epoll = epoll_create1(EPOLL_CLOEXEC);
            if (m_Epoll < 0)
                return RPC_S_OUT_OF_RESOURCES;
            RaiseFileLimit();
            try
            {
                std::thread([this] { Run(); }).detach();
            }
            catch (...)
            {
                close(m_Epoll);
                m_Epoll = -1;
                return RPC_S_OUT_OF_RESOURCES;
            }
        }
        auto found = m_Calls.find(call->state);
        if (found != m_Calls.end())
        {
            std::lock_guard<std::mutex> callGuard(found->second->lock);
            if (!found->second->done)
                return RPC_S_INVALID_ASYNC_HANDLE;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.fd = call->fd;
        if (epoll_ctl(m_Epoll, EPOLL_CTL_ADD, call->fd, &event) != 0)
            return RPC_S_OUT_OF_RESOURCES;
        m_Calls[call->state] = call;
        m_Waiting[call->fd] = call;
        return RPC_S_OK;
    }

    std::shared_ptr<SClientAsyncCall> Find(PRPC_ASYNC_STATE state)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        auto it = m_Calls.find(state);
        return it != m_Calls.end() ? it->second : nullptr;
    }

    void Forget(PRPC_ASYNC_STATE state, const std::shared_ptr<SClientAsyncCall>& call)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        auto it = m_Calls.find(state);
        if (it != m_Calls.end() && it->second == call)
            m_Calls.erase(it);
    }

private:
    void Run()
    {
        epoll_event events[64];
        for (;;)
        {
            int count = epoll_wait(m_Epoll, events, 64, -1);
            for (int i = 0; i < count; ++i)
            {
                int fd = events[i].data.fd;
                std::shared_ptr<SClientAsyncCall> call;
                {
                    std::lock_guard<std::mutex> guard(m_Lock);
                    auto it = m_Waiting.find(fd);
                    if (it == m_Waiting.end())
                        continue;
                    call = it->second;
                    m_Waiting.erase(it);
                    epoll_ctl(m_Epoll, EPOLL_CTL_DEL, fd, nullptr);
                }
                Finish(*call);
            }
        }
    }

    static void Finish(SClientAsyncCall& call)
    {
        RPC_STATUS status = RPC_S_OK;
        std::string reply;
        bool protocolError = false;
        bool received = ReceiveReply(call.fd, status, reply, protocolError);
        if (!received)
            status = protocolError ? RPC_S_PROTOCOL_ERROR : RPC_S_CALL_FAILED;
        RPC_NOTIFICATION_TYPES type;
        RPC_ASYNC_NOTIFICATION_INFO info;
        {
            std::lock_guard<std::mutex> guard(call.lock);
            int fd = call.fd;
            call.fd = -1;
            if (call.done) // cancelled meanwhile: nobody waits for the notification
            {
                close(fd);
                return;
            }
            if (received)
                call.binding->Release(fd);
            else
                close(fd);
            call.done = true;
            call.status = status;
            call.reply = std::move(reply);
            type = call.state->NotificationType;
            info = call.state->u;
            call.state->Event = RpcCallComplete;
        }
        if (type == RpcNotificationTypeEvent)
            SetEvent(info.hEvent);
        else if (type == RpcNotificationTypeCallback && info.NotificationRoutine != nullptr)
            info.NotificationRoutine(call.state, nullptr, RpcCallComplete);
    }

    std::mutex m_Lock;
    int m_Epoll = -1;
    std::map<PRPC_ASYNC_STATE, std::shared_ptr<SClientAsyncCall>> m_Calls;
    std::map<int, std::shared_ptr<SClientAsyncCall>> m_Waiting;
};

// ---- Server -------------------------------------------------------------------------------

} // namespace

namespace winport::rpc
{
struct SInterfaceEntry
{
    const SInterface* iface = nullptr;
    std::string uuid;
    unsigned maxCalls = 0; // 0: the server's cap alone
    uint64_t maxRequest = kDefaultMaxRequest;
    unsigned flags = 0;
    RPC_IF_CALLBACK_FN callback = nullptr;
    unsigned active = 0;
};
} // namespace winport::rpc

namespace
{
using winport::rpc::SInterfaceEntry;

struct SEndpoint
{
    EProtseq protseq;
    std::string socketPath, lockPath;
    int listenFd = -1;
    int lockFd = -1;
};

class CServer
{
public:
    static CServer& Instance()
    {
        static auto* s_pServer = new CServer;
        return *s_pServer;
    }

    // Serves a connection that did not come through an endpoint (the frame reader's fuzz
    // target hands it its input this way); closes fd.
    void ServeDirectly(bool namedPipe, int fd, int pid)
    {
        Serve(namedPipe ? EProtseq::NamedPipe : EProtseq::Local, fd, pid);
    }

    RPC_STATUS UseEndpoint(EProtseq protseq, const std::wstring& endpoint);
    RPC_STATUS Register(const SInterface* iface, unsigned flags, unsigned maxCalls,
                        uint64_t maxRequest, RPC_IF_CALLBACK_FN callback);
    RPC_STATUS Unregister(const SInterface* iface, bool wait);
    RPC_STATUS Listen(unsigned maxCalls, bool dontWait);
    RPC_STATUS Stop();
    RPC_STATUS WaitListen();
    bool IsListening()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_bListening;
    }

    // Call handles (and the asynchronous states of calls) that the server knows.
    std::shared_ptr<SServerCallState> FindCall(void* handle)
    {
        std::lock_guard<std::mutex> guard(m_CallLock);
        auto it = m_CallHandles.find(handle);
        return it != m_CallHandles.end() ? it->second : nullptr;
    }
    void AddCall(const std::shared_ptr<SServerCallState>& call)
    {
        std::lock_guard<std::mutex> guard(m_CallLock);
        m_CallHandles[call.get()] = call;
        if (call->asynchronous)
            m_CallHandles[&call->async] = call;
    }
    void RemoveCall(SServerCallState* call)
    {
        std::lock_guard<std::mutex> guard(m_CallLock);
        m_CallHandles.erase(call);
        m_CallHandles.erase(&call->async);
    }
    // Ends an answered call's share of the caps.
    void EndCall(SInterfaceEntry& entry)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        --m_Active;
        --entry.active;
        m_Changed.notify_all();
    }

private:
    void Accept();
    void Serve(EProtseq protseq, int fd, int pid);
    RPC_STATUS Dispatch(class CConnection& connection, const std::string& uuid, uint16_t major,
                        uint16_t minor, uint32_t procedure, std::string request);
    RPC_STATUS AbandonCall(const std::shared_ptr<SServerCallState>& call);
    void Cleanup();

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::shared_ptr<SEndpoint>> m_Endpoints;
    std::map<std::string, std::shared_ptr<SInterfaceEntry>> m_Interfaces; // by "uuid/major"
    bool m_bListening = false;
    uint64_t m_StopCount = 0;
    unsigned m_MaxCalls = RPC_C_LISTEN_MAX_CALLS_DEFAULT;
    unsigned m_Active = 0;
    int m_Epoll = -1;
    pid_t m_OwnerPid = 0;

    std::mutex m_CallLock;
    std::map<void*, std::shared_ptr<SServerCallState>> m_CallHandles;

    friend class CConnection;
};

bool IsServerCallHandle(void* handle)
{
    return CServer::Instance().FindCall(handle) != nullptr;
}

std::string InterfaceMapKey(const std::string& uuid, unsigned major)
{
    return uuid + "/" + std::to_string(major);
}

RPC_STATUS CServer::UseEndpoint(EProtseq protseq, const std::wstring& endpoint)
{
    std::string file = EndpointFileName(protseq, endpoint);
    if (file.empty())
        return RPC_S_INVALID_ENDPOINT_FORMAT;
    std::string folder = RpcFolder(winport::fleet::CurrentMachine().folder);
    std::string socketPath = folder + "/" + file;
    std::lock_guard<std::mutex> guard(m_Lock);
    for (const auto& existing : m_Endpoints)
        if (existing->socketPath == socketPath)
            return RPC_S_DUPLICATE_ENDPOINT;
    mkdir(folder.substr(0, folder.rfind('/')).c_str(), 0700); // runtime/, on a fresh machine
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return RPC_S_OUT_OF_RESOURCES;
    auto added = std::make_shared<SEndpoint>();
    added->protseq = protseq;
    added->socketPath = socketPath;
    added->lockPath = socketPath + ".lock";
    // The lock file names the owner; one removed by a leaving owner after we opened it is
    // no lock anymore, so take it again until the held file is the one at the path.
    CFd lock;
    for (int attempt = 0;; ++attempt)
    {
        lock.Reset(open(added->lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (lock.Get() < 0)
            return RPC_S_OUT_OF_RESOURCES;
        if (flock(lock.Get(), LOCK_EX | LOCK_NB) != 0)
            return errno == EWOULDBLOCK ? RPC_S_DUPLICATE_ENDPOINT : RPC_S_OUT_OF_RESOURCES;
        struct stat held, named;
        if (fstat(lock.Get(), &held) == 0 && stat(added->lockPath.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            break;
        if (attempt > 10)
            return RPC_S_DUPLICATE_ENDPOINT;
    }
    if (m_Endpoints.empty())
        RaiseFileLimit();
    CFd listener(winport::posix::ListenUnixSocket(socketPath, SOMAXCONN));
    if (listener.Get() < 0)
    {
        unlink(added->lockPath.c_str());
        return RPC_S_OUT_OF_RESOURCES;
    }
    if (m_Epoll < 0)
    {
        m_Epoll = epoll_create1(EPOLL_CLOEXEC);
        if (m_Epoll < 0)
            return RPC_S_OUT_OF_RESOURCES;
        m_OwnerPid = getpid();
        atexit([] { Instance().Cleanup(); });
        try
        {
            std::thread([this] { Accept(); }).detach();
        }
        catch (...)
        {
            return RPC_S_OUT_OF_RESOURCES;
        }
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = added.get();
    if (epoll_ctl(m_Epoll, EPOLL_CTL_ADD, listener.Get(), &event) != 0)
    {
        unlink(socketPath.c_str());
        unlink(added->lockPath.c_str());
        return RPC_S_OUT_OF_RESOURCES;
    }
    added->listenFd = listener.Release();
    added->lockFd = lock.Release();
    m_Endpoints.push_back(added);
    return RPC_S_OK;
}

void CServer::Cleanup()
{
    // Best effort at a normal end: another process may take the endpoints at once.
    std::unique_lock<std::mutex> guard(m_Lock, std::try_to_lock);
    if (!guard.owns_lock() || getpid() != m_OwnerPid)
        return;
    for (const auto& endpoint : m_Endpoints)
    {
        unlink(endpoint->socketPath.c_str());
        unlink(endpoint->lockPath.c_str());
    }
}

RPC_STATUS CServer::Register(const SInterface* iface, unsigned flags, unsigned maxCalls,
                             uint64_t maxRequest, RPC_IF_CALLBACK_FN callback)
{
    if (iface == nullptr || iface->procedures == nullptr)
        return RPC_S_INVALID_ARG;
    std::string uuid = InterfaceKey(*iface);
    if (uuid.empty())
        return RPC_S_INVALID_ARG;
    auto entry = std::make_shared<SInterfaceEntry>();
    entry->iface = iface;
    entry->uuid = uuid;
    entry->flags = flags;
    entry->maxCalls = maxCalls == RPC_C_LISTEN_MAX_CALLS_DEFAULT ? 0 : maxCalls;
    entry->maxRequest = maxRequest;
    entry->callback = callback;
    std::lock_guard<std::mutex> guard(m_Lock);
    auto& slot = m_Interfaces[InterfaceMapKey(uuid, iface->majorVersion)];
    if (slot)
        return RPC_S_ALREADY_REGISTERED;
    slot = entry;
    return RPC_S_OK;
}

RPC_STATUS CServer::Unregister(const SInterface* iface, bool wait)
{
    std::unique_lock<std::mutex> guard(m_Lock);
    std::vector<std::shared_ptr<SInterfaceEntry>> removed;
    if (iface == nullptr)
    {
        for (auto& [key, entry] : m_Interfaces)
            removed.push_back(entry);
        m_Interfaces.clear();
    }
    else
    {
        auto it = m_Interfaces.find(InterfaceMapKey(InterfaceKey(*iface), iface->majorVersion));
        if (it == m_Interfaces.end())
            return RPC_S_UNKNOWN_IF;
        removed.push_back(it->second);
        m_Interfaces.erase(it);
    }
    if (wait)
        m_Changed.wait(guard,
                       [&]
                       {
                           return std::all_of(removed.begin(), removed.end(),
                                              [](const auto& entry) { return entry->active == 0; });
                       });
    return RPC_S_OK;
}

RPC_STATUS CServer::Listen(unsigned maxCalls, bool dontWait)
{
    std::unique_lock<std::mutex> guard(m_Lock);
    if (m_bListening)
        return RPC_S_ALREADY_LISTENING;
    if (m_Endpoints.empty())
        return RPC_S_NO_PROTSEQS_REGISTERED;
    m_bListening = true;
    m_MaxCalls = maxCalls;
    if (dontWait)
        return RPC_S_OK;
    uint64_t stops = m_StopCount;
    m_Changed.wait(guard, [&] { return m_StopCount != stops && m_Active == 0; });
    return RPC_S_OK;
}

RPC_STATUS CServer::Stop()
{
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_bListening)
        return RPC_S_NOT_LISTENING;
    m_bListening = false;
    ++m_StopCount;
    m_Changed.notify_all();
    return RPC_S_OK;
}

RPC_STATUS CServer::WaitListen()
{
    std::unique_lock<std::mutex> guard(m_Lock);
    if (!m_bListening)
        return RPC_S_NOT_LISTENING;
    uint64_t stops = m_StopCount;
    m_Changed.wait(guard, [&] { return m_StopCount != stops && m_Active == 0; });
    return RPC_S_OK;
}

void CServer::Accept()
{
    epoll_event events[16];
    for (;;)
    {
        int count = epoll_wait(m_Epoll, events, 16, -1);
        for (int i = 0; i < count; ++i)
        {
            auto* endpoint = static_cast<SEndpoint*>(events[i].data.ptr);
            for (;;)
            {
                int fd = accept4(endpoint->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                {
                    if (errno == EINTR || errno == ECONNABORTED)
                        continue;
                    if (errno == EMFILE || errno == ENFILE)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    break;
                }
                ucred peer{};
                socklen_t size = sizeof peer;
                if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
                    peer.pid = 0;
                try
                {
                    std::thread([this, protseq = endpoint->protseq, fd, pid = peer.pid]
                                { Serve(protseq, fd, pid); })
                        .detach();
                }
                catch (...)
                {
                    close(fd);
                }
            }
        }
    }
}

// Buffered reading of the frames of one connection.
class CReader
{
public:
    explicit CReader(int fd) : m_Fd(fd) {}

    size_t Buffered() const { return m_Data.size() - m_Pos; }
    const char* Data() const { return m_Data.data() + m_Pos; }
    void Consume(size_t n) { m_Pos += n; }

    // Makes n bytes available; false when the connection ends first.
    bool Need(size_t n)
    {
        if (Buffered() >= n)
            return true;
        m_Data.erase(0, m_Pos);
        m_Pos = 0;
        size_t have = m_Data.size();
        m_Data.resize(std::max(n, static_cast<size_t>(65536)));
        while (have < n)
        {
            ssize_t got = recv(m_Fd, m_Data.data() + have, m_Data.size() - have, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
            {
                m_Data.resize(have);
                return false;
            }
            have += static_cast<size_t>(got);
        }
        m_Data.resize(have);
        return true;
    }

    // Drops a large buffer once its frame is done.
    void Trim()
    {
        if (m_Pos == m_Data.size() && m_Data.capacity() > (1u << 20))
        {
            std::string().swap(m_Data);
            m_Pos = 0;
        }
    }

private:
    int m_Fd;
    std::string m_Data;
    size_t m_Pos = 0;
};

// The serving side of one client connection.
class CConnection
{
public:
    CConnection(EProtseq protseq, int fd, int pid) : protseq(protseq), fd(fd), pid(pid), reader(fd)
    {
    }
    ~CConnection() { close(fd); }

    RPC_STATUS CheckCaller(std::string& user, std::string& password);

    EProtseq protseq;
    int fd;
    int pid;
    CReader reader;
    int localPeer = -1; // whether the peer runs on this machine, once asked
    bool selfChecked = false;
    std::string checkedDigest; // of the last credentials found good
};

bool Digest(const std::string& user, const std::string& password, std::string& digest)
{
    std::string both = user;
    both += '\0';
    both += password;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const winport::posix::SLibCrypto* api = winport::posix::LibCrypto();
    bool ok = api != nullptr &&
              api->EVP_Digest(both.data(), both.size(), md, &size, api->EVP_sha256(), nullptr) == 1;
    Wipe(both);
    digest.assign(reinterpret_cast<char*>(md), ok ? size : 0);
    return ok;
}

RPC_STATUS CConnection::CheckCaller(std::string& user, std::string& password)
{
    if (localPeer < 0)
        localPeer = pid > 0 && winport::fleet::IsProcessOfThisMachine(pid) ? 1 : 0;
    if (protseq == EProtseq::Local)
        return localPeer ? RPC_S_OK : RPC_S_ACCESS_DENIED;
    std::shared_ptr<winport::posix::CMachineConnection> machine;
    if (user.empty())
    {
        // A caller without credentials is its process's account, on this machine alone.
        if (!localPeer)
            return RPC_S_ACCESS_DENIED;
        if (selfChecked)
            return RPC_S_OK;
        winport::fleet::SProcessStart start;
        if (!winport::fleet::ReadProcessStart(pid, start) ||
            winport::posix::CMachineConnection::Local(machine) != ERROR_SUCCESS)
            return RPC_S_ACCESS_DENIED;
        SAccountInfoRequest request;
        request.account = winport::ToUtf8(start.account);
        SHelloReply reply;
        if (machine->Call(request, reply) != ERROR_SUCCESS || reply.status != ERROR_SUCCESS ||
            reply.isAdministrator == 0)
            return RPC_S_ACCESS_DENIED;
        selfChecked = true;
        return RPC_S_OK;
    }
    std::string digest;
    if (Digest(user, password, digest) && !checkedDigest.empty() && digest == checkedDigest)
        return RPC_S_OK;
    if (winport::posix::CMachineConnection::Local(machine) != ERROR_SUCCESS)
        return RPC_S_ACCESS_DENIED;
    SCheckCredentialsRequest request;
    request.user = user;
    request.password = password;
    SHelloReply reply;
    DWORD rc = machine->Call(request, reply);
    Wipe(request.password);
    if (rc != ERROR_SUCCESS)
        return RPC_S_ACCESS_DENIED;
    if (reply.status == ERROR_NO_SUCH_USER || reply.status == ERROR_WRONG_PASSWORD ||
        reply.status == ERROR_INVALID_PASSWORD)
        return ERROR_LOGON_FAILURE;
    if (reply.status != ERROR_SUCCESS)
        return static_cast<RPC_STATUS>(reply.status);
    if (reply.isAdministrator == 0)
        return RPC_S_ACCESS_DENIED;
    checkedDigest = digest;
    return RPC_S_OK;
}

thread_local SServerCallState* t_CurrentCall = nullptr;

void CServer::Serve(EProtseq protseq, int fd, int pid)
{
    CConnection connection(protseq, fd, pid);
    CReader& reader = connection.reader;
    for (;;)
    {
        reader.Trim();
        if (!reader.Need(5))
            return;
        uint32_t length = GetU32(reader.Data());
        auto kind = static_cast<uint8_t>(reader.Data()[4]);
        if (kind == kFrameCancel && length == 1)
        {
            reader.Consume(5); // for a call answered already
            continue;
        }
        if (kind == kFrameInquire && length == 1)
        {
            reader.Consume(5);
            if (!SendReply(fd, IsListening() ? RPC_S_OK : RPC_S_NOT_LISTENING, {}))
                return;
            continue;
        }
        if (kind != kFrameCall || length < kCallPrefix || !reader.Need(4 + kCallPrefix))
            return;
        const char* p = reader.Data() + 5;
        std::string uuid(p, kUuidLength);
        uint16_t major = GetU16(p + kUuidLength);
        uint16_t minor = GetU16(p + kUuidLength + 2);
        uint32_t procedure = GetU32(p + kUuidLength + 4);
        uint32_t userSize = GetU32(p + kUuidLength + 8);
        uint32_t passwordSize = GetU32(p + kUuidLength + 12);
        if (userSize > kMaxCredential || passwordSize > kMaxCredential ||
            userSize + passwordSize > length - kCallPrefix)
            return;
        uint64_t requestSize = length - kCallPrefix - userSize - passwordSize;
        uint64_t limit = kDefaultMaxRequest;
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            auto it = m_Interfaces.find(InterfaceMapKey(LowerAscii(uuid), major));
            if (it != m_Interfaces.end())
                limit = it->second->maxRequest;
        }
        if (requestSize > limit)
        {
            // Refused unread: answer, then end the connection rather than take the body.
            SendReply(fd, RPC_S_ACCESS_DENIED, {});
            shutdown(fd, SHUT_WR);
            return;
        }
        reader.Consume(4 + kCallPrefix);
        if (!reader.Need(userSize + passwordSize + requestSize))
            return;
        std::string user(reader.Data(), userSize);
        std::string password(reader.Data() + userSize, passwordSize);
        std::string request(reader.Data() + userSize + passwordSize, requestSize);
        reader.Consume(userSize + passwordSize + requestSize);
        RPC_STATUS status = connection.CheckCaller(user, password);
        Wipe(password);
        if (status != RPC_S_OK)
        {
            if (!SendReply(fd, status, {}))
                return;
            if (protseq == EProtseq::Local)
                return; // a caller of another machine has nothing more to ask
            continue;
        }
        status =
            Dispatch(connection, LowerAscii(uuid), major, minor, procedure, std::move(request));
        if (status == RPC_S_CALL_FAILED_DNE) // the connection broke while the call ran
            return;
    }
}

// Runs one call and answers it; RPC_S_CALL_FAILED_DNE when the connection is done for.
RPC_STATUS CServer::Dispatch(CConnection& connection, const std::string& uuid, uint16_t major,
                             uint16_t minor, uint32_t procedure, std::string request)
{
    int fd = connection.fd;
    auto answer = [fd](RPC_STATUS status, const std::string& bytes)
    { return SendReply(fd, status, bytes) ? RPC_S_OK : RPC_S_CALL_FAILED_DNE; };
    std::shared_ptr<SInterfaceEntry> entry;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        auto it = m_Interfaces.find(InterfaceMapKey(uuid, major));
        if (it != m_Interfaces.end())
            entry = it->second;
        bool served = m_bListening || (entry && (entry->flags & RPC_IF_AUTOLISTEN) != 0);
        if (!served)
            return answer(RPC_S_SERVER_UNAVAILABLE, {});
        if (!entry || minor > entry->iface->minorVersion)
            return answer(RPC_S_UNKNOWN_IF, {});
        if (procedure >= entry->iface->procedureCount ||
            entry->iface->procedures[procedure] == nullptr)
            return answer(RPC_S_PROCNUM_OUT_OF_RANGE, {});
        if ((m_MaxCalls != 0 && m_Active >= m_MaxCalls) ||
            (entry->maxCalls != 0 && entry->active >= entry->maxCalls))
            return answer(RPC_S_SERVER_TOO_BUSY, {});
        ++m_Active;
        ++entry->active;
    }
    auto call = std::make_shared<SServerCallState>();
    call->request = std::move(request);
    call->entry = entry;
    call->asynchronous =
        entry->iface->asynchronous != nullptr && entry->iface->asynchronous[procedure];
    if (call->asynchronous)
    {
        call->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (call->wakeFd < 0)
        {
            EndCall(*entry);
            return answer(RPC_S_OUT_OF_RESOURCES, {});
        }
        call->async.Size = sizeof(RPC_ASYNC_STATE);
        call->async.Signature = kAsyncSignature;
        call->async.RuntimeInfo = call.get();
    }
    AddCall(call);
    RPC_STATUS status = RPC_S_OK;
    if (entry->callback != nullptr &&
        entry->callback(const_cast<SInterface*>(entry->iface), call.get()) != RPC_S_OK)
        status = RPC_S_ACCESS_DENIED;
    else
    {
        winport::rpc::CServerCall stubCall(*call);
        t_CurrentCall = call.get();
        try
        {
            entry->iface->procedures[procedure](stubCall);
        }
        catch (const CRaisedException& raised)
        {
            status = raised.Status() != RPC_S_OK ? raised.Status() : RPC_S_CALL_FAILED;
        }
        catch (...)
        {
            status = RPC_S_CALL_FAILED;
        }
        t_CurrentCall = nullptr;
    }
    if (!call->asynchronous || status != RPC_S_OK)
    {
        bool completed;
        {
            std::lock_guard<std::mutex> guard(call->lock);
            completed = call->completed;
            call->completed = true;
        }
        RemoveCall(call.get());
        // An asynchronous call completed by its manager before the procedure raised keeps
        // that answer.
        RPC_STATUS sent =
            completed ? answer(call->status, call->status == RPC_S_OK ? call->reply : std::string())
                      : answer(status, status == RPC_S_OK ? call->reply : std::string());
        EndCall(*entry);
        return sent;
    }
    // An asynchronous call: wait for its completion, and for a cancel or the client's end.
    CReader& reader = connection.reader;
    for (;;)
    {
        {
            std::lock_guard<std::mutex> guard(call->lock);
            if (call->completed)
                break;
        }
        if (reader.Buffered() == 0)
        {
            pollfd waits[2] = {{fd, POLLIN, 0}, {call->wakeFd, POLLIN, 0}};
            if (poll(waits, 2, -1) < 0 && errno != EINTR)
                return AbandonCall(call);
            if (waits[1].revents != 0)
            {
                uint64_t value;
                ssize_t ignored = read(call->wakeFd, &value, sizeof value);
                (void)ignored;
            }
            if (waits[0].revents == 0)
                continue;
        }
        // Only a cancel may come while a call runs; anything else ends the connection.
        bool cancel = reader.Need(5) && GetU32(reader.Data()) == 1 &&
                      static_cast<uint8_t>(reader.Data()[4]) == kFrameCancel;
        call->cancelled = true;
        if (!cancel)
            return AbandonCall(call); // the call stays until its manager completes it
        reader.Consume(5);
    }
    RPC_STATUS sent = answer(call->status, call->status == RPC_S_OK ? call->reply : std::string());
    EndCall(*entry);
    return sent;
}

// The connection's thread leaves an asynchronous call whose client went; its completion ends it,
// unless it is complete already.
RPC_STATUS CServer::AbandonCall(const std::shared_ptr<SServerCallState>& call)
{
    bool completed;
    {
        std::lock_guard<std::mutex> guard(call->lock);
        completed = call->completed;
        call->orphaned = !completed;
    }
    if (completed)
        EndCall(*call->entry);
    return RPC_S_CALL_FAILED_DNE;
}

// Decides an asynchronous server call's answer (from the stub's builder or the abort code).
RPC_STATUS CompleteServerCall(const std::shared_ptr<SServerCallState>& call, bool abort,
                              RPC_STATUS code)
{
    CServer& server = CServer::Instance();
    {
        std::lock_guard<std::mutex> guard(call->lock);
        if (call->completed)
            return RPC_S_INVALID_ASYNC_HANDLE;
    }
    RPC_STATUS status = abort ? code : RPC_S_OK;
    std::string reply;
    bool orphaned = false;
    if (!abort && call->builder)
    {
        try
        {
            reply = call->builder();
        }
        catch (const CRaisedException& raised)
        {
            status = raised.Status();
        }
        catch (...)
        {
            status = RPC_S_CALL_FAILED;
        }
    }
    {
        std::lock_guard<std::mutex> guard(call->lock);
        if (call->completed)
            return RPC_S_INVALID_ASYNC_HANDLE;
        call->completed = true;
        call->status = status;
        call->reply = std::move(reply);
        call->builder = nullptr;
        orphaned = call->orphaned;
    }
    server.RemoveCall(call.get());
    if (orphaned)
        server.EndCall(*call->entry);
    uint64_t one = 1;
    ssize_t ignored = write(call->wakeFd, &one, sizeof one);
    (void)ignored;
    return RPC_S_OK;
}

} // namespace

namespace winport::rpc::testing
{
void ServeConnection(int fd, bool namedPipe)
{
    CServer::Instance().ServeDirectly(namedPipe, fd, getpid());
}
} // namespace winport::rpc::testing

// ---- The stub layer -----------------------------------------------------------------------

namespace winport::rpc
{

const std::string& CServerCall::Request() const
{
    return m_state.request;
}

RPC_BINDING_HANDLE CServerCall::Binding()
{
    return &m_state;
}

void CServerCall::SetReply(std::string bytes)
{
    m_state.reply = std::move(bytes);
}

PRPC_ASYNC_STATE CServerCall::AsyncState()
{
    return m_state.asynchronous ? &m_state.async : nullptr;
}

void CServerCall::SetReplyBuilder(std::function<std::string()> builder)
{
    std::lock_guard<std::mutex> guard(m_state.lock);
    m_state.builder = std::move(builder);
}

void ClientCall(RPC_BINDING_HANDLE binding, const SInterface& iface, unsigned procedure,
                const std::string& request, std::string& reply)
{
    std::shared_ptr<SBindingData> data;
    if (RPC_STATUS status = FindBinding(binding, data); status != RPC_S_OK)
        Raise(status);
    int fd = -1;
    SendCall(*data, iface, procedure, request, fd);
    RPC_STATUS status = RPC_S_OK;
    std::string bytes;
    bool protocolError = false;
    if (!ReceiveReply(fd, status, bytes, protocolError))
    {
        close(fd);
        Raise(protocolError ? RPC_S_PROTOCOL_ERROR : RPC_S_CALL_FAILED);
    }
    data->Release(fd);
    if (status != RPC_S_OK)
        Raise(status);
    reply = std::move(bytes);
}

void ClientCallAsync(PRPC_ASYNC_STATE state, RPC_BINDING_HANDLE binding, const SInterface& iface,
                     unsigned procedure, std::string request,
                     std::function<void(const std::string& reply)> unmarshal)
{
    if (state == nullptr || state->Size != sizeof(RPC_ASYNC_STATE) ||
        state->Signature != kAsyncSignature)
        Raise(RPC_S_INVALID_ASYNC_HANDLE);
    if (state->NotificationType != RpcNotificationTypeNone &&
        state->NotificationType != RpcNotificationTypeEvent &&
        state->NotificationType != RpcNotificationTypeCallback)
        Raise(RPC_S_INVALID_ARG); // no APCs, ports or windows here
    std::shared_ptr<SBindingData> data;
    if (RPC_STATUS status = FindBinding(binding, data); status != RPC_S_OK)
        Raise(status);
    if (auto previous = CAsyncReactor::Instance().Find(state))
    {
        std::lock_guard<std::mutex> guard(previous->lock);
        if (!previous->done)
            Raise(RPC_S_INVALID_ASYNC_HANDLE);
    }
    auto call = std::make_shared<SClientAsyncCall>();
    call->state = state;
    call->binding = data;
    call->unmarshal = std::move(unmarshal);
    SendCall(*data, iface, procedure, request, call->fd);
    state->RuntimeInfo = call.get();
    if (RPC_STATUS status = CAsyncReactor::Instance().Start(call); status != RPC_S_OK)
    {
        close(call->fd);
        Raise(status);
    }
}

} // namespace winport::rpc

// ---- String bindings ----------------------------------------------------------------------

RPC_STATUS RpcStringBindingComposeW(RPC_WSTR objUuid, RPC_WSTR protseq, RPC_WSTR networkAddr,
                                    RPC_WSTR endpoint, RPC_WSTR options, RPC_WSTR* stringBinding)
{
    if (stringBinding == nullptr)
        return RPC_S_OK; // nothing asked for
    *stringBinding = nullptr;
    std::wstring text;
    if (objUuid != nullptr && *objUuid != L'\0')
        text += std::wstring(objUuid) + L"@";
    text += Text(protseq) + L":" + Text(networkAddr);
    std::wstring inside = Text(endpoint);
    if (options != nullptr && *options != L'\0')
        inside += L"," + std::wstring(options);
    if (!inside.empty())
        text += L"[" + inside + L"]";
    *stringBinding = CopyString(text);
    return *stringBinding != nullptr ? RPC_S_OK : RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RpcBindingFromStringBindingW(RPC_WSTR stringBinding, RPC_BINDING_HANDLE* binding)
{
    if (binding == nullptr)
        return RPC_S_INVALID_ARG;
    *binding = nullptr;
    if (stringBinding == nullptr)
        return RPC_S_INVALID_STRING_BINDING;
    std::wstring text = stringBinding;
    auto data = std::make_shared<SBindingData>();
    size_t at = text.find(L'@');
    size_t colon = text.find(L':');
    if (at != std::wstring::npos && (colon == std::wstring::npos || at < colon))
    {
        data->objectUuid = text.substr(0, at);
        if (!IsUuid(data->objectUuid))
            return RPC_S_INVALID_STRING_UUID;
        text = text.substr(at + 1);
        colon = text.find(L':');
    }
    if (colon == std::wstring::npos || colon == 0)
        return RPC_S_INVALID_STRING_BINDING;
    if (!ParseProtseq(text.substr(0, colon), data->protseq))
        return RPC_S_PROTSEQ_NOT_SUPPORTED;
    std::wstring rest = text.substr(colon + 1);
    size_t open = rest.find(L'[');
    if (open == std::wstring::npos)
    {
        if (rest.find(L']') != std::wstring::npos)
            return RPC_S_INVALID_STRING_BINDING;
        data->networkAddress = rest;
    }
    else
    {
        if (rest.back() != L']' || rest.find(L']') != rest.size() - 1 ||
            rest.find(L'[', open + 1) != std::wstring::npos)
            return RPC_S_INVALID_STRING_BINDING;
        data->networkAddress = rest.substr(0, open);
        std::wstring inside = rest.substr(open + 1, rest.size() - open - 2);
        size_t comma = inside.find(L',');
        data->endpoint = inside.substr(0, comma);
        if (comma != std::wstring::npos)
            data->options = inside.substr(comma + 1);
        // "endpoint=NAME" is the option form of the endpoint.
        static const std::wstring kEndpointOption = L"endpoint=";
        if (data->endpoint.size() > kEndpointOption.size() &&
            winport::fleet::NamesEqual(data->endpoint.substr(0, kEndpointOption.size()),
                                       kEndpointOption))
            data->endpoint = data->endpoint.substr(kEndpointOption.size());
    }
    if (!data->endpoint.empty())
    {
        data->fileName = EndpointFileName(data->protseq, data->endpoint);
        if (data->fileName.empty())
            return RPC_S_INVALID_ENDPOINT_FORMAT;
    }
    auto* handle = new (std::nothrow) SBinding{data};
    if (handle == nullptr)
        return RPC_S_OUT_OF_MEMORY;
    std::lock_guard<std::mutex> guard(s_BindingLock);
    Bindings().insert(handle);
    *binding = handle;
    return RPC_S_OK;
}

RPC_STATUS RpcStringFreeW(RPC_WSTR* string)
{
    if (string == nullptr)
        return RPC_S_INVALID_ARG;
    delete[] * string;
    *string = nullptr;
    return RPC_S_OK;
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding)
{
    if (binding == nullptr)
        return RPC_S_INVALID_ARG;
    std::unique_ptr<SBinding> freed;
    {
        std::lock_guard<std::mutex> guard(s_BindingLock);
        auto it = Bindings().find(static_cast<SBinding*>(*binding));
        if (it != Bindings().end())
        {
            freed.reset(*it);
            Bindings().erase(it);
        }
    }
    if (!freed)
        return *binding != nullptr && IsServerCallHandle(*binding) ? RPC_S_WRONG_KIND_OF_BINDING
                                                                   : RPC_S_INVALID_BINDING;
    *binding = nullptr;
    return RPC_S_OK;
}

namespace
{
bool KnownAuthnService(unsigned long service)
{
    return service == RPC_C_AUTHN_NONE || service == RPC_C_AUTHN_WINNT ||
           service == RPC_C_AUTHN_GSS_NEGOTIATE || service == RPC_C_AUTHN_GSS_KERBEROS ||
           service == static_cast<unsigned long>(RPC_C_AUTHN_DEFAULT);
}
} // namespace

RPC_STATUS RpcBindingSetAuthInfoW(RPC_BINDING_HANDLE binding, RPC_WSTR serverPrincName,
                                  unsigned long authnLevel, unsigned long authnSvc,
                                  void* authIdentity, unsigned long authzSvc)
{
    std::shared_ptr<SBindingData> data;
    if (RPC_STATUS status = FindBinding(binding, data); status != RPC_S_OK)
        return status;
    if (authnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY)
        return RPC_S_UNKNOWN_AUTHN_LEVEL;
    if (!KnownAuthnService(authnSvc))
        return RPC_S_UNKNOWN_AUTHN_SERVICE;
    if (authzSvc != RPC_C_AUTHZ_NONE && authzSvc != RPC_C_AUTHZ_NAME &&
        authzSvc != static_cast<unsigned long>(RPC_C_AUTHZ_DEFAULT))
        return RPC_S_UNKNOWN_AUTHZ_SERVICE;
    std::lock_guard<std::mutex> guard(data->lock);
    data->authnLevel = authnLevel;
    data->authnService = authnSvc;
    return RPC_S_OK;
}

// ---- Server API ---------------------------------------------------------------------------

RPC_STATUS RpcServerUseProtseqEpW(RPC_WSTR protseq, unsigned int maxCalls, RPC_WSTR endpoint,
                                  void* securityDescriptor)
{
    if (protseq == nullptr || *protseq == L'\0')
        return RPC_S_INVALID_RPC_PROTSEQ;
    EProtseq kind;
    if (!ParseProtseq(protseq, kind))
        return RPC_S_PROTSEQ_NOT_SUPPORTED;
    if (endpoint == nullptr)
        return RPC_S_INVALID_ENDPOINT_FORMAT;
    return CServer::Instance().UseEndpoint(kind, endpoint);
}

RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE ifSpec, void* mgrTypeUuid, void* mgrEpv)
{
    return CServer::Instance().Register(static_cast<const SInterface*>(ifSpec), 0, 0,
                                        kDefaultMaxRequest, nullptr);
}

RPC_STATUS RpcServerRegisterIfEx(RPC_IF_HANDLE ifSpec, void* mgrTypeUuid, void* mgrEpv,
                                 unsigned int flags, unsigned int maxCalls, RPC_IF_CALLBACK_FN cb)
{
    return CServer::Instance().Register(static_cast<const SInterface*>(ifSpec), flags, maxCalls,
                                        kDefaultMaxRequest, cb);
}

RPC_STATUS RpcServerRegisterIf2(RPC_IF_HANDLE ifSpec, void* mgrTypeUuid, void* mgrEpv,
                                unsigned int flags, unsigned int maxCalls, unsigned int maxRpcSize,
                                RPC_IF_CALLBACK_FN cb)
{
    return CServer::Instance().Register(static_cast<const SInterface*>(ifSpec), flags, maxCalls,
                                        maxRpcSize, cb);
}

RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE ifSpec, void* mgrTypeUuid,
                                 unsigned int waitForCallsToComplete)
{
    return CServer::Instance().Unregister(static_cast<const SInterface*>(ifSpec),
                                          waitForCallsToComplete != 0);
}

RPC_STATUS RpcServerRegisterAuthInfoW(RPC_WSTR serverPrincName, unsigned long authnSvc,
                                      void* getKeyFn, void* arg)
{
    // The callers' checks do not depend on it: ncacn_np always checks credentials.
    return KnownAuthnService(authnSvc) ? RPC_S_OK : RPC_S_UNKNOWN_AUTHN_SERVICE;
}

RPC_STATUS RpcServerListen(unsigned int minimumCallThreads, unsigned int maxCalls,
                           unsigned int dontWait)
{
    return CServer::Instance().Listen(maxCalls, dontWait != 0);
}

RPC_STATUS RpcMgmtIsServerListening(RPC_BINDING_HANDLE binding)
{
    if (binding == nullptr)
        return CServer::Instance().IsListening() ? RPC_S_OK : RPC_S_NOT_LISTENING;
    std::shared_ptr<SBindingData> data;
    if (RPC_STATUS status = FindBinding(binding, data); status != RPC_S_OK)
        return status;
    int fd = -1;
    bool reused = false;
    if (RPC_STATUS status = data->Acquire(fd, reused); status != RPC_S_OK)
        return status;
    char frame[5];
    PutU32(frame, 1);
    frame[4] = static_cast<char>(kFrameInquire);
    iovec part{frame, sizeof frame};
    RPC_STATUS status = RPC_S_OK;
    std::string bytes;
    bool protocolError = false;
    if (!SendAll(fd, &part, 1) || !ReceiveReply(fd, status, bytes, protocolError))
    {
        close(fd);
        return RPC_S_SERVER_UNAVAILABLE;
    }
    data->Release(fd);
    return status;
}

RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding)
{
    if (binding == nullptr)
        return CServer::Instance().Stop();
    std::shared_ptr<SBindingData> data;
    if (RPC_STATUS status = FindBinding(binding, data); status != RPC_S_OK)
        return status;
    return RPC_S_ACCESS_DENIED; // no server lets others stop it
}

RPC_STATUS RpcMgmtWaitServerListen()
{
    return CServer::Instance().WaitListen();
}

void RpcRaiseException(RPC_STATUS status)
{
    throw winport::rpc::CRaisedException(status);
}

// ---- Asynchronous calls -------------------------------------------------------------------

RPC_STATUS RpcAsyncInitializeHandle(PRPC_ASYNC_STATE state, unsigned int size)
{
    if (state == nullptr || size != sizeof(RPC_ASYNC_STATE))
        return RPC_S_INVALID_ARG;
    state->Size = size;
    state->Signature = kAsyncSignature;
    state->Lock = 0;
    state->Flags = 0;
    state->StubInfo = nullptr;
    state->RuntimeInfo = nullptr;
    state->Event = RpcCallComplete;
    return RPC_S_OK;
}

RPC_STATUS RpcAsyncCompleteCall(PRPC_ASYNC_STATE state, void* reply)
{
    if (state == nullptr)
        return RPC_S_INVALID_ASYNC_HANDLE;
    if (auto call = CAsyncReactor::Instance().Find(state))
    {
        RPC_STATUS status;
        std::string bytes;
        {
            std::lock_guard<std::mutex> guard(call->lock);
            if (!call->done)
                return RPC_S_ASYNC_CALL_PENDING;
            status = call->status;
            bytes = std::move(call->reply);
        }
        CAsyncReactor::Instance().Forget(state, call);
        state->RuntimeInfo = nullptr;
        if (status == RPC_S_OK && call->unmarshal)
        {
            try
            {
                call->unmarshal(bytes);
            }
            catch (const winport::rpc::CRaisedException& raised)
            {
                status = raised.Status();
            }
        }
        return status;
    }
    if (auto call = CServer::Instance().FindCall(state); call && state == &call->async)
        return CompleteServerCall(call, false, RPC_S_OK);
    return RPC_S_INVALID_ASYNC_HANDLE;
}

RPC_STATUS RpcAsyncAbortCall(PRPC_ASYNC_STATE state, unsigned long exceptionCode)
{
    if (state == nullptr)
        return RPC_S_INVALID_ASYNC_HANDLE;
    if (auto call = CServer::Instance().FindCall(state); call && state == &call->async)
        return CompleteServerCall(call, true, static_cast<RPC_STATUS>(exceptionCode));
    return RPC_S_INVALID_ASYNC_HANDLE;
}

RPC_STATUS RpcAsyncCancelCall(PRPC_ASYNC_STATE state, BOOL abortCall)
{
    auto call = state != nullptr ? CAsyncReactor::Instance().Find(state) : nullptr;
    if (!call)
        return RPC_S_INVALID_ASYNC_HANDLE;
    std::lock_guard<std::mutex> guard(call->lock);
    if (call->done)
        return RPC_S_OK;
    if (abortCall)
    {
        // The reactor lets go of the connection when it sees it shut.
        call->done = true;
        call->status = RPC_S_CALL_CANCELLED;
        shutdown(call->fd, SHUT_RDWR);
        return RPC_S_OK;
    }
    char frame[5];
    PutU32(frame, 1);
    frame[4] = static_cast<char>(kFrameCancel);
    send(call->fd, frame, sizeof frame, MSG_NOSIGNAL | MSG_DONTWAIT);
    return RPC_S_OK;
}

RPC_STATUS RpcAsyncGetCallStatus(PRPC_ASYNC_STATE state)
{
    if (state == nullptr)
        return RPC_S_INVALID_ASYNC_HANDLE;
    if (auto call = CAsyncReactor::Instance().Find(state))
    {
        std::lock_guard<std::mutex> guard(call->lock);
        return call->done ? call->status : RPC_S_ASYNC_CALL_PENDING;
    }
    if (auto call = CServer::Instance().FindCall(state); call && state == &call->async)
        return RPC_S_ASYNC_CALL_PENDING;
    return RPC_S_INVALID_ASYNC_HANDLE;
}

RPC_BINDING_HANDLE RpcAsyncGetCallHandle(PRPC_ASYNC_STATE state)
{
    if (state == nullptr)
        return nullptr;
    if (auto call = CServer::Instance().FindCall(state); call && state == &call->async)
        return call.get();
    return nullptr;
}

RPC_STATUS RpcServerTestCancel(RPC_BINDING_HANDLE callHandle)
{
    std::shared_ptr<SServerCallState> call;
    if (callHandle == nullptr)
    {
        if (t_CurrentCall == nullptr)
            return RPC_S_NO_CALL_ACTIVE;
        callHandle = t_CurrentCall;
    }
    call = CServer::Instance().FindCall(callHandle);
    if (!call || callHandle != call.get())
        return RPC_S_INVALID_BINDING;
    return call->cancelled ? RPC_S_OK : RPC_S_CALL_IN_PROGRESS;
}
