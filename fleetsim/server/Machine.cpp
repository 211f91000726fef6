// The machine's own requests: greeting and identity, accounts and credentials, shares, the
// system environment and the domain.
#include "fleetsim/server/Handlers.h"

#include "fleetsim/store/MachineCreation.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cwctype>

namespace machine
{
namespace
{

std::wstring Wide(const std::string& utf8)
{
    return winport::FromUtf8(utf8);
}

bool IsLocalName(const std::wstring& domain, const std::string& machineName)
{
    return domain.empty() || winport::fleet::NamesEqual(domain, Wide(machineName));
}

} // namespace

std::wstring CMachineServer::ReadString(const wchar_t* keyPath, const wchar_t* name)
{
    int64_t key;
    DWORD type;
    std::string data;
    if (m_Store.OpenKey(kKeyLocalMachine, keyPath, key) != ERROR_SUCCESS ||
        m_Store.QueryValue(key, name, type, data) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ))
        return std::wstring();
    return winport::fleet::FromStoredString(data);
}

std::wstring CMachineServer::MachineDomain()
{
    // A machine outside any domain names itself here.
    std::wstring domain = ReadString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                                     L"DefaultDomainName")
                              .c_str();
    return winport::fleet::NamesEqual(domain, Wide(m_MachineName)) ? std::wstring() : domain;
}

