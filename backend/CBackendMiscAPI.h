// Static operations shared by the backend jobs, the tasks run on agents and the front ends: the
// server list and each server's namespace, probes of this computer's product and Exchange, and
// running a task on a server's agent.
#pragma once

#include "backend/BackendDefines.h"
#include "framework/CPropertyManager.h"
#include "framework/Sync.h"

#include <string>
#include <vector>

class ITaskSupport;

class CBackendMiscAPI
{
public:
    static void EnterServerPrivateOwnedNamespace(CPropertyManagerNamespaceView& view,
                                                 const std::wstring& serverName);
    // A view of the server's own namespace of the global store.
    static CPropertyManagerNamespaceView GetServerView(const std::wstring& serverName);
    static int AddServerToGlobalServerList(const std::wstring& serverName);
    static int RemoveServerFromGlobalServerList(const std::wstring& serverName);
    static std::vector<std::wstring> GetAllServers();
    static std::vector<std::wstring> GetServerListThatPassedAnalysis();
    static std::vector<std::wstring> GetAllExchangeVirtualServers();
    static int IsAtLeastOneServerEncounteredFailure();
    static int IsLocalInstallMode();
    static UI_MODE GetCurrentUIMode();
    static std::wstring GetServerDisplayName(const std::wstring& serverName);
    static std::wstring GetServerConnectName(const std::wstring& serverName);

    static EXCHANGE_EDITION GetExchangeEdition();
    static int GetExchangeServerRole();
    static std::wstring ExchangeEditionToString(int edition);
    static std::wstring ExchangeRoleToString(int role);
    static std::wstring GetSystemUniqueId();
    static void GetProductVersionBuild(std::wstring* version, unsigned* build,
                                       unsigned* servicePack);
    static bool IsServicePack1Installed();
    static std::wstring GetProductInstallRoot();

    static void RunTaskOnServer(const std::wstring& serverName, ITaskSupport* task);
    static void RunTaskOnAllServers(ITaskSupport* task);

    // The text of a string id of the process's bundle.
    static std::wstring GetText(const wchar_t* id);

private:
    static CSimpleCriticalSection m_LockForServerListOperation;
    static CSimpleCriticalSection m_LockForGetSystemUniqueId;
    static std::wstring m_strSystemUniqueId;
};
