// Puts the install agent on a target server: copies the package files there through an
// administrative share, runs the one-shot bootstrap service, then starts the agent as a service
// (or, for a local install, as a plain process).
#pragma once

#include "framework/Sync.h"
#include "winport/WinBase.h"

#include <string>
#include <vector>

class CAgentSetup
{
public:
    CAgentSetup() = default;
    CAgentSetup(const CAgentSetup& other) = default;
    CAgentSetup& operator=(const CAgentSetup& other) = default;
    virtual ~CAgentSetup() = default;

    int RemoteInstallBegin(const std::wstring& serverName, const std::wstring& packageBranch);
    int LocalInstallBegin(const std::wstring& packageBranch);
    void LocalInstallEnd();
    int IsAgentRunning() const { return m_bAgentRunning; }
    std::wstring GetErrorMessage() const { return m_strErrorMessage; }

    // The folder the package files are read from, and the install folder on the target as a UNC
    // path (valid after a successful install begin).
    const std::wstring& GetSourceRoot() const { return m_strSourceRoot; }
    const std::wstring& GetInstallFolderUnc() const { return m_strInstallFolderUnc; }

    static int SynchronizeRemoteFiles(const std::vector<std::wstring>& names);
    static std::wstring GetSynchronizeLocalRoot();

    // The package file list of a branch, relative to the source root, in copy order.
    static std::vector<std::wstring> PackageFileList(const std::wstring& packageBranch);

protected:
    int DeployBootstrap();
    int DeployAgent();
    int InstallAndStartRemoteService(const std::wstring& serviceName,
                                     const std::wstring& displayName,
                                     const std::wstring& programFileName);
    int StopAndDeleteRemoteService(const std::wstring& serviceName, int timeoutSeconds);
    int WaitUntilRemoteServiceStopped(const std::wstring& serviceName, int timeoutSeconds);

private:
    bool CopyPackageFile(const std::wstring& source, const std::wstring& target);
    std::wstring MachineArgument() const;

    std::wstring m_strServerName;
    std::wstring m_strHostName;
    int m_bAgentRunning = 0;
    std::wstring m_strInstallFolderLocal;
    std::wstring m_strInstallFolderUnc;
    std::wstring m_strInstallFolderRelative;
    std::wstring m_strSourceRoot;
    std::wstring m_strPackageBranch;
    std::wstring m_strShareName;
    std::wstring m_strShareUncRoot;
    std::wstring m_strErrorMessage;
    HANDLE m_hAgentProcess = nullptr;

    static CSimpleCriticalSection m_RemoteFileSyncLock;
    static std::vector<std::wstring> m_SynchronizedFiles;
    static std::wstring m_strSyncLocalRoot;
};
