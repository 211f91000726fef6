#include "backend/BackendJobs.h"
#include "backend/BackendTasks.h"
#include "backend/CBackendMiscAPI.h"
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/CWin32API.h"
#include "remoteinstall/PackageStatusReport.h"
#include "setupsupport/CFileSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"

#include <algorithm>
#include <set>

namespace
{

const DWORD kPollIntervalMs = 3000;

} // namespace

CBackendInstallInProgress::CBackendInstallInProgress()
{
    m_FinishedRegister.RegisterReceiver(MESSAGE_BACKEND_DEPLOY_PACKAGE_TO_SINGLE_SERVER_FINISHED,
                                        this);
    m_ResultRegister.RegisterReceiver(MESSAGE_VANE52_PACKAGE_EXECUTION_FINISHED, this);
    m_AccountRegister.RegisterReceiver(MESSAGE_VANE52_RETRIEVE_LOGON_ACCOUNT, this);
}

int CBackendInstallInProgress::DeployPackageToAllServers()
{
    StartRun(L"CBackendInstallInProgress::DeployPackageToAllServers",
             CBackendMiscAPI::GetServerListThatPassedAnalysis(),
             [this](const std::wstring& server)
             { return StartThread_DeployPackageToSingleServer(server); });
    return TRUE;
}

int CBackendInstallInProgress::StartThread_DeployPackageToSingleServer(
    const std::wstring& serverName)
{
    if (StartServerThread(serverName, ThreadProc_DeployPackageToSingleServer))
        return TRUE;
    ADVLOG_UNEXPECTED_BRANCH(L"CBackendInstallInProgress::StartThread_DeployPackageToSingleServer");
    return FALSE;
}

DWORD CBackendInstallInProgress::ThreadProc_DeployPackageToSingleServer(LPVOID parameter)
{
    auto* record = static_cast<CServerThreadRecord*>(parameter);
    auto* self = static_cast<CBackendInstallInProgress*>(record->m_pOwner);
    std::wstring server = record->m_strServerName;
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"TID is %d, Start deploy package to target server, ServerName is %s",
           static_cast<int>(GetCurrentThreadId()), server.c_str());
    CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(server);
    if (CWin32API::NetworkCredentialImpersonateBegin(view.GetProperty(PROP_SERVER_USERNAME),
                                                     view.GetProperty(PROP_SERVER_PASSWORD)))
    {
        if (!self->DoDeployPackageToSingleServer(server))
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"DoDeployPackageToSingleServer('%s') failed",
                   server.c_str());
        CWin32API::NetworkCredentialImpersonateEnd();
    }
    else
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"NetworkCredentialImpersonateBegin('%s') failed",
               server.c_str());
    CArgDeployPackageFinished finished;
    finished.m_strServerName = server;
    self->EndServerThread(record, MESSAGE_BACKEND_DEPLOY_PACKAGE_TO_SINGLE_SERVER_FINISHED,
                          &finished);
    return 0;
}

int CBackendInstallInProgress::FailedRun(const std::wstring& serverName)
{
    if (CBackendMiscAPI::GetServerView(serverName).GetProperty(PROP_SERVER_DEPLOY_MESSAGE).empty())
        DoNotifyProgressChanged(
            serverName, DEPLOY_STATE_FINISHED_AND_FAILED,
            CBackendMiscAPI::GetText(L"BACKEND_ERROR_HVPATCH_QUIT_WITH_FINAL_RESULT"));
    return FALSE;
}

