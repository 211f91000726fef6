#include "backend/BackendJobs.h"
#include "backend/CBackendMiscAPI.h"
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/CWin32API.h"
#include "setupsupport/CFileSupport.h"
#include "winport/WinBase.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <algorithm>

namespace
{

const REGSAM kRemoteRead = KEY_READ | KEY_WOW64_64KEY;
const wchar_t kEnvironmentKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const wchar_t kProductKey[] = L"Software\\Halvorn\\Parvel for Exchange\\CurrentVersion";

bool Contains(const std::vector<std::wstring>& list, const std::wstring& name)
{
    return std::find(list.begin(), list.end(), name) != list.end();
}

} // namespace

CBackendLogonTargetServer::CBackendLogonTargetServer()
{
    m_MessageRegister.RegisterReceiver(MESSAGE_BACKEND_LOGON_SINGLE_SERVER_FINISHED, this);
}

int CBackendLogonTargetServer::LogonAllServers()
{
    if (CBackendMiscAPI::IsLocalInstallMode())
        GlobalProperties().SetProperty(PROP_SERVER_LIST, CWin32API::GetLocalComputerName());
    StartRun(L"CBackendLogonTargetServer::LogonAllServers", CBackendMiscAPI::GetAllServers(),
             [this](const std::wstring& server) { return StartThread_LogonSingleServer(server); });
    return TRUE;
}

int CBackendLogonTargetServer::StartThread_LogonSingleServer(const std::wstring& serverName)
{
    if (StartServerThread(serverName, ThreadProc_LogonSingleServer))
        return TRUE;
    ADVLOG_UNEXPECTED_BRANCH(L"CBackendLogonTargetServer::StartThread_LogonSingleServer");
    return FALSE;
}

void CBackendLogonTargetServer::EstablishConnection(const std::wstring& serverName,
                                                    const std::wstring& connectName,
                                                    CPropertyManagerNamespaceView& view)
{
    std::wstring user = view.GetProperty(PROP_SERVER_USERNAME);
    std::wstring password = view.GetProperty(PROP_SERVER_PASSWORD);
    std::wstring share = GlobalProperties().GetProperty(PROP_SHARED_FOLDER);
    if (share.empty())
        share = L"ADMIN$";
    DWORD result = CWin32API::EstablishWNetConnection(connectName, user, password, share);
    if (result == ERROR_SESSION_CREDENTIAL_CONFLICT)
    {
        CWin32API::DisconnectAllWNetConncetionsForServer(connectName);
        result = CWin32API::EstablishWNetConnection(connectName, user, password, share);
    }
    if (result != NO_ERROR && result != ERROR_ALREADY_ASSIGNED &&
        user.find(L'\\') == std::wstring::npos)
    {
        std::vector<std::wstring> prefixes;
        std::wstring domain = view.GetProperty(PROP_SERVER_DOMAIN);
        if (!domain.empty())
            prefixes.push_back(domain);
        prefixes.push_back(serverName);
        for (const std::wstring& prefix : prefixes)
        {
            std::wstring qualified =
                CStringSupport::StringFormat(L"%s\\%s", prefix.c_str(), user.c_str());
            result = CWin32API::EstablishWNetConnection(connectName, qualified, password, share);
            if (result == NO_ERROR || result == ERROR_ALREADY_ASSIGNED)
            {
                user = qualified;
                break;
            }
        }
    }
    if (result == NO_ERROR || result == ERROR_ALREADY_ASSIGNED)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"ThreadProc_LogonSingleServer('%s'), Establish a WNET connection succeed. log on "
               L"account is %s",
               serverName.c_str(), user.c_str());
        view.SetProperty(PROP_SERVER_USERNAME, user);
        view.SetProperty(PROP_SERVER_PASSWORD, password);
    }
    else
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"ThreadProc_LogonSingleServer('%s'), failed to establish a WNET connection, error "
               L"code is %d, msg is [%s]",
               serverName.c_str(), static_cast<int>(result),
               CStringSupport::ConvertWin32ErrorCodeToString(result).c_str());
}

