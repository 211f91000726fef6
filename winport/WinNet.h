// Network subset: connections to other machines' shares, share and join information, domain
// controller lookup, computer names and system facts.
#pragma once

#include "winport/WinTypes.h"

// WNet connections, per process. Access to a share is checked on the target with the
// connection's credentials; a second, different account to the same server is refused (1219).
#define RESOURCETYPE_ANY 0x00000000
#define RESOURCETYPE_DISK 0x00000001
#define RESOURCE_CONNECTED 0x00000001
#define RESOURCEDISPLAYTYPE_SHARE 0x00000003
#define RESOURCEUSAGE_CONNECTABLE 0x00000001
#define CONNECT_UPDATE_PROFILE 0x00000001
#define CONNECT_TEMPORARY 0x00000004

struct NETRESOURCEW
{
    DWORD dwScope;
    DWORD dwType;
    DWORD dwDisplayType;
    DWORD dwUsage;
    LPWSTR lpLocalName;
    LPWSTR lpRemoteName;
    LPWSTR lpComment;
    LPWSTR lpProvider;
};
typedef NETRESOURCEW* LPNETRESOURCEW;

DWORD WNetAddConnection2W(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR user, DWORD flags);
DWORD WNetCancelConnection2W(LPCWSTR name, DWORD flags, BOOL force);
DWORD WNetOpenEnumW(DWORD scope, DWORD type, DWORD usage, LPNETRESOURCEW resource, LPHANDLE enumeration);
// Fills buffer with NETRESOURCEW entries followed by their texts; ERROR_NO_MORE_ITEMS at the end.
DWORD WNetEnumResourceW(HANDLE enumeration, LPDWORD count, LPVOID buffer, LPDWORD bufferSize);
DWORD WNetCloseEnum(HANDLE enumeration);

// Net API.
typedef DWORD NET_API_STATUS;
#define MAX_PREFERRED_LENGTH ((DWORD)-1)
#define STYPE_DISKTREE 0
#define STYPE_SPECIAL 0x80000000
struct SHARE_INFO_2
{
    LPWSTR shi2_netname;
    DWORD shi2_type;
    LPWSTR shi2_remark;
    DWORD shi2_permissions;
    DWORD shi2_max_uses;
    DWORD shi2_current_uses;
    LPWSTR shi2_path;
    LPWSTR shi2_passwd;
};
// Levels 1 and 2 (the level-1 fields are the first three of level 2).
NET_API_STATUS NetShareGetInfo(LPWSTR server, LPWSTR share, DWORD level, LPBYTE* buffer);
enum NETSETUP_JOIN_STATUS
{
    NetSetupUnknownStatus = 0,
    NetSetupUnjoined,
    NetSetupWorkgroupName,
    NetSetupDomainName
};
NET_API_STATUS NetGetJoinInformation(LPCWSTR server, LPWSTR* name, NETSETUP_JOIN_STATUS* status);
NET_API_STATUS NetApiBufferFree(LPVOID buffer);

#define DS_DIRECTORY_SERVICE_REQUIRED 0x00000010
#define DS_RETURN_DNS_NAME 0x40000000
#define DS_RETURN_FLAT_NAME 0x80000000
struct DOMAIN_CONTROLLER_INFOW
{
    LPWSTR DomainControllerName;
    LPWSTR DomainControllerAddress;
    ULONG DomainControllerAddressType;
    GUID DomainGuid;
    LPWSTR DomainName;
    LPWSTR DnsForestName;
    ULONG Flags;
    LPWSTR DcSiteName;
    LPWSTR ClientSiteName;
};
typedef DOMAIN_CONTROLLER_INFOW* PDOMAIN_CONTROLLER_INFOW;
DWORD DsGetDcNameW(LPCWSTR computer, LPCWSTR domain, GUID* domainGuid, LPCWSTR site, ULONG flags,
                   PDOMAIN_CONTROLLER_INFOW* info);

// Computer names.
enum COMPUTER_NAME_FORMAT
{
    ComputerNameNetBIOS,
    ComputerNameDnsHostname,
    ComputerNameDnsDomain,
    ComputerNameDnsFullyQualified,
    ComputerNamePhysicalNetBIOS,
    ComputerNamePhysicalDnsHostname,
    ComputerNamePhysicalDnsDomain,
    ComputerNamePhysicalDnsFullyQualified
};
BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);
BOOL GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD size);

// Version and processor facts of the machine.
struct OSVERSIONINFOEXW
{
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
struct OSVERSIONINFOW
{
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};
#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 1
#define VER_NT_DOMAIN_CONTROLLER 2
#define VER_NT_SERVER 3
#define VER_SUITE_ENTERPRISE 0x00000002
BOOL GetVersionExW(OSVERSIONINFOW* info); // takes an OSVERSIONINFOEXW when its size says so

#define PROCESSOR_ARCHITECTURE_INTEL 0
#define PROCESSOR_ARCHITECTURE_AMD64 9
struct SYSTEM_INFO
{
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};
void GetSystemInfo(SYSTEM_INFO* info);
void GetNativeSystemInfo(SYSTEM_INFO* info);
