#include "backend/BackendJobs.h"
#include "backend/BackendTasks.h"
#include "backend/CBackendMiscAPI.h"
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/CWin32API.h"
#include "winport/WinBase.h"

#include <algorithm>
#include <functional>
#include <map>

namespace
{

long long TimeDifference(const SYSTEMTIME& local, const SYSTEMTIME& target)
{
    long long d = (local.wYear - target.wYear) * 365LL + (local.wMonth - target.wMonth) * 30LL +
                  (local.wDay - target.wDay);
    d = d * 24 + (local.wHour - target.wHour);
    d = d * 60 + (local.wMinute - target.wMinute);
    return d * 60 + (local.wSecond - target.wSecond);
}

} // namespace

CBackendAnalyzeTargetServer::CBackendAnalyzeTargetServer()
{
    m_MessageRegister.RegisterReceiver(MESSAGE_BACKEND_ANALYZE_SINGLE_SERVER_FINISHED, this);
}

int CBackendAnalyzeTargetServer::AnalyzeAllServers()
{
    StartRun(L"CBackendAnalyzeTargetServer::AnalyzeAllServers", CBackendMiscAPI::GetAllServers(),
             [this](const std::wstring& server)
             { return StartThread_AnalyzeSingleServer(server); });
    return TRUE;
}

int CBackendAnalyzeTargetServer::StartThread_AnalyzeSingleServer(const std::wstring& serverName)
{
    if (StartServerThread(serverName, ThreadProc_AnalyzeSingleServer))
        return TRUE;
    ADVLOG_UNEXPECTED_BRANCH(L"CBackendAnalyzeTargetServer::StartThread_AnalyzeSingleServer");
    return FALSE;
}

DWORD CBackendAnalyzeTargetServer::ThreadProc_AnalyzeSingleServer(LPVOID parameter)
{
    auto* record = static_cast<CServerThreadRecord*>(parameter);
    auto* self = static_cast<CBackendAnalyzeTargetServer*>(record->m_pOwner);
    std::wstring server = record->m_strServerName;
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"TID is %d, Start analyze target server, ServerName is %s",
           static_cast<int>(GetCurrentThreadId()), server.c_str());
    CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(server);
    if (view.GetProperty(PROP_SERVER_USERNAME).empty())
    {
        view.SetProperty(PROP_SERVER_USERNAME,
                         GlobalProperties().GetProperty(PROP_DEFAULT_USERNAME));
        view.SetProperty(PROP_SERVER_PASSWORD,
                         GlobalProperties().GetProperty(PROP_DEFAULT_PASSWORD));
    }
    if (CWin32API::NetworkCredentialImpersonateBegin(view.GetProperty(PROP_SERVER_USERNAME),
                                                     view.GetProperty(PROP_SERVER_PASSWORD)))
    {
        if (!self->DoAnalyzeSingleServer(server))
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"DoAnalyzeSingleServer('%s') failed, will remove this server from list",
                   server.c_str());
        CWin32API::NetworkCredentialImpersonateEnd();
    }
    else
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"NetworkCredentialImpersonateBegin('%s') failed",
               server.c_str());
    CArgAnalyzeFinished finished;
    finished.m_strServerName = server;
    self->EndServerThread(record, MESSAGE_BACKEND_ANALYZE_SINGLE_SERVER_FINISHED, &finished);
    return 0;
}

