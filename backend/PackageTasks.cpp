// The tasks that start the package launcher on an agent, report whether it still runs, and have
// the agent remove itself.
#include "backend/BackendTasks.h"
#include "backend/CBackendMiscAPI.h"
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/BackwardsTaskQueue.h"
#include "remoteinstall/CWin32API.h"
#include "setupsupport/CFileSupport.h"
#include "setupsupport/CProcessOperation.h"
#include "winport/WinBase.h"
#include "winport/WinProcess.h"

#include <cwctype>
#include <mutex>
#include <vector>

namespace
{

const wchar_t kRunningHandleKey[] = L"Framework\\PackageRunningHandle";
const wchar_t kLastProgressKey[] = L"Framework\\PackageLastProgressMsg";
const wchar_t kAgentStopEvent[] = L"PRVL_REMOTE_INSTALL_AGENT_STOP_EVENT";
const DWORD kLauncherWatchMs = 7200000;

// The key and the launcher's handle change together: the monitor thread closes the handle and
// clears the key, status tasks look at both.
std::mutex s_LauncherLock;

// Whether the recorded launcher still runs; an ended one's key is cleared. Called under the lock.
bool IsLauncherRunning()
{
    std::wstring text = GlobalProperties().GetProperty(kRunningHandleKey);
    if (text.empty())
        return false;
    HANDLE process =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(text.c_str(), nullptr, 10)));
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
        return true;
    GlobalProperties().SetProperty(kRunningHandleKey, L"");
    return false;
}

bool SerializeBase(ITaskSupport* task, CSerializeStream* stream, bool to, const wchar_t* function)
{
    int ok = to ? task->ITaskSupport::OnSerializeTo(stream)
                : task->ITaskSupport::OnSerializeFrom(stream);
    if (!ok)
        ADVLOG_UNEXPECTED_BRANCH(function);
    return ok != 0;
}

struct SMonitor
{
    HANDLE process;
    std::wstring serverName;
};

DWORD ThreadProc_MonitorPackageProcess(LPVOID parameter)
{
    std::unique_ptr<SMonitor> monitor(static_cast<SMonitor*>(parameter));
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"ThreadProc_MonitorPackageProcess, wait until package process is quit");
    ULONGLONG start = GetTickCount64();
    DWORD waited = WaitForSingleObject(monitor->process, kLauncherWatchMs);
    {
        std::lock_guard<std::mutex> guard(s_LauncherLock);
        CloseHandle(monitor->process);
        GlobalProperties().SetProperty(kRunningHandleKey, L"");
    }
    if (waited == WAIT_TIMEOUT)
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"ThreadProc_MonitorPackageProcess, Wait timeout. timeout seconds is %d", 7200);
    else
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"ThreadProc_MonitorPackageProcess, package install/uninstall finished. Elapsed "
               L"time is %d seconds",
               static_cast<int>((GetTickCount64() - start) / 1000));
    return 0;
}

DWORD ThreadProc_ShutdownAgent(LPVOID)
{
    Sleep(1000);
    // The clean-up removes the agent's folder: a package still running from it would lose its
    // files and its property file, and with them its rollback. No wizard takes its reports any
    // more, so they must not hold it up.
    CPassiveTaskList::Abandon();
    std::wstring folder = CStringSupport::PathGetRunningExeFileRootPath();
    if (!folder.empty())
        CTaskShutdownAgent::WaitForProgramsIn(folder, kLauncherWatchMs);
    CTaskShutdownAgent::StartDeleteServiceBat();
    HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, kAgentStopEvent);
    if (stop != nullptr)
    {
        SetEvent(stop);
        CloseHandle(stop);
    }
    return 0;
}

} // namespace

// ---- CTaskPackageDeploy ------------------------------------------------------------------------

int CTaskPackageDeploy::OnSerializeTo(CSerializeStream* stream)
{
    if (!SerializeBase(this, stream, true, L"CTaskPackageDeploy::OnSerializeTo"))
        return FALSE;
    stream->WriteInt(m_nDeployType);
    stream->WriteString(m_strPackageBranch);
    stream->WriteInt(m_bLaunched);
    stream->WriteString(m_strErrorMessage);
    stream->WriteString(m_strRelativeUninstallFolder);
    return TRUE;
}

