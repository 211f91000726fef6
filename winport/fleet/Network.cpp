// Linux only: shares of other machines, the per-process WNet connection table, the Net and Ds
// calls, computer names and system facts.
#include "winport/fleet/Network.h"

#include "winport/WinBase.h"
#include "winport/WinNet.h"
#include "winport/WinReg.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/fleet/MachineClient.h"
#include "winport/posix/PosixSupport.h"

#include <sys/stat.h>

#include <cstring>
#include <cwchar>
#include <mutex>
#include <vector>

using namespace machine::protocol;
using winport::posix::CMachineConnection;

namespace
{

struct SConnection
{
    std::wstring remoteName; // "\\server\share" as the caller gave it
    std::string folder;      // the machine's folder name
    std::wstring share;
    std::wstring user;
    std::wstring password;
    std::shared_ptr<CMachineConnection> connection;
};

std::mutex s_TableLock;
std::vector<SConnection>& Table()
{
    static auto* s_pTable = new std::vector<SConnection>();
    return *s_pTable;
}

bool SameName(const std::string& a, const std::string& b)
{
    return winport::fleet::NamesEqual(winport::FromUtf8(a), winport::FromUtf8(b));
}

bool IsSelf(const std::string& folder) { return SameName(folder, winport::fleet::CurrentMachine().name); }

// "\\server\share" into its parts; no further path is allowed.
bool SplitRemoteName(const std::wstring& remote, std::wstring& server, std::wstring& share)
{
    if (remote.size() < 5 || remote[0] != L'\\' || remote[1] != L'\\')
        return false;
    size_t slash = remote.find(L'\\', 2);
    if (slash == std::wstring::npos || slash == 2)
        return false;
    server = remote.substr(2, slash - 2);
    share = remote.substr(slash + 1);
    while (!share.empty() && share.back() == L'\\')
        share.pop_back();
    return !share.empty() && share.find(L'\\') == std::wstring::npos;
}

DWORD GetShare(const std::shared_ptr<CMachineConnection>& connection, const std::wstring& share,
               SGetShareReply& reply)
{
    SGetShareRequest request;
    request.share = winport::ToUtf8(share);
    DWORD rc = connection->Call(request, reply);
    return rc == ERROR_SUCCESS ? reply.status : rc;
}

// A string value of a machine's HKEY_LOCAL_MACHINE, over its connection.
std::wstring ReadString(const std::shared_ptr<CMachineConnection>& connection, const wchar_t* keyPath,
                        const wchar_t* name, DWORD* status = nullptr)
{
    SRegOpenKeyRequest open;
    open.key = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE));
    open.path = winport::ToUtf8(keyPath);
    open.access = KEY_READ;
    SRegOpenKeyReply opened;
    DWORD rc = connection->Call(open, opened);
    if (rc == ERROR_SUCCESS)
        rc = opened.status;
    std::wstring value;
    if (rc == ERROR_SUCCESS)
    {
        SRegQueryValueRequest query;
        query.key = opened.key;
        query.name = winport::ToUtf8(name);
        SRegValueReply reply;
        rc = connection->Call(query, reply);
        if (rc == ERROR_SUCCESS)
            rc = reply.status;
        if (rc == ERROR_SUCCESS)
            value = winport::fleet::FromStoredString(reply.data).c_str();
        SRegCloseKeyRequest close;
        close.key = opened.key;
        SStatusReply closed;
        connection->Call(close, closed);
    }
    if (status != nullptr)
        *status = rc;
    return value;
}

// Copies texts into one LocalAlloc block after a fixed part; returns the block.
class CBlockBuilder
{
public:
    explicit CBlockBuilder(size_t fixed) : m_Fixed(fixed) {}
    size_t Add(const std::wstring& text)
    {
        size_t offset = m_Texts.size();
        m_Texts.append(text);
        m_Texts.push_back(L'\0');
        return offset;
    }
    size_t Size() const { return m_Fixed + m_Texts.size() * sizeof(wchar_t); }
    BYTE* Build()
    {
        auto* block = static_cast<BYTE*>(LocalAlloc(LPTR, Size()));
        if (block != nullptr)
            memcpy(block + m_Fixed, m_Texts.data(), m_Texts.size() * sizeof(wchar_t));
        return block;
    }
    wchar_t* Text(BYTE* block, size_t offset) const
    {
        return reinterpret_cast<wchar_t*>(block + m_Fixed) + offset;
    }

private:
    size_t m_Fixed;
    std::wstring m_Texts;
};