int CBackendAnalyzeTargetServer::DoAnalyzeSingleServer(const std::wstring& serverName)
{
    CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(serverName);
    auto failureEnd = [&]
    {
        view.SetPropertyInt(PROP_SERVER_ANALYZE_STATE, ANALYZE_STATE_FAILED);
        if (view.GetProperty(PROP_SERVER_ANALYZE_MESSAGE).empty())
            view.SetProperty(PROP_SERVER_ANALYZE_MESSAGE,
                             CBackendMiscAPI::GetText(L"BACKEND_ERROR_INTERNAL_FATAL_ERROR"));
        return FALSE;
    };
    view.SetPropertyInt(PROP_SERVER_ANALYZE_STATE, ANALYZE_STATE_CHECKING);
    std::wstring domain, user;
    CWin32API::PickupDomainUsername(view.GetProperty(PROP_SERVER_USERNAME), domain, user);
    std::wstring password = view.GetProperty(PROP_SERVER_PASSWORD);
    std::wstring branch = view.GetProperty(PROP_SERVER_PACKAGE_BRANCH);
    int clusterType = view.GetPropertyInt(PROP_SERVER_CLUSTER_TYPE);

    CBackendRemoteServerContextManager* manager = GetServerContextManager();
    CServerContext* context =
        manager != nullptr ? manager->GetOrAddServerContext(serverName) : nullptr;
    if (context == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CBackendAnalyzeTargetServer::DoAnalyzeSingleServer");
        return failureEnd();
    }
    int installed = CBackendMiscAPI::IsLocalInstallMode()
                        ? context->m_AgentSetup.LocalInstallBegin(branch)
                        : context->m_AgentSetup.RemoteInstallBegin(serverName, branch);
    if (!installed)
    {
        view.SetPropertyInt(PROP_SERVER_ANALYZE_STATE, ANALYZE_STATE_FAILED);
        view.SetProperty(PROP_SERVER_ANALYZE_MESSAGE, context->m_AgentSetup.GetErrorMessage());
        ADVLOG_UNEXPECTED_BRANCH(L"CBackendAnalyzeTargetServer::DoAnalyzeSingleServer");
        return failureEnd();
    }
    CCommPeerParameter parameter(serverName, AGENT_REMOTE_ENDPOINT, domain, user, password);
    if (!context->m_RemotePeer.Init(parameter))
    {
        view.SetPropertyInt(PROP_SERVER_ANALYZE_STATE, ANALYZE_STATE_FAILED);
        view.SetProperty(PROP_SERVER_ANALYZE_MESSAGE, context->m_RemotePeer.GetErrorMessage());
        ADVLOG_UNEXPECTED_BRANCH(L"CBackendAnalyzeTargetServer::DoAnalyzeSingleServer");
        return failureEnd();
    }
    context->m_bIsAgentReady = 1;

    CTaskCheckSystemRequirement task;
    task.m_strTargetServerName = serverName;
    task.m_nDeployType = GlobalProperties().GetPropertyInt(PROP_DEPLOY_TYPE);
    task.m_nBuildNumberAfterUpdate =
        GlobalProperties().GetPropertyInt(L"Addon\\Backend\\BuildNumberAfterUpdate");
    task.m_strTargetedProductVersion =
        GlobalProperties().GetProperty(L"Addon\\Backend\\TargetProductVersion");
    task.m_bPackageIsServicePack =
        GlobalProperties().GetPropertyInt(L"Addon\\Backend\\PackageIsHotfix") != 0 ? 0 : 1;
    task.m_nServicePackAfterUpdate =
        GlobalProperties().GetPropertyInt(L"Addon\\Backend\\ServicePackAfterUpdate");
    task.m_nTargetedServicePack =
        GlobalProperties().GetPropertyInt(L"Addon\\Backend\\TargetProductServicePack");
    task.m_nTargetedMinimalBuild =
        GlobalProperties().GetPropertyInt(L"Addon\\Backend\\TargetProductMinimalBuildNumber");
    task.m_nTargetedMaximalBuild =
        GlobalProperties().GetPropertyInt(L"Addon\\Backend\\TargetProductMaximalBuildNumber");
    task.m_bPackageIsPatch =
        GlobalProperties().GetPropertyInt(L"Addon\\Backend\\PackageIsPatch") != 0 ? 1 : 0;
    task.m_strTargetedPatchName =
        GlobalProperties().GetProperty(L"Addon\\Backend\\TargetPatchName");
    task.m_strTargetedOSPlatforms =
        GlobalProperties().GetProperty(L"Addon\\Backend\\TargetProductOSPlatform");
    task.m_strPackageBranch = branch;
    task.m_strTargetedClusterTypes =
        GlobalProperties().GetProperty(L"Addon\\Backend\\TargetProductClusterType");
    task.m_nClusterType = clusterType;
    CBackendMiscAPI::RunTaskOnServer(serverName, &task);

    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"CTaskCheckRequirement execute result: strServerName=%s, m_bIsTaskExecuted=%d, "
           L"m_bIsReqirementMeet=%d, ExchangeEdition is [%s], ExchangeRole is [%s], Description "
           L"is [%s]",
           task.m_strTargetServerName.c_str(), task.m_bIsTaskExecuted, task.m_bIsReqirementMeet,
           CBackendMiscAPI::ExchangeEditionToString(task.m_nExchangeEdition).c_str(),
           CBackendMiscAPI::ExchangeRoleToString(task.m_nExchangeRole).c_str(),
           task.m_strDescription.c_str());
    if (!task.m_bIsTaskExecuted)
    {
        view.SetPropertyInt(PROP_SERVER_ANALYZE_STATE, ANALYZE_STATE_FAILED);
        view.SetProperty(PROP_SERVER_ANALYZE_MESSAGE,
                         view.GetProperty(PROP_SERVER_TASK_FAIL_MESSAGE));
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"DoAnalyzeSingleServer, m_bIsTaskExecuted is FALSE");
        return failureEnd();
    }
    SYSTEMTIME local = {};
    GetSystemTime(&local);
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"The time difference between local server and target server (%s) is %d seconds. "
           L"Difference=Local-Target",
           serverName.c_str(), static_cast<int>(TimeDifference(local, task.m_TargetSystemTime)));
    view.SetPropertyInt(PROP_SERVER_EXCHANGE_EDITION, task.m_nExchangeEdition);
    view.SetPropertyInt(PROP_SERVER_EXCHANGE_ROLE, task.m_nExchangeRole);
    view.SetProperty(PROP_SERVER_SYSTEM_ID, task.m_strSystemId);
    view.SetProperty(PROP_SERVER_ONLINE_VIRTUAL_SERVERS,
                     CStringSupport::VectorToString(task.m_OnlineVirtualServers, L';'));
    view.SetProperty(PROP_SERVER_ALL_VIRTUAL_SERVERS,
                     CStringSupport::VectorToString(task.m_AllVirtualServers, L';'));
    view.SetProperty(PROP_SERVER_PHYSICAL_NAME, task.m_strPhysicalComputerName);
    view.SetProperty(PROP_SERVER_ANALYZE_MESSAGE, task.m_strDescription);
    if (task.m_bIsReqirementMeet)
    {
        view.SetPropertyInt(PROP_SERVER_ANALYZE_STATE, ANALYZE_STATE_PASSED);
        return TRUE;
    }
    view.SetPropertyInt(PROP_SERVER_ANALYZE_STATE, ANALYZE_STATE_FAILED);
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"DoAnalyzeSingleServer, m_bIsReqirementMeet is FALSE");
    return failureEnd();
}

