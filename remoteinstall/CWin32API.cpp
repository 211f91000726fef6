#include "remoteinstall/CWin32API.h"

#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "winport/WinBase.h"
#include "winport/WinNet.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"

#include <cwchar>
#include <vector>

// ---- CRegistryKey ----------------------------------------------------------------------------

bool CRegistryKey::IsLocalServerName(const std::wstring& server)
{
    if (server.empty() || _wcsicmp(server.c_str(), L"localhost") == 0 || server == L"::1" ||
        CStringSupport::IsStringBeginWith(server, L"127."))
        return true;
    return CStringSupport::IsStringEndWith(CStringSupport::StringToLowerCase(server),
                                           L".localhost");
}

int CRegistryKey::Open(const std::wstring& server, HKEY root, const std::wstring& subKey,
                       REGSAM access)
{
    m_iLastError = 0;
    Close();
    HKEY remote = nullptr;
    HKEY base = root;
    if (!IsLocalServerName(server))
    {
        std::wstring name = L"\\\\" + server;
        LSTATUS rc = RegConnectRegistryW(name.c_str(), root, &remote);
        if (rc != ERROR_SUCCESS)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"RegConnectRegistry('%s') failed, ErrCode=%d",
                   name.c_str(), static_cast<int>(rc));
            m_iLastError = rc;
            return 0;
        }
        base = remote;
    }
    LSTATUS rc = RegOpenKeyExW(base, subKey.c_str(), 0, access, &m_hKey);
    if (remote != nullptr)
        RegCloseKey(remote);
    if (rc != ERROR_SUCCESS)
    {
        m_hKey = nullptr;
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"RegOpenKeyEx('%s') failed, AccessMask=0x%08x, ErrCode=%d",
               subKey.c_str(), static_cast<unsigned>(access), static_cast<int>(rc));
        m_iLastError = rc;
        return 0;
    }
    m_AccessMask = access;
    m_strDescription = CStringSupport::StringFormat(L"\\%s -> %s", server.c_str(), subKey.c_str());
    return 1;
}

int CRegistryKey::Open(HKEY root, const std::wstring& subKey, REGSAM access)
{
    int opened = Open(L"", root, subKey, access);
    if (opened)
        m_strDescription = CStringSupport::StringFormat(L"(local) -> %s", subKey.c_str());
    return opened;
}

int CRegistryKey::Open(CRegistryKey& parent, const std::wstring& subKey, REGSAM access)
{
    Close();
    m_iLastError = 0;
    if (!parent.IsOpen())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::Open");
        return 0;
    }
    LSTATUS rc = RegOpenKeyExW(parent.m_hKey, subKey.c_str(), 0, access, &m_hKey);
    if (rc != ERROR_SUCCESS)
    {
        m_hKey = nullptr;
        m_iLastError = rc;
        return 0;
    }
    m_AccessMask = access;
    m_strDescription =
        CStringSupport::StringFormat(L"%s -> %s", parent.m_strDescription.c_str(), subKey.c_str());
    return 1;
}

void CRegistryKey::Close()
{
    if (m_hKey != nullptr)
    {
        RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
    m_AccessMask = 0;
}

int CRegistryKey::IsValueExist(const std::wstring& name)
{
    if (!IsOpen())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::IsValueExist");
        return 0;
    }
    std::vector<wchar_t> buffer(4096 + 1);
    for (DWORD index = 0;; ++index)
    {
        DWORD length = static_cast<DWORD>(buffer.size());
        LSTATUS rc = RegEnumValueW(m_hKey, index, buffer.data(), &length, nullptr, nullptr, nullptr,
                                   nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            return 0;
        if (rc != ERROR_SUCCESS)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"RegEnumValue failed, the error code is %d",
                   static_cast<int>(rc));
            return 0;
        }
        if (_wcsicmp(buffer.data(), name.c_str()) == 0)
            return 1;
    }
}

std::wstring CRegistryKey::ReadString(const std::wstring& name)
{
    if (!IsOpen())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::ReadString");
        return std::wstring();
    }
    DWORD type = 0, size = 0;
    LSTATUS rc = RegQueryValueExW(m_hKey, name.c_str(), nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"ReadString(), RegQueryValueEx(%s) return fail, error code is %d", name.c_str(),
               static_cast<int>(rc));
        return std::wstring();
    }
    if ((type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) || size == 0)
        return std::wstring();
    // One character more than reported, ended at its last whole character: a multi-string gives
    // its first string, an expandable one stays unexpanded.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    rc = RegQueryValueExW(m_hKey, name.c_str(), nullptr, &type,
                          reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (rc != ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"ReadString(), RegQueryValueEx(%s) return fail, error code is %d", name.c_str(),
               static_cast<int>(rc));
        return std::wstring();
    }
    buffer[bytes / sizeof(wchar_t)] = L'\0';
    return buffer.data();
}

