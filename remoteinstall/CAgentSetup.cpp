#include "remoteinstall/CAgentSetup.h"

#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/CWin32API.h"
#include "setupsupport/CFileSupport.h"
#include "winport/WinFile.h"
#include "winport/WinNet.h"
#include "winport/WinProcess.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <algorithm>
#include <functional>

CSimpleCriticalSection CAgentSetup::m_RemoteFileSyncLock;
std::vector<std::wstring> CAgentSetup::m_SynchronizedFiles;
std::wstring CAgentSetup::m_strSyncLocalRoot;

namespace
{

const wchar_t kBootstrapService[] = L"HalvornInstallBootstrap";
const wchar_t kBootstrapDisplay[] = L"Halvorn Install Bootstrap";
const wchar_t kAgentService[] = L"HalvornInstallAgent";
const wchar_t kAgentDisplay[] = L"Halvorn Install Agent";
const wchar_t kAgentProgram[] = L"agenthost.exe";
const wchar_t kAgentRunningEvent[] = L"PRVL_REMOTE_INSTALL_AGENT_IS_RUNNING_EVENT";
// The status of a service being awaited is asked this often (Windows code asks back to back).
constexpr DWORD kStatusPollMs = 50;

std::wstring Text(const wchar_t* id)
{
    return GetFrameworkGlobalVariables()->m_StringBundler.GetString(id);
}

std::wstring Truncated(const std::wstring& text, size_t length)
{
    return text.size() > length ? text.substr(0, length) : text;
}

class CServiceHandle
{
public:
    explicit CServiceHandle(SC_HANDLE handle = nullptr) : m_hHandle(handle) {}
    ~CServiceHandle()
    {
        if (m_hHandle != nullptr)
            CloseServiceHandle(m_hHandle);
    }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;
    void Reset(SC_HANDLE handle)
    {
        if (m_hHandle != nullptr)
            CloseServiceHandle(m_hHandle);
        m_hHandle = handle;
    }
    SC_HANDLE Get() const { return m_hHandle; }

private:
    SC_HANDLE m_hHandle;
};

enum class EServiceWait
{
    Reached,
    QueryFailed,
    TimedOut
};

// Asks the service's state until reached(state) holds, a query fails or timeoutSeconds have
// passed; each caller logs the outcome in its own words.
EServiceWait WaitForServiceState(SC_HANDLE service, int timeoutSeconds,
                                 bool (*reached)(DWORD state))
{
    ULONGLONG start = GetTickCount64();
    for (;;)
    {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service, &status))
            return EServiceWait::QueryFailed;
        if (reached(status.dwCurrentState))
            return EServiceWait::Reached;
        if (GetTickCount64() - start >= static_cast<ULONGLONG>(timeoutSeconds) * 1000)
            return EServiceWait::TimedOut;
        Sleep(kStatusPollMs);
    }
}

bool IsStopped(DWORD state)
{
    return state == SERVICE_STOPPED;
}

// Calls attempt until it succeeds, fails other than with a sharing violation (its error is
// returned), or has met one 10 times; each sharing violation is told to violated, with the
// attempt's number, before the pause.
DWORD RetryOnSharingViolation(const std::function<bool()>& attempt, DWORD pauseMs,
                              const std::function<void(int)>& violated)
{
    for (int number = 1;; ++number)
    {
        if (attempt())
            return ERROR_SUCCESS;
        DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION)
            return error;
        violated(number);
        if (number >= 10)
            return error;
        Sleep(pauseMs);
    }
}

} // namespace

std::wstring CAgentSetup::MachineArgument() const
{
    return L"\\\\" + m_strHostName;
}

std::vector<std::wstring> CAgentSetup::PackageFileList(const std::wstring& branch)
{
    return {L"Setup.exe",
            L"rolloutui.exe",
            L"agenthost.exe",
            L"fleetkit.dll",
            L"rolloutengine.dll",
            L"lang.dat",
            L"VCRedist_X86.exe",
            L"VCRedist_AMD64.exe",
            branch + L"\\probestub.dll",
            branch + L"\\probeinvoker.exe",
            branch + L"\\fleetkit.dll"};
}

