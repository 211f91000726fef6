// The backend's tasks that run on a server's agent: the requirement check of the analysis, the
// start and the status of the package launcher, and the agent's own removal.
#pragma once

#include "backend/BackendDefines.h"
#include "framework/Serialization.h"
#include "remoteinstall/CTaskSupport.h"
#include "winport/WinTypes.h"

#include <string>
#include <vector>

// What the probe program leaves in its output file: the Exchange virtual servers of a server.
class CInvokerResultVirtualServerList : public ISerializeSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;

    std::vector<std::wstring> m_AllVirtualServers;
    std::vector<std::wstring> m_OnlineVirtualServers;
};

class CTaskCheckSystemRequirement : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;

    void CheckInstallRequirement();
    void CheckUninstallRequirement();
    bool GetExchangeVirtualServersOnCurrentServer();
    static std::wstring GetPackageBranchOnCurrentServer();

    // Set by the agent.
    int m_bIsReqirementMeet = 0;
    std::wstring m_strDescription;
    int m_nExchangeEdition = EXCHANGE_EDITION_UNKNOWN;
    int m_nExchangeRole = 0;
    // Set by the wizard.
    int m_nDeployType = DEPLOY_TYPE_INSTALL;
    // Set by the agent.
    std::wstring m_strSystemId;
    std::vector<std::wstring> m_AllVirtualServers;
    std::vector<std::wstring> m_OnlineVirtualServers;
    std::wstring m_strPhysicalComputerName;
    SYSTEMTIME m_TargetSystemTime = {};
    // The package's description, set by the wizard.
    int m_nBuildNumberAfterUpdate = 0;
    std::wstring m_strTargetedProductVersion;
    int m_bPackageIsServicePack = 1;
    int m_nServicePackAfterUpdate = 1;
    int m_nTargetedServicePack = 0;
    int m_nTargetedMinimalBuild = 0;
    int m_nTargetedMaximalBuild = 0;
    int m_bPackageIsPatch = 0;
    std::wstring m_strTargetedPatchName;
    std::wstring m_strTargetedOSPlatforms;
    std::wstring m_strPackageBranch;
    std::wstring m_strTargetedClusterTypes;
    int m_nClusterType = CLUSTER_UNKNOWN;

protected:
    void OnRun() override;

private:
    // The start both checks share; false when the product is not the targeted version.
    bool CommonCheckStart(unsigned& build, unsigned& servicePack, bool install);
    bool IsHotfixInstalled() const;
};

class CTaskPackageDeploy : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    bool LaunchPackageDeployProcess();

    int m_nDeployType = DEPLOY_TYPE_INSTALL;
    std::wstring m_strPackageBranch;
    int m_bLaunched = 0;
    std::wstring m_strErrorMessage;
    std::wstring m_strRelativeUninstallFolder;

protected:
    void OnRun() override;
};

class CTaskGetPackageStatusActively : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;

    int m_bIsPackageDeployFinished = 0;
    std::wstring m_strLastProgressMessage;

protected:
    void OnRun() override;
};

class CTaskShutdownAgent : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    static void StartDeleteServiceBat();
    // Waits until no other process runs a program or module from the folder (the package
    // folder lies in the agent's, and its launcher may be this agent's or an earlier one's), at
    // most the given time; true when none runs.
    static bool WaitForProgramsIn(const std::wstring& folder, DWORD milliseconds);

protected:
    void OnRun() override;
};