DWORD CRegistryKey::ReadDWORD(const std::wstring& name, DWORD fallback)
{
    if (!IsOpen())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::ReadDWORD");
        return fallback;
    }
    DWORD type = 0, value = 0, size = sizeof value;
    LSTATUS rc = RegQueryValueExW(m_hKey, name.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(&value), &size);
    if (rc == ERROR_SUCCESS && type == REG_DWORD)
        return value;
    ADVLOG(ADVLOG_SEVERITY_WARNING,
           L"ReadDWORD(), RegQueryValueEx(%s) return fail, error code is %d", name.c_str(),
           static_cast<int>(rc == ERROR_SUCCESS ? ERROR_INVALID_DATATYPE : rc));
    return fallback;
}

void CRegistryKey::WriteString(const std::wstring& name, const std::wstring& text)
{
    if (!IsOpen())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::WriteString");
        return;
    }
    LSTATUS rc =
        RegSetValueExW(m_hKey, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS)
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"WriteString(), RegSetValueEx(%s) return fail, error code is %d", name.c_str(),
               static_cast<int>(rc));
}

void CRegistryKey::WriteDWORD(const std::wstring& name, DWORD value)
{
    if (!IsOpen())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::WriteDWORD");
        return;
    }
    LSTATUS rc = RegSetValueExW(m_hKey, name.c_str(), 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (rc != ERROR_SUCCESS)
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"WriteDWORD(), RegSetValueEx(%s) return fail, error code is %d", name.c_str(),
               static_cast<int>(rc));
}

std::vector<std::wstring> CRegistryKey::EnumerateSubKeys()
{
    std::vector<std::wstring> names;
    if (!IsOpen())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::EnumerateSubKeys");
        return names;
    }
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyW(m_hKey, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"EnumerateSubKeys, RegQueryInfoKey return false");
        return names;
    }
    std::vector<wchar_t> buffer(longest + 1);
    for (DWORD index = 0; index < count; ++index)
    {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (RegEnumKeyExW(m_hKey, index, buffer.data(), &length, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
        {
            ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::EnumerateSubKeys");
            continue;
        }
        names.emplace_back(buffer.data(), length);
    }
    return names;
}

std::vector<std::wstring> CRegistryKey::EnumerateValues()
{
    std::vector<std::wstring> names;
    if (!IsOpen())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::EnumerateValues");
        return names;
    }
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyW(m_hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         &longest, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"EnumerateValues, RegQueryInfoKey return false");
        return names;
    }
    std::vector<wchar_t> buffer(longest + 1);
    for (DWORD index = 0; index < count; ++index)
    {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (RegEnumValueW(m_hKey, index, buffer.data(), &length, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
        {
            ADVLOG_UNEXPECTED_BRANCH(L"CRegistryKey::EnumerateValues");
            continue;
        }
        names.emplace_back(buffer.data(), length);
    }
    return names;
}

// ---- CImpersonateUser ------------------------------------------------------------------------

CImpersonateUser::CImpersonateUser(const std::wstring& domain, const std::wstring& user,
                                   const std::wstring& password, DWORD logonType)
    : m_dwLogonType(logonType)
{
    if (user.empty())
        return;
    if (!LogonUserW(user.c_str(), domain.c_str(), password.c_str(), logonType,
                    LOGON32_PROVIDER_DEFAULT, &m_hToken))
    {
        m_hToken = nullptr;
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"LogonUser() failed:%s",
               CStringSupport::ConvertWin32ErrorCodeToString(GetLastError()).c_str());
        return;
    }
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE, TRUE,
                         &m_hPreviousToken))
        m_hPreviousToken = nullptr;
    if (!ImpersonateLoggedOnUser(m_hToken))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"ImpersonateLoggedOnUser() failed:%s",
               CStringSupport::ConvertWin32ErrorCodeToString(GetLastError()).c_str());
        return;
    }
    m_bImpersonating = 1;
}

CImpersonateUser::~CImpersonateUser()
{
    RevertBack();
    if (m_hToken != nullptr)
        CloseHandle(m_hToken);
    if (m_hPreviousToken != nullptr)
        CloseHandle(m_hPreviousToken);
}

