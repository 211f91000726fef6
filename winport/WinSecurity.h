// Security subset: logon, tokens, impersonation per thread, well-known SIDs, security
// descriptors with access-allowed lists, and the access check over them.
//
// A process runs as its machine's local "Administrator", or as the account FLEET_USER names
// ("DOMAIN\user" or "user"). A token made by LogonUserW with LOGON32_LOGON_NEW_CREDENTIALS
// keeps the local identity and carries the given credentials for network use only.
#pragma once

#include "winport/WinTypes.h"

#include <string>

#define LOGON32_LOGON_INTERACTIVE 2
#define LOGON32_LOGON_NETWORK 3
#define LOGON32_LOGON_BATCH 4
#define LOGON32_LOGON_SERVICE 5
#define LOGON32_LOGON_NEW_CREDENTIALS 9
#define LOGON32_PROVIDER_DEFAULT 0
#define LOGON32_PROVIDER_WINNT50 3

#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ALL_ACCESS 0xF01FF

enum SECURITY_IMPERSONATION_LEVEL
{
    SecurityAnonymous,
    SecurityIdentification,
    SecurityImpersonation,
    SecurityDelegation
};

BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logonType,
                DWORD logonProvider, PHANDLE token);
BOOL ImpersonateLoggedOnUser(HANDLE token);
BOOL RevertToSelf();
// Only the calling thread (thread null): a token to impersonate, or null to revert.
BOOL SetThreadToken(PHANDLE thread, HANDLE token);
// ERROR_NO_TOKEN (1008) when the thread is not impersonating.
BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, PHANDLE token);
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL DuplicateToken(HANDLE token, SECURITY_IMPERSONATION_LEVEL level, PHANDLE duplicate);

// Privileges of a token. Administrators hold the debug, backup, restore and shutdown
// privileges (disabled until adjusted); others hold none of them.
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_QUERY 0x0008
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_DEBUG_NAME L"SeDebugPrivilege"
struct LUID
{
    DWORD LowPart;
    LONG HighPart;
};
typedef LUID* PLUID;
struct LUID_AND_ATTRIBUTES
{
    LUID Luid;
    DWORD Attributes;
};
struct TOKEN_PRIVILEGES
{
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
typedef TOKEN_PRIVILEGES* PTOKEN_PRIVILEGES;
// ERROR_NO_SUCH_PRIVILEGE (1313) for a name it does not know.
BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid);
// Succeeds when the token was opened with TOKEN_ADJUST_PRIVILEGES; the last error is then
// ERROR_NOT_ALL_ASSIGNED (1300) when the token lacks a privilege it was asked to change.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                           DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                           LPDWORD returnLength);

// SIDs: the well-known ones the system builds.
typedef void* PSID;
struct SID_IDENTIFIER_AUTHORITY
{
    BYTE Value[6];
};
#define SECURITY_NT_AUTHORITY                                                                      \
    {                                                                                              \
        {                                                                                          \
            0, 0, 0, 0, 0, 5                                                                       \
        }                                                                                          \
    }
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020L
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220L
#define DOMAIN_ALIAS_RID_USERS 0x00000221L
#define SECURITY_LOCAL_SYSTEM_RID 0x00000012L
BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE count, DWORD a0, DWORD a1,
                              DWORD a2, DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7,
                              PSID* sid);
PSID FreeSid(PSID sid);
DWORD GetLengthSid(PSID sid);
BOOL IsValidSid(PSID sid);
BOOL EqualSid(PSID a, PSID b);
BOOL CheckTokenMembership(HANDLE token, PSID sid, LPBOOL isMember);

// Security descriptors with one access-allowed list.
#define SECURITY_DESCRIPTOR_REVISION 1
#define ACL_REVISION 2
#define SECURITY_DESCRIPTOR_MIN_LENGTH 64
struct ACL
{
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
typedef ACL* PACL;
struct ACCESS_ALLOWED_ACE_HEADER
{
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
    DWORD Mask;
};
typedef void* PSECURITY_DESCRIPTOR;
struct GENERIC_MAPPING
{
    DWORD GenericRead;
    DWORD GenericWrite;
    DWORD GenericExecute;
    DWORD GenericAll;
};
struct PRIVILEGE_SET
{
    DWORD PrivilegeCount;
    DWORD Control;
    DWORD Luid[3];
};
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL defaulted);
BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL defaulted);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                               BOOL defaulted);
BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor);
BOOL InitializeAcl(PACL acl, DWORD length, DWORD revision);
BOOL AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid);
void MapGenericMask(LPDWORD mask, GENERIC_MAPPING* mapping);
// Grants the rights that access-allowed entries for the token's groups give.
BOOL AccessCheck(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD desired,
                 GENERIC_MAPPING* mapping, PRIVILEGE_SET* privileges, LPDWORD privilegesLength,
                 LPDWORD granted, LPBOOL status);

namespace winport::security
{
// The network credentials of the calling thread: those of its impersonation token, else empty
// (the process's own identity).
void ThreadNetworkCredentials(std::wstring& user, std::wstring& password);
// The credentials of the account the calling thread impersonates through a logon that checked
// them (not one that only carries network credentials); false when it acts as the process.
bool ThreadLogonCredentials(std::wstring& user, std::wstring& password);
// "DOMAIN\user" of the process's own identity.
std::wstring ProcessAccount();
// The account and password of a token made by a logon that checked them; false for others.
bool TokenLogonCredentials(HANDLE token, std::wstring& user, std::wstring& password);
// Whether the calling thread's token (impersonated, else the process's) has a privilege on.
bool ThreadPrivilegeEnabled(DWORD luid);
} // namespace winport::security