DWORD CBackendLogonTargetServer::ThreadProc_LogonSingleServer(LPVOID parameter)
{
    auto* record = static_cast<CServerThreadRecord*>(parameter);
    auto* self = static_cast<CBackendLogonTargetServer*>(record->m_pOwner);
    std::wstring server = record->m_strServerName;
    std::wstring connectName = CBackendMiscAPI::GetServerConnectName(server);
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"TID is %d, Start logon target server, ServerName is %s",
           static_cast<int>(GetCurrentThreadId()), server.c_str());
    CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(server);
    view.SetProperty(PROP_SERVER_DOMAIN, CWin32API::GetDomainNameOfTargetComputer(server));
    if (view.GetProperty(PROP_SERVER_USERNAME).empty())
    {
        view.SetProperty(PROP_SERVER_USERNAME,
                         GlobalProperties().GetProperty(PROP_DEFAULT_USERNAME));
        view.SetProperty(PROP_SERVER_PASSWORD,
                         GlobalProperties().GetProperty(PROP_DEFAULT_PASSWORD));
    }
    if (GlobalProperties().GetPropertyInt(PROP_ESTABLISH_WNET) != 0)
        self->EstablishConnection(server, connectName, view);

    if (CWin32API::NetworkCredentialImpersonateBegin(view.GetProperty(PROP_SERVER_USERNAME),
                                                     view.GetProperty(PROP_SERVER_PASSWORD)))
    {
        if (self->DoLogonSingleServer(server))
            ADVLOG(ADVLOG_SEVERITY_DEBUG,
                   L"DoLogonSingleServer('%s') Log on to target server result: Succeed",
                   server.c_str());
        else
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"DoLogonSingleServer('%s'). Log on to target server result: Failed, will "
                   L"remove this server from list",
                   server.c_str());
        CWin32API::NetworkCredentialImpersonateEnd();
    }
    else
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"NetworkCredentialImpersonateBegin('%s') failed, will remove this server from list",
               server.c_str());
        self->HandleLogonError(server,
                               CBackendMiscAPI::GetText(L"BACKEND_ERROR_INTERNAL_FATAL_ERROR"));
    }
    CArgLogonFinished finished;
    finished.m_strServerName = server;
    self->EndServerThread(record, MESSAGE_BACKEND_LOGON_SINGLE_SERVER_FINISHED, &finished);
    return 0;
}

int CBackendLogonTargetServer::DoLogonSingleServer(const std::wstring& serverName)
{
    CRegistryKey environment;
    if (!environment.Open(serverName, HKEY_LOCAL_MACHINE, kEnvironmentKey, kRemoteRead))
    {
        HandleLogonError_Win32(serverName, static_cast<DWORD>(environment.GetLastError()));
        return FALSE;
    }
    std::wstring platform = environment.ReadString(L"PROCESSOR_ARCHITECTURE");
    std::wstring branch;
    if (_wcsicmp(platform.c_str(), L"x86") == 0)
        branch = L"win32";
    else if (_wcsicmp(platform.c_str(), L"AMD64") == 0)
        branch = L"x64";
    else
    {
        if (!platform.empty())
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Unknown platform string: %s", platform.c_str());
        HandleLogonError_RemoteRegValue(serverName, kEnvironmentKey, L"PROCESSOR_ARCHITECTURE");
        return FALSE;
    }
    CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(serverName);
    view.SetProperty(PROP_SERVER_OS_PLATFORM, platform);
    view.SetProperty(PROP_SERVER_PACKAGE_BRANCH, branch);
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Server(%s) platform is %s", serverName.c_str(),
           platform.c_str());

    CLUSTER_TYPE clusterType = DoDetectClusterType(serverName);
    view.SetPropertyInt(PROP_SERVER_CLUSTER_TYPE, clusterType);
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Server(%s) cluster type is %d", serverName.c_str(),
           static_cast<int>(clusterType));
    if (clusterType != CLUSTER_MICROSOFT && clusterType != CLUSTER_VERITAS)
        return TRUE;

    std::vector<std::wstring> list = CBackendMiscAPI::GetAllServers();
    std::vector<std::wstring> nodes, aliases;
    if (!EnumerateClusterNodes(serverName, nodes, aliases))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"EnumerateClusterNodes(%s) return false",
               serverName.c_str());
        return TRUE;
    }
    CStringSupport::VectorSortAndRemoveDuplicatedString(nodes);
    CStringSupport::VectorSortAndRemoveDuplicatedString(aliases);
    std::vector<std::wstring> all = nodes;
    all.insert(all.end(), aliases.begin(), aliases.end());
    CStringSupport::VectorSortAndRemoveDuplicatedString(all);
    std::vector<std::wstring> added;
    {
        CCriticalSectionSentry guard(m_Lock);
        for (const std::wstring& name : all)
            if (!Contains(list, name))
            {
                list.push_back(name);
                ADVLOG(ADVLOG_SEVERITY_INFO, L"Server(%s) discover a cluster node %s",
                       serverName.c_str(), name.c_str());
                if (CBackendMiscAPI::AddServerToGlobalServerList(name))
                    added.push_back(name);
            }
    }
    // Marked before their threads start, so that a node is never taken for an alias.
    for (const std::wstring& node : nodes)
        CBackendMiscAPI::GetServerView(node).SetPropertyInt(PROP_SERVER_CLUSTER_ENTITY, 1);
    for (const std::wstring& name : added)
        if (!StartThread_LogonSingleServer(name))
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"StartThread_LogonSingleServer(%s) return false",
                   name.c_str());
    return TRUE;
}