void CBackendAnalyzeTargetServer::OnMessageArrived(CMessageSupportArgs* args)
{
    if (dynamic_cast<CArgAnalyzeFinished*>(args) == nullptr)
        return;
    CCriticalSectionSentry guard(m_Lock);
    if (!IsLastThreadEnded(L"Analyze all servers progress changed. Remaining server count is %d"))
        return;
    DumpAllServersPropertyToDebugLog();
    RemoveClusterAliasNameAndVirtualServers();
    RemoveDuplicateServersFromList();
    DealWithDemoMode();
    ADVLOG(ADVLOG_SEVERITY_NOISY, L"The following servers will be shown on UI. Servers: %s",
           GlobalProperties().GetProperty(PROP_SERVER_LIST).c_str());
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(
        MESSAGE_BACKEND_ANALYZE_ALL_SERVERS_FINISHED);
}

void CBackendAnalyzeTargetServer::RemoveClusterAliasNameAndVirtualServers()
{
    std::vector<std::wstring> servers = CBackendMiscAPI::GetAllServers();
    std::vector<std::wstring> virtualServers;
    for (const std::wstring& server : servers)
    {
        CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(server);
        int type = view.GetPropertyInt(PROP_SERVER_CLUSTER_TYPE);
        if (type == CLUSTER_UNKNOWN || type == CLUSTER_NORMAL)
            continue;
        if (view.GetPropertyInt(PROP_SERVER_CLUSTER_ENTITY) == 1)
        {
            for (const std::wstring& name : CStringSupport::StringToVector(
                     view.GetProperty(PROP_SERVER_ONLINE_VIRTUAL_SERVERS), L';'))
                virtualServers.push_back(name);
        }
        else
        {
            ADVLOG(
                ADVLOG_SEVERITY_DEBUG,
                L"Find a cluster alias name %s, it's a cluster name or cluster ip, not a cluster "
                L"node name, will remove it from server list",
                server.c_str());
            CBackendMiscAPI::RemoveServerFromGlobalServerList(server);
        }
    }
    CStringSupport::VectorSortAndRemoveDuplicatedStringIgnoreCase(virtualServers);
    for (const std::wstring& server : servers)
        for (const std::wstring& name : virtualServers)
            if (CStringSupport::IsStringEqualIgnoreCase(server, name))
            {
                ADVLOG(ADVLOG_SEVERITY_DEBUG,
                       L"Find a virtual server %s, will remove it from server list",
                       server.c_str());
                CBackendMiscAPI::RemoveServerFromGlobalServerList(server);
                break;
            }
    GlobalProperties().SetProperty(PROP_EXCHANGE_VIRTUAL_SERVERS,
                                   CStringSupport::VectorToString(virtualServers, L';'));
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Totally found %d virtual servers. They are: %s",
           static_cast<int>(virtualServers.size()),
           CStringSupport::VectorToString(virtualServers, L';').c_str());
}

