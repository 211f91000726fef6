// The requirement check that the analysis runs on each server's agent.
#include "backend/BackendTasks.h"
#include "backend/CBackendMiscAPI.h"
#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/CWin32API.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinNet.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"

#include <algorithm>
#include <mutex>

namespace
{

std::mutex s_CheckLock;

bool FailSerialization(bool ok, const wchar_t* function)
{
    if (!ok)
        ADVLOG_UNEXPECTED_BRANCH(function);
    return ok;
}

bool ListContains(const std::wstring& list, const std::wstring& item)
{
    std::vector<std::wstring> items = CStringSupport::StringToVector(list, L',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

} // namespace

// ---- CInvokerResultVirtualServerList ------------------------------------------------------------

int CInvokerResultVirtualServerList::OnSerializeTo(CSerializeStream* stream)
{
    stream->WriteString(CStringSupport::VectorToString(m_AllVirtualServers, L','));
    stream->WriteString(CStringSupport::VectorToString(m_OnlineVirtualServers, L','));
    return 1;
}

int CInvokerResultVirtualServerList::OnSerializeFrom(CSerializeStream* stream)
{
    if (!stream->IsHaveDataForRead())
        return 0;
    m_AllVirtualServers = CStringSupport::StringToVector(stream->ReadString(), L',');
    if (!stream->IsHaveDataForRead())
        return 0;
    m_OnlineVirtualServers = CStringSupport::StringToVector(stream->ReadString(), L',');
    return 1;
}

// ---- CTaskCheckSystemRequirement
// -----------------------------------------------------------------

int CTaskCheckSystemRequirement::OnSerializeTo(CSerializeStream* stream)
{
    if (!FailSerialization(ITaskSupport::OnSerializeTo(stream) != 0,
                           L"CTaskCheckSystemRequirement::OnSerializeTo"))
        return FALSE;
    stream->WriteInt(m_bIsReqirementMeet);
    stream->WriteString(m_strDescription);
    stream->WriteInt(m_nExchangeEdition);
    stream->WriteInt(m_nExchangeRole);
    stream->WriteInt(m_nDeployType);
    stream->WriteString(m_strSystemId);
    stream->WriteString(CStringSupport::VectorToString(m_AllVirtualServers, L';'));
    stream->WriteString(CStringSupport::VectorToString(m_OnlineVirtualServers, L';'));
    stream->WriteString(m_strPhysicalComputerName);
    for (WORD part :
         {m_TargetSystemTime.wYear, m_TargetSystemTime.wMonth, m_TargetSystemTime.wDay,
          m_TargetSystemTime.wHour, m_TargetSystemTime.wMinute, m_TargetSystemTime.wSecond})
        stream->WriteInt(part);
    stream->WriteInt(m_nBuildNumberAfterUpdate);
    stream->WriteString(m_strTargetedProductVersion);
    stream->WriteInt(m_nTargetedServicePack);
    stream->WriteInt(m_nTargetedMinimalBuild);
    stream->WriteInt(m_nTargetedMaximalBuild);
    stream->WriteInt(m_bPackageIsServicePack);
    stream->WriteInt(m_nServicePackAfterUpdate);
    stream->WriteInt(m_bPackageIsPatch);
    stream->WriteString(m_strTargetedPatchName);
    stream->WriteString(m_strTargetedOSPlatforms);
    stream->WriteString(m_strPackageBranch);
    stream->WriteString(m_strTargetedClusterTypes);
    stream->WriteInt(m_nClusterType);
    return TRUE;
}

int CTaskCheckSystemRequirement::OnSerializeFrom(CSerializeStream* stream)
{
    if (!FailSerialization(ITaskSupport::OnSerializeFrom(stream) != 0,
                           L"CTaskCheckSystemRequirement::OnSerializeFrom"))
        return FALSE;
    m_bIsReqirementMeet = stream->ReadInt();
    m_strDescription = stream->ReadString();
    m_nExchangeEdition = stream->ReadInt();
    m_nExchangeRole = stream->ReadInt();
    m_nDeployType = stream->ReadInt();
    m_strSystemId = stream->ReadString();
    m_AllVirtualServers = CStringSupport::StringToVector(stream->ReadString(), L';');
    m_OnlineVirtualServers = CStringSupport::StringToVector(stream->ReadString(), L';');
    m_strPhysicalComputerName = stream->ReadString();
    for (WORD* part :
         {&m_TargetSystemTime.wYear, &m_TargetSystemTime.wMonth, &m_TargetSystemTime.wDay,
          &m_TargetSystemTime.wHour, &m_TargetSystemTime.wMinute, &m_TargetSystemTime.wSecond})
        *part = static_cast<WORD>(stream->ReadInt());
    m_nBuildNumberAfterUpdate = stream->ReadInt();
    m_strTargetedProductVersion = stream->ReadString();
    m_nTargetedServicePack = stream->ReadInt();
    m_nTargetedMinimalBuild = stream->ReadInt();
    m_nTargetedMaximalBuild = stream->ReadInt();
    m_bPackageIsServicePack = stream->ReadInt();
    m_nServicePackAfterUpdate = stream->ReadInt();
    m_bPackageIsPatch = stream->ReadInt();
    m_strTargetedPatchName = stream->ReadString();
    m_strTargetedOSPlatforms = stream->ReadString();
    m_strPackageBranch = stream->ReadString();
    m_strTargetedClusterTypes = stream->ReadString();
    m_nClusterType = stream->ReadInt();
    return TRUE;
}

void CTaskCheckSystemRequirement::OnRun()
{
    std::lock_guard<std::mutex> guard(s_CheckLock);
    if (m_nDeployType == DEPLOY_TYPE_INSTALL)
        CheckInstallRequirement();
    else if (m_nDeployType == DEPLOY_TYPE_UNINSTALL)
        CheckUninstallRequirement();
    else
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskCheckSystemRequirement::OnRun");
    GetSystemTime(&m_TargetSystemTime);
    ADVLOG(ADVLOG_SEVERITY_NOISY, L"The system id on current agent is %s", m_strSystemId.c_str());
}

bool CTaskCheckSystemRequirement::CommonCheckStart(unsigned& build, unsigned& servicePack,
                                                   bool install)
{
    m_bIsReqirementMeet = 0;
    m_strDescription = CBackendMiscAPI::GetText(L"BACKEND_CHECK_UNKOWN_FAIL");
    m_strSystemId = CBackendMiscAPI::GetSystemUniqueId();
    m_strPhysicalComputerName = CWin32API::GetLocalComputerName();
    m_nExchangeEdition = CBackendMiscAPI::GetExchangeEdition();
    m_nExchangeRole = CBackendMiscAPI::GetExchangeServerRole();
    if (!GetExchangeVirtualServersOnCurrentServer())
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Unable to get Exchange virtual servers list");
    std::wstring version;
    CBackendMiscAPI::GetProductVersionBuild(&version, &build, &servicePack);
    if (install)
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"Product version is %s, product build is %d, product service pack is %d, "
               L"BuildNumberAfterUpdate is %d, TargetedProductVersion is %s, bPackageIsServicePack "
               L"is %d, ServicePackNumberAfterUpdate is %d, TargetedServicePackNumber is %d, "
               L"TargetedMinBuildNumber is %d, TargetedMaxBuildNumber is %d, PackageIsPatch is %d, "
               L"TargetedPatchName is %s",
               version.c_str(), static_cast<int>(build), static_cast<int>(servicePack),
               m_nBuildNumberAfterUpdate, m_strTargetedProductVersion.c_str(),
               m_bPackageIsServicePack, m_nServicePackAfterUpdate, m_nTargetedServicePack,
               m_nTargetedMinimalBuild, m_nTargetedMaximalBuild, m_bPackageIsPatch,
               m_strTargetedPatchName.c_str());
    else
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"Product version is %s, product build is %d, product service pack is %d, "
               L"BuildNumberAfterUpdate is %d, TargetedProductVersion is %s, bPackageIsServicePack "
               L"is %d, ServicePackNumberAfterUpdate is %d, TargetedServicePackNumber is "
               L"%d,PackageIsPatch is %d, TargetPatchName is %s",
               version.c_str(), static_cast<int>(build), static_cast<int>(servicePack),
               m_nBuildNumberAfterUpdate, m_strTargetedProductVersion.c_str(),
               m_bPackageIsServicePack, m_nServicePackAfterUpdate, m_nTargetedServicePack,
               m_bPackageIsPatch, m_strTargetedPatchName.c_str());
    if (version != m_strTargetedProductVersion)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Parvel (version %s) is not installed",
               m_strTargetedProductVersion.c_str());
        m_strDescription = CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_PRVL10_NOT_INSTALLED");
        return false;
    }
    return true;
}