CLUSTER_TYPE CBackendLogonTargetServer::DoDetectClusterType(const std::wstring& serverName)
{
    CRegistryKey key;
    if (!key.Open(serverName, HKEY_LOCAL_MACHINE, kProductKey, kRemoteRead))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"DoDetectClusterType, RegKey.Open() return FALSE, server is %s, Reg path is %s. "
               L"Probably PRVL is not installed.",
               serverName.c_str(), kProductKey);
        return CLUSTER_NORMAL;
    }
    if (key.ReadDWORD(L"IsCluster", 0) != 0)
        return CLUSTER_MICROSOFT;
    if (key.ReadDWORD(L"ThirdPartyClusterType", 0) != 0)
        return CLUSTER_VERITAS;
    return CLUSTER_NORMAL;
}

bool CBackendLogonTargetServer::EnumerateClusterNodes(const std::wstring& serverName,
                                                      std::vector<std::wstring>& nodes,
                                                      std::vector<std::wstring>& aliases)
{
    nodes.clear();
    aliases.clear();
    switch (CBackendMiscAPI::GetServerView(serverName).GetPropertyInt(PROP_SERVER_CLUSTER_TYPE))
    {
    case CLUSTER_UNKNOWN:
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"EnumerateClusterNodes, Server '%s' PROP_SERVER_CLUSTER_TYPE is CLUSTER_UNKNOWN",
               serverName.c_str());
        return false;
    case CLUSTER_MICROSOFT:
        if (EnumerateWindowsClusterNodes(serverName, nodes, aliases))
            return true;
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"EnumerateClusterNodes, EnumerateWindowsClusterNodes('%s') return false",
               serverName.c_str());
        return false;
    case CLUSTER_VERITAS:
        if (EnumerateVeritasClusterNodes(serverName, nodes, aliases))
            return true;
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"EnumerateClusterNodes, EnumerateVeritasClusterNodes('%s') return false",
               serverName.c_str());
        return false;
    default:
        return true;
    }
}

bool CBackendLogonTargetServer::EnumerateWindowsClusterNodes(const std::wstring& serverName,
                                                             std::vector<std::wstring>& nodes,
                                                             std::vector<std::wstring>&)
{
    const wchar_t path[] = L"Cluster\\Nodes";
    CRegistryKey key;
    if (!key.Open(serverName, HKEY_LOCAL_MACHINE, path, kRemoteRead))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"EnumerateWindowsClusterNodes, RegKey.Open return false, server is %s, registry "
               L"path is %s",
               serverName.c_str(), path);
        return false;
    }
    for (const std::wstring& sub : key.EnumerateSubKeys())
    {
        CRegistryKey node;
        if (!node.Open(key, sub, kRemoteRead))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"EnumerateWindowsClusterNodes, Open sub key %s failed, Error code: %d",
                   sub.c_str(), static_cast<int>(node.GetLastError()));
            continue;
        }
        std::wstring name = node.ReadString(L"NodeName");
        if (name.empty())
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Cannot query value %s of registry key %s, Error: %d",
                   L"NodeName", path, static_cast<int>(GetLastError()));
            continue;
        }
        ADVLOG(ADVLOG_SEVERITY_INFO, L"EnumerateWindowsClusterNodes, Find a new cluster node: %s",
               name.c_str());
        nodes.push_back(name);
    }
    return true;
}

