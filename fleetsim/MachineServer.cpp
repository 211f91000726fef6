#include "fleetsim/MachineServer.h"

#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/posix/MachineSocket.h"
#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cwctype>
#include <cstdio>

using namespace machine::protocol;
using winport::posix::CRegistryStore;

namespace machine
{
namespace
{

constexpr uint64_t PredefinedValue(ULONG_PTR key) { return static_cast<uint64_t>(key); }

bool Has(uint32_t access, uint32_t right)
{
    // Generic rights held by a predefined key or granted at open.
    return (access & right) == right;
}

std::wstring Wide(const std::string& utf8) { return winport::FromUtf8(utf8); }

} // namespace

CMachineServer::CMachineServer(std::string fleetRoot, std::string machineName)
    : m_FleetRoot(std::move(fleetRoot)), m_MachineName(std::move(machineName)),
      m_Folder(m_FleetRoot + "/machines/" + m_MachineName)
{
}

CMachineServer::~CMachineServer()
{
    for (auto& [fd, client] : m_Clients)
        close(fd);
    if (m_ListenFd >= 0)
        close(m_ListenFd);
    if (m_EpollFd >= 0)
        close(m_EpollFd);
    if (m_LockFd >= 0)
        close(m_LockFd);
}

int CMachineServer::Start()
{
    std::string runtime = m_Folder + "/runtime";
    mkdir(runtime.c_str(), 0755);
    m_LockFd = open((runtime + "/machined.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_LockFd < 0)
    {
        perror("machined: lock");
        return 2;
    }
    if (flock(m_LockFd, LOCK_EX | LOCK_NB) != 0)
        return 1; // another server serves this machine
    if (m_Store.Open(m_Folder + "/registry.db") != ERROR_SUCCESS)
    {
        fprintf(stderr, "machined: cannot open the registry of %s\n", m_MachineName.c_str());
        return 2;
    }
    m_ListenFd = winport::posix::ListenMachineSocket(m_Folder);
    if (m_ListenFd < 0)
    {
        perror("machined: listen");
        return 2;
    }
    m_EpollFd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_ListenFd;
    epoll_ctl(m_EpollFd, EPOLL_CTL_ADD, m_ListenFd, &event);
    return 0;
}

int CMachineServer::Run()
{
    int idleFor = 0;
    constexpr int kTick = 1000;
    while (!m_bStop)
    {
        epoll_event events[64];
        int n = epoll_wait(m_EpollFd, events, 64, kTick);
        if (n < 0 && errno != EINTR)
            return 2;
        for (int i = 0; i < n; ++i)
        {
            int fd = events[i].data.fd;
            if (fd == m_ListenFd)
            {
                Accept();
                continue;
            }
            auto it = m_Clients.find(fd);
            if (it != m_Clients.end() && !Receive(*it->second))
                Drop(fd);
        }
        if (n <= 0)
        {
            // The machine was removed from its fleet: nothing is left to serve.
            struct stat st;
            if (stat(m_Folder.c_str(), &st) != 0)
                break;
            idleFor = m_Clients.empty() ? idleFor + kTick : 0;
            if (idleFor >= m_IdleMilliseconds)
                break;
        }
        else if (!m_Clients.empty())
            idleFor = 0;
    }
    return 0;
}

void CMachineServer::Accept()
{
    for (;;)
    {
        int fd = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        auto client = std::make_unique<SClient>();
        client->fd = fd;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_EpollFd, EPOLL_CTL_ADD, fd, &event);
        m_Clients[fd] = std::move(client);
    }
}

void CMachineServer::Drop(int fd)
{
    // The client's process ended or broke the protocol: its handles go with it.
    epoll_ctl(m_EpollFd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    m_Clients.erase(fd);
}

bool CMachineServer::Receive(SClient& client)
{
    char buffer[65536];
    for (;;)
    {
        ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
        if (n == 0)
            return false;
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            return false;
        }
        client.in.append(buffer, static_cast<size_t>(n));
    }
    size_t offset = 0;
    while (client.in.size() - offset >= sizeof(SHeader))
    {
        SHeader header;
        memcpy(&header, client.in.data() + offset, sizeof header);
        if (header.length < sizeof header - sizeof(uint32_t) || header.length > kMaxMessage)
            return false;
        size_t total = header.length + sizeof(uint32_t);
        if (client.in.size() - offset < total)
            break;
        std::string reply;
        bool keep = Dispatch(client, header.code, client.in.data() + offset + sizeof header,
                             total - sizeof header, reply);
        if (!reply.empty() && !winport::posix::SendFrame(client.fd, reply))
            return false;
        if (!keep)
            return false;
        offset += total;
    }
    client.in.erase(0, offset);
    return true;
}

DWORD CMachineServer::ResolveKey(SClient& client, uint64_t handle, int64_t& key, uint32_t& access)
{
    access = KEY_ALL_ACCESS | KEY_WOW64_64KEY | KEY_WOW64_32KEY;
    if (handle == PredefinedValue(reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE)))
    {
        key = winport::posix::kKeyLocalMachine;
        return ERROR_SUCCESS;
    }
    if (handle == PredefinedValue(reinterpret_cast<ULONG_PTR>(HKEY_USERS)))
    {
        key = winport::posix::kKeyUsers;
        return ERROR_SUCCESS;
    }
    if (!client.remote)
    {
        bool created;
        if (handle == PredefinedValue(reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT)))
            return m_Store.CreateKey(winport::posix::kKeyLocalMachine, L"SOFTWARE\\Classes", key, created);
        if (handle == PredefinedValue(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER)))
            return m_Store.CreateKey(winport::posix::kKeyUsers, L".DEFAULT", key, created);
        if (handle == PredefinedValue(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_CONFIG)))
            return m_Store.CreateKey(winport::posix::kKeyLocalMachine,
                                     L"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current", key, created);
    }
    auto it = client.keys.find(handle);
    if (it == client.keys.end())
        return ERROR_INVALID_HANDLE;
    key = it->second.key;
    access = it->second.access;
    return ERROR_SUCCESS;
}

