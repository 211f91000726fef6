// Windows access to target servers: registry keys on this or another machine, impersonation of
// the logon account, network connections to shares, names, the administrator check, and a
// dump of system facts into the log.
#pragma once

#include "winport/WinProcess.h"
#include "winport/WinReg.h"

#include <string>
#include <vector>

// Access masks of the registry helpers: read, write, and each in the 64-bit view.
constexpr REGSAM kRegistryRead = 0x20019;
constexpr REGSAM kRegistryWrite = 0x20006;
constexpr REGSAM kRegistry64 = 0x100;

class CRegistryKey
{
public:
    CRegistryKey() = default;
    ~CRegistryKey() { Close(); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // A server name that is empty, "localhost", "::1", "127.*" or "*.localhost" is this machine;
    // any other goes through the remote registry connection.
    int Open(const std::wstring& server, HKEY root, const std::wstring& subKey, REGSAM access);
    int Open(HKEY root, const std::wstring& subKey, REGSAM access);
    int Open(CRegistryKey& parent, const std::wstring& subKey, REGSAM access);
    void Close();

    int IsValueExist(const std::wstring& name);
    std::wstring ReadString(const std::wstring& name);
    DWORD ReadDWORD(const std::wstring& name, DWORD fallback);
    void WriteString(const std::wstring& name, const std::wstring& text);
    void WriteDWORD(const std::wstring& name, DWORD value);
    std::vector<std::wstring> EnumerateSubKeys();
    std::vector<std::wstring> EnumerateValues();
    int32_t GetLastError() const { return m_iLastError; }
    const std::wstring& GetDescription() const { return m_strDescription; }
    bool IsOpen() const { return m_hKey != nullptr; }

    static bool IsLocalServerName(const std::wstring& server);

private:
    HKEY m_hKey = nullptr;
    REGSAM m_AccessMask = 0;
    int32_t m_iLastError = 0;
    std::wstring m_strDescription;
};

class CImpersonateUser
{
public:
    // Nothing happens for an empty user name.
    CImpersonateUser(const std::wstring& domain, const std::wstring& user,
                     const std::wstring& password, DWORD logonType);
    ~CImpersonateUser();
    CImpersonateUser(const CImpersonateUser&) = delete;
    CImpersonateUser& operator=(const CImpersonateUser&) = delete;

    // Returns 1 when the thread no longer impersonates.
    int RevertBack();
    bool IsImpersonating() const { return m_bImpersonating != 0; }

private:
    DWORD m_dwLogonType;
    HANDLE m_hToken = nullptr;
    // What the thread impersonated before, given back at the revert: impersonations nest (the
    // backwards query thread impersonates for its life and again around each answer).
    HANDLE m_hPreviousToken = nullptr;
    int m_bImpersonating = 0;
};

class CWin32API
{
public:
    static std::wstring RegReadStringValue(HKEY root, const std::wstring& subKey,
                                           const std::wstring& name);
    static void RegWriteStringValue(HKEY root, const std::wstring& subKey, const std::wstring& name,
                                    const std::wstring& text);
    static std::wstring RegReadStringValue_WOW6464Key(HKEY root, const std::wstring& subKey,
                                                      const std::wstring& name);
    static void RegWriteStringValue_WOW6464Key(HKEY root, const std::wstring& subKey,
                                               const std::wstring& name, const std::wstring& text);
    static DWORD RegReadDwordValue_WOW6464Key(HKEY root, const std::wstring& subKey,
                                              const std::wstring& name, DWORD fallback);
    static void RegWriteDwordValue_WOW6464Key(HKEY root, const std::wstring& subKey,
                                              const std::wstring& name, DWORD value);
    // Opened for reading: enumerating values needs read access.
    static int RegIsValueExist_WOW6464Key(HKEY root, const std::wstring& subKey,
                                          const std::wstring& name);

    static void PickupDomainUsername(const std::wstring& fullName, std::wstring& domain,
                                     std::wstring& user);
    static std::wstring GetLocalComputerName();
    static std::wstring GetDnsHostName();
    static std::wstring GetDomainNameOfLocalComputer();
    static std::wstring GetDomainNameOfTargetComputer(const std::wstring& server);
    static int NetworkCredentialImpersonateBegin(const std::wstring& fullUser,
                                                 const std::wstring& password);
    static void NetworkCredentialImpersonateEnd();
    static DWORD EstablishWNetConnection(const std::wstring& server, const std::wstring& user,
                                         const std::wstring& password, const std::wstring& share);
    static void CloseWNetConnection(const std::wstring& server, const std::wstring& share);
    static void DisconnectAllWNetConncetionsForServer(const std::wstring& server);
    static bool IsRemoteResourceLocateOnServer(const std::wstring& remoteName,
                                               const std::wstring& serverPrefix);
    static int IsCurrentUserLocalAdministrator();
    static void DumpSystemInformationToDebugLog();
    // Starts a program without a window and without inherited handles.
    static BOOL CreateHiddenProcess(std::wstring commandLine, const wchar_t* currentFolder,
                                    PROCESS_INFORMATION& process);

private:
    CWin32API() = delete;
};