bool CBackendLogonTargetServer::EnumerateVeritasClusterNodes(const std::wstring& serverName,
                                                             std::vector<std::wstring>& nodes,
                                                             std::vector<std::wstring>& aliases)
{
    const wchar_t path[] = L"SOFTWARE\\VERITAS\\VCS\\Base";
    CRegistryKey key;
    if (!key.Open(serverName, HKEY_LOCAL_MACHINE, path, kRemoteRead))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"EnumerateVeritasClusterNodes, RegKey.Open return false, server is %s, registry "
               L"path is %s",
               serverName.c_str(), path);
        return false;
    }
    std::wstring home = key.ReadString(L"HOMEDIRECTORY");
    std::wstring config = CStringSupport::StringReplace(
        CStringSupport::StringFormat(L"\\\\?\\UNC\\%s\\%s\\conf\\config\\main.cf",
                                     serverName.c_str(), home.c_str()),
        L":", L"$");
    std::vector<std::wstring> lines;
    if (!CFileSupport::ReadFileContentIntoVector(config, nullptr, lines))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"EnumerateVeritasClusterNodes, ReadFileContentIntoVector(%s) return false",
               config.c_str());
        return false;
    }
    bool afterRemoteCluster = false;
    for (const std::wstring& line : lines)
    {
        if (afterRemoteCluster)
        {
            afterRemoteCluster = false;
            size_t first = line.find(L'"'), last = line.rfind(L'"');
            if (first == std::wstring::npos || last <= first + 1)
                continue;
            aliases.push_back(line.substr(first + 1, last - first - 1));
        }
        std::vector<std::wstring> tokens = CStringSupport::StringToVector(line, L" \t");
        if (tokens.empty())
            continue;
        if (_wcsicmp(tokens[0].c_str(), L"remotecluster") == 0)
            afterRemoteCluster = true;
        else if (_wcsicmp(tokens[0].c_str(), L"SYSTEM") == 0 && tokens.size() > 1)
            nodes.push_back(tokens[1]);
    }
    return true;
}

void CBackendLogonTargetServer::RemoveClusterAliasFromServerList()
{
    for (const std::wstring& server : CBackendMiscAPI::GetAllServers())
    {
        CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(server);
        int type = view.GetPropertyInt(PROP_SERVER_CLUSTER_TYPE);
        if (type != CLUSTER_UNKNOWN && type != CLUSTER_NORMAL &&
            view.GetPropertyInt(PROP_SERVER_CLUSTER_ENTITY) != 1)
            CBackendMiscAPI::RemoveServerFromGlobalServerList(server);
    }
}

void CBackendLogonTargetServer::HandleLogonError_Win32(const std::wstring& serverName, DWORD error)
{
    HandleLogonError(serverName,
                     CStringSupport::StringFormat(
                         CBackendMiscAPI::GetText(L"UI_DIALOG_RELOGON_FAIELD_MESSAGE").c_str(),
                         serverName.c_str(),
                         CStringSupport::ConvertWin32ErrorCodeToString(error).c_str()));
}

void CBackendLogonTargetServer::HandleLogonError_RemoteRegValue(const std::wstring& serverName,
                                                                const std::wstring& path,
                                                                const std::wstring& value)
{
    HandleLogonError(
        serverName,
        CStringSupport::StringFormat(
            CBackendMiscAPI::GetText(L"BACKEND_LOGON_FAIL_UNABLE_TO_READ_REG_VALUE").c_str(),
            serverName.c_str(), path.c_str(), value.c_str()));
}

void CBackendLogonTargetServer::HandleLogonError(const std::wstring& serverName,
                                                 const std::wstring& message)
{
    ADVLOG(ADVLOG_SEVERITY_ERROR,
           L"HandleLogonError is called, strServeName is %s, strErrMsg is %s", serverName.c_str(),
           message.c_str());
    CArgRequestRelogon request;
    request.m_strServerName = serverName;
    request.m_strErrorMessage = message;
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(MESSAGE_BACKEND_REQUEST_RELOGON,
                                                                 &request);
    if (request.m_bAnswered && request.m_bRetry)
    {
        CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(serverName);
        view.SetProperty(PROP_SERVER_USERNAME, request.m_strNewUsername);
        view.SetProperty(PROP_SERVER_PASSWORD, request.m_strNewPassword);
        StartThread_LogonSingleServer(serverName);
    }
    else
        CBackendMiscAPI::RemoveServerFromGlobalServerList(serverName);
}

void CBackendLogonTargetServer::OnMessageArrived(CMessageSupportArgs* args)
{
    if (dynamic_cast<CArgLogonFinished*>(args) == nullptr)
        return;
    CCriticalSectionSentry guard(m_Lock);
    if (!IsLastThreadEnded(L"Logon all servers progress changed. Remaining = %d"))
        return;
    RemoveClusterAliasFromServerList();
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(
        MESSAGE_BACKEND_LOGON_ALL_SERVERS_FINISHED);
}
