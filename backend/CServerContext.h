// Per-server state of the backend: the agent on the server and the peer that talks to it, the
// process-wide registry of these contexts, and the factory of the backend's task classes.
#pragma once

#include "framework/CMessageSupport.h"
#include "framework/Sync.h"
#include "remoteinstall/CAgentSetup.h"
#include "remoteinstall/CommunicationPeer.h"

#include <map>
#include <string>

class ITaskSupport;

// Receivers of the backend turn a message argument into OnMessageArrived.
class CBackendMessageReceiver : public IEventSupportCallback
{
public:
    void OnFire(CEventSupportArgs* args) override;
    virtual void OnMessageArrived(CMessageSupportArgs* args) = 0;
};

class CServerContext : public CBackendMessageReceiver
{
public:
    explicit CServerContext(const std::wstring& serverName = std::wstring());
    CServerContext(const CServerContext& other);
    CServerContext& operator=(const CServerContext& other);
    ~CServerContext() override = default;

    void OnMessageArrived(CMessageSupportArgs* args) override;

    std::wstring m_strServerName;
    CAgentSetup m_AgentSetup;
    int m_bIsAgentReady = 0;
    CCommunicationPeerSupport m_RemotePeer;

private:
    CAutoMessageRegister m_MessageRegister;
};

class CBackendRemoteServerContextManager
{
public:
    CBackendRemoteServerContextManager() = default;
    CBackendRemoteServerContextManager(const CBackendRemoteServerContextManager&) = delete;
    CBackendRemoteServerContextManager&
    operator=(const CBackendRemoteServerContextManager&) = delete;
    virtual ~CBackendRemoteServerContextManager();

    CServerContext* GetOrAddServerContext(const std::wstring& serverName);
    CServerContext* GetServerContext(const std::wstring& serverName);
    void RemoveServerContext(const std::wstring& serverName);
    void RemoveAllServerContexts();

private:
    CSimpleCriticalSection m_Lock;
    std::map<std::wstring, CServerContext*> m_ServerContextMap;
};

CBackendRemoteServerContextManager* GetServerContextManager();
void FreeServerContextManager();

class CBackendClassReflection : public CBackendMessageReceiver
{
public:
    CBackendClassReflection();
    void OnMessageArrived(CMessageSupportArgs* args) override;
    // A new task of a backend class named without regard to case (the caller owns it), or null.
    static ITaskSupport* RecoverInstanceFromClassName(const std::wstring& className);

private:
    CAutoMessageRegister m_MessageRegister;
};

extern "C" void InitSetupBackend();
extern "C" void UninitSetupBackend();