int CAgentSetup::RemoteInstallBegin(const std::wstring& serverName, const std::wstring& branch)
{
    m_strErrorMessage.clear();
    if (m_bAgentRunning)
        return 1;
    m_strServerName = serverName;
    m_strHostName = serverName.find(L':') != std::wstring::npos
                        ? CStringSupport::ConvertIPv6AddressToDNSLiteralName(serverName)
                        : serverName;
    const wchar_t* server = m_strServerName.c_str();
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"RemoteInstallBegin(%s), Start install agent to target server",
           server);

    m_strShareName = GlobalProperties().GetProperty(L"Framework\\SharedFolderName");
    if (m_strShareName.empty())
        m_strShareName = L"ADMIN$";
    m_strShareUncRoot = CStringSupport::StringFormat(L"\\\\?\\UNC\\%s\\%s", m_strHostName.c_str(),
                                                     m_strShareName.c_str());
    m_strInstallFolderRelative = CStringSupport::StringTrim(
        GlobalProperties().GetProperty(L"Framework\\LaunchRootRelative"), L" \t");
    if (m_strInstallFolderRelative.empty())
        m_strInstallFolderRelative = L"Temp\\HalvornRemoteInstall";

    std::wstring netServer = Truncated(L"\\\\" + m_strHostName, MAX_PATH);
    std::wstring netShare = Truncated(m_strShareName, MAX_PATH);
    LPBYTE buffer = nullptr;
    NET_API_STATUS rc = NetShareGetInfo(netServer.data(), netShare.data(), 2, &buffer);
    if (rc == NERR_Success && buffer != nullptr)
    {
        auto* info = reinterpret_cast<SHARE_INFO_2*>(buffer);
        std::wstring path = info->shi2_path != nullptr ? info->shi2_path : L"";
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"RemoteInstallBegin(%s), NetShareGetInfo(%s) succeed, returned local path is %s",
               server, m_strShareName.c_str(), path.c_str());
        m_strInstallFolderLocal = CStringSupport::PathCombinePath(path, m_strInstallFolderRelative);
        NetApiBufferFree(buffer);
    }
    else
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"RemoteInstallBegin(%s), NetShareGetInfo(%s) failed, err=%d",
               server, m_strShareName.c_str(), static_cast<int>(rc));
        if (buffer != nullptr)
            NetApiBufferFree(buffer);
        if (_wcsicmp(m_strShareName.c_str(), L"ADMIN$") == 0)
            m_strInstallFolderLocal =
                CStringSupport::PathCombinePath(L"%SYSTEMROOT%", m_strInstallFolderRelative);
        else if (m_strShareName.size() == 2 && m_strShareName[1] == L'$')
            m_strInstallFolderLocal = CStringSupport::PathCombinePath(
                m_strShareName.substr(0, 1) + L":", m_strInstallFolderRelative);
        else
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"RemoteInstallBegin(%s), unable to retrieve local path for shared folder %s",
                   server, m_strShareName.c_str());
            m_strErrorMessage = CStringSupport::StringFormat(
                Text(L"BACKEND_CHECK_ERR_DETECT_LOCAL_PATH").c_str(), m_strShareName.c_str());
            return 0;
        }
    }

    m_strInstallFolderUnc =
        CStringSupport::PathCombinePath(m_strShareUncRoot, m_strInstallFolderRelative);
    m_strSourceRoot = CStringSupport::PathGetRunningExeFileRootPath();
    // A front end that runs from elsewhere names the package folder.
    std::wstring packageRoot = GlobalProperties().GetProperty(L"Framework\\PackageRoot");
    if (!packageRoot.empty())
        m_strSourceRoot = packageRoot;
    m_strPackageBranch = branch;

    const std::pair<std::wstring, std::wstring> folders[] = {
        {m_strShareUncRoot, m_strInstallFolderRelative}, {m_strInstallFolderUnc, branch}};
    for (const auto& [root, relative] : folders)
        if (!CFileSupport::CreateDirectoryRecursively(root, relative))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"RemoteInstallBegin(%s), CFileSupport::CreateDirectoryRecursively(%s, %s) "
                   L"failed",
                   server, root.c_str(), relative.c_str());
            m_strErrorMessage = CStringSupport::StringFormat(
                Text(L"BACKEND_CHECK_ERR_CREATE_REMOTE_DIRECTORY").c_str(),
                CStringSupport::PathCombinePath(root, relative).c_str());
            return 0;
        }

    std::vector<std::wstring> files = PackageFileList(branch);
    if (GlobalProperties().GetPropertyInt(L"Framework\\ProgramStartFromNetwork") != 0)
    {
        std::wstring local = GetSynchronizeLocalRoot();
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"Program is started from network folder, will synchronize setup files to local "
               L"folder (%s)",
               local.c_str());
        SynchronizeRemoteFiles(files);
        m_strSourceRoot = local;
    }

    for (const std::wstring& name : files)
    {
        std::wstring source = CStringSupport::PathCombinePath(m_strSourceRoot, name);
        std::wstring target = CStringSupport::PathCombinePath(m_strInstallFolderUnc, name);
        if (!CopyPackageFile(source, target))
            return 0;
    }

    if (!DeployBootstrap())
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"RemoteInstallBegin(%s), DeployBootstrap failed", server);
        m_strErrorMessage = Text(L"BACKEND_CHECK_ERR_START_BOOTSTRAP");
        return 0;
    }
    if (!DeployAgent())
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"RemoteInstallBegin(%s), DeployAgent failed", server);
        m_strErrorMessage = Text(L"BACKEND_CHECK_ERR_START_AGENT");
        return 0;
    }
    m_bAgentRunning = 1;
    return 1;
}