int CTaskPackageDeploy::OnSerializeFrom(CSerializeStream* stream)
{
    if (!SerializeBase(this, stream, false, L"CTaskPackageDeploy::OnSerializeFrom"))
        return FALSE;
    m_nDeployType = stream->ReadInt();
    m_strPackageBranch = stream->ReadString();
    m_bLaunched = stream->ReadInt();
    m_strErrorMessage = stream->ReadString();
    m_strRelativeUninstallFolder = stream->ReadString();
    return TRUE;
}

void CTaskPackageDeploy::OnRun()
{
    m_bLaunched = 0;
    {
        std::lock_guard<std::mutex> guard(s_LauncherLock);
        if (IsLauncherRunning())
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"A package is already running");
            m_bLaunched = 1;
            return;
        }
    }
    if (LaunchPackageDeployProcess())
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"Start package succeed, deploy type is %d (0:install 1:uninstall), package branch "
               L"is %s",
               m_nDeployType, m_strPackageBranch.c_str());
        m_bLaunched = 1;
    }
    else
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"launch package failed, deploy type is %d (0:install 1:uninstall), package branch "
               L"is %s, error is '%s'",
               m_nDeployType, m_strPackageBranch.c_str(), m_strErrorMessage.c_str());
}

bool CTaskPackageDeploy::LaunchPackageDeployProcess()
{
    std::wstring folder, argument;
    if (m_nDeployType == DEPLOY_TYPE_UNINSTALL)
    {
        std::wstring root = CBackendMiscAPI::GetProductInstallRoot();
        if (root.empty())
        {
            ADVLOG_UNEXPECTED_BRANCH(L"CTaskPackageDeploy::LaunchPackageDeployProcess");
            m_strErrorMessage =
                CBackendMiscAPI::GetText(L"BACKEND_ERROR_CANNOT_FIND_PRODUCT_HOMEDIR");
            return false;
        }
        folder = CStringSupport::PathCombinePath(root, m_strRelativeUninstallFolder);
        argument = L"uninstall";
    }
    else
    {
        folder = CStringSupport::PathCombinePath(CStringSupport::PathGetRunningExeFileRootPath(),
                                                 m_strPackageBranch);
        argument = L"install";
    }
    std::wstring program = CStringSupport::PathCombinePath(folder, L"patchstarter.exe");
    std::wstring commandLine =
        CStringSupport::StringFormat(L"\"%s\" \"%s\"", program.c_str(), argument.c_str());
    if (commandLine.size() > 520)
        commandLine.resize(520);
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"LaunchPackageDeployProcess, start process '%s'",
           commandLine.c_str());
    PROCESS_INFORMATION process = {};
    if (!CWin32API::CreateHiddenProcess(commandLine, folder.c_str(), process))
    {
        DWORD error = GetLastError();
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"LaunchPackageDeployProcess, CreateProcess failed, szCmdLine is %s",
               commandLine.c_str());
        m_strErrorMessage = CStringSupport::StringFormat(
            CBackendMiscAPI::GetText(L"BACKEND_ERROR_RUN_PACKAGE_FAILED").c_str(),
            static_cast<int>(error), CStringSupport::ConvertWin32ErrorCodeToString(error).c_str(),
            commandLine.c_str());
        return false;
    }
    CloseHandle(process.hThread);
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"LaunchPackageDeployProcess, process started. Process id is %d, Process handle is "
           L"0x%08x",
           static_cast<int>(process.dwProcessId),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(process.hProcess)));
    {
        std::lock_guard<std::mutex> guard(s_LauncherLock);
        GlobalProperties().SetProperty(
            kRunningHandleKey, std::to_wstring(reinterpret_cast<uintptr_t>(process.hProcess)));
    }
    auto* monitor = new SMonitor{process.hProcess, m_strTargetServerName};
    HANDLE thread = CreateThread(nullptr, 0, ThreadProc_MonitorPackageProcess, monitor, 0, nullptr);
    if (thread == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskPackageDeploy::LaunchPackageDeployProcess");
        delete monitor;
        return false;
    }
    CloseHandle(thread);
    return true;
}

// ---- CTaskGetPackageStatusActively -------------------------------------------------------------

int CTaskGetPackageStatusActively::OnSerializeTo(CSerializeStream* stream)
{
    if (!SerializeBase(this, stream, true, L"CTaskGetPackageStatusActively::OnSerializeTo"))
        return FALSE;
    stream->WriteInt(m_bIsPackageDeployFinished);
    stream->WriteString(m_strLastProgressMessage);
    return TRUE;
}