int CBackendInstallInProgress::DoDeployPackageToSingleServer(const std::wstring& serverName)
{
    CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(serverName);
    DoNotifyProgressChanged(serverName, DEPLOY_STATE_IN_PROGRESS,
                            CBackendMiscAPI::GetText(L"BACKEND_PROGRESS_COPY_INITIALIZING"));
    CBackendRemoteServerContextManager* manager = GetServerContextManager();
    CServerContext* context = manager != nullptr ? manager->GetServerContext(serverName) : nullptr;
    if (context == nullptr || !context->m_bIsAgentReady)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CBackendInstallInProgress::DoDeployPackageToSingleServer");
        return FailedRun(serverName);
    }
    int deployType = GlobalProperties().GetPropertyInt(PROP_DEPLOY_TYPE);
    if (deployType == DEPLOY_TYPE_INSTALL && !CBackendMiscAPI::IsLocalInstallMode() &&
        !CopyPackageToTargetServer(context))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"DoDeployPackageToSingleServer(%s), CopyPackageToTargetServer failed",
               serverName.c_str());
        return FailedRun(serverName);
    }
    DoNotifyProgressChanged(serverName, DEPLOY_STATE_IN_PROGRESS,
                            CBackendMiscAPI::GetText(L"BACKEND_PROGRESS_LAUNCH_INITIALIZING"));

    CTaskPackageDeploy deploy;
    deploy.m_strTargetServerName = serverName;
    deploy.m_nDeployType = deployType;
    deploy.m_strPackageBranch = view.GetProperty(PROP_SERVER_PACKAGE_BRANCH);
    deploy.m_strRelativeUninstallFolder =
        GlobalProperties().GetProperty(PROP_RELATIVE_UNINSTALL_FOLDER);
    CBackendMiscAPI::RunTaskOnServer(serverName, &deploy);
    if (!deploy.m_bIsTaskExecuted)
    {
        DoNotifyProgressChanged(serverName, DEPLOY_STATE_FINISHED_AND_FAILED,
                                view.GetProperty(PROP_SERVER_TASK_FAIL_MESSAGE));
        return FailedRun(serverName);
    }
    if (!deploy.m_bLaunched)
    {
        DoNotifyProgressChanged(serverName, DEPLOY_STATE_FINISHED_AND_FAILED,
                                deploy.m_strErrorMessage);
        return FailedRun(serverName);
    }

    for (;;)
    {
        CTaskGetPackageStatusActively status;
        status.m_strTargetServerName = serverName;
        CBackendMiscAPI::RunTaskOnServer(serverName, &status);
        if (!status.m_bIsTaskExecuted)
        {
            DoNotifyProgressChanged(serverName, DEPLOY_STATE_FINISHED_AND_FAILED,
                                    view.GetProperty(PROP_SERVER_TASK_FAIL_MESSAGE));
            return FailedRun(serverName);
        }
        if (status.m_bIsPackageDeployFinished)
            break;
        Sleep(kPollIntervalMs);
    }
    ADVLOG(ADVLOG_SEVERITY_INFO,
           L"TaskGetStatus.m_bIsPackageDeployFinished is TRUE. Package deployment is finished");
    if (view.GetPropertyInt(PROP_SERVER_DEPLOY_STATE) == DEPLOY_STATE_FINISHED_AND_SUCCEEDED)
    {
        std::wstring message = view.GetProperty(PROP_SERVER_DEPLOY_MESSAGE);
        DoNotifyProgressChanged(
            serverName, DEPLOY_STATE_FINISHED_AND_SUCCEEDED,
            !message.empty() ? message : CBackendMiscAPI::GetText(L"BACKEND_PROGRESS_FINISHED"));
        return TRUE;
    }
    ADVLOG(ADVLOG_SEVERITY_WARNING,
           L"DoDeployPackageToSingleServer(%s), Target server final status is not "
           L"DEPLOY_STATE_FINISHED_AND_SUCCEEDED. Will show first encountered error message",
           serverName.c_str());
    std::wstring error = view.GetProperty(PROP_SERVER_DEPLOY_FIRST_ERROR);
    if (!error.empty())
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"DoDeployPackageToSingleServer(%s), Target server first error message is [%s]",
               serverName.c_str(), error.c_str());
    else
    {
        error = CBackendMiscAPI::GetText(deployType == DEPLOY_TYPE_UNINSTALL
                                             ? L"BACKEND_ERROR_UNINSTALL_WITHOUT_FINAL_RESULT"
                                             : L"BACKEND_ERROR_INSTALL_WITHOUT_FINAL_RESULT");
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"DoDeployPackageToSingleServer(%s), Target server do not have provided any error "
               L"message",
               serverName.c_str());
    }
    DoNotifyProgressChanged(serverName, DEPLOY_STATE_FINISHED_AND_FAILED, error);
    return FailedRun(serverName);
}

void CBackendInstallInProgress::DoNotifyProgressChanged(const std::wstring& serverName,
                                                        DEPLOY_STATE state,
                                                        const std::wstring& text)
{
    CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(serverName);
    view.SetPropertyInt(PROP_SERVER_DEPLOY_STATE, state);
    view.SetProperty(PROP_SERVER_DEPLOY_MESSAGE, text);
    CArgDeployPackageState args;
    args.m_strServerName = serverName;
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(
        MESSAGE_BACKEND_DEPLOY_PACKAGE_TO_SINGLE_SERVER_STATE_CHANGED, &args);
}