// One file of the package list; false only when the setup has to fail.
bool CAgentSetup::CopyPackageFile(const std::wstring& source, const std::wstring& target)
{
    const wchar_t* server = m_strServerName.c_str();
    if (GetFileAttributesW(source.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"RemoteInstallBegin(%s), A package file is missing or setup is started from an "
               L"UNC folder. File path is %s",
               server, source.c_str());
        return true;
    }
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
    {
        SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        if (!DeleteFileW(target.c_str()))
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"RemoteInstallBegin(%s), File '%s' is already exist and setup program was "
                   L"unable to delete it. dwLastError is %d",
                   server, target.c_str(), static_cast<int>(GetLastError()));
            return true;
        }
    }
    for (int retry = 0;; ++retry)
    {
        if (CopyFileW(source.c_str(), target.c_str(), FALSE))
        {
            ADVLOG(ADVLOG_SEVERITY_NOISY, L"RemoteInstallBegin(%s), CopyFile succeed. %s -> %s",
                   server, source.c_str(), target.c_str());
            return true;
        }
        DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"RemoteInstallBegin(%s), File '%s' is copied by another server thread. This "
                   L"happened when two or more server names point to same physical machine",
                   server, target.c_str());
            return true;
        }
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"RemoteInstallBegin(%s), CopyFile failed. Target file is '%s', dwLastError "
                   L"is %d, will retry %d/%d",
                   server, target.c_str(), static_cast<int>(error), retry, 10);
            if (retry < 10)
            {
                Sleep(500);
                continue;
            }
        }
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"RemoteInstallBegin(%s), CopyFile failed. %s -> %s, dwLastError is %d", server,
               source.c_str(), target.c_str(), static_cast<int>(error));
        m_strErrorMessage = CStringSupport::StringFormat(
            Text(L"BACKEND_CHECK_ERR_COPY_FILE").c_str(), target.c_str());
        return false;
    }
}

int CAgentSetup::DeployBootstrap()
{
    const wchar_t* server = m_strServerName.c_str();
    if (!InstallAndStartRemoteService(kBootstrapService, kBootstrapDisplay, L"Setup.exe"))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"DeployBootstrap(%s), InstallAndStartRemoteService(%s) failed", server,
               kBootstrapService);
        return 0;
    }
    if (!WaitUntilRemoteServiceStopped(kBootstrapService, 300))
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"DeployBootstrap(%s), WaitUntilRemoteServiceStopped(%s) failed", server,
               kBootstrapService);
    if (!StopAndDeleteRemoteService(kBootstrapService, 60))
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"DeployBootstrap(%s), StopAndDeleteRemoteService(%s) failed", server,
               kBootstrapService);
    return 1;
}

int CAgentSetup::DeployAgent()
{
    int result = InstallAndStartRemoteService(kAgentService, kAgentDisplay, kAgentProgram);
    if (!result)
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"DeployAgent(%s), InstallAndStartRemoteService(%s) failed",
               m_strServerName.c_str(), kAgentService);
    return result;
}