// A snapshot of the table for an enumeration handle.
class CEnumObject : public winport::posix::CKernelObject
{
public:
    std::vector<std::wstring> remoteNames;
    size_t next = 0;
};

std::shared_ptr<CMachineConnection> LocalConnection()
{
    std::shared_ptr<CMachineConnection> connection;
    CMachineConnection::Local(connection);
    return connection;
}

} // namespace

namespace winport::posix
{

DWORD ConnectionForServer(const std::string& folder, std::shared_ptr<CMachineConnection>& connection)
{
    if (IsSelf(folder))
        return CMachineConnection::Local(connection);
    {
        // An established connection to the server carries its credentials for every share.
        std::lock_guard<std::mutex> guard(s_TableLock);
        for (SConnection& entry : Table())
        {
            if (SameName(entry.folder, folder))
            {
                if (entry.connection->IsBroken())
                {
                    DWORD rc = CMachineConnection::Remote(folder, entry.user, entry.password, entry.connection);
                    if (rc != ERROR_SUCCESS)
                        return rc;
                }
                connection = entry.connection;
                return ERROR_SUCCESS;
            }
        }
    }
    std::wstring user, password;
    security::ThreadNetworkCredentials(user, password);
    return CMachineConnection::Remote(folder, user, password, connection);
}

DWORD MapUncPath(const fleet::SParsedPath& parsed, std::string& hostPath)
{
    std::string folder;
    DWORD rc = fleet::ResolveServer(parsed.server, folder);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::shared_ptr<CMachineConnection> connection;
    rc = ConnectionForServer(folder, connection);
    if (rc != ERROR_SUCCESS)
        return rc;
    SGetShareReply share;
    rc = GetShare(connection, parsed.share, share);
    if (rc != ERROR_SUCCESS)
        return rc;
    fleet::SParsedPath root;
    rc = fleet::ParseWindowsPath(FromUtf8(share.path), L"", root);
    if (rc != ERROR_SUCCESS || root.kind != fleet::SParsedPath::EKind::Drive)
        return ERROR_BAD_NET_NAME;
    std::vector<std::wstring> components = root.components;
    components.insert(components.end(), parsed.components.begin(), parsed.components.end());
    const fleet::SMachine& self = fleet::CurrentMachine();
    // A share never exposes the Linux drive of another machine.
    bool linuxDrive = IsSelf(folder) && self.hasLinuxDrive;
    return fleet::MapOnMachine(self.fleetRoot + "/machines/" + folder, linuxDrive, root.drive, components, hostPath);
}

} // namespace winport::posix