std::wstring CMachineServer::ReadString(const wchar_t* keyPath, const wchar_t* name)
{
    int64_t key;
    DWORD type;
    std::string data;
    if (m_Store.OpenKey(winport::posix::kKeyLocalMachine, keyPath, key) != ERROR_SUCCESS ||
        m_Store.QueryValue(key, name, type, data) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ))
        return std::wstring();
    std::u16string units(data.size() / 2, u'\0');
    memcpy(units.data(), data.data(), units.size() * 2);
    return winport::FromUtf16(units.data(), units.size());
}

DWORD CMachineServer::FindShare(const std::wstring& share, protocol::SGetShareReply& reply)
{
    std::wstring systemRoot = ReadString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"SystemRoot");
    systemRoot = systemRoot.c_str(); // up to its terminator
    if (winport::fleet::NamesEqual(share, L"ADMIN$"))
    {
        reply.path = winport::ToUtf8(systemRoot.empty() ? L"C:\\Windows" : systemRoot);
        reply.remark = "Remote Admin";
        reply.special = 1;
        return ERROR_SUCCESS;
    }
    if (share.size() == 2 && share[1] == L'$' && iswalpha(share[0]))
    {
        // A drive's administrative share exists when the drive does.
        std::string drive(1, static_cast<char>(tolower(static_cast<int>(share[0]))));
        struct stat st;
        if (stat((m_Folder + "/drive/" + drive).c_str(), &st) != 0 || drive == "z")
            return ERROR_BAD_NET_NAME;
        reply.path = std::string(1, static_cast<char>(toupper(static_cast<int>(share[0])))) + ":\\";
        reply.remark = "Default share";
        reply.special = 1;
        return ERROR_SUCCESS;
    }
    // Other shares are REG_MULTI_SZ values of "Path=...", "Remark=..." items.
    std::wstring items = ReadString(L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares", share.c_str());
    if (items.empty())
        return ERROR_BAD_NET_NAME;
    size_t pos = 0;
    while (pos < items.size())
    {
        std::wstring item = items.c_str() + pos;
        pos += item.size() + 1;
        if (item.rfind(L"Path=", 0) == 0)
            reply.path = winport::ToUtf8(item.substr(5));
        else if (item.rfind(L"Remark=", 0) == 0)
            reply.remark = winport::ToUtf8(item.substr(7));
    }
    return reply.path.empty() ? ERROR_BAD_NET_NAME : ERROR_SUCCESS;
}