int CTaskGetPackageStatusActively::OnSerializeFrom(CSerializeStream* stream)
{
    if (!SerializeBase(this, stream, false, L"CTaskGetPackageStatusActively::OnSerializeFrom"))
        return FALSE;
    m_bIsPackageDeployFinished = stream->ReadInt();
    m_strLastProgressMessage = stream->ReadString();
    return TRUE;
}

void CTaskGetPackageStatusActively::OnRun()
{
    std::lock_guard<std::mutex> guard(s_LauncherLock);
    if (IsLauncherRunning())
    {
        m_bIsPackageDeployFinished = 0;
        m_strLastProgressMessage = GlobalProperties().GetProperty(kLastProgressKey);
    }
    else
        m_bIsPackageDeployFinished = 1;
}

// ---- CTaskShutdownAgent ------------------------------------------------------------------------

int CTaskShutdownAgent::OnSerializeTo(CSerializeStream* stream)
{
    return SerializeBase(this, stream, true, L"CTaskShutdownAgent::OnSerializeTo") ? TRUE : FALSE;
}

int CTaskShutdownAgent::OnSerializeFrom(CSerializeStream* stream)
{
    return SerializeBase(this, stream, false, L"CTaskShutdownAgent::OnSerializeFrom") ? TRUE
                                                                                      : FALSE;
}

void CTaskShutdownAgent::OnRun()
{
    HANDLE thread = CreateThread(nullptr, 0, ThreadProc_ShutdownAgent, nullptr, 0, nullptr);
    if (thread == nullptr)
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskShutdownAgent::OnRun");
    else
        CloseHandle(thread);
}

bool CTaskShutdownAgent::WaitForProgramsIn(const std::wstring& folder, DWORD milliseconds)
{
    std::wstring prefix = folder;
    for (wchar_t& c : prefix)
        c = static_cast<wchar_t>(towlower(c));
    if (prefix.empty() || prefix.back() != L'\\')
        prefix += L'\\';
    ULONGLONG start = GetTickCount64();
    for (bool logged = false;; logged = true)
    {
        std::vector<CModuleProcessInfo> modules;
        CProcessOperation::AnalysisProcessAndModuleInfo(modules);
        const CModuleProcessInfo* running = nullptr;
        for (const CModuleProcessInfo& module : modules)
            if (module.m_dwProcessId != GetCurrentProcessId() &&
                module.m_strModulePath.compare(0, prefix.size(), prefix) == 0)
                running = &module;
        if (running == nullptr)
            return true;
        if (GetTickCount64() - start >= milliseconds)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"%s still runs from %s, the wait for it is over",
                   running->m_strProcessName.c_str(), folder.c_str());
            return false;
        }
        if (!logged)
            ADVLOG(ADVLOG_SEVERITY_INFO, L"%s (process %d) runs from %s, waiting for its end",
                   running->m_strProcessName.c_str(), static_cast<int>(running->m_dwProcessId),
                   folder.c_str());
        Sleep(1000);
    }
}

void CTaskShutdownAgent::StartDeleteServiceBat()
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"%s() is called", L"CTaskShutdownAgent::StartDeleteServiceBat");
    wchar_t path[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%TEMP%\\HalvornInstallCleanup.bat", path, MAX_PATH);
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Installation cleanup bat is %s", path);
    std::wstring folder = CStringSupport::PathGetRunningExeFileRootPath();
    if (folder.empty())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskShutdownAgent::StartDeleteServiceBat");
        folder = L"do_not_exist";
    }
    // The last line removes the script itself, so that nothing of the agent stays behind.
    std::wstring content = CStringSupport::StringFormat(
        L"rem Firstline guard\nset BAT_SELF=%%~f0\ntimeout /T 5\ntaskkill /PID %d /F\ntimeout /T "
        L"1\nsc delete %s\nrmdir /S /Q \"%s\"\ndel /F /Q \"%%BAT_SELF%%\"\n",
        static_cast<int>(GetCurrentProcessId()), L"HalvornInstallAgent", folder.c_str());
    CFileSupport::WriteToFile(content, path, L"wt");
    std::wstring commandLine = CStringSupport::StringFormat(L"\"%s\"", path);
    if (commandLine.size() > 520)
        commandLine.resize(520);
    PROCESS_INFORMATION process = {};
    if (!CWin32API::CreateHiddenProcess(commandLine, nullptr, process))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"CreateProcess failed, szCommandLine is %s",
               commandLine.c_str());
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}