int CImpersonateUser::RevertBack()
{
    if (m_bImpersonating)
    {
        bool reverted = m_hPreviousToken != nullptr
                            ? ImpersonateLoggedOnUser(m_hPreviousToken) != FALSE
                            : RevertToSelf() != FALSE;
        if (reverted)
            m_bImpersonating = 0;
        else
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"RevertToSelf() failed:%s",
                   CStringSupport::ConvertWin32ErrorCodeToString(GetLastError()).c_str());
    }
    return m_bImpersonating ? 0 : 1;
}

// ---- CWin32API: registry ---------------------------------------------------------------------

namespace
{
std::wstring ReadStringWith(HKEY root, const std::wstring& subKey, const std::wstring& name,
                            REGSAM access)
{
    CRegistryKey key;
    if (!key.Open(root, subKey, access))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"RegReadStringValue, RegKey.Open('%s') return FALSE, win32 error code is %d",
               subKey.c_str(), key.GetLastError());
        return std::wstring();
    }
    return key.ReadString(name);
}

// Opens the key for a helper; logs the failure with the helper's name.
bool OpenFor(CRegistryKey& key, const wchar_t* function, HKEY root, const std::wstring& subKey,
             REGSAM access)
{
    if (key.Open(root, subKey, access))
        return true;
    ADVLOG(ADVLOG_SEVERITY_WARNING, L"%s, RegKey.Open('%s') return FALSE, win32 error code is %d",
           function, subKey.c_str(), key.GetLastError());
    return false;
}
} // namespace

std::wstring CWin32API::RegReadStringValue(HKEY root, const std::wstring& subKey,
                                           const std::wstring& name)
{
    return ReadStringWith(root, subKey, name, kRegistryRead);
}

void CWin32API::RegWriteStringValue(HKEY root, const std::wstring& subKey, const std::wstring& name,
                                    const std::wstring& text)
{
    CRegistryKey key;
    if (OpenFor(key, L"RegWriteStringValue", root, subKey, kRegistryWrite))
        key.WriteString(name, text);
}

std::wstring CWin32API::RegReadStringValue_WOW6464Key(HKEY root, const std::wstring& subKey,
                                                      const std::wstring& name)
{
    return ReadStringWith(root, subKey, name, kRegistryRead | kRegistry64);
}

void CWin32API::RegWriteStringValue_WOW6464Key(HKEY root, const std::wstring& subKey,
                                               const std::wstring& name, const std::wstring& text)
{
    CRegistryKey key;
    if (OpenFor(key, L"RegWriteStringValue_WOW6464Key", root, subKey, kRegistryWrite | kRegistry64))
        key.WriteString(name, text);
}

DWORD CWin32API::RegReadDwordValue_WOW6464Key(HKEY root, const std::wstring& subKey,
                                              const std::wstring& name, DWORD fallback)
{
    CRegistryKey key;
    if (!OpenFor(key, L"RegReadDwordValue_WOW6464Key", root, subKey, kRegistryRead | kRegistry64))
        return fallback;
    return key.ReadDWORD(name, fallback);
}

void CWin32API::RegWriteDwordValue_WOW6464Key(HKEY root, const std::wstring& subKey,
                                              const std::wstring& name, DWORD value)
{
    CRegistryKey key;
    if (OpenFor(key, L"RegWriteDwordValue_WOW6464Key", root, subKey, kRegistryWrite | kRegistry64))
        key.WriteDWORD(name, value);
}

int CWin32API::RegIsValueExist_WOW6464Key(HKEY root, const std::wstring& subKey,
                                          const std::wstring& name)
{
    CRegistryKey key;
    if (!OpenFor(key, L"RegIsValueExist_WOW6464Key", root, subKey, kRegistryRead | kRegistry64))
        return 0;
    return key.IsValueExist(name);
}

// ---- CWin32API: accounts, names, connections -------------------------------------------------

void CWin32API::PickupDomainUsername(const std::wstring& fullName, std::wstring& domain,
                                     std::wstring& user)
{
    size_t slash = fullName.find(L'\\');
    if (slash != std::wstring::npos && fullName.rfind(L'\\') != fullName.size() - 1)
    {
        domain = fullName.substr(0, slash);
        user = fullName.substr(slash + 1);
        return;
    }
    user = fullName;
    domain = L".";
}

std::wstring CWin32API::GetDnsHostName()
{
    wchar_t name[115] = {};
    DWORD size = 115;
    if (!GetComputerNameExW(ComputerNamePhysicalDnsHostname, name, &size))
        return std::wstring();
    return name;
}

std::wstring CWin32API::GetLocalComputerName()
{
    return GetDnsHostName();
}

