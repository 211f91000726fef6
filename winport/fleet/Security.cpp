// Linux only: logon, tokens and impersonation over the machine server's account store; SIDs,
// security descriptors and the access check over them.
#include "winport/WinSecurity.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/fleet/MachineClient.h"
#include "winport/posix/PosixSupport.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

using namespace machine::protocol;

namespace
{

class CTokenObject : public winport::posix::CKernelObject
{
public:
    std::wstring account;       // the local identity, "DOMAIN\user" or "user"
    bool administrator = false; // the identity holds the machine's Administrators group
    bool impersonation = false; // an impersonation token (else a primary one)
    std::wstring networkUser;   // credentials for network use, empty for the identity's own
    std::wstring networkPassword;
    bool checkedLogon = false; // made by a logon that checked the password: acts as account
    std::set<DWORD> enabled;   // privileges switched on
};

thread_local std::shared_ptr<CTokenObject> t_pImpersonation;

std::wstring JoinAccount(LPCWSTR domain, LPCWSTR user)
{
    std::wstring name = user != nullptr ? user : L"";
    if (domain != nullptr && *domain != L'\0' && wcscmp(domain, L".") != 0)
        return std::wstring(domain) + L"\\" + name;
    return name;
}

// The process's own token, made once from its identity.
std::shared_ptr<CTokenObject> ProcessToken()
{
    static std::once_flag s_Once;
    static std::shared_ptr<CTokenObject> s_pToken;
    std::call_once(s_Once,
                   []
                   {
                       auto token = std::make_shared<CTokenObject>();
                       token->account = winport::security::ProcessAccount();
                       std::shared_ptr<winport::posix::CMachineConnection> connection;
                       if (winport::posix::CMachineConnection::Local(connection) == ERROR_SUCCESS)
                       {
                           SAccountInfoRequest request;
                           request.account = winport::ToUtf8(token->account);
                           SHelloReply reply;
                           if (connection->Call(request, reply) == ERROR_SUCCESS &&
                               reply.status == ERROR_SUCCESS)
                               token->administrator = reply.isAdministrator != 0;
                       }
                       s_pToken = token;
                   });
    return s_pToken;
}

// A handle to the process's own token (OpenProcessToken), with the rights it was opened with.
class CTokenHandle : public winport::posix::CKernelObject
{
public:
    CTokenHandle(std::shared_ptr<CTokenObject> object, DWORD rights)
        : token(std::move(object)), access(rights)
    {
    }
    std::shared_ptr<CTokenObject> token;
    DWORD access;
};
std::mutex s_PrivilegeLock;

std::shared_ptr<CTokenObject> TokenOf(HANDLE handle)
{
    if (auto own = std::dynamic_pointer_cast<CTokenHandle>(winport::posix::LookupHandle(handle)))
        return own->token;
    return std::dynamic_pointer_cast<CTokenObject>(winport::posix::LookupHandle(handle));
}

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

// SIDs in their binary form: revision, count, authority, sub-authorities.
struct SSidHeader
{
    BYTE revision;
    BYTE count;
    BYTE authority[6];
};

std::vector<BYTE> MakeSid(std::initializer_list<DWORD> subAuthorities, BYTE authority)
{
    std::vector<BYTE> sid(sizeof(SSidHeader) + subAuthorities.size() * sizeof(DWORD));
    SSidHeader header{1, static_cast<BYTE>(subAuthorities.size()), {0, 0, 0, 0, 0, authority}};
    memcpy(sid.data(), &header, sizeof header);
    size_t offset = sizeof header;
    for (DWORD sub : subAuthorities)
    {
        memcpy(sid.data() + offset, &sub, sizeof sub);
        offset += sizeof sub;
    }
    return sid;
}

// The groups a token holds, as SIDs.
std::vector<std::vector<BYTE>> GroupsOf(const CTokenObject& token)
{
    std::vector<std::vector<BYTE>> groups;
    groups.push_back(MakeSid({0}, 1));                                                   // Everyone
    groups.push_back(MakeSid({SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}, 5)); // Users
    if (token.administrator)
        groups.push_back(MakeSid({SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}, 5));
    return groups;
}

struct SDescriptor
{
    BYTE revision;
    BYTE sbz;
    WORD control;
    PSID owner;
    PSID group;
    PACL sacl;
    PACL dacl;
    BOOL daclPresent;
};
static_assert(sizeof(SDescriptor) <= SECURITY_DESCRIPTOR_MIN_LENGTH);

} // namespace