std::wstring CMachineServer::MachineDomain()
{
    // A machine outside any domain names itself here.
    std::wstring domain = ReadString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"DefaultDomainName");
    domain = domain.c_str();
    return winport::fleet::NamesEqual(domain, Wide(m_MachineName)) ? std::wstring() : domain;
}

CRegistryStore* CMachineServer::DomainStore(const std::wstring& domain)
{
    std::string folded = CRegistryStore::Fold(domain);
    auto it = m_DomainStores.find(folded);
    if (it != m_DomainStores.end())
        return it->second.get();
    std::string path = m_FleetRoot + "/domains/" + winport::ToUtf8(domain) + "/accounts.db";
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return nullptr;
    auto store = std::make_unique<CRegistryStore>();
    if (store->Open(path) != ERROR_SUCCESS)
        return nullptr;
    return (m_DomainStores[folded] = std::move(store)).get();
}

bool CMachineServer::IsAdministrator(const std::wstring& domain, const std::wstring& user)
{
    if (domain.empty())
        return m_Store.IsGroupMember(L"Administrators", user);
    if (m_Store.IsGroupMember(L"Administrators", domain + L"\\" + user))
        return true;
    // A domain group among the local administrators makes its members administrators.
    CRegistryStore* store = DomainStore(domain);
    return store != nullptr && store->IsGroupMember(L"Domain Admins", user) &&
           m_Store.IsGroupMember(L"Administrators", domain + L"\\Domain Admins");
}

DWORD CMachineServer::CheckAccount(const std::wstring& account, const std::wstring& password,
                                   bool& administrator)
{
    administrator = false;
    std::wstring domain, user;
    winport::posix::SplitAccountName(account, domain, user);
    std::wstring machineDomain = MachineDomain();
    bool local = domain.empty() || winport::fleet::NamesEqual(domain, Wide(m_MachineName));
    if (local)
    {
        DWORD rc = m_Store.CheckPassword(user, password);
        if (rc == ERROR_SUCCESS)
        {
            administrator = IsAdministrator(L"", user);
            return ERROR_SUCCESS;
        }
        // A bare name that is no local account may be one of the machine's domain.
        if (!(domain.empty() && rc == ERROR_NO_SUCH_USER && !machineDomain.empty()))
            return ERROR_LOGON_FAILURE;
        domain = machineDomain;
    }
    if (machineDomain.empty() || !winport::fleet::NamesEqual(domain, machineDomain))
        return ERROR_LOGON_FAILURE; // not a domain this machine trusts
    CRegistryStore* store = DomainStore(machineDomain);
    if (store == nullptr || store->CheckPassword(user, password) != ERROR_SUCCESS)
        return ERROR_LOGON_FAILURE;
    administrator = IsAdministrator(machineDomain, user);
    return ERROR_SUCCESS;
}

