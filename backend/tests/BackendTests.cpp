// The backend's pieces on their own: the server list and names, the requirement check against
// this machine's product values, the task factory and wire forms, and the clean-up of the list
// after an analysis.
#include "backend/BackendJobs.h"
#include "backend/BackendTasks.h"
#include "backend/CBackendMiscAPI.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/CTaskSupport.h"
#include "setupsupport/CFileSupport.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinProcess.h"
#include "winport/WinReg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>

namespace
{

const wchar_t kProductKey[] = L"SOFTWARE\\Halvorn\\Parvel for Exchange\\CurrentVersion";

void SetProductValue(const wchar_t* key, const wchar_t* name, const std::wstring& value)
{
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &handle, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
}

void SetHotfix(const std::wstring& name, DWORD installed)
{
    std::wstring key = L"SOFTWARE\\Halvorn\\Parvel for Exchange\\Hotfix\\" + name;
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(handle, L"Installed", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&installed),
                   sizeof installed);
    RegCloseKey(handle);
}

// This machine's product at a version, build and service pack.
void Product(const wchar_t* version, const wchar_t* build, const wchar_t* servicePack)
{
    SetProductValue(kProductKey, L"Version", version);
    SetProductValue(kProductKey, L"Build", build);
    SetProductValue(kProductKey, L"PatchBuild", L"");
    SetProductValue(kProductKey, L"ServicePack", servicePack);
    SetProductValue(kProductKey, L"HomeDir", L"C:\\Program Files\\Product\\");
}

class Backend : public ::testing::Test
{
protected:
    void SetUp() override
    {
        InitSetupBackend();
        GlobalProperties().SetProperty(PROP_SERVER_LIST, L"");
        // The result texts differ from one another only with the kit's bundle loaded.
        ASSERT_TRUE(GetFrameworkGlobalVariables()->m_StringBundler.LoadStringBundle(
            testsupport::ProgramFolder() + L"\\samples\\Deploy\\lang.dat"));
    }
    void TearDown() override { UninitSetupBackend(); }
};

std::unique_ptr<CTaskCheckSystemRequirement> Check(int deployType, bool servicePack)
{
    auto task = std::make_unique<CTaskCheckSystemRequirement>();
    task->m_nDeployType = deployType;
    task->m_strTargetedProductVersion = L"10.2";
    task->m_bPackageIsServicePack = servicePack ? 1 : 0;
    task->m_nServicePackAfterUpdate = 2;
    task->m_nBuildNumberAfterUpdate = 1700;
    task->m_nTargetedServicePack = 0;
    task->m_nTargetedMinimalBuild = 1500;
    task->RunTaskOnLocal();
    return task;
}

} // namespace