void CBackendAnalyzeTargetServer::RemoveDuplicateServersFromList()
{
    struct SMember
    {
        std::wstring name, physicalName;
        int clusterEntity;
    };
    std::map<std::wstring, std::vector<SMember>> groups;
    for (const std::wstring& server : CBackendMiscAPI::GetAllServers())
    {
        CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(server);
        std::wstring id = view.GetProperty(PROP_SERVER_SYSTEM_ID);
        if (!id.empty())
            groups[id].push_back({server, view.GetProperty(PROP_SERVER_PHYSICAL_NAME),
                                  view.GetPropertyInt(PROP_SERVER_CLUSTER_ENTITY)});
    }
    for (const auto& [id, members] : groups)
    {
        if (members.size() < 2)
            continue;
        auto count = [&](auto predicate)
        { return std::count_if(members.begin(), members.end(), predicate); };
        auto isNode = [](const SMember& m) { return m.clusterEntity == 1; };
        auto isPhysical = [](const SMember& m) { return m.name == m.physicalName; };
        std::function<bool(const SMember&)> keep;
        if (count(isNode) == 1)
            keep = isNode;
        else if (count(isPhysical) == 1)
            keep = isPhysical;
        else
            keep = [&](const SMember& m) { return &m == &members.front(); };
        const SMember& retained = *std::find_if(members.begin(), members.end(), keep);
        for (const SMember& member : members)
            if (!keep(member))
            {
                ADVLOG(ADVLOG_SEVERITY_DEBUG,
                       L"Find a duplicate server %s, its system id (%s) is equal with another "
                       L"server (%s), will remove it from server list",
                       member.name.c_str(), id.c_str(), retained.name.c_str());
                CBackendMiscAPI::RemoveServerFromGlobalServerList(member.name);
            }
    }
}

void CBackendAnalyzeTargetServer::DealWithDemoMode()
{
    if (GlobalProperties().GetPropertyInt(PROP_DEMO_MODE) == 0)
        return;
    for (const std::wstring& server : CBackendMiscAPI::GetAllServers())
        CBackendMiscAPI::GetServerView(server).SetPropertyInt(PROP_SERVER_ANALYZE_STATE,
                                                              ANALYZE_STATE_PASSED);
}

void CBackendAnalyzeTargetServer::DumpAllServersPropertyToDebugLog()
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           GlobalProperties().GetPropertyInt(PROP_DEPLOY_TYPE) == DEPLOY_TYPE_UNINSTALL
               ? L"Current deploy type is: Uninstallation"
               : L"Current deploy type is: Installation");
    std::vector<std::wstring> servers = CBackendMiscAPI::GetAllServers();
    ADVLOG(ADVLOG_SEVERITY_NOISY, L"Analyze target server finished. Total server count: %d",
           static_cast<int>(servers.size()));
    const std::wstring indent(8, L' ');
    for (size_t i = 0; i < servers.size(); ++i)
    {
        ADVLOG(ADVLOG_SEVERITY_NOISY, L"-- %d. %s", static_cast<int>(i), servers[i].c_str());
        CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(servers[i]);
        for (const wchar_t* key :
             {PROP_SERVER_DOMAIN, PROP_SERVER_DISPLAY_NAME, PROP_SERVER_USERNAME,
              PROP_SERVER_OS_PLATFORM, PROP_SERVER_SYSTEM_ID})
            DumpServerPropertyToDebugLog(view, indent, key, L"");
        DumpServerPropertyToDebugLog(view, indent, PROP_SERVER_CLUSTER_TYPE,
                                     L"0:Unknown, 1:Normal server, 2:Microsoft cluster, 3:Veritas "
                                     L"cluster");
        DumpServerPropertyToDebugLog(view, indent, PROP_SERVER_ONLINE_VIRTUAL_SERVERS, L"");
        DumpServerPropertyToDebugLog(view, indent, PROP_SERVER_ALL_VIRTUAL_SERVERS, L"");
        ADVLOG(ADVLOG_SEVERITY_NOISY, L"%s%s=%s", indent.c_str(), PROP_SERVER_EXCHANGE_EDITION,
               CBackendMiscAPI::ExchangeEditionToString(
                   view.GetPropertyInt(PROP_SERVER_EXCHANGE_EDITION))
                   .c_str());
        ADVLOG(ADVLOG_SEVERITY_NOISY, L"%s%s=%s", indent.c_str(), PROP_SERVER_EXCHANGE_ROLE,
               CBackendMiscAPI::ExchangeRoleToString(view.GetPropertyInt(PROP_SERVER_EXCHANGE_ROLE))
                   .c_str());
        DumpServerPropertyToDebugLog(view, indent, PROP_SERVER_ANALYZE_STATE,
                                     L"1:Checking, 2:Passed, 3:Failed");
        DumpServerPropertyToDebugLog(view, indent, PROP_SERVER_ANALYZE_MESSAGE, L"");
    }
}