bool CTaskCheckSystemRequirement::IsHotfixInstalled() const
{
    std::wstring name =
        m_bPackageIsPatch ? m_strTargetedPatchName : std::to_wstring(m_nBuildNumberAfterUpdate);
    std::wstring key = CStringSupport::PathCombinePath(
        CStringSupport::PathCombinePath(L"Software\\Halvorn\\Parvel for Exchange", L"Hotfix"),
        name);
    return CWin32API::RegReadDwordValue_WOW6464Key(HKEY_LOCAL_MACHINE, key, L"Installed", 0) != 0;
}

void CTaskCheckSystemRequirement::CheckInstallRequirement()
{
    unsigned build = 0, servicePack = 0;
    if (!CommonCheckStart(build, servicePack, true))
        return;
    std::wstring version;
    CBackendMiscAPI::GetProductVersionBuild(&version, nullptr, nullptr);
    if (_wcsicmp(version.c_str(), L"10.2") == 0 && build >= 1135 && build <= 1999 &&
        servicePack != 0)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"Ignore the 'ServicePack' registry item that left by 10.0 SP1 installation");
        servicePack = 0;
    }
    auto alreadyInstalled = [&]
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Parvel 10.2 service pack/hotfix already installed. Current build number is %d",
               static_cast<int>(build));
        m_strDescription =
            CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_SERVICE_PACK_ALREADY_INSTALLED");
    };
    if (m_bPackageIsServicePack)
    {
        if (servicePack >= static_cast<unsigned>(m_nServicePackAfterUpdate))
        {
            alreadyInstalled();
            return;
        }
    }
    else
    {
        bool already = IsHotfixInstalled();
        bool wrongServicePack = servicePack != static_cast<unsigned>(m_nTargetedServicePack) ||
                                build < static_cast<unsigned>(m_nTargetedMinimalBuild);
        bool tooNew =
            m_nTargetedMaximalBuild != 0 && static_cast<unsigned>(m_nTargetedMaximalBuild) <= build;
        bool environment =
            (!m_strTargetedOSPlatforms.empty() &&
             !ListContains(m_strTargetedOSPlatforms, m_strPackageBranch)) ||
            (!m_strTargetedClusterTypes.empty() &&
             !ListContains(m_strTargetedClusterTypes, std::to_wstring(m_nClusterType)));
        if (already)
        {
            alreadyInstalled();
            return;
        }
        if (wrongServicePack || tooNew || environment)
        {
            ADVLOG_UNEXPECTED_BRANCH(L"CTaskCheckSystemRequirement::CheckInstallRequirement");
            if (wrongServicePack)
                m_strDescription = CStringSupport::StringFormat(
                    CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_NOT_FOR_THIS_SERVICE_PACK")
                        .c_str(),
                    m_nTargetedServicePack, m_nTargetedMinimalBuild);
            else if (tooNew)
                m_strDescription = CStringSupport::StringFormat(
                    CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_NOT_FOR_THIS_SERVICE_PACK_MAX")
                        .c_str(),
                    m_nTargetedServicePack, m_nTargetedMaximalBuild);
            else
                m_strDescription =
                    CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_TARGET_ENVIRONMENT_NOT_MEET");
            return;
        }
    }
    m_bIsReqirementMeet = 1;
    m_strDescription = CStringSupport::StringFormat(
        CBackendMiscAPI::GetText(L"BACKEND_CHECK_INSTALL_PASSED").c_str(), static_cast<int>(build));
}