DWORD WNetAddConnection2W(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR user, DWORD)
{
    if (resource == nullptr || resource->lpRemoteName == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (resource->lpLocalName != nullptr && *resource->lpLocalName != L'\0')
        return ERROR_BAD_DEVICE; // drive letters are not mapped
    std::wstring server, share;
    if (!SplitRemoteName(resource->lpRemoteName, server, share))
        return ERROR_BAD_NET_NAME;
    std::string folder;
    if (DWORD rc = winport::fleet::ResolveServer(server, folder); rc != ERROR_SUCCESS)
        return rc;
    std::wstring account = user != nullptr ? user : L"";
    std::wstring secret = password != nullptr ? password : L"";
    if (user == nullptr)
        winport::security::ThreadNetworkCredentials(account, secret);
    {
        std::lock_guard<std::mutex> guard(s_TableLock);
        for (const SConnection& entry : Table())
        {
            if (!SameName(entry.folder, folder))
                continue;
            if (_wcsicmp(entry.user.c_str(), account.c_str()) != 0)
                return ERROR_SESSION_CREDENTIAL_CONFLICT;
            if (winport::fleet::NamesEqual(entry.share, share))
                return ERROR_SUCCESS; // already connected with this account
        }
    }
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc;
    if (IsSelf(folder))
    {
        rc = CMachineConnection::Local(connection);
        if (rc == ERROR_SUCCESS && !account.empty())
        {
            SCheckCredentialsRequest check;
            check.user = winport::ToUtf8(account);
            check.password = winport::ToUtf8(secret);
            SHelloReply reply;
            rc = connection->Call(check, reply);
            if (rc == ERROR_SUCCESS)
                rc = reply.status;
        }
    }
    else
        rc = CMachineConnection::Remote(folder, account, secret, connection);
    if (rc != ERROR_SUCCESS)
        return rc;
    SGetShareReply found;
    rc = GetShare(connection, share, found);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::lock_guard<std::mutex> guard(s_TableLock);
    Table().push_back(SConnection{resource->lpRemoteName, folder, share, account, secret, connection});
    return ERROR_SUCCESS;
}

DWORD WNetCancelConnection2W(LPCWSTR name, DWORD, BOOL)
{
    if (name == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::wstring server, share;
    std::string folder;
    bool resolved = SplitRemoteName(name, server, share) &&
                    winport::fleet::ResolveServer(server, folder) == ERROR_SUCCESS;
    std::lock_guard<std::mutex> guard(s_TableLock);
    auto& table = Table();
    for (auto it = table.begin(); it != table.end(); ++it)
    {
        bool same = _wcsicmp(it->remoteName.c_str(), name) == 0 ||
                    (resolved && SameName(it->folder, folder) && winport::fleet::NamesEqual(it->share, share));
        if (same)
        {
            table.erase(it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_NOT_CONNECTED;
}

DWORD WNetOpenEnumW(DWORD scope, DWORD, DWORD, LPNETRESOURCEW, LPHANDLE enumeration)
{
    if (enumeration == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (scope != RESOURCE_CONNECTED)
        return ERROR_NOT_SUPPORTED;
    auto snapshot = std::make_shared<CEnumObject>();
    {
        std::lock_guard<std::mutex> guard(s_TableLock);
        for (const SConnection& entry : Table())
            snapshot->remoteNames.push_back(entry.remoteName);
    }
    *enumeration = winport::posix::InsertHandle(snapshot);
    return ERROR_SUCCESS;
}

DWORD WNetEnumResourceW(HANDLE enumeration, LPDWORD count, LPVOID buffer, LPDWORD bufferSize)
{
    auto snapshot = std::dynamic_pointer_cast<CEnumObject>(winport::posix::LookupHandle(enumeration));
    if (!snapshot)
        return ERROR_INVALID_HANDLE;
    if (count == nullptr || bufferSize == nullptr || buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (snapshot->next >= snapshot->remoteNames.size())
        return ERROR_NO_MORE_ITEMS;
    static const wchar_t kProvider[] = L"Microsoft Windows Network";
    // Entries first, texts from the end of the buffer backwards, as Windows lays them out.
    DWORD wanted = *count;
    DWORD taken = 0;
    BYTE* base = static_cast<BYTE*>(buffer);
    size_t textEnd = *bufferSize;
    while (snapshot->next < snapshot->remoteNames.size() && taken < wanted)
    {
        const std::wstring& remote = snapshot->remoteNames[snapshot->next];
        size_t texts = (remote.size() + 1 + wcslen(kProvider) + 1) * sizeof(wchar_t);
        size_t entryEnd = (taken + 1) * sizeof(NETRESOURCEW);
        if (entryEnd + texts > textEnd)
        {
            if (taken == 0)
            {
                *bufferSize = static_cast<DWORD>(sizeof(NETRESOURCEW) + texts);
                return ERROR_MORE_DATA;
            }
            break;
        }
        textEnd -= texts;
        textEnd -= textEnd % alignof(wchar_t);
        auto* text = reinterpret_cast<wchar_t*>(base + textEnd);
        wmemcpy(text, remote.c_str(), remote.size() + 1);
        wchar_t* provider = text + remote.size() + 1;
        wmemcpy(provider, kProvider, wcslen(kProvider) + 1);
        NETRESOURCEW entry{RESOURCE_CONNECTED, RESOURCETYPE_DISK, RESOURCEDISPLAYTYPE_SHARE,
                           RESOURCEUSAGE_CONNECTABLE, nullptr, text, nullptr, provider};
        memcpy(base + taken * sizeof(NETRESOURCEW), &entry, sizeof entry);
        ++taken;
        ++snapshot->next;
    }
    *count = taken;
    return ERROR_SUCCESS;
}

DWORD WNetCloseEnum(HANDLE enumeration)
{
    return winport::posix::RemoveHandle(enumeration) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

NET_API_STATUS NetApiBufferFree(LPVOID buffer)
{
    LocalFree(buffer);
    return NERR_Success;
}

namespace
{
DWORD ServerConnection(LPCWSTR server, std::shared_ptr<CMachineConnection>& connection)
{
    std::string folder;
    if (server == nullptr || *server == L'\0')
        folder = winport::fleet::CurrentMachine().name;
    else if (DWORD rc = winport::fleet::ResolveServer(server, folder); rc != ERROR_SUCCESS)
        return rc;
    return winport::posix::ConnectionForServer(folder, connection);
}
} // namespace

NET_API_STATUS NetShareGetInfo(LPWSTR server, LPWSTR share, DWORD level, LPBYTE* buffer)
{
    if (share == nullptr || buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (level != 1 && level != 2)
        return ERROR_INVALID_LEVEL;
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = ServerConnection(server, connection);
    if (rc != ERROR_SUCCESS)
        return rc;
    SGetShareReply found;
    rc = GetShare(connection, share, found);
    if (rc == ERROR_BAD_NET_NAME)
        return NERR_NetNameNotFound;
    if (rc != ERROR_SUCCESS)
        return rc;
    CBlockBuilder builder(sizeof(SHARE_INFO_2));
    size_t name = builder.Add(share);
    size_t remark = builder.Add(winport::FromUtf8(found.remark));
    size_t path = builder.Add(winport::FromUtf8(found.path));
    BYTE* block = builder.Build();
    if (block == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* info = reinterpret_cast<SHARE_INFO_2*>(block);
    info->shi2_netname = builder.Text(block, name);
    info->shi2_type = STYPE_DISKTREE | (found.special ? STYPE_SPECIAL : 0);
    info->shi2_remark = builder.Text(block, remark);
    info->shi2_max_uses = static_cast<DWORD>(-1);
    info->shi2_path = level == 2 ? builder.Text(block, path) : nullptr;
    *buffer = block;
    return NERR_Success;
}

NET_API_STATUS NetGetJoinInformation(LPCWSTR server, LPWSTR* name, NETSETUP_JOIN_STATUS* status)
{
    if (name == nullptr || status == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = ServerConnection(server, connection);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::wstring domain = ReadString(connection, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                                     L"DefaultDomainName", &rc);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::wstring computer =
        ReadString(connection, L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", L"ComputerName");
    bool joined = !domain.empty() && !winport::fleet::NamesEqual(domain, computer);
    CBlockBuilder builder(0);
    builder.Add(joined ? domain : L"WORKGROUP");
    BYTE* block = builder.Build();
    if (block == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    *name = reinterpret_cast<LPWSTR>(block);
    *status = joined ? NetSetupDomainName : NetSetupWorkgroupName;
    return NERR_Success;
}

DWORD DsGetDcNameW(LPCWSTR computer, LPCWSTR domain, GUID*, LPCWSTR, ULONG flags, PDOMAIN_CONTROLLER_INFOW* info)
{
    if (info == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::wstring wanted = domain != nullptr ? domain : L"";
    if (wanted.empty())
    {
        std::shared_ptr<CMachineConnection> connection;
        DWORD rc = ServerConnection(computer, connection);
        if (rc != ERROR_SUCCESS)
            return rc;
        wanted = ReadString(connection, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                            L"DefaultDomainName");
        std::wstring name = ReadString(connection, L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                                       L"ComputerName");
        if (winport::fleet::NamesEqual(wanted, name))
            wanted.clear();
    }
    // A domain of the fleet keeps its facts in its account store, which the machine server reads.
    if (wanted.empty())
        return ERROR_NO_SUCH_DOMAIN;
    std::shared_ptr<CMachineConnection> local;
    SDomainInfoRequest request;
    request.domain = winport::ToUtf8(wanted);
    SDomainInfoReply reply;
    DWORD rc = CMachineConnection::Local(local);
    if (rc == ERROR_SUCCESS)
        rc = local->Call(request, reply);
    if (rc != ERROR_SUCCESS || reply.status != ERROR_SUCCESS)
        return ERROR_NO_SUCH_DOMAIN;
    std::wstring dnsName = winport::FromUtf8(reply.dnsName);
    std::wstring controller = winport::FromUtf8(reply.controllerName);
    if (controller.empty())
        controller = wanted + L"-DC";
    bool dns = (flags & DS_RETURN_DNS_NAME) != 0 && !dnsName.empty();
    CBlockBuilder builder(sizeof(DOMAIN_CONTROLLER_INFOW));
    size_t controllerName = builder.Add(L"\\\\" + controller);
    size_t domainName = builder.Add(dns ? dnsName : wanted);
    size_t forest = builder.Add(dnsName.empty() ? wanted : dnsName);
    size_t site = builder.Add(L"Default-First-Site-Name");
    BYTE* block = builder.Build();
    if (block == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* result = reinterpret_cast<DOMAIN_CONTROLLER_INFOW*>(block);
    result->DomainControllerName = builder.Text(block, controllerName);
    result->DomainControllerAddress = builder.Text(block, controllerName);
    result->DomainControllerAddressType = 2; // DS_NETBIOS_ADDRESS
    result->DomainName = builder.Text(block, domainName);
    result->DnsForestName = builder.Text(block, forest);
    result->Flags = 0x20000000 | 0x10; // DS_DNS_CONTROLLER_FLAG | DS_DS_FLAG
    result->DcSiteName = builder.Text(block, site);
    result->ClientSiteName = builder.Text(block, site);
    *info = result;
    return ERROR_SUCCESS;
}

namespace
{
BOOL CopyComputerName(const std::wstring& text, LPWSTR buffer, LPDWORD size, DWORD tooSmall)
{
    if (size == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!winport::CopyTextOut(text, buffer, *size))
    {
        *size = static_cast<DWORD>(text.size() + 1);
        SetLastError(tooSmall);
        return FALSE;
    }
    *size = static_cast<DWORD>(text.size());
    return TRUE;
}

std::wstring LocalString(const wchar_t* key, const wchar_t* name)
{
    std::shared_ptr<CMachineConnection> connection = LocalConnection();
    return connection ? ReadString(connection, key, name) : std::wstring();
}
} // namespace

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size)
{
    std::wstring name =
        LocalString(L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName", L"ComputerName");
    return CopyComputerName(name, buffer, size, ERROR_BUFFER_OVERFLOW);
}

BOOL GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD size)
{
    const wchar_t* tcpip = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
    std::wstring host = LocalString(tcpip, L"Hostname");
    std::wstring domain = LocalString(tcpip, L"Domain");
    std::wstring text;
    switch (format)
    {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS:
        text = LocalString(L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", L"ComputerName");
        break;
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname:
        text = host;
        break;
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain:
        text = domain;
        break;
    case ComputerNameDnsFullyQualified:
    case ComputerNamePhysicalDnsFullyQualified:
        text = domain.empty() ? host : host + L"." + domain;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return CopyComputerName(text, buffer, size, ERROR_MORE_DATA);
}

BOOL GetVersionExW(OSVERSIONINFOW* info)
{
    if (info == nullptr ||
        (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) && info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)))
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const wchar_t* key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    std::wstring version = LocalString(key, L"CurrentVersion");
    std::wstring build = LocalString(key, L"CurrentBuildNumber");
    std::wstring servicePack = LocalString(key, L"CSDVersion");
    info->dwMajorVersion = static_cast<DWORD>(_wtoi(version.c_str()));
    size_t dot = version.find(L'.');
    info->dwMinorVersion = dot == std::wstring::npos ? 0 : static_cast<DWORD>(_wtoi(version.c_str() + dot + 1));
    info->dwBuildNumber = static_cast<DWORD>(_wtoi(build.c_str()));
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    wcsncpy(info->szCSDVersion, servicePack.c_str(), 127);
    info->szCSDVersion[127] = L'\0';
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW))
    {
        auto* ex = reinterpret_cast<OSVERSIONINFOEXW*>(info);
        size_t digit = servicePack.find_first_of(L"0123456789");
        ex->wServicePackMajor = digit == std::wstring::npos ? 0 : static_cast<WORD>(_wtoi(servicePack.c_str() + digit));
        ex->wServicePackMinor = 0;
        std::wstring type = LocalString(L"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", L"ProductType");
        ex->wProductType = _wcsicmp(type.c_str(), L"WinNT") == 0     ? VER_NT_WORKSTATION
                           : _wcsicmp(type.c_str(), L"LanmanNT") == 0 ? VER_NT_DOMAIN_CONTROLLER
                                                                     : VER_NT_SERVER;
        ex->wSuiteMask = ex->wProductType == VER_NT_WORKSTATION ? 0 : VER_SUITE_ENTERPRISE;
        ex->wReserved = 0;
    }
    return TRUE;
}

void GetNativeSystemInfo(SYSTEM_INFO* info)
{
    if (info == nullptr)
        return;
    *info = SYSTEM_INFO{};
    wchar_t architecture[32] = {};
    GetEnvironmentVariableW(L"PROCESSOR_ARCHITECTURE", architecture, 32);
    info->wProcessorArchitecture =
        _wcsicmp(architecture, L"AMD64") == 0 ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL;
    wchar_t count[16] = {};
    GetEnvironmentVariableW(L"NUMBER_OF_PROCESSORS", count, 16);
    info->dwNumberOfProcessors = std::max<DWORD>(1, static_cast<DWORD>(_wtoi(count)));
    info->dwPageSize = 4096;
    info->dwAllocationGranularity = 65536;
    info->dwActiveProcessorMask = (static_cast<DWORD_PTR>(1) << info->dwNumberOfProcessors) - 1;
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);
    info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(0x7FFFFFFEFFFFull);
}

void GetSystemInfo(SYSTEM_INFO* info) { GetNativeSystemInfo(info); }
