// The three jobs of a deployment, each with one worker thread per server: logon, analysis and
// deployment. A job announces each server's end and, once, the end of all of them.
#pragma once

#include "backend/BackendDefines.h"
#include "backend/CServerContext.h"
#include "framework/CPropertyManager.h"
#include "winport/WinProcess.h"

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

class CBackendServerJob;

struct CServerThreadRecord
{
    CBackendServerJob* m_pOwner = nullptr;
    std::wstring m_strServerName;
    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
};

// What the three jobs share: the thread map under the job's lock, the start of a server thread
// and its end, and the one "all finished" announcement of a run.
class CBackendServerJob : public CBackendMessageReceiver
{
public:
    CBackendServerJob() = default;
    CBackendServerJob(const CBackendServerJob&) = delete;
    CBackendServerJob& operator=(const CBackendServerJob&) = delete;
    // Waits for the worker threads that still run, so that none outlives its job.
    ~CBackendServerJob() override;

protected:
    // Starts a run with one thread per server through start: the map must be empty (else the
    // assertion line is logged).
    void StartRun(const wchar_t* function, const std::vector<std::wstring>& servers,
                  const std::function<int(const std::wstring&)>& start);
    int StartServerThread(const std::wstring& serverName, LPTHREAD_START_ROUTINE entry);
    // The thread's last work: drops its record and announces its end with the message.
    void EndServerThread(CServerThreadRecord* record, const wchar_t* message,
                         CMessageSupportArgs* args);
    // Under m_Lock: logs the remaining count; true once per run when no thread is left.
    bool IsLastThreadEnded(const wchar_t* progressFormat);

    static void DumpServerPropertyToDebugLog(CPropertyManagerNamespaceView& view,
                                             const std::wstring& indent, const std::wstring& key,
                                             const std::wstring& hint);

    CSimpleCriticalSection m_Lock;
    std::map<DWORD, CServerThreadRecord*> m_ThreadMap;

private:
    std::atomic<int> m_nLiveThreads{0};
    bool m_bAllFinishedSent = false;
};

// ---- Logon
// ---------------------------------------------------------------------------------------

class CArgLogonFinished : public CMessageSupportArgs
{
public:
    std::wstring m_strServerName;
};

class CArgRequestRelogon : public CMessageSupportArgs
{
public:
    std::wstring m_strErrorMessage;
    std::wstring m_strServerName;
    int m_bRetry = 0;
    int m_bAnswered = 0;
    std::wstring m_strNewUsername;
    std::wstring m_strNewPassword;
};

class CBackendLogonTargetServer : public CBackendServerJob
{
public:
    CBackendLogonTargetServer();
    ~CBackendLogonTargetServer() override = default;

    int LogonAllServers();
    int StartThread_LogonSingleServer(const std::wstring& serverName);
    static DWORD ThreadProc_LogonSingleServer(LPVOID record);
    int DoLogonSingleServer(const std::wstring& serverName);
    CLUSTER_TYPE DoDetectClusterType(const std::wstring& serverName);
    bool EnumerateClusterNodes(const std::wstring& serverName, std::vector<std::wstring>& nodes,
                               std::vector<std::wstring>& aliases);
    bool EnumerateWindowsClusterNodes(const std::wstring& serverName,
                                      std::vector<std::wstring>& nodes,
                                      std::vector<std::wstring>& aliases);
    bool EnumerateVeritasClusterNodes(const std::wstring& serverName,
                                      std::vector<std::wstring>& nodes,
                                      std::vector<std::wstring>& aliases);
    void RemoveClusterAliasFromServerList();
    void HandleLogonError(const std::wstring& serverName, const std::wstring& message);
    void HandleLogonError_Win32(const std::wstring& serverName, DWORD error);
    void HandleLogonError_RemoteRegValue(const std::wstring& serverName, const std::wstring& path,
                                         const std::wstring& value);
    void OnMessageArrived(CMessageSupportArgs* args) override;

private:
    void EstablishConnection(const std::wstring& serverName, const std::wstring& connectName,
                             CPropertyManagerNamespaceView& view);

    CAutoMessageRegister m_MessageRegister;
};

// ---- Analysis
// ------------------------------------------------------------------------------------

class CArgAnalyzeFinished : public CMessageSupportArgs
{
public:
    std::wstring m_strServerName;
};

class CBackendAnalyzeTargetServer : public CBackendServerJob
{
public:
    CBackendAnalyzeTargetServer();
    ~CBackendAnalyzeTargetServer() override = default;

    int AnalyzeAllServers();
    int StartThread_AnalyzeSingleServer(const std::wstring& serverName);
    static DWORD ThreadProc_AnalyzeSingleServer(LPVOID record);
    int DoAnalyzeSingleServer(const std::wstring& serverName);
    void OnMessageArrived(CMessageSupportArgs* args) override;
    void DumpAllServersPropertyToDebugLog();
    void RemoveClusterAliasNameAndVirtualServers();
    void RemoveDuplicateServersFromList();
    void DealWithDemoMode();

private:
    CAutoMessageRegister m_MessageRegister;
};

// ---- Deployment
// ----------------------------------------------------------------------------------

class CArgDeployPackageState : public CMessageSupportArgs
{
public:
    std::wstring m_strServerName;
};

class CArgDeployPackageFinished : public CMessageSupportArgs
{
public:
    std::wstring m_strServerName;
};

class CBackendInstallInProgress : public CBackendServerJob
{
public:
    CBackendInstallInProgress();
    ~CBackendInstallInProgress() override = default;

    int DeployPackageToAllServers();
    int StartThread_DeployPackageToSingleServer(const std::wstring& serverName);
    static DWORD ThreadProc_DeployPackageToSingleServer(LPVOID record);
    int DoDeployPackageToSingleServer(const std::wstring& serverName);
    int CopyPackageToTargetServer(CServerContext* context);
    void DoNotifyProgressChanged(const std::wstring& serverName, DEPLOY_STATE state,
                                 const std::wstring& text);
    void DumpDelpoyResultToDebugLog();
    void OnMessageArrived(CMessageSupportArgs* args) override;

private:
    // The end of a failed run: a server left without a status text gets the generic one.
    int FailedRun(const std::wstring& serverName);

    CAutoMessageRegister m_FinishedRegister;
    CAutoMessageRegister m_ResultRegister;
    CAutoMessageRegister m_AccountRegister;
};