TEST_F(Backend, ServerListAndNames)
{
    EXPECT_TRUE(CBackendMiscAPI::GetAllServers().empty());
    EXPECT_TRUE(CBackendMiscAPI::AddServerToGlobalServerList(L"EXCH1"));
    CBackendMiscAPI::GetServerView(L"EXCH1").SetProperty(PROP_SERVER_DOMAIN, L"CORP");
    // The same name again changes nothing; another spelling is another server.
    EXPECT_FALSE(CBackendMiscAPI::AddServerToGlobalServerList(L"EXCH1"));
    EXPECT_EQ(CBackendMiscAPI::GetServerView(L"EXCH1").GetProperty(PROP_SERVER_DOMAIN), L"CORP");
    EXPECT_TRUE(CBackendMiscAPI::AddServerToGlobalServerList(L"exch1"));
    EXPECT_TRUE(CBackendMiscAPI::AddServerToGlobalServerList(L"fe80::1"));
    EXPECT_EQ(GlobalProperties().GetProperty(PROP_SERVER_LIST), L"EXCH1;exch1;fe80::1");

    EXPECT_EQ(CBackendMiscAPI::GetServerDisplayName(L"EXCH1"), L"EXCH1");
    EXPECT_EQ(CBackendMiscAPI::GetServerConnectName(L"EXCH1"), L"EXCH1");
    EXPECT_EQ(CBackendMiscAPI::GetServerConnectName(L"fe80::1"),
              CStringSupport::ConvertIPv6AddressToDNSLiteralName(L"fe80::1"));
    EXPECT_NE(CBackendMiscAPI::GetServerConnectName(L"fe80::1").find(L"ipv6-literal.net"),
              std::wstring::npos);

    // Removing keeps the namespace and drops the server's context, even when not listed.
    GetServerContextManager()->GetOrAddServerContext(L"GONE");
    EXPECT_FALSE(CBackendMiscAPI::RemoveServerFromGlobalServerList(L"GONE"));
    EXPECT_EQ(GetServerContextManager()->GetServerContext(L"GONE"), nullptr);
    EXPECT_TRUE(CBackendMiscAPI::RemoveServerFromGlobalServerList(L"EXCH1"));
    EXPECT_EQ(CBackendMiscAPI::GetServerView(L"EXCH1").GetProperty(PROP_SERVER_DOMAIN), L"CORP");
    EXPECT_EQ(GlobalProperties().GetProperty(PROP_SERVER_LIST), L"exch1;fe80::1");

    // Failures count only among the servers that passed the analysis.
    EXPECT_FALSE(CBackendMiscAPI::IsAtLeastOneServerEncounteredFailure());
    CBackendMiscAPI::GetServerView(L"exch1").SetPropertyInt(PROP_SERVER_ANALYZE_STATE,
                                                            ANALYZE_STATE_PASSED);
    CBackendMiscAPI::GetServerView(L"exch1").SetPropertyInt(PROP_SERVER_DEPLOY_STATE,
                                                            DEPLOY_STATE_IN_PROGRESS);
    EXPECT_TRUE(CBackendMiscAPI::IsAtLeastOneServerEncounteredFailure());
    CBackendMiscAPI::GetServerView(L"exch1").SetPropertyInt(PROP_SERVER_DEPLOY_STATE,
                                                            DEPLOY_STATE_FINISHED_AND_SUCCEEDED);
    EXPECT_FALSE(CBackendMiscAPI::IsAtLeastOneServerEncounteredFailure());

    EXPECT_EQ(CBackendMiscAPI::GetSystemUniqueId(), CBackendMiscAPI::GetSystemUniqueId());
    EXPECT_FALSE(CBackendMiscAPI::GetSystemUniqueId().empty());
}