std::wstring CWin32API::GetDomainNameOfLocalComputer()
{
    PDOMAIN_CONTROLLER_INFOW info = nullptr;
    if (DsGetDcNameW(nullptr, nullptr, nullptr, nullptr,
                     DS_DIRECTORY_SERVICE_REQUIRED | DS_RETURN_FLAT_NAME, &info) != ERROR_SUCCESS ||
        info == nullptr)
        return std::wstring();
    std::wstring name = info->DomainName != nullptr ? info->DomainName : L"";
    NetApiBufferFree(info);
    return name;
}

std::wstring CWin32API::GetDomainNameOfTargetComputer(const std::wstring& server)
{
    LPWSTR name = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    NET_API_STATUS rc = NetGetJoinInformation(server.c_str(), &name, &status);
    if (rc != NERR_Success)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"GetDomainNameOfTargetComputer(%s), NetGetJoinInformation failed, error code is %d",
               server.c_str(), static_cast<int>(rc));
        return std::wstring();
    }
    std::wstring domain = status == NetSetupDomainName && name != nullptr ? name : L"";
    NetApiBufferFree(name);
    return domain;
}

int CWin32API::NetworkCredentialImpersonateBegin(const std::wstring& fullUser,
                                                 const std::wstring& password)
{
    std::wstring domain, user;
    PickupDomainUsername(fullUser, domain, user);
    HANDLE token = nullptr;
    if (!LogonUserW(user.c_str(), domain.c_str(), password.c_str(), LOGON32_LOGON_NEW_CREDENTIALS,
                    LOGON32_PROVIDER_WINNT50, &token))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"NetworkCredentialImpersonateBegin, LogonUser('%s') failed",
               fullUser.c_str());
        return 0;
    }
    BOOL impersonated = ImpersonateLoggedOnUser(token);
    CloseHandle(token);
    if (!impersonated)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"NetworkCredentialImpersonateBegin, ImpersonateLoggedOnUser failed");
        return 0;
    }
    return 1;
}

void CWin32API::NetworkCredentialImpersonateEnd()
{
    if (!RevertToSelf())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CWin32API::NetworkCredentialImpersonateEnd");
        ADVLOG(ADVLOG_SEVERITY_FATAL, L"NetworkCredentialImpersonateEnd, RevertToSelf failed, the "
                                      L"application may continues to run in the "
                                      L"context of other account");
    }
}

DWORD CWin32API::EstablishWNetConnection(const std::wstring& server, const std::wstring& user,
                                         const std::wstring& password, const std::wstring& share)
{
    std::wstring remote =
        CStringSupport::StringFormat(L"\\\\%s\\%s", server.c_str(), share.c_str());
    if (remote.size() > 519)
        remote.resize(519);
    NETRESOURCEW resource{};
    resource.dwType = RESOURCETYPE_ANY;
    resource.lpRemoteName = remote.data();
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"EstablishWNetConnection(%s, %s), start call WNetAddConnection2",
           server.c_str(), share.c_str());
    DWORD rc = WNetAddConnection2W(&resource, password.c_str(), user.c_str(), 0);
    if (rc == ERROR_SUCCESS)
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"EstablishWNetConnection(%s, %s), WNetAddConnection2 return succeed, connection is "
               L"established",
               server.c_str(), share.c_str());
    else
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"EstablishWNetConnection(%s, %s) failed, log on account is %s, last error is %d",
               server.c_str(), share.c_str(), user.c_str(), static_cast<int>(rc));
    return rc;
}

void CWin32API::CloseWNetConnection(const std::wstring& server, const std::wstring& share)
{
    std::wstring remote =
        CStringSupport::StringFormat(L"\\\\%s\\%s", server.c_str(), share.c_str());
    DWORD rc = WNetCancelConnection2W(remote.c_str(), 0, TRUE);
    if (rc != ERROR_SUCCESS)
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"CloseWNetConnection(%s, %s) failed, last error is %d",
               server.c_str(), share.c_str(), static_cast<int>(rc));
}

bool CWin32API::IsRemoteResourceLocateOnServer(const std::wstring& remoteName,
                                               const std::wstring& serverPrefix)
{
    if (remoteName.size() < serverPrefix.size() ||
        _wcsnicmp(remoteName.c_str(), serverPrefix.c_str(), serverPrefix.size()) != 0)
        return false;
    return remoteName.size() == serverPrefix.size() || remoteName[serverPrefix.size()] == L'\\';
}