int CAgentSetup::InstallAndStartRemoteService(const std::wstring& serviceName,
                                              const std::wstring& displayName,
                                              const std::wstring& programFileName)
{
    const wchar_t* server = m_strServerName.c_str();
    const wchar_t* service = serviceName.c_str();
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"InstallAndStartRemoteService, on server %s will install and start service (%s)",
           server, service);
    std::wstring machine = MachineArgument();
    CServiceHandle manager(OpenSCManagerW(machine.c_str(), nullptr, GENERIC_WRITE));
    if (manager.Get() == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"InstallAndStartRemoteService, OpenSCManager(%s) failed",
               server);
        return 0;
    }
    std::wstring binPath =
        CStringSupport::PathCombinePath(m_strInstallFolderLocal, programFileName);
    CServiceHandle handle;
    DWORD error = RetryOnSharingViolation(
        [&]
        {
            handle.Reset(CreateServiceW(manager.Get(), service, displayName.c_str(),
                                        GENERIC_READ | GENERIC_EXECUTE, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binPath.c_str(),
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
            return handle.Get() != nullptr;
        },
        500,
        [&](int attempt)
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"InstallAndStartRemoteService, CreateService(%s) failed, Server is %s, "
                   L"dwLastErr is ERROR_SHARING_VIOLATION, will wait a second and try again",
                   service, server);
            if (attempt >= 10)
                ADVLOG(ADVLOG_SEVERITY_ERROR,
                       L"InstallAndStartRemoteService, CreateService(%s) failed, retry %d times, "
                       L"will abort",
                       service, 10);
        });
    if (error == ERROR_SERVICE_EXISTS)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"InstallAndStartRemoteService, on server %s service (%s) is already exist, "
               L"skip create it again",
               server, service);
        handle.Reset(OpenServiceW(manager.Get(), service, GENERIC_READ | GENERIC_EXECUTE));
        if (handle.Get() == nullptr)
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"InstallAndStartRemoteService, on server %s service (%s) is already "
                   L"exist, but failed to open",
                   server, service);
            return 0;
        }
    }
    else if (error == ERROR_SHARING_VIOLATION)
        return 0;
    else if (error != ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"InstallAndStartRemoteService, CreateService(%s) failed, Server is %s, strBinPath "
               L"is %s, dwLastErr is %d",
               service, server, binPath.c_str(), static_cast<int>(error));
        return 0;
    }

    error = RetryOnSharingViolation(
        [&] { return StartServiceW(handle.Get(), 0, nullptr) != FALSE; }, 1000,
        [&](int attempt)
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"InstallAndStartRemoteService, StartService(%s) failed, Server is %s, "
                   L"dwLastErr is ERROR_SHARING_VIOLATION, will wait a second and try again",
                   service, server);
            if (attempt >= 10)
                ADVLOG(ADVLOG_SEVERITY_ERROR,
                       L"InstallAndStartRemoteService, StartService(%s) failed, retry %d times, "
                       L"will abort",
                       service, 10);
        });
    if (error == ERROR_SERVICE_ALREADY_RUNNING)
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"InstallAndStartRemoteService, on server %s service (%s) is already running, "
               L"skip start it again",
               server, service);
    else if (error == ERROR_SHARING_VIOLATION)
        return 0;
    else if (error != ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"InstallAndStartRemoteService, StartService(%s) failed, Server is %s, strBinPath "
               L"is %s, dwLastErr is %d",
               service, server, binPath.c_str(), static_cast<int>(error));
        return 0;
    }

    ULONGLONG start = GetTickCount64();
    EServiceWait waited = WaitForServiceState(
        handle.Get(), 20,
        [](DWORD state) { return state == SERVICE_RUNNING || state == SERVICE_STOPPED; });
    if (waited == EServiceWait::QueryFailed)
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"InstallAndStartRemoteService, QueryServiceStatus return FALSE, service is %s, "
               L"server is %s",
               service, server);
    else if (waited == EServiceWait::TimedOut)
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"InstallAndStartRemoteService, wait timeout. timeout is %d seconds, service "
               L"is %s, server is %s",
               static_cast<int>((GetTickCount64() - start) / 1000), service, server);
    return 1;
}