bool CMachineServer::Dispatch(SClient& client, uint16_t code, const char* body, size_t size,
                              std::string& reply)
{
    auto answer = [&](auto& message) { reply = Encode(code, message); };
    auto status = [&](DWORD value) {
        SStatusReply message;
        message.status = value;
        answer(message);
    };
    auto request = static_cast<ERequest>(code);

    if (!client.greeted && request != ERequest::Hello)
        return false;
    switch (request)
    {
    case ERequest::Hello:
    {
        SHelloRequest hello;
        if (!Decode(body, size, hello) || hello.version != kVersion)
            return false;
        SHelloReply message;
        message.serverPid = static_cast<uint32_t>(getpid());
        client.pid = hello.pid;
        client.remote = !winport::fleet::NamesEqual(Wide(hello.callerMachine), Wide(m_MachineName));
        if (client.remote)
        {
            // Another machine's caller acts only with credentials valid here; the registry and
            // the admin shares answer only administrators.
            bool administrator = false;
            message.status = hello.user.empty()
                                 ? ERROR_ACCESS_DENIED
                                 : CheckAccount(Wide(hello.user), Wide(hello.password), administrator);
            client.administrator = administrator;
            client.account = Wide(hello.user);
        }
        else
            client.administrator = true;
        message.isAdministrator = client.administrator ? 1 : 0;
        client.greeted = message.status == ERROR_SUCCESS;
        answer(message);
        return client.greeted;
    }
    case ERequest::Ping:
        status(ERROR_SUCCESS);
        return true;
    case ERequest::Shutdown:
        if (client.remote)
        {
            status(ERROR_ACCESS_DENIED);
            return true;
        }
        status(ERROR_SUCCESS);
        m_bStop = true;
        return true;
    case ERequest::CheckCredentials:
    {
        SCheckCredentialsRequest check;
        if (!Decode(body, size, check))
            return false;
        bool administrator = false;
        SHelloReply message;
        message.status = CheckAccount(Wide(check.user), Wide(check.password), administrator);
        message.isAdministrator = administrator ? 1 : 0;
        answer(message);
        return true;
    }
    case ERequest::AccountInfo:
    {
        SAccountInfoRequest info;
        if (!Decode(body, size, info))
            return false;
        SHelloReply message;
        std::wstring domain, user;
        winport::posix::SplitAccountName(Wide(info.account), domain, user);
        if (client.remote)
            message.status = ERROR_ACCESS_DENIED;
        else if (domain.empty() || winport::fleet::NamesEqual(domain, Wide(m_MachineName)))
        {
            message.status = m_Store.AccountExists(user) ? ERROR_SUCCESS : ERROR_NO_SUCH_USER;
            message.isAdministrator = message.status == ERROR_SUCCESS && IsAdministrator(L"", user) ? 1 : 0;
        }
        else
        {
            CRegistryStore* store = DomainStore(domain);
            message.status = store != nullptr && store->AccountExists(user) ? ERROR_SUCCESS : ERROR_NO_SUCH_USER;
            message.isAdministrator = message.status == ERROR_SUCCESS && IsAdministrator(domain, user) ? 1 : 0;
        }
        answer(message);
        return true;
    }
    case ERequest::GetShare:
    {
        SGetShareRequest get;
        if (!Decode(body, size, get))
            return false;
        SGetShareReply message;
        message.status = FindShare(Wide(get.share), message);
        if (message.status == ERROR_SUCCESS && message.special && !client.administrator)
        {
            message = SGetShareReply{};
            message.status = ERROR_ACCESS_DENIED;
        }
        answer(message);
        return true;
    }
    default:
        break;
    }

    if (client.remote && !client.administrator)
    {
        status(ERROR_ACCESS_DENIED);
        return true;
    }

    switch (request)
    {
    case ERequest::RegOpenKey:
    case ERequest::RegCreateKey:
    {
        SRegOpenKeyRequest open;
        if (!Decode(body, size, open))
            return false;
        SRegOpenKeyReply message;
        int64_t parent = 0;
        uint32_t parentAccess = 0;
        message.status = ResolveKey(client, open.key, parent, parentAccess);
        int64_t key = 0;
        if (message.status == ERROR_SUCCESS)
        {
            if (request == ERequest::RegCreateKey)
            {
                bool created = false;
                message.status = m_Store.CreateKey(parent, Wide(open.path), key, created);
                if (message.status == ERROR_SUCCESS && created && !Has(parentAccess, KEY_CREATE_SUB_KEY))
                    message.status = ERROR_ACCESS_DENIED;
                message.created = created ? 1 : 0;
            }
            else
                message.status = m_Store.OpenKey(parent, Wide(open.path), key);
        }
        if (message.status == ERROR_SUCCESS)
        {
            message.key = client.nextKey;
            client.nextKey += 4;
            client.keys[message.key] = SKeyHandle{key, open.access};
        }
        answer(message);
        return true;
    }
    case ERequest::RegCloseKey:
    {
        SRegCloseKeyRequest close;
        if (!Decode(body, size, close))
            return false;
        status(client.keys.erase(close.key) > 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
        return true;
    }
    case ERequest::RegQueryValue:
    {
        SRegQueryValueRequest query;
        if (!Decode(body, size, query))
            return false;
        SRegValueReply message;
        int64_t key;
        uint32_t access;
        message.status = ResolveKey(client, query.key, key, access);
        if (message.status == ERROR_SUCCESS && !Has(access, KEY_QUERY_VALUE))
            message.status = ERROR_ACCESS_DENIED;
        if (message.status == ERROR_SUCCESS)
        {
            DWORD type = 0;
            message.status = m_Store.QueryValue(key, Wide(query.name), type, message.data);
            message.type = type;
        }
        answer(message);
        return true;
    }
    case ERequest::RegSetValue:
    {
        SRegSetValueRequest set;
        if (!Decode(body, size, set))
            return false;
        int64_t key;
        uint32_t access;
        DWORD rc = ResolveKey(client, set.key, key, access);
        if (rc == ERROR_SUCCESS && !Has(access, KEY_SET_VALUE))
            rc = ERROR_ACCESS_DENIED;
        if (rc == ERROR_SUCCESS)
            rc = m_Store.SetValue(key, Wide(set.name), set.type, set.data);
        status(rc);
        return true;
    }
    case ERequest::RegDeleteValue:
    {
        SRegDeleteValueRequest remove;
        if (!Decode(body, size, remove))
            return false;
        int64_t key;
        uint32_t access;
        DWORD rc = ResolveKey(client, remove.key, key, access);
        if (rc == ERROR_SUCCESS && !Has(access, KEY_SET_VALUE))
            rc = ERROR_ACCESS_DENIED;
        if (rc == ERROR_SUCCESS)
            rc = m_Store.DeleteValue(key, Wide(remove.name));
        status(rc);
        return true;
    }
    case ERequest::RegDeleteKey:
    {
        SRegDeleteKeyRequest remove;
        if (!Decode(body, size, remove))
            return false;
        int64_t key;
        uint32_t access;
        DWORD rc = ResolveKey(client, remove.key, key, access);
        if (rc == ERROR_SUCCESS)
            rc = remove.path.empty() ? ERROR_ACCESS_DENIED : m_Store.DeleteKey(key, Wide(remove.path));
        status(rc);
        return true;
    }
    case ERequest::RegEnumKey:
    {
        SRegEnumRequest enumerate;
        if (!Decode(body, size, enumerate))
            return false;
        SRegEnumKeyReply message;
        int64_t key;
        uint32_t access;
        message.status = ResolveKey(client, enumerate.key, key, access);
        if (message.status == ERROR_SUCCESS && !Has(access, KEY_ENUMERATE_SUB_KEYS))
            message.status = ERROR_ACCESS_DENIED;
        std::wstring name;
        if (message.status == ERROR_SUCCESS)
            message.status = m_Store.EnumKey(key, enumerate.index, name);
        message.name = winport::ToUtf8(name);
        answer(message);
        return true;
    }
    case ERequest::RegEnumValue:
    {
        SRegEnumRequest enumerate;
        if (!Decode(body, size, enumerate))
            return false;
        SRegValueReply message;
        int64_t key;
        uint32_t access;
        message.status = ResolveKey(client, enumerate.key, key, access);
        if (message.status == ERROR_SUCCESS && !Has(access, KEY_QUERY_VALUE))
            message.status = ERROR_ACCESS_DENIED;
        std::wstring name;
        DWORD type = 0;
        if (message.status == ERROR_SUCCESS)
            message.status = m_Store.EnumValue(key, enumerate.index, name, type, message.data);
        message.name = winport::ToUtf8(name);
        message.type = type;
        answer(message);
        return true;
    }
    case ERequest::RegQueryInfoKey:
    {
        SRegQueryInfoKeyRequest query;
        if (!Decode(body, size, query))
            return false;
        SRegQueryInfoKeyReply message;
        int64_t key;
        uint32_t access;
        message.status = ResolveKey(client, query.key, key, access);
        if (message.status == ERROR_SUCCESS && !Has(access, KEY_QUERY_VALUE))
            message.status = ERROR_ACCESS_DENIED;
        CRegistryStore::SKeyInfo info;
        if (message.status == ERROR_SUCCESS)
            message.status = m_Store.QueryInfo(key, info);
        message.subKeys = info.subKeys;
        message.maxSubKeyLength = info.maxSubKeyLength;
        message.values = info.values;
        message.maxValueNameLength = info.maxValueNameLength;
        message.maxValueLength = info.maxValueLength;
        message.lastWriteTime = info.lastWriteTime;
        answer(message);
        return true;
    }
    default:
        status(ERROR_INVALID_FUNCTION);
        return true;
    }
}

} // namespace machine