void CTaskCheckSystemRequirement::CheckUninstallRequirement()
{
    unsigned build = 0, servicePack = 0;
    if (!CommonCheckStart(build, servicePack, false))
        return;
    bool installed;
    if (!m_bPackageIsServicePack)
        installed = IsHotfixInstalled();
    else if (servicePack > static_cast<unsigned>(m_nServicePackAfterUpdate))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"A service pack/hotfix with a higer version is installed");
        m_strDescription =
            CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_SERVICE_PACK_WITH_HIGH_VERSION");
        return;
    }
    else
        installed = servicePack == static_cast<unsigned>(m_nServicePackAfterUpdate);
    if (!installed)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Parvel build number [%d] is less than %d, The target service pack/hotfix is not "
               L"installed.",
               static_cast<int>(build), m_nBuildNumberAfterUpdate);
        m_strDescription =
            CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_SERVICE_PACK_NOT_INSTALLED");
        return;
    }
    m_bIsReqirementMeet = 1;
    if (CBackendMiscAPI::IsServicePack1Installed())
    {
        m_strDescription = CBackendMiscAPI::GetText(L"BACKEND_CHECK_UNINSTALL_PASSEDSP2_TO_SP1");
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Will uninstall from 10.2 SP2 to 10.2 SP1");
    }
    else
    {
        m_strDescription = CBackendMiscAPI::GetText(L"BACKEND_CHECK_UNINSTALL_PASSED");
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Will uninstall from 10.2 SP2 to 10.2");
    }
}

