#include "backend/CServerContext.h"

#include "backend/BackendTasks.h"
#include "backend/CBackendMiscAPI.h"
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/CWin32API.h"

#include <mutex>
#include <typeinfo>

namespace
{

std::mutex s_ModuleLock;
CBackendRemoteServerContextManager* s_pContextManager = nullptr;
CBackendClassReflection* s_pClassReflection = nullptr;

} // namespace

void CBackendMessageReceiver::OnFire(CEventSupportArgs* args)
{
    if (auto* message = dynamic_cast<CMessageSupportArgs*>(args))
        OnMessageArrived(message);
}

// ---- CServerContext ----------------------------------------------------------------------------

CServerContext::CServerContext(const std::wstring& serverName) : m_strServerName(serverName)
{
    m_MessageRegister.RegisterReceiver(MESSAGE_VANE52_PROGRAM_EXIT, this);
}

CServerContext::CServerContext(const CServerContext& other)
    : CBackendMessageReceiver(other), m_strServerName(other.m_strServerName),
      m_AgentSetup(other.m_AgentSetup), m_bIsAgentReady(other.m_bIsAgentReady),
      m_RemotePeer(other.m_RemotePeer)
{
    m_MessageRegister.RegisterReceiver(MESSAGE_VANE52_PROGRAM_EXIT, this);
}

CServerContext& CServerContext::operator=(const CServerContext& other)
{
    m_strServerName = other.m_strServerName;
    m_AgentSetup = other.m_AgentSetup;
    m_bIsAgentReady = other.m_bIsAgentReady;
    m_RemotePeer = other.m_RemotePeer;
    return *this;
}

void CServerContext::OnMessageArrived(CMessageSupportArgs* args)
{
    (void)args;
    // The bus calls this receiver for its one registered name only.
    std::wstring connectName = CBackendMiscAPI::GetServerConnectName(m_strServerName);
    if (m_bIsAgentReady)
    {
        if (CBackendMiscAPI::IsLocalInstallMode())
            m_AgentSetup.LocalInstallEnd();
        else
        {
            ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Will shutdown remote agent on server %s",
                   m_strServerName.c_str());
            CTaskShutdownAgent task;
            task.m_strTargetServerName = m_strServerName;
            CBackendMiscAPI::RunTaskOnServer(m_strServerName, &task);
        }
        m_bIsAgentReady = 0;
    }
    if (GetFrameworkGlobalVariables()->m_PropertyManager.GetPropertyInt(PROP_ESTABLISH_WNET) != 0)
        CWin32API::DisconnectAllWNetConncetionsForServer(connectName);
}

// ---- CBackendRemoteServerContextManager --------------------------------------------------------

CBackendRemoteServerContextManager::~CBackendRemoteServerContextManager()
{
    RemoveAllServerContexts();
}

CServerContext*
CBackendRemoteServerContextManager::GetOrAddServerContext(const std::wstring& serverName)
{
    CCriticalSectionSentry guard(m_Lock);
    CServerContext*& context = m_ServerContextMap[serverName];
    if (context == nullptr)
        context = new CServerContext(serverName);
    return context;
}

CServerContext* CBackendRemoteServerContextManager::GetServerContext(const std::wstring& serverName)
{
    CCriticalSectionSentry guard(m_Lock);
    auto found = m_ServerContextMap.find(serverName);
    return found != m_ServerContextMap.end() ? found->second : nullptr;
}

void CBackendRemoteServerContextManager::RemoveServerContext(const std::wstring& serverName)
{
    CServerContext* context = nullptr;
    {
        CCriticalSectionSentry guard(m_Lock);
        auto found = m_ServerContextMap.find(serverName);
        if (found == m_ServerContextMap.end())
            return;
        context = found->second;
        m_ServerContextMap.erase(found);
    }
    delete context;
}

void CBackendRemoteServerContextManager::RemoveAllServerContexts()
{
    std::map<std::wstring, CServerContext*> contexts;
    {
        CCriticalSectionSentry guard(m_Lock);
        contexts.swap(m_ServerContextMap);
    }
    for (auto& [name, context] : contexts)
        delete context;
}

CBackendRemoteServerContextManager* GetServerContextManager()
{
    std::lock_guard<std::mutex> guard(s_ModuleLock);
    if (s_pContextManager == nullptr)
        s_pContextManager = new (std::nothrow) CBackendRemoteServerContextManager();
    return s_pContextManager;
}

void FreeServerContextManager()
{
    CBackendRemoteServerContextManager* manager = nullptr;
    {
        std::lock_guard<std::mutex> guard(s_ModuleLock);
        manager = s_pContextManager;
        s_pContextManager = nullptr;
    }
    delete manager;
}

// ---- CBackendClassReflection -------------------------------------------------------------------

CBackendClassReflection::CBackendClassReflection()
{
    m_MessageRegister.RegisterReceiver(MESSAGE_VANE52_CLASS_REFLECTION, this);
}

void CBackendClassReflection::OnMessageArrived(CMessageSupportArgs* args)
{
    auto* request = dynamic_cast<CArgVane52ClassReflection*>(args);
    if (request == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CBackendClassReflection::OnMessageArrived");
        return;
    }
    if (request->m_pObject == nullptr)
        request->m_pObject = RecoverInstanceFromClassName(request->m_strClassName);
}

ITaskSupport* CBackendClassReflection::RecoverInstanceFromClassName(const std::wstring& className)
{
    if (className.empty())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CBackendClassReflection::RecoverInstanceFromClassName");
        return nullptr;
    }
    auto is = [&](const std::type_info& type)
    {
        return CStringSupport::IsStringEqualIgnoreCase(
            className, CStringSupport::GetClassNameThroughTypeInfo(type));
    };
    if (is(typeid(CTaskCheckSystemRequirement)))
        return new CTaskCheckSystemRequirement();
    if (is(typeid(CTaskShutdownAgent)))
        return new CTaskShutdownAgent();
    if (is(typeid(CTaskPackageDeploy)))
        return new CTaskPackageDeploy();
    if (is(typeid(CTaskGetPackageStatusActively)))
        return new CTaskGetPackageStatusActively();
    return nullptr;
}

// ---- Entry points ------------------------------------------------------------------------------

extern "C" void InitSetupBackend()
{
    GetServerContextManager();
    std::lock_guard<std::mutex> guard(s_ModuleLock);
    if (s_pClassReflection == nullptr)
        s_pClassReflection = new CBackendClassReflection();
}

extern "C" void UninitSetupBackend()
{
    CBackendClassReflection* reflection = nullptr;
    {
        std::lock_guard<std::mutex> guard(s_ModuleLock);
        reflection = s_pClassReflection;
        s_pClassReflection = nullptr;
    }
    delete reflection;
    FreeServerContextManager();
}