int CAgentSetup::StopAndDeleteRemoteService(const std::wstring& serviceName, int timeoutSeconds)
{
    const wchar_t* server = m_strServerName.c_str();
    const wchar_t* service = serviceName.c_str();
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"StopAndDeleteRemoteService, stop and delete service (%s) on "
           L"server %s",
           service, server);
    std::wstring machine = MachineArgument();
    CServiceHandle manager(OpenSCManagerW(machine.c_str(), nullptr, GENERIC_WRITE));
    if (manager.Get() == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"StopAndDeleteRemoteService, OpenSCManager(%s) failed",
               server);
        return 0;
    }
    CServiceHandle handle(OpenServiceW(manager.Get(), service,
                                       GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | DELETE));
    if (handle.Get() == nullptr)
    {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
        {
            ADVLOG(ADVLOG_SEVERITY_DEBUG,
                   L"StopAndDeleteRemoteService, on server %s service (%s) doesn't exist, skip "
                   L"delete it again",
                   server, service);
            return 1;
        }
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"StopAndDeleteRemoteService, OpenService(%s) failed, Server "
               L"is %s",
               service, server);
        return 0;
    }
    SERVICE_STATUS status = {};
    if (!ControlService(handle.Get(), SERVICE_CONTROL_STOP, &status))
    {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
            ADVLOG(ADVLOG_SEVERITY_DEBUG,
                   L"StopAndDeleteRemoteService, on server %s service (%s) is not running, skip "
                   L"stop it again",
                   server, service);
        else
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"StopAndDeleteRemoteService, Stop service(%s) failed, Server is %s", service,
                   server);
    }
    EServiceWait waited = WaitForServiceState(handle.Get(), timeoutSeconds, IsStopped);
    if (waited == EServiceWait::QueryFailed)
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"StopAndDeleteRemoteService, QueryServiceStatus return FALSE, service is %s, "
               L"server is %s, dwLastErr is %d",
               service, server, static_cast<int>(GetLastError()));
    else if (waited == EServiceWait::Reached)
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"StopAndDeleteRemoteService, Service(%s) is stopped, Server is %s", service,
               server);
    else
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"StopAndDeleteRemoteService, wait timeout. timeout is %d seconds, service is "
               L"%s, server is %s",
               timeoutSeconds, service, server);
    if (!DeleteService(handle.Get()))
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"StopAndDeleteRemoteService, DeleteService failed, service is %s, server is %s, "
               L"dwLastErr is %d",
               service, server, static_cast<int>(GetLastError()));
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"StopAndDeleteRemoteService, service (%s) is stopped and deleted, server is %s",
           service, server);
    return 1;
}

int CAgentSetup::WaitUntilRemoteServiceStopped(const std::wstring& serviceName, int timeoutSeconds)
{
    const wchar_t* server = m_strServerName.c_str();
    const wchar_t* service = serviceName.c_str();
    std::wstring machine = MachineArgument();
    CServiceHandle manager(OpenSCManagerW(machine.c_str(), nullptr, GENERIC_READ));
    if (manager.Get() == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"WaitUntilRemoteServiceStopped, OpenSCManager(%s) failed",
               server);
        return 0;
    }
    CServiceHandle handle(OpenServiceW(manager.Get(), service, GENERIC_READ));
    if (handle.Get() == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"WaitUntilRemoteServiceStopped, OpenService(%s) failed, Server is %s", service,
               server);
        return 0;
    }
    switch (WaitForServiceState(handle.Get(), timeoutSeconds, IsStopped))
    {
    case EServiceWait::QueryFailed:
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"WaitUntilRemoteServiceStopped, QueryServiceStatus return FALSE, service is "
               L"%s, server is %s",
               service, server);
        return 0;
    case EServiceWait::Reached:
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"WaitUntilRemoteServiceStopped, Service(%s) is stopped, Server is %s", service,
               server);
        return 1;
    case EServiceWait::TimedOut:
        break;
    }
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"WaitUntilRemoteServiceStopped, wait timeout. timeout is %d seconds, service "
           L"is %s, server is %s",
           timeoutSeconds, service, server);
    return 0;
}

int CAgentSetup::LocalInstallBegin(const std::wstring& branch)
{
    m_strErrorMessage.clear();
    m_hAgentProcess = nullptr;
    if (m_bAgentRunning)
        return 1;
    m_strServerName = m_strHostName = CWin32API::GetDnsHostName();
    m_strInstallFolderLocal = m_strInstallFolderUnc = m_strSourceRoot =
        CStringSupport::PathGetRunningExeFileRootPath();
    m_strInstallFolderRelative.clear();
    m_strPackageBranch = branch;
    m_strShareName.clear();
    m_strShareUncRoot.clear();
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"LocalInstallBegin(%s), Start local install agent",
           m_strServerName.c_str());

    HANDLE running = CreateEventW(nullptr, TRUE, FALSE, kAgentRunningEvent);
    if (running != nullptr && WaitForSingleObject(running, 0) != WAIT_OBJECT_0)
    {
        std::wstring program =
            Truncated(CStringSupport::PathCombinePath(m_strSourceRoot, kAgentProgram), 520);
        std::wstring commandLine = CStringSupport::StringFormat(L"\"%s\"", program.c_str());
        PROCESS_INFORMATION process = {};
        if (!CWin32API::CreateHiddenProcess(commandLine, m_strSourceRoot.c_str(), process))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"LocalInstallBegin(%s), Unable to start program: %s  Last error code is %d",
                   m_strServerName.c_str(), program.c_str(), static_cast<int>(GetLastError()));
            CloseHandle(running);
            return 0;
        }
        if (WaitForSingleObject(running, 10000) != WAIT_OBJECT_0)
            ADVLOG_UNEXPECTED_BRANCH(L"CAgentSetup::LocalInstallBegin");
        CloseHandle(process.hThread);
        m_hAgentProcess = process.hProcess;
    }
    if (running != nullptr)
        CloseHandle(running);
    m_bAgentRunning = 1;
    return 1;
}