bool CTaskCheckSystemRequirement::GetExchangeVirtualServersOnCurrentServer()
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"%s() is called",
           L"CTaskCheckSystemRequirement::GetExchangeVirtualServersOnCurrentServer");
    std::wstring root = CStringSupport::PathGetRunningExeFileRootPath();
    std::wstring branch = GetPackageBranchOnCurrentServer();
    std::wstring debugLog = CStringSupport::PathGetTempFile(L"HalvornInstall");
    std::wstring output = CStringSupport::PathGetTempFile(L"HalvornInstall");
    std::wstring home = CBackendMiscAPI::GetProductInstallRoot();
    bool result = false;
    do
    {
        if (home.empty())
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Failed to get product install folder");
            break;
        }
        std::wstring program = CStringSupport::StringFormat(L"%s\\%s\\%s", root.c_str(),
                                                            branch.c_str(), L"probeinvoker.exe");
        std::wstring library = CStringSupport::StringFormat(L"%s\\%s\\%s", root.c_str(),
                                                            branch.c_str(), L"probestub.dll");
        std::wstring commandLine = CStringSupport::StringFormat(
            L"\"%s\" -dll \"%s\" -func %s -debug_log \"%s\" -output \"%s\"", program.c_str(),
            library.c_str(), L"GetExchangeVirtualServers", debugLog.c_str(), output.c_str());
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"GetExchangeVirtualServersOnCurrentServer(), Create an new "
                                      L"process to retrieve virtual server");
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"The prcoess command line is: %s", commandLine.c_str());
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"The product home dir is: %s", home.c_str());
        PROCESS_INFORMATION process = {};
        if (!CWin32API::CreateHiddenProcess(commandLine, home.c_str(), process))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Failed to create process, last error is %d",
                   static_cast<int>(GetLastError()));
            break;
        }
        if (WaitForSingleObject(process.hProcess, 90000) == WAIT_TIMEOUT)
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"Process reach timeout limit. The timeout second is %d, will terminate it", 90);
            TerminateProcess(process.hProcess, 0);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Process finished");
        if (!CAdvancedLog::GetProcessLevelInstance()->MergeExistingLogFile(debugLog.c_str()))
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Failed to merge process log. The log file is %s",
                   debugLog.c_str());
        CInvokerResultVirtualServerList list;
        CPersistentStorageFile storage(output);
        if (CSerializer::ConstructObjectFromStorage(&list, &storage))
        {
            m_AllVirtualServers = list.m_AllVirtualServers;
            m_OnlineVirtualServers = list.m_OnlineVirtualServers;
            ADVLOG(ADVLOG_SEVERITY_DEBUG,
                   L"All virtual server list: %s     Online virtual server "
                   L"list:%s",
                   CStringSupport::VectorToString(m_AllVirtualServers, L';').c_str(),
                   CStringSupport::VectorToString(m_OnlineVirtualServers, L';').c_str());
            result = true;
        }
        else
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Failed to get virutal server list from output file: %s",
                   output.c_str());
    } while (false);
    for (const std::wstring& file : {debugLog, output})
        if (!file.empty())
            DeleteFileW(file.c_str());
    return result;
}

std::wstring CTaskCheckSystemRequirement::GetPackageBranchOnCurrentServer()
{
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL)
        return L"win32";
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
        return L"x64";
    ADVLOG(ADVLOG_SEVERITY_ERROR,
           L"GetPackageBranchOnCurrentServer, unknown processor architecture: %d",
           static_cast<int>(system.wProcessorArchitecture));
    return std::wstring();
}