TEST_F(Backend, RequirementCheckOnThisMachine)
{
    // Another version of the product.
    Product(L"10.1", L"1500", L"");
    auto task = Check(DEPLOY_TYPE_INSTALL, true);
    EXPECT_FALSE(task->m_bIsReqirementMeet);
    EXPECT_EQ(task->m_strDescription,
              CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_PRVL10_NOT_INSTALLED"));

    // A service pack: below its number passes, at it is already installed; the product's
    // home, system id and computer name come back whatever the result.
    Product(L"10.2", L"1500", L"1");
    task = Check(DEPLOY_TYPE_INSTALL, true);
    EXPECT_TRUE(task->m_bIsReqirementMeet);
    EXPECT_EQ(task->m_strSystemId, CBackendMiscAPI::GetSystemUniqueId());
    EXPECT_NE(task->m_TargetSystemTime.wYear, 0);
    EXPECT_EQ(CBackendMiscAPI::GetProductInstallRoot(), L"C:\\Program Files\\Product");
    Product(L"10.2", L"2500", L"2");
    EXPECT_FALSE(Check(DEPLOY_TYPE_INSTALL, true)->m_bIsReqirementMeet);

    // A hotfix for service pack 0 from build 1500: the old service pack value of build 1135 to
    // 1999 is ignored; the maximum, the platform and the cluster type limit it.
    Product(L"10.2", L"1500", L"1");
    EXPECT_TRUE(Check(DEPLOY_TYPE_INSTALL, false)->m_bIsReqirementMeet);
    auto limited = std::make_unique<CTaskCheckSystemRequirement>();
    limited->m_strTargetedProductVersion = L"10.2";
    limited->m_bPackageIsServicePack = 0;
    limited->m_nBuildNumberAfterUpdate = 1700;
    limited->m_nTargetedMaximalBuild = 1500;
    limited->RunTaskOnLocal();
    EXPECT_FALSE(limited->m_bIsReqirementMeet);
    EXPECT_EQ(
        limited->m_strDescription,
        CStringSupport::StringFormat(
            CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_NOT_FOR_THIS_SERVICE_PACK_MAX").c_str(), 0,
            1500));
    limited->m_nTargetedMaximalBuild = 0;
    limited->m_strTargetedOSPlatforms = L"win32";
    limited->m_strPackageBranch = L"x64";
    limited->RunTaskOnLocal();
    EXPECT_FALSE(limited->m_bIsReqirementMeet);
    limited->m_strTargetedOSPlatforms = L"win32,x64";
    limited->m_strTargetedClusterTypes = L"2,3";
    limited->m_nClusterType = CLUSTER_NORMAL;
    limited->RunTaskOnLocal();
    EXPECT_FALSE(limited->m_bIsReqirementMeet);
    limited->m_strTargetedClusterTypes = L"";
    limited->RunTaskOnLocal();
    EXPECT_TRUE(limited->m_bIsReqirementMeet);
    // Installed already wins over every other reason.
    SetHotfix(L"1700", 1);
    limited->m_nTargetedServicePack = 3;
    limited->RunTaskOnLocal();
    EXPECT_EQ(limited->m_strDescription,
              CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_SERVICE_PACK_ALREADY_INSTALLED"));
    SetHotfix(L"1700", 0);

    // Uninstall of a service pack: equal numbers pass, service pack 1 stays; higher fails.
    Product(L"10.2", L"1700", L"2");
    SetHotfix(L"Service Pack 1", 1);
    task = Check(DEPLOY_TYPE_UNINSTALL, true);
    EXPECT_TRUE(task->m_bIsReqirementMeet);
    EXPECT_EQ(task->m_strDescription,
              CBackendMiscAPI::GetText(L"BACKEND_CHECK_UNINSTALL_PASSEDSP2_TO_SP1"));
    Product(L"10.2", L"1900", L"3");
    EXPECT_EQ(Check(DEPLOY_TYPE_UNINSTALL, true)->m_strDescription,
              CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_SERVICE_PACK_WITH_HIGH_VERSION"));
    Product(L"10.2", L"1500", L"1");
    EXPECT_EQ(Check(DEPLOY_TYPE_UNINSTALL, true)->m_strDescription,
              CBackendMiscAPI::GetText(L"BACKEND_CHECK_ERR_SERVICE_PACK_NOT_INSTALLED"));
    // Neither install nor uninstall: nothing is checked.
    EXPECT_FALSE(Check(7, true)->m_bIsReqirementMeet);
}

TEST_F(Backend, TasksTravelAndAreRebuiltByName)
{
    CTaskCheckSystemRequirement check;
    check.m_strTargetServerName = L"EXCH1";
    check.m_strDescription = L"a;b,c";
    check.m_AllVirtualServers = {L"EVS1", L"EVS2"};
    check.m_OnlineVirtualServers = {L"EVS1"};
    check.m_TargetSystemTime.wYear = 2026;
    check.m_TargetSystemTime.wSecond = 59;
    check.m_strTargetedClusterTypes = L"2,3";
    check.m_nClusterType = CLUSTER_VERITAS;
    std::wstring text = RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(&check);
    std::unique_ptr<ITaskSupport> rebuilt(
        RemoteInstall::CRemoteInstallCommon::DeserializeNewTaskFromString(text));
    auto* copy = dynamic_cast<CTaskCheckSystemRequirement*>(rebuilt.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->m_strDescription, L"a;b,c");
    EXPECT_EQ(copy->m_AllVirtualServers, check.m_AllVirtualServers);
    EXPECT_EQ(copy->m_TargetSystemTime.wSecond, 59);
    EXPECT_EQ(copy->m_strTargetedClusterTypes, L"2,3");
    EXPECT_EQ(copy->m_nClusterType, CLUSTER_VERITAS);

    CTaskPackageDeploy deploy;
    deploy.m_nDeployType = DEPLOY_TYPE_UNINSTALL;
    deploy.m_strPackageBranch = L"x64";
    deploy.m_strRelativeUninstallFolder = L"..\\SP2\\Uninstall";
    rebuilt.reset(RemoteInstall::CRemoteInstallCommon::DeserializeNewTaskFromString(
        RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(&deploy)));
    auto* deployCopy = dynamic_cast<CTaskPackageDeploy*>(rebuilt.get());
    ASSERT_NE(deployCopy, nullptr);
    EXPECT_EQ(deployCopy->m_strRelativeUninstallFolder, L"..\\SP2\\Uninstall");

    // The factory knows its four classes in any letter case, and nothing else.
    std::unique_ptr<ITaskSupport> status(
        CBackendClassReflection::RecoverInstanceFromClassName(L"ctaskgetpackagestatusactively"));
    EXPECT_NE(dynamic_cast<CTaskGetPackageStatusActively*>(status.get()), nullptr);
    EXPECT_EQ(CBackendClassReflection::RecoverInstanceFromClassName(L"CTestTask"), nullptr);
    EXPECT_EQ(CBackendClassReflection::RecoverInstanceFromClassName(L""), nullptr);

    // No launcher runs: the status task says finished at once.
    CTaskGetPackageStatusActively idle;
    idle.RunTaskOnLocal();
    EXPECT_TRUE(idle.m_bIsPackageDeployFinished);
    // An uninstall without the product's folder is not started.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
    CTaskPackageDeploy orphan;
    orphan.m_nDeployType = DEPLOY_TYPE_UNINSTALL;
    orphan.RunTaskOnLocal();
    EXPECT_FALSE(orphan.m_bLaunched);
    EXPECT_EQ(orphan.m_strErrorMessage,
              CBackendMiscAPI::GetText(L"BACKEND_ERROR_CANNOT_FIND_PRODUCT_HOMEDIR"));
}

TEST_F(Backend, AnalysisCleansTheList)
{
    // A cluster: nodes A and B with a virtual server online on A, the cluster's own name C, and
    // the virtual server's name typed by the user. D and D2 are one machine (same system id).
    for (const wchar_t* name : {L"A", L"B", L"C", L"EVS1", L"D2", L"D", L"E", L"E2", L"E3"})
        CBackendMiscAPI::AddServerToGlobalServerList(name);
    for (const wchar_t* name : {L"A", L"B", L"C"})
        CBackendMiscAPI::GetServerView(name).SetPropertyInt(PROP_SERVER_CLUSTER_TYPE,
                                                            CLUSTER_MICROSOFT);
    CBackendMiscAPI::GetServerView(L"A").SetPropertyInt(PROP_SERVER_CLUSTER_ENTITY, 1);
    CBackendMiscAPI::GetServerView(L"B").SetPropertyInt(PROP_SERVER_CLUSTER_ENTITY, 1);
    CBackendMiscAPI::GetServerView(L"A").SetProperty(PROP_SERVER_ONLINE_VIRTUAL_SERVERS, L"evs1");
    CBackendMiscAPI::GetServerView(L"D").SetProperty(PROP_SERVER_SYSTEM_ID, L"1_2_3_4");
    CBackendMiscAPI::GetServerView(L"D").SetProperty(PROP_SERVER_PHYSICAL_NAME, L"D");
    CBackendMiscAPI::GetServerView(L"D2").SetProperty(PROP_SERVER_SYSTEM_ID, L"1_2_3_4");
    CBackendMiscAPI::GetServerView(L"D2").SetProperty(PROP_SERVER_PHYSICAL_NAME, L"D");
    // Three names of one machine, none its own: the first in the list stays.
    for (const wchar_t* name : {L"E", L"E2", L"E3"})
    {
        CBackendMiscAPI::GetServerView(name).SetProperty(PROP_SERVER_SYSTEM_ID, L"9_9_9_9");
        CBackendMiscAPI::GetServerView(name).SetProperty(PROP_SERVER_PHYSICAL_NAME, L"ELSEWHERE");
    }
    CBackendAnalyzeTargetServer job;
    job.RemoveClusterAliasNameAndVirtualServers();
    job.RemoveDuplicateServersFromList();
    EXPECT_EQ(GlobalProperties().GetProperty(PROP_SERVER_LIST), L"A;B;D;E");
    EXPECT_EQ(GlobalProperties().GetProperty(PROP_EXCHANGE_VIRTUAL_SERVERS), L"evs1");

    // Demo mode passes every listed server.
    GlobalProperties().SetPropertyInt(PROP_DEMO_MODE, 1);
    job.DealWithDemoMode();
    EXPECT_EQ(CBackendMiscAPI::GetServerListThatPassedAnalysis().size(), 4u);
    GlobalProperties().SetPropertyInt(PROP_DEMO_MODE, 0);
}

// The logon job finds the members of a Veritas cluster in its configuration text.
TEST_F(Backend, LogonReadsClusterMembers)
{
    SetProductValue(L"SOFTWARE\\VERITAS\\VCS\\Base", L"HOMEDIRECTORY", L"C:\\VCS");
    ASSERT_TRUE(CFileSupport::CreateDirectoryRecursively(L"C:\\VCS\\conf\\config"));
    ASSERT_TRUE(
        CFileSupport::WriteToFile(L"include \"types.cf\"\ncluster VC (\n)\n"
                                  L"system NODE2 (\n)\n\tsystem\tNODE1 (\n)\n"
                                  L"remotecluster RC (\n\tClusterAddress = \"10.1.1.9\"\n)\n"
                                  L"remotecluster RC2 (\n)\nSYSTEM\n",
                                  L"C:\\VCS\\conf\\config\\main.cf")
            .IsSuccess());
    CBackendLogonTargetServer logon;
    CBackendMiscAPI::GetServerView(L"localhost")
        .SetPropertyInt(PROP_SERVER_CLUSTER_TYPE, CLUSTER_VERITAS);
    std::vector<std::wstring> members, addresses;
    ASSERT_TRUE(logon.EnumerateClusterNodes(L"localhost", members, addresses));
    EXPECT_EQ(members, (std::vector<std::wstring>{L"NODE2", L"NODE1"}));
    EXPECT_EQ(addresses, (std::vector<std::wstring>{L"10.1.1.9"}));

    // An empty list starts nothing and announces nothing.
    EXPECT_TRUE(logon.LogonAllServers());
    CBackendMiscAPI::GetServerView(L"UNKNOWNTYPE")
        .SetPropertyInt(PROP_SERVER_CLUSTER_TYPE, CLUSTER_UNKNOWN);
    std::vector<std::wstring> nodes, aliases;
    EXPECT_FALSE(logon.EnumerateClusterNodes(L"UNKNOWNTYPE", nodes, aliases));
    CBackendMiscAPI::GetServerView(L"PLAIN").SetPropertyInt(PROP_SERVER_CLUSTER_TYPE,
                                                            CLUSTER_NORMAL);
    EXPECT_TRUE(logon.EnumerateClusterNodes(L"PLAIN", nodes, aliases));
    EXPECT_TRUE(nodes.empty() && aliases.empty());
}

// Servers whose logon fails at once: the end of all is announced once, after the last of them
// has ended, never while others are still to start.
TEST_F(Backend, LogonEndsAfterItsLastServer)
{
    class CRecorder : public CBackendMessageReceiver
    {
    public:
        CRecorder()
        {
            m_Relogon.RegisterReceiver(MESSAGE_BACKEND_REQUEST_RELOGON, this);
            m_AllFinished.RegisterReceiver(MESSAGE_BACKEND_LOGON_ALL_SERVERS_FINISHED, this);
        }
        void OnMessageArrived(CMessageSupportArgs* args) override
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            if (args->m_strMessageName == MESSAGE_BACKEND_REQUEST_RELOGON)
                ++m_nFailed;
            else
                m_Ends.push_back(m_nFailed);
        }
        std::mutex m_Mutex;
        int m_nFailed = 0;
        std::vector<int> m_Ends; // failures seen at each end of all
        CAutoMessageRegister m_Relogon, m_AllFinished;
    };
    constexpr int kServers = 40;
    GlobalProperties().SetPropertyInt(PROP_ESTABLISH_WNET, 0);
    for (int round = 0; round < 5; ++round)
    {
        CRecorder recorder;
        for (int i = 0; i < kServers; ++i)
            CBackendMiscAPI::AddServerToGlobalServerList(L"NOSUCH" + std::to_wstring(i));
        {
            CBackendLogonTargetServer logon;
            EXPECT_TRUE(logon.LogonAllServers());
            EXPECT_TRUE(testsupport::WaitFor(
                [&]
                {
                    std::lock_guard<std::mutex> guard(recorder.m_Mutex);
                    return !recorder.m_Ends.empty();
                },
                std::chrono::seconds(60)));
        } // the job waits for its threads
        std::lock_guard<std::mutex> guard(recorder.m_Mutex);
        EXPECT_EQ(recorder.m_Ends, std::vector<int>{kServers})
            << "round " << round << ", failed " << recorder.m_nFailed;
        EXPECT_EQ(GlobalProperties().GetProperty(PROP_SERVER_LIST), L"");
    }
}

// The agent's clean-up removes its folder only once no program runs from it: a package started
// there (by this agent or by one before it) would lose its files and its property file.
TEST_F(Backend, TheAgentsCleanUpWaitsForProgramsRunningFromItsFolder)
{
    std::wstring stub = testsupport::ProgramFolder() + L"\\servicestub.exe";
    auto start = [&](const wchar_t* folder, const wchar_t* name, const wchar_t* milliseconds)
    {
        CreateDirectoryW(folder, nullptr);
        std::wstring program = std::wstring(folder) + L"\\" + name;
        CopyFileW(stub.c_str(), program.c_str(), FALSE);
        std::wstring line =
            L"\"" + program + L"\" --console --exit-after " + std::wstring(milliseconds);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process));
        CloseHandle(process.hThread);
        return process.hProcess;
    };
    // Until a program is seen running from a folder, the folder's wait proves nothing.
    auto seen = [](const wchar_t* folder)
    {
        return testsupport::WaitFor([&]
                                    { return !CTaskShutdownAgent::WaitForProgramsIn(folder, 0); },
                                    std::chrono::seconds(60));
    };
    // A folder whose name only begins with the agent's is another folder.
    HANDLE beside = start(L"C:\\AgentXY", L"patchstarter.exe", L"60000");
    ASSERT_TRUE(seen(L"C:\\AgentXY"));
    EXPECT_TRUE(CTaskShutdownAgent::WaitForProgramsIn(L"C:\\AgentX", 0));
    HANDLE stuck = start(L"C:\\AgentX", L"patchstarter.exe", L"60000");
    EXPECT_FALSE(CTaskShutdownAgent::WaitForProgramsIn(L"c:\\agentx\\", 1500));
    TerminateProcess(stuck, 1);
    WaitForSingleObject(stuck, 60000);
    CloseHandle(stuck);
    HANDLE package = start(L"C:\\AgentX", L"HVPatch.exe", L"3000");
    ASSERT_TRUE(seen(L"C:\\AgentX"));
    EXPECT_TRUE(CTaskShutdownAgent::WaitForProgramsIn(L"C:\\AgentX", 60000));
    // Its end reaches the machine's server a moment after its image is gone.
    EXPECT_EQ(WaitForSingleObject(package, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(package);
    TerminateProcess(beside, 1);
    CloseHandle(beside);
}