void CAgentSetup::LocalInstallEnd()
{
    if (!m_bAgentRunning || m_hAgentProcess == nullptr)
        return;
    TerminateProcess(m_hAgentProcess, 0);
    CloseHandle(m_hAgentProcess);
    m_hAgentProcess = nullptr;
    m_bAgentRunning = 0;
}

std::wstring CAgentSetup::GetSynchronizeLocalRoot()
{
    CCriticalSectionSentry guard(m_RemoteFileSyncLock);
    if (m_strSyncLocalRoot.empty())
    {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_strSyncLocalRoot = CStringSupport::PathCombinePath(
            temp, CStringSupport::StringFormat(L"HalvornEntInstaller_%d",
                                               static_cast<int>(GetCurrentProcessId())));
        if (GetFileAttributesW(m_strSyncLocalRoot.c_str()) != INVALID_FILE_ATTRIBUTES)
            CFileSupport::RemoveDirectoryEx(m_strSyncLocalRoot);
        CFileSupport::CreateDirectoryRecursively(m_strSyncLocalRoot);
    }
    return m_strSyncLocalRoot;
}

int CAgentSetup::SynchronizeRemoteFiles(const std::vector<std::wstring>& names)
{
    std::wstring localRoot = GetSynchronizeLocalRoot();
    std::wstring remoteRoot = CStringSupport::PathGetRunningExeFileRootPath();
    CCriticalSectionSentry guard(m_RemoteFileSyncLock);
    std::vector<std::wstring> pending;
    for (const std::wstring& name : names)
        if (std::none_of(m_SynchronizedFiles.begin(), m_SynchronizedFiles.end(),
                         [&](const std::wstring& done)
                         { return CStringSupport::IsStringEqualIgnoreCase(done, name); }))
            pending.push_back(name);
    if (pending.empty())
        return 0;

    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, TRUE, &token))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"SynchronizeRemoteFilesToLocal(), OpenThreadToken failed, last error is %d",
               static_cast<int>(GetLastError()));
        return 0;
    }
    if (!SetThreadToken(nullptr, nullptr))
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"SynchronizeRemoteFilesToLocal(), SetThreadToken failed, last error is %d. Thread "
               L"is unable to revert to self",
               static_cast<int>(GetLastError()));
    for (const std::wstring& name : pending)
    {
        std::wstring folder = CStringSupport::PathGetPath(name);
        if (!folder.empty() && folder != name)
            CFileSupport::CreateDirectoryRecursively(localRoot, folder);
        std::wstring remote = CStringSupport::PathCombinePath(remoteRoot, name);
        std::wstring local = CStringSupport::PathCombinePath(localRoot, name);
        DWORD attributes = GetFileAttributesW(remote.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        {
            CFileSupportErrorHandle copied = CFileSupport::CopyDirectory(remote, local);
            if (!copied.IsSuccess())
                ADVLOG(ADVLOG_SEVERITY_ERROR,
                       L"Failed to download setup files to local. Folder is %s, error is %d",
                       remote.c_str(), static_cast<int>(GetLastError()));
        }
        else if (!CopyFileW(remote.c_str(), local.c_str(), TRUE))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"Failed to download setup file to local. File is %s, error is %d",
                   remote.c_str(), static_cast<int>(GetLastError()));
            continue;
        }
        m_SynchronizedFiles.push_back(name);
    }
    if (!SetThreadToken(nullptr, token))
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"SynchronizeRemoteFilesToLocal(), SetThreadToken failed, last error is %d. Thread "
               L"is unable to go back to previuos state",
               static_cast<int>(GetLastError()));
    CloseHandle(token);
    return 0;
}