int CBackendInstallInProgress::CopyPackageToTargetServer(CServerContext* context)
{
    const std::wstring& server = context->m_strServerName;
    DoNotifyProgressChanged(server, DEPLOY_STATE_IN_PROGRESS,
                            CBackendMiscAPI::GetText(L"BACKEND_PROGRESS_COPY_PACKAGE"));
    std::wstring branch =
        CBackendMiscAPI::GetServerView(server).GetProperty(PROP_SERVER_PACKAGE_BRANCH);
    if (GlobalProperties().GetPropertyInt(PROP_START_FROM_NETWORK) != 0)
        CAgentSetup::SynchronizeRemoteFiles({branch});
    std::wstring source =
        CStringSupport::PathCombinePath(context->m_AgentSetup.GetSourceRoot(), branch);
    std::wstring destination =
        CStringSupport::PathCombinePath(context->m_AgentSetup.GetInstallFolderUnc(), branch);
    CFileSupport::CreateDirectoryRecursively(destination);
    std::vector<std::wstring> files;
    CFileSupport::RecursivelyEnumAllFilesInFolder(source, files);
    if (files.empty())
    {
        DoNotifyProgressChanged(
            server, DEPLOY_STATE_FINISHED_AND_FAILED,
            CStringSupport::StringFormat(
                CBackendMiscAPI::GetText(L"BACKEND_ERROR_LOCAL_PACKAGE_DAMAGED").c_str(),
                source.c_str()));
        return FALSE;
    }
    ADVLOG(ADVLOG_SEVERITY_NOISY, L"CopyPackageToTargetServer(%s), Totally have %d files to copy",
           server.c_str(), static_cast<int>(files.size()));
    std::sort(files.begin(), files.end());
    std::set<std::wstring> madeFolders;
    for (const std::wstring& file : files)
    {
        std::wstring folder = CStringSupport::PathGetPath(file);
        if (!folder.empty() && folder != file && madeFolders.insert(folder).second)
            CFileSupport::CreateDirectoryRecursively(destination, folder);
        std::wstring from = CStringSupport::PathCombinePath(source, file);
        std::wstring to = CStringSupport::PathCombinePath(destination, file);
        if (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES && !DeleteFileW(to.c_str()))
            continue;
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE))
        {
            DWORD error = GetLastError();
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"CopyPackageToTargetServer(%s), CopyFile failed. %s -> %s, dwLastError is %d",
                   server.c_str(), from.c_str(), to.c_str(), static_cast<int>(error));
            DoNotifyProgressChanged(
                server, DEPLOY_STATE_FINISHED_AND_FAILED,
                CStringSupport::StringFormat(
                    CBackendMiscAPI::GetText(L"BACKEND_ERROR_COPY_FILE").c_str(), to.c_str(),
                    static_cast<int>(error),
                    CStringSupport::ConvertWin32ErrorCodeToString(error).c_str()));
            return FALSE;
        }
    }
    return TRUE;
}

void CBackendInstallInProgress::OnMessageArrived(CMessageSupportArgs* args)
{
    if (auto* result = dynamic_cast<CArgVane52PackageFinalResult*>(args))
    {
        CPropertyManagerNamespaceView view =
            CBackendMiscAPI::GetServerView(result->m_strServerName);
        if (result->m_bIsSucceed)
        {
            view.SetPropertyInt(PROP_SERVER_DEPLOY_STATE, DEPLOY_STATE_FINISHED_AND_SUCCEEDED);
            view.SetProperty(PROP_SERVER_DEPLOY_MESSAGE, result->m_strFinalResultMessage);
        }
        else
            view.SetPropertyInt(PROP_SERVER_DEPLOY_STATE, DEPLOY_STATE_FINISHED_AND_FAILED);
        return;
    }
    if (auto* account = dynamic_cast<CArgVane52RetrieveLogonAccount*>(args))
    {
        CPropertyManagerNamespaceView view =
            CBackendMiscAPI::GetServerView(account->m_strServerName);
        account->m_strLogonUsername = view.GetProperty(PROP_SERVER_USERNAME);
        account->m_strLogonPassword = view.GetProperty(PROP_SERVER_PASSWORD);
        return;
    }
    if (dynamic_cast<CArgDeployPackageFinished*>(args) == nullptr)
        return;
    CCriticalSectionSentry guard(m_Lock);
    if (!IsLastThreadEnded(L"Deploy package to all servers progress changed. Remaining = %d"))
        return;
    DumpDelpoyResultToDebugLog();
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(
        MESSAGE_BACKEND_DEPLOY_PACKAGE_TO_ALL_SERVERS_FINISHED);
}

void CBackendInstallInProgress::DumpDelpoyResultToDebugLog()
{
    std::vector<std::wstring> servers = CBackendMiscAPI::GetServerListThatPassedAnalysis();
    ADVLOG(ADVLOG_SEVERITY_NOISY, L"Install/uninstall package finished. Total server count: %d",
           static_cast<int>(servers.size()));
    const std::wstring indent(8, L' ');
    for (size_t i = 0; i < servers.size(); ++i)
    {
        ADVLOG(ADVLOG_SEVERITY_NOISY, L"-- %d. %s", static_cast<int>(i), servers[i].c_str());
        CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(servers[i]);
        DumpServerPropertyToDebugLog(view, indent, PROP_SERVER_DEPLOY_STATE,
                                     L"2:succeed, 3:failed");
        DumpServerPropertyToDebugLog(view, indent, PROP_SERVER_DEPLOY_MESSAGE, L"");
    }
}