namespace winport::security
{

std::wstring ProcessAccount()
{
    const char* configured = getenv("FLEET_USER");
    if (configured != nullptr && *configured != '\0')
        return winport::FromUtf8(configured);
    return L"Administrator";
}

bool ThreadLogonCredentials(std::wstring& user, std::wstring& password)
{
    user.clear();
    password.clear();
    if (!t_pImpersonation || !t_pImpersonation->checkedLogon)
        return false;
    user = t_pImpersonation->networkUser;
    password = t_pImpersonation->networkPassword;
    return true;
}

void ThreadNetworkCredentials(std::wstring& user, std::wstring& password)
{
    user.clear();
    password.clear();
    if (t_pImpersonation)
    {
        user = t_pImpersonation->networkUser;
        password = t_pImpersonation->networkPassword;
        return;
    }
    // A process started with a logon's token reaches the network with that logon, which its
    // machine server keeps for it.
    static std::once_flag s_Once;
    static std::wstring s_User, s_Password;
    std::call_once(s_Once,
                   []
                   {
                       std::shared_ptr<winport::posix::CMachineConnection> connection;
                       if (winport::posix::CMachineConnection::Local(connection) != ERROR_SUCCESS)
                           return;
                       SProcessCredentialsRequest request;
                       SCredentialsReply reply;
                       if (connection->Call(request, reply) == ERROR_SUCCESS &&
                           reply.status == ERROR_SUCCESS)
                       {
                           s_User = winport::FromUtf8(reply.user);
                           s_Password = winport::FromUtf8(reply.password);
                           std::fill(reply.password.begin(), reply.password.end(), '\0');
                       }
                   });
    user = s_User;
    password = s_Password;
}

bool TokenLogonCredentials(HANDLE token, std::wstring& user, std::wstring& password)
{
    std::shared_ptr<CTokenObject> object = TokenOf(token);
    if (!object || !object->checkedLogon)
        return false;
    user = object->account;
    password = object->networkPassword;
    return true;
}

bool ThreadPrivilegeEnabled(DWORD luid)
{
    std::shared_ptr<CTokenObject> token = t_pImpersonation ? t_pImpersonation : ProcessToken();
    std::lock_guard<std::mutex> guard(s_PrivilegeLock);
    return token->enabled.count(luid) != 0;
}

} // namespace winport::security

BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logonType, DWORD,
                PHANDLE token)
{
    if (user == nullptr || *user == L'\0' || token == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::wstring account = JoinAccount(domain, user);
    auto created = std::make_shared<CTokenObject>();
    if (logonType == LOGON32_LOGON_NEW_CREDENTIALS)
    {
        // The identity stays the process's; the credentials are checked where they are used.
        std::shared_ptr<CTokenObject> self = ProcessToken();
        created->account = self->account;
        created->administrator = self->administrator;
    }
    else if (logonType == LOGON32_LOGON_INTERACTIVE || logonType == LOGON32_LOGON_NETWORK ||
             logonType == LOGON32_LOGON_BATCH || logonType == LOGON32_LOGON_SERVICE)
    {
        std::shared_ptr<winport::posix::CMachineConnection> connection;
        DWORD rc = winport::posix::CMachineConnection::Local(connection);
        if (rc != ERROR_SUCCESS)
            return Fail(ERROR_NO_LOGON_SERVERS);
        SCheckCredentialsRequest request;
        request.user = winport::ToUtf8(account);
        request.password = winport::ToUtf8(password != nullptr ? password : L"");
        SHelloReply reply;
        rc = connection->Call(request, reply);
        std::fill(request.password.begin(), request.password.end(), '\0');
        if (rc != ERROR_SUCCESS)
            return Fail(ERROR_NO_LOGON_SERVERS);
        if (reply.status != ERROR_SUCCESS)
            return Fail(reply.status);
        created->account = account;
        created->administrator = reply.isAdministrator != 0;
        created->checkedLogon = true;
    }
    else
        return Fail(ERROR_INVALID_PARAMETER);
    created->networkUser = account;
    created->networkPassword = password != nullptr ? password : L"";
    *token = winport::posix::InsertHandle(created);
    return TRUE;
}

BOOL ImpersonateLoggedOnUser(HANDLE token)
{
    std::shared_ptr<CTokenObject> object = TokenOf(token);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    auto copy = std::make_shared<CTokenObject>(*object);
    copy->impersonation = true;
    t_pImpersonation = copy;
    return TRUE;
}

BOOL RevertToSelf()
{
    t_pImpersonation.reset();
    return TRUE;
}

BOOL SetThreadToken(PHANDLE thread, HANDLE token)
{
    if (thread != nullptr && *thread != GetCurrentThread())
        return Fail(ERROR_INVALID_PARAMETER);
    if (token == nullptr)
        return RevertToSelf();
    return ImpersonateLoggedOnUser(token);
}

BOOL OpenThreadToken(HANDLE, DWORD, BOOL, PHANDLE token)
{
    if (token == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!t_pImpersonation)
        return Fail(ERROR_NO_TOKEN);
    *token = winport::posix::InsertHandle(std::make_shared<CTokenObject>(*t_pImpersonation));
    return TRUE;
}

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    if (token == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (process != GetCurrentProcess())
        return Fail(ERROR_ACCESS_DENIED);
    // The handle reaches the process's own token: privileges switched on through it hold for
    // the process.
    auto handle = std::make_shared<CTokenHandle>(ProcessToken(), access);
    *token = winport::posix::InsertHandle(handle);
    return TRUE;
}

namespace
{
struct SPrivilegeName
{
    const wchar_t* name;
    DWORD luid;
};
// The values Windows gives its privileges.
constexpr SPrivilegeName kPrivileges[] = {
    {L"SeShutdownPrivilege", 19}, {L"SeDebugPrivilege", 20},   {L"SeBackupPrivilege", 17},
    {L"SeRestorePrivilege", 18},  {L"SeSecurityPrivilege", 8}, {L"SeTakeOwnershipPrivilege", 9},
};
constexpr DWORD kAdministratorPrivileges[] = {19, 20, 17, 18, 8, 9};
} // namespace

BOOL LookupPrivilegeValueW(LPCWSTR, LPCWSTR name, PLUID luid)
{
    if (name == nullptr || luid == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    for (const SPrivilegeName& privilege : kPrivileges)
    {
        if (_wcsicmp(privilege.name, name) == 0)
        {
            luid->LowPart = privilege.luid;
            luid->HighPart = 0;
            return TRUE;
        }
    }
    return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD,
                           PTOKEN_PRIVILEGES, LPDWORD returnLength)
{
    auto handle = std::dynamic_pointer_cast<CTokenHandle>(winport::posix::LookupHandle(token));
    if (!handle)
        return Fail(ERROR_INVALID_HANDLE);
    if ((handle->access & TOKEN_ADJUST_PRIVILEGES) == 0)
        return Fail(ERROR_ACCESS_DENIED);
    if (!disableAll && newState == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (returnLength != nullptr)
        *returnLength = 0;
    std::lock_guard<std::mutex> guard(s_PrivilegeLock);
    CTokenObject& target = *handle->token;
    if (disableAll)
    {
        target.enabled.clear();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i)
    {
        DWORD luid = newState->Privileges[i].Luid.LowPart;
        bool held = false;
        for (DWORD own : kAdministratorPrivileges)
            held = held || (target.administrator && own == luid);
        if (!held)
        {
            allAssigned = false;
            continue;
        }
        if (newState->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED)
            target.enabled.insert(luid);
        else
            target.enabled.erase(luid);
    }
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL DuplicateToken(HANDLE token, SECURITY_IMPERSONATION_LEVEL level, PHANDLE duplicate)
{
    std::shared_ptr<CTokenObject> object = TokenOf(token);
    if (!object || duplicate == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    auto copy = std::make_shared<CTokenObject>(*object);
    copy->impersonation = level >= SecurityImpersonation;
    *duplicate = winport::posix::InsertHandle(copy);
    return TRUE;
}

BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE count, DWORD a0, DWORD a1,
                              DWORD a2, DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7, PSID* sid)
{
    if (authority == nullptr || sid == nullptr || count == 0 || count > 8)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD subs[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
    size_t size = sizeof(SSidHeader) + count * sizeof(DWORD);
    auto* block = static_cast<BYTE*>(LocalAlloc(LPTR, size));
    if (block == nullptr)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    SSidHeader header{1, count, {}};
    memcpy(header.authority, authority->Value, 6);
    memcpy(block, &header, sizeof header);
    memcpy(block + sizeof header, subs, count * sizeof(DWORD));
    *sid = block;
    return TRUE;
}

PSID FreeSid(PSID sid)
{
    LocalFree(sid);
    return nullptr;
}

BOOL IsValidSid(PSID sid)
{
    if (sid == nullptr)
        return FALSE;
    auto* header = static_cast<const SSidHeader*>(sid);
    return header->revision == 1 && header->count <= 15;
}

DWORD GetLengthSid(PSID sid)
{
    return IsValidSid(sid) ? static_cast<DWORD>(sizeof(SSidHeader) +
                                                static_cast<const SSidHeader*>(sid)->count * 4)
                           : 0;
}

BOOL EqualSid(PSID a, PSID b)
{
    if (!IsValidSid(a) || !IsValidSid(b))
        return FALSE;
    DWORD length = GetLengthSid(a);
    return length == GetLengthSid(b) && memcmp(a, b, length) == 0;
}

BOOL CheckTokenMembership(HANDLE token, PSID sid, LPBOOL isMember)
{
    if (isMember == nullptr || !IsValidSid(sid))
        return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<CTokenObject> object =
        token != nullptr ? TokenOf(token) : (t_pImpersonation ? t_pImpersonation : ProcessToken());
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    *isMember = FALSE;
    for (const auto& group : GroupsOf(*object))
    {
        if (group.size() == GetLengthSid(sid) && memcmp(group.data(), sid, group.size()) == 0)
            *isMember = TRUE;
    }
    return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    if (descriptor == nullptr || revision != SECURITY_DESCRIPTOR_REVISION)
        return Fail(ERROR_INVALID_PARAMETER);
    SDescriptor empty{};
    empty.revision = SECURITY_DESCRIPTOR_REVISION;
    memcpy(descriptor, &empty, sizeof empty);
    return TRUE;
}

BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL)
{
    if (descriptor == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    static_cast<SDescriptor*>(descriptor)->owner = owner;
    return TRUE;
}

BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL)
{
    if (descriptor == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    static_cast<SDescriptor*>(descriptor)->group = group;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL)
{
    if (descriptor == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* d = static_cast<SDescriptor*>(descriptor);
    d->daclPresent = present;
    d->dacl = present ? dacl : nullptr;
    return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor)
{
    return descriptor != nullptr &&
           static_cast<SDescriptor*>(descriptor)->revision == SECURITY_DESCRIPTOR_REVISION;
}

BOOL InitializeAcl(PACL acl, DWORD length, DWORD revision)
{
    if (acl == nullptr || length < sizeof(ACL) || length > 0xFFFF || revision != ACL_REVISION)
        return Fail(ERROR_INVALID_PARAMETER);
    *acl = ACL{static_cast<BYTE>(revision), 0, static_cast<WORD>(length), 0, 0};
    return TRUE;
}

BOOL AddAccessAllowedAce(PACL acl, DWORD, DWORD mask, PSID sid)
{
    if (acl == nullptr || !IsValidSid(sid))
        return Fail(ERROR_INVALID_PARAMETER);
    // Entries follow the header back to back; find the end of the last one.
    BYTE* p = reinterpret_cast<BYTE*>(acl) + sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i)
        p += reinterpret_cast<ACCESS_ALLOWED_ACE_HEADER*>(p)->AceSize;
    DWORD sidLength = GetLengthSid(sid);
    size_t size = sizeof(ACCESS_ALLOWED_ACE_HEADER) + sidLength;
    if (p + size > reinterpret_cast<BYTE*>(acl) + acl->AclSize)
        return Fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
    ACCESS_ALLOWED_ACE_HEADER header{0, 0, static_cast<WORD>(size), mask};
    memcpy(p, &header, sizeof header);
    memcpy(p + sizeof header, sid, sidLength);
    ++acl->AceCount;
    return TRUE;
}

void MapGenericMask(LPDWORD mask, GENERIC_MAPPING* mapping)
{
    if (mask == nullptr || mapping == nullptr)
        return;
    DWORD m = *mask;
    if (m & 0x80000000)
        m |= mapping->GenericRead;
    if (m & 0x40000000)
        m |= mapping->GenericWrite;
    if (m & 0x20000000)
        m |= mapping->GenericExecute;
    if (m & 0x10000000)
        m |= mapping->GenericAll;
    *mask = m & 0x0FFFFFFF;
}

BOOL AccessCheck(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD desired,
                 GENERIC_MAPPING* mapping, PRIVILEGE_SET*, LPDWORD, LPDWORD granted, LPBOOL status)
{
    if (!IsValidSecurityDescriptor(descriptor) || granted == nullptr || status == nullptr ||
        mapping == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<CTokenObject> object = TokenOf(token);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    if (!object->impersonation)
        return Fail(ERROR_NO_IMPERSONATION_TOKEN);
    MapGenericMask(&desired, mapping);
    auto* d = static_cast<SDescriptor*>(descriptor);
    DWORD rights = 0;
    if (!d->daclPresent || d->dacl == nullptr)
        rights = desired; // no list: everybody is granted everything
    else
    {
        std::vector<std::vector<BYTE>> groups = GroupsOf(*object);
        BYTE* p = reinterpret_cast<BYTE*>(d->dacl) + sizeof(ACL);
        for (WORD i = 0; i < d->dacl->AceCount; ++i)
        {
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE_HEADER*>(p);
            PSID sid = p + sizeof(ACCESS_ALLOWED_ACE_HEADER);
            for (const auto& group : groups)
            {
                if (ace->AceType == 0 && group.size() == GetLengthSid(sid) &&
                    memcmp(group.data(), sid, group.size()) == 0)
                    rights |= ace->Mask;
            }
            p += ace->AceSize;
        }
    }
    *granted = rights & desired;
    *status = desired != 0 && (rights & desired) == desired;
    if (!*status)
        SetLastError(ERROR_ACCESS_DENIED);
    return TRUE;
}