void CWin32API::DisconnectAllWNetConncetionsForServer(const std::wstring& server)
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"DisconnectAllWNetConncetionsForServer(%s) is called",
           server.c_str());
    std::wstring prefix = L"\\\\" + CStringSupport::StringToUpperCase(server);
    HANDLE enumeration = nullptr;
    if (WNetOpenEnumW(RESOURCE_CONNECTED, RESOURCETYPE_ANY, 0, nullptr, &enumeration) !=
        ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"DisconnectAllWNetConncetionsForServer(%s), Can not execute WNetOpenEnum",
               server.c_str());
        return;
    }
    std::vector<BYTE> buffer(16384);
    std::vector<std::wstring> names;
    for (;;)
    {
        DWORD count = static_cast<DWORD>(-1);
        DWORD size = static_cast<DWORD>(buffer.size());
        if (WNetEnumResourceW(enumeration, &count, buffer.data(), &size) != ERROR_SUCCESS)
            break;
        auto* resources = reinterpret_cast<NETRESOURCEW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
        {
            if (resources[i].lpRemoteName != nullptr &&
                IsRemoteResourceLocateOnServer(resources[i].lpRemoteName, prefix))
                names.emplace_back(resources[i].lpRemoteName);
        }
    }
    WNetCloseEnum(enumeration);
    for (const std::wstring& name : names)
    {
        DWORD rc = WNetCancelConnection2W(name.c_str(), 0, FALSE);
        if (rc != ERROR_SUCCESS)
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"DisconnectAllWNetConncetionsForServer(%s), Closing connection %s error, last "
                   L"error code is %d",
                   server.c_str(), name.c_str(), static_cast<int>(rc));
        else
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"DisconnectAllWNetConncetionsForServer(%s), Closing connection %s success",
                   server.c_str(), name.c_str());
    }
}

int CWin32API::IsCurrentUserLocalAdministrator()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_DUPLICATE | TOKEN_QUERY, TRUE, &token))
    {
        if (GetLastError() != ERROR_NO_TOKEN ||
            !OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &token))
            return 0;
    }
    HANDLE impersonation = nullptr;
    BOOL duplicated = DuplicateToken(token, SecurityImpersonation, &impersonation);
    CloseHandle(token);
    if (!duplicated)
        return 0;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL acl = nullptr;
    BOOL status = FALSE;
    if (AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                 DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
    {
        constexpr DWORD kRead = 1, kWrite = 2;
        descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
        DWORD aclSize =
            sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE_HEADER) + GetLengthSid(administrators);
        acl = static_cast<PACL>(LocalAlloc(LPTR, aclSize));
        GENERIC_MAPPING mapping{kRead, kWrite, 0, kRead | kWrite};
        PRIVILEGE_SET privileges{};
        DWORD privilegesLength = sizeof privileges, granted = 0;
        if (descriptor != nullptr && acl != nullptr &&
            InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
            InitializeAcl(acl, aclSize, ACL_REVISION) &&
            AddAccessAllowedAce(acl, ACL_REVISION, kRead | kWrite, administrators) &&
            SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE) &&
            SetSecurityDescriptorGroup(descriptor, administrators, FALSE) &&
            SetSecurityDescriptorOwner(descriptor, administrators, FALSE) &&
            IsValidSecurityDescriptor(descriptor))
        {
            if (!AccessCheck(descriptor, impersonation, kRead, &mapping, &privileges,
                             &privilegesLength, &granted, &status))
                status = FALSE;
        }
    }
    LocalFree(acl);
    LocalFree(descriptor);
    if (administrators != nullptr)
        FreeSid(administrators);
    CloseHandle(impersonation);
    return status ? 1 : 0;
}

void CWin32API::DumpSystemInformationToDebugLog()
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Local computer name is %s, domain name is %s",
           GetDnsHostName().c_str(), GetDomainNameOfLocalComputer().c_str());
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"ProcessorArchitecture:%d(0:INTEL 9:AMD64) NumberOfProcessors:%d",
           static_cast<int>(system.wProcessorArchitecture),
           static_cast<int>(system.dwNumberOfProcessors));
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"OSMajorVersion:%d OSMinorVersion:%d BuildNumber:%d CSDVersion:'%s' "
           L"ServicePackMajor:%d ServicePackMinor:%d",
           static_cast<int>(version.dwMajorVersion), static_cast<int>(version.dwMinorVersion),
           static_cast<int>(version.dwBuildNumber), version.szCSDVersion,
           static_cast<int>(version.wServicePackMajor),
           static_cast<int>(version.wServicePackMinor));
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"SuiteMask:0x%x (MSDN OSVERSIONINFOEX list all suite code)  "
           L"ProductType:%d(1:Workstation 2:DC 3:Server)",
           static_cast<unsigned>(version.wSuiteMask), static_cast<int>(version.wProductType));
}

BOOL CWin32API::CreateHiddenProcess(std::wstring commandLine, const wchar_t* currentFolder,
                                    PROCESS_INFORMATION& process)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          currentFolder, &startup, &process);
}