CRegistryStore* CMachineServer::DomainStore(const std::wstring& domain)
{
    if (domain.empty() || !winport::fleet::IsValidMachineName(winport::ToUtf8(domain)))
        return nullptr;
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

namespace
{

bool IsAdministrator(CMachineServer& server, const std::wstring& domain, const std::wstring& user)
{
    CRegistryStore& store = server.Store();
    if (domain.empty())
        return store.IsGroupMember(L"Administrators", user);
    if (store.IsGroupMember(L"Administrators", domain + L"\\" + user))
        return true;
    // A domain group among the local administrators makes its members administrators.
    CRegistryStore* domainStore = server.DomainStore(domain);
    return domainStore != nullptr && domainStore->IsGroupMember(L"Domain Admins", user) &&
           store.IsGroupMember(L"Administrators", domain + L"\\Domain Admins");
}

} // namespace

DWORD CMachineServer::CheckAccount(const std::wstring& account, const std::wstring& password,
                                   bool& administrator)
{
    administrator = false;
    std::wstring domain, user;
    winport::fleet::SplitAccountName(account, domain, user);
    std::wstring machineDomain = MachineDomain();
    if (IsLocalName(domain, m_MachineName))
    {
        DWORD rc = m_Store.CheckPassword(user, password);
        if (rc == ERROR_SUCCESS)
        {
            administrator = IsAdministrator(*this, L"", user);
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
    administrator = IsAdministrator(*this, machineDomain, user);
    return ERROR_SUCCESS;
}

bool CMachineServer::AccountExists(const std::wstring& account, bool& administrator)
{
    std::wstring domain, user;
    winport::fleet::SplitAccountName(account, domain, user);
    administrator = false;
    // The local system account, which services run as, is no stored account.
    if (winport::fleet::NamesEqual(user, L"SYSTEM") &&
        (domain.empty() || winport::fleet::NamesEqual(domain, L"NT AUTHORITY")))
    {
        administrator = true;
        return true;
    }
    bool exists;
    if (IsLocalName(domain, m_MachineName))
    {
        exists = m_Store.AccountExists(user);
        domain.clear();
    }
    else
    {
        CRegistryStore* store =
            winport::fleet::NamesEqual(domain, MachineDomain()) ? DomainStore(domain) : nullptr;
        exists = store != nullptr && store->AccountExists(user);
    }
    administrator = exists && IsAdministrator(*this, domain, user);
    return exists;
}

namespace handlers
{

void Hello(SRequestContext& context, SHelloRequest& in, SHelloReply& out)
{
    CMachineServer& server = context.server;
    out.serverPid = static_cast<uint32_t>(getpid());
    if (in.version != kVersion)
    {
        out.status = ERROR_NOT_SUPPORTED;
        context.drop = true;
        return;
    }
    // Who the caller is comes from its process; what it says counts only as credentials.
    SCallerIdentity caller;
    caller.pid = context.connection.peerPid;
    std::wstring startAccount;
    caller.local = server.IsLocalPeer(caller.pid, startAccount);
    if (!in.user.empty())
    {
        bool administrator = false;
        out.status = server.CheckAccount(Wide(in.user), Wide(in.password), administrator);
        caller.account = Wide(in.user);
        caller.administrator = administrator;
        caller.hasAccount = out.status == ERROR_SUCCESS;
    }
    else if (caller.local)
    {
        // A local process runs as the account it was started as; an unknown one is no account.
        caller.account = startAccount;
        caller.hasAccount = server.AccountExists(startAccount, caller.administrator);
    }
    else
        out.status = ERROR_ACCESS_DENIED; // another machine's caller needs credentials valid here
    std::fill(in.password.begin(), in.password.end(), '\0');
    if (out.status != ERROR_SUCCESS)
    {
        context.drop = true;
        return;
    }
    out.isAdministrator = caller.administrator ? 1 : 0;
    out.isLocal = caller.local ? 1 : 0;
    context.connection.process = server.ProcessFor(caller);
}

void Shutdown(SRequestContext& context, SShutdownRequest&, SStatusReply& out)
{
    context.server.RequestStop();
    out.status = ERROR_SUCCESS;
}

void Ping(SRequestContext&, SPingRequest&, SStatusReply& out)
{
    out.status = ERROR_SUCCESS;
}

void CheckCredentials(SRequestContext& context, SCheckCredentialsRequest& in, SHelloReply& out)
{
    bool administrator = false;
    out.status = context.server.CheckAccount(Wide(in.user), Wide(in.password), administrator);
    out.isAdministrator = administrator ? 1 : 0;
    std::fill(in.password.begin(), in.password.end(), '\0');
}

void AccountInfo(SRequestContext& context, SAccountInfoRequest& in, SHelloReply& out)
{
    bool administrator = false;
    out.status = context.server.AccountExists(Wide(in.account), administrator) ? ERROR_SUCCESS
                                                                               : ERROR_NO_SUCH_USER;
    out.isAdministrator = administrator ? 1 : 0;
}

void GetShare(SRequestContext& context, SGetShareRequest& in, SGetShareReply& out)
{
    CMachineServer& server = context.server;
    std::wstring share = Wide(in.share);
    std::wstring systemRoot =
        server.ReadString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"SystemRoot");
    systemRoot = systemRoot.c_str();
    out.status = ERROR_BAD_NET_NAME;
    if (winport::fleet::NamesEqual(share, L"ADMIN$"))
    {
        out.path = winport::ToUtf8(systemRoot.empty() ? L"C:\\Windows" : systemRoot);
        out.remark = "Remote Admin";
        out.special = 1;
        out.status = ERROR_SUCCESS;
    }
    else if (share.size() == 2 && share[1] == L'$' && iswalpha(share[0]))
    {
        // A drive's administrative share exists when the drive does; Z: is no drive of a server.
        std::string drive(1, static_cast<char>(tolower(static_cast<int>(share[0]))));
        struct stat st;
        if (drive != "z" && stat((server.Folder() + "/drive/" + drive).c_str(), &st) == 0)
        {
            out.path =
                std::string(1, static_cast<char>(toupper(static_cast<int>(share[0])))) + ":\\";
            out.remark = "Default share";
            out.special = 1;
            out.status = ERROR_SUCCESS;
        }
    }
    else
    {
        // Other shares are REG_MULTI_SZ values of "Path=...", "Remark=..." items.
        std::wstring items = server.ReadString(
            L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares", share.c_str());
        size_t pos = 0;
        while (pos < items.size())
        {
            std::wstring item = items.c_str() + pos;
            pos += item.size() + 1;
            if (item.rfind(L"Path=", 0) == 0)
                out.path = winport::ToUtf8(item.substr(5));
            else if (item.rfind(L"Remark=", 0) == 0)
                out.remark = winport::ToUtf8(item.substr(7));
        }
        if (!out.path.empty())
            out.status = ERROR_SUCCESS;
    }
    const SCallerIdentity& caller = context.connection.process->Identity();
    if (out.status == ERROR_SUCCESS && out.special && !caller.administrator)
    {
        out = SGetShareReply{};
        out.status = ERROR_ACCESS_DENIED;
    }
    else if (out.status == ERROR_SUCCESS && !caller.hasAccount)
    {
        out = SGetShareReply{};
        out.status = ERROR_ACCESS_DENIED;
    }
}

void GetEnvironment(SRequestContext& context, SGetEnvironmentRequest&, SEnvironmentReply& out)
{
    for (auto& [name, value] :
         BuildEnvironment(context.server.Store(), context.server.MachineName()))
    {
        out.block += winport::ToUtf8(name) + "=" + winport::ToUtf8(value);
        out.block.push_back('\0');
    }
    out.status = ERROR_SUCCESS;
}

void DomainInfo(SRequestContext& context, SDomainInfoRequest& in, SDomainInfoReply& out)
{
    CMachineServer& server = context.server;
    std::wstring wanted = in.domain.empty() ? server.MachineDomain() : Wide(in.domain);
    CRegistryStore* store = server.DomainStore(wanted);
    if (store == nullptr)
    {
        out.status = ERROR_NO_SUCH_DOMAIN;
        return;
    }
    auto read = [store](const wchar_t* value)
    {
        int64_t key;
        DWORD type;
        std::string data;
        if (store->OpenKey(kKeyLocalMachine, L"Domain", key) != ERROR_SUCCESS ||
            store->QueryValue(key, value, type, data) != ERROR_SUCCESS)
            return std::string();
        return winport::ToUtf8(winport::fleet::FromStoredString(data).c_str());
    };
    out.name = winport::ToUtf8(wanted);
    out.dnsName = read(L"DnsName");
    out.controllerName = read(L"ControllerName");
    out.status = ERROR_SUCCESS;
}

} // namespace handlers
} // namespace machine
