// The whole road over a simulated fleet: the agent runs as a service on two servers of a domain,
// the workstation sends tasks to it, package processes on the servers report back, and the
// agents end on their stop event and on heartbeat silence. Also who may call, and the time
// limits of peers and heartbeats.
#include "fleetsim/Fleet.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/BackwardsTaskQueue.h"
#include "remoteinstall/CWin32API.h"
#include "remoteinstall/CommunicationPeer.h"
#include "remoteinstall/PackageStatusReport.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestFleet.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WizardSide.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;
using testsupport::CLogCapture;
using testsupport::CWizardSide;

namespace
{

const wchar_t kAdminPassword[] = L"Fl33t-Adm1n!";
const wchar_t kOperatorPassword[] = L"0perator-Pw";
const char* const kServers[] = {"SRV1", "SRV2"};
const wchar_t kAgentImage[] =
    L"\"C:\\Agent\\agenthost.exe\" --timeout-count 4 --timeout-period 500";

std::string Narrow(const std::wstring& text)
{
    return winport::ToUtf8(text);
}

class FleetRoad : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (testsupport::IsChild())
            return;
        std::string root = testsupport::FleetRoot();
        fleetsim::SDomain domain;
        domain.name = L"LAB";
        domain.dnsName = L"lab.example";
        domain.adminPassword = kAdminPassword;
        domain.users = {{L"operator", kOperatorPassword}};
        std::vector<std::pair<std::string, std::string>> servers;
        for (const char* name : kServers)
            servers.emplace_back(name, "server");
        testsupport::AddDomainServers(domain, servers,
                                      [](fleetsim::SMachineProfile& profile)
                                      { profile.settings.dnsDomain = L"lab.example"; });
        for (const char* name : kServers)
        {
            // The agent goes where a package would put it.
            std::string target;
            ASSERT_EQ(fleetsim::MachineFilePath(root, name, L"C:\\Agent\\agenthost.exe", target),
                      0u);
            std::filesystem::create_directories(std::filesystem::path(target).parent_path());
            std::filesystem::copy_file(
                testsupport::HostPath(testsupport::ProgramFolder() + L"\\agenthost.exe"), target,
                std::filesystem::copy_options::overwrite_existing);
        }
    }

    static void TearDownTestSuite()
    {
        if (testsupport::IsChild())
            return;
        for (const char* name : kServers)
            winport::fleet::StopMachineServer(testsupport::FleetRoot(), name);
    }

    void SetUp() override
    {
        GetFrameworkGlobalVariables()->m_PropertyManager.SetPropertyInt(
            L"Framework\\Test\\HeartbeatPeriod", 200);
        CPeerHeartbeat::ResetFailureCount();
    }

    static void StartAgent(const std::wstring& server)
    {
        testsupport::StartAgentService(server, L"LAB", kAdminPassword, kAgentImage);
    }

    static DWORD AgentState(const std::wstring& server)
    {
        CImpersonateUser administrator(L"LAB", L"Administrator", kAdminPassword,
                                       LOGON32_LOGON_NEW_CREDENTIALS);
        std::wstring machine = L"\\\\" + server;
        SC_HANDLE manager = OpenSCManagerW(machine.c_str(), nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(manager, L"HalvornInstallAgent", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status = {};
        bool ok = QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return ok ? status.dwCurrentState : 0;
    }

    static DWORD AgentProcessId(const std::wstring& server)
    {
        CImpersonateUser administrator(L"LAB", L"Administrator", kAdminPassword,
                                       LOGON32_LOGON_NEW_CREDENTIALS);
        std::wstring machine = L"\\\\" + server;
        SC_HANDLE manager = OpenSCManagerW(machine.c_str(), nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(manager, L"HalvornInstallAgent", SERVICE_QUERY_STATUS);
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        bool ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                       reinterpret_cast<LPBYTE>(&status), sizeof status, &needed);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return ok ? status.dwProcessId : 0;
    }

    static std::string AgentLog(const std::wstring& server)
    {
        std::string path;
        if (fleetsim::MachineFilePath(testsupport::FleetRoot(), Narrow(server),
                                      L"C:\\Windows\\Temp\\Parvel_agenthost.log", path) != 0)
            return {};
        return testsupport::ReadHostFile(path);
    }

    static std::unique_ptr<CCommunicationPeerSupport>
    PeerTo(const std::wstring& server, const std::wstring& user, const std::wstring& password)
    {
        CCommPeerParameter parameter(server, AGENT_REMOTE_ENDPOINT, L"LAB", user, password);
        return std::make_unique<CCommunicationPeerSupport>(parameter);
    }
};

} // namespace

// Runs in a child on a server: a package process that reports through the agent beside it.
TEST_F(FleetRoad, PackageSide)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    // The package's string bundle.
    CPropertyManager texts;
    texts.SetProperty(L"info.Copying", L"Copying files");
    texts.SetProperty(L"info.Step", L"Step %d of %d");
    CreateDirectoryW(L"C:\\Package", nullptr);
    CPersistentStorageFile bundle(L"C:\\Package\\package.dat");
    ASSERT_EQ(CSerializer::SerializeObjectToStorage(&texts, &bundle), 1);
    CPropertyManager properties;
    CStatusReporter::Initialize(L"C:\\Package\\package.dat", &properties);
    ASSERT_NE(CPackageStatusReport::m_pPeerToAgent, nullptr);

    CStatusReporter::ReportProgress(L"info.Copying");
    CStatusReporter::ReportProgressWithFormat(L"info.Step", 2, 3);

    std::wstring user, password;
    EXPECT_EQ(CPackageStatusReport::RetrieveLogonAccount(&user, &password), 1);
    EXPECT_EQ(user, L"LAB\\Administrator");
    EXPECT_EQ(password, kAdminPassword);

    // The server synchronization tasks run on the workstation's property store.
    CTaskServerSyncSetSingleVariable set;
    set.m_strName = L"Phase";
    set.m_strValue = L"copied";
    EXPECT_EQ(CPackageStatusReport::SendTaskToSetup(&set), 1);
    EXPECT_EQ(set.m_bIsTaskExecuted, 1);
    CTaskServerSyncLockRequest lock;
    lock.m_strLockName = L"Cluster";
    lock.m_strOwner = winport::FromUtf8(getenv("FLEET_MACHINE"));
    lock.m_bAcquire = true;
    EXPECT_EQ(CPackageStatusReport::SendTaskToSetup(&lock), 1);
    // The first server takes the workstation's lock; the second is refused while it holds it.
    EXPECT_EQ(lock.m_bGranted, lock.m_strOwner == L"SRV1");

    CPackageStatusReport::ReportFinalResultToUI(true, L"Installed.");
    CStatusReporter::Uninitialize();
}

// Runs in a child on a server: what the service manager's stop would be, by the agent's own event.
TEST_F(FleetRoad, SignalStop)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, CPassiveTaskList::kStopEventName);
    ASSERT_NE(stop, nullptr);
    SetEvent(stop);
    CloseHandle(stop);
}

TEST_F(FleetRoad, TasksAndReportsCrossTheFleetAndTheAgentsEnd)
{
    CLogCapture log;
    CWizardSide wizard(L"LAB\\Administrator", kAdminPassword);
    std::map<std::wstring, std::unique_ptr<CCommunicationPeerSupport>> peers;
    for (const char* name : kServers)
    {
        std::wstring server = winport::FromUtf8(name);
        StartAgent(server);
        peers[server] = PeerTo(server, L"Administrator", kAdminPassword);
        ASSERT_EQ(peers[server]->GetErrorCode(), 0u) << Narrow(peers[server]->GetErrorMessage());
        // The backend's thread sends as the logon account, as the peer's own threads do.
        CImpersonateUser logon(L"LAB", L"Administrator", kAdminPassword,
                               LOGON32_LOGON_NEW_CREDENTIALS);
        CTestTask task;
        ASSERT_EQ(peers[server]->SendTask(&task), 1) << Narrow(peers[server]->GetErrorMessage());
        EXPECT_EQ(task.m_strText, L"Changed.");
        EXPECT_EQ(task.m_bIsTaskExecuted, 1);
        EXPECT_EQ(task.m_strTargetServerName, server);
    }

    for (const char* name : kServers)
    {
        std::string output;
        ASSERT_EQ(
            testsupport::RunChild("FleetRoad.PackageSide", {{"FLEET_MACHINE", name}}, &output), 0)
            << output;
        EXPECT_NE(output.find("[       OK ] FleetRoad.PackageSide"), std::string::npos) << output;
    }
    for (const char* name : kServers)
    {
        std::wstring server = winport::FromUtf8(name);
        EXPECT_EQ(wizard.ReceivedFrom(server),
                  (std::vector<std::wstring>{L"progress Copying files", L"progress Step 2 of 3",
                                             L"logon", L"final 1 Installed."}))
            << Narrow(log.Dump());
    }
    CPropertyManagerNamespaceView shared(&GetFrameworkGlobalVariables()->m_PropertyManager,
                                         L"Framework\\ServerSynchronization");
    EXPECT_EQ(shared.GetProperty(L"Phase"), L"copied");
    EXPECT_EQ(shared.GetProperty(L"Cluster"), L"SRV1"); // the first owner holds it

    // No password on the command line or in the environment of any process of the fleet.
    std::string secret = Narrow(kAdminPassword);
    int scanned = 0;
    for (const testsupport::SFleetProcess& process :
         testsupport::FleetProcesses(testsupport::FleetRoot()))
    {
        ++scanned;
        EXPECT_EQ(process.environment.find(secret), std::string::npos) << process.pid;
        EXPECT_EQ(process.commandLine.find(secret), std::string::npos) << process.pid;
    }
    EXPECT_GE(scanned, 4); // the machine servers and the two agents

    // SRV1's agent ends on its stop event: the waiting query is told so and polling stops.
    std::string output;
    ASSERT_EQ(testsupport::RunChild("FleetRoad.SignalStop", {{"FLEET_MACHINE", "SRV1"}}, &output),
              0)
        << output;
    EXPECT_TRUE(testsupport::WaitFor([] { return AgentState(L"SRV1") == SERVICE_STOPPED; }, 30s));
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return log.Has(ADVLOG_SEVERITY_DEBUG, L"Stop Query Backwards task."); }, 10s));
    peers.erase(L"SRV1");

    // SRV2's agent ends on heartbeat silence once its peer is gone.
    EXPECT_EQ(AgentState(L"SRV2"), static_cast<DWORD>(SERVICE_RUNNING));
    auto start = std::chrono::steady_clock::now();
    peers.erase(L"SRV2");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s); // bounded even with a query open
    EXPECT_TRUE(testsupport::WaitFor([] { return AgentState(L"SRV2") == SERVICE_STOPPED; }, 30s));
    EXPECT_NE(AgentLog(L"SRV1").find("agenthost: ending (stop event)"), std::string::npos)
        << AgentLog(L"SRV1");
    EXPECT_NE(AgentLog(L"SRV2").find("Timeout period has expired."), std::string::npos)
        << AgentLog(L"SRV2");

    // No password in any file of the fleet: logs, stores, scripts.
    EXPECT_EQ(testsupport::FilesHolding(testsupport::FleetRoot(), secret),
              std::vector<std::string>());
}

TEST_F(FleetRoad, OnlyAdministratorsWithValidCredentialsGetARun)
{
    StartAgent(L"SRV1");
    struct SCase
    {
        const wchar_t* user;
        const wchar_t* password;
        uint32_t code;
    };
    for (const SCase& c : {SCase{L"Administrator", L"wrong", ERROR_LOGON_FAILURE},
                           SCase{L"nobody", kAdminPassword, ERROR_LOGON_FAILURE},
                           SCase{L"operator", kOperatorPassword, ERROR_ACCESS_DENIED},
                           SCase{L"", L"", ERROR_ACCESS_DENIED}})
    {
        auto peer = PeerTo(L"SRV1", c.user, c.password);
        CImpersonateUser logon(L"LAB", c.user, c.password, LOGON32_LOGON_NEW_CREDENTIALS);
        CTestTask task;
        EXPECT_EQ(peer->SendTask(&task), 0) << Narrow(c.user);
        EXPECT_EQ(peer->GetErrorCode(), c.code) << Narrow(c.user);
        EXPECT_EQ(task.m_bIsTaskExecuted, 0);
        EXPECT_EQ(task.m_strText, L"Init");
    }
    // Nothing ran for them; the administrator's task runs.
    EXPECT_EQ(AgentLog(L"SRV1").find("CTestTask::OnRun() is called"), std::string::npos);
    auto peer = PeerTo(L"SRV1", L"Administrator", kAdminPassword);
    CImpersonateUser logon(L"LAB", L"Administrator", kAdminPassword, LOGON32_LOGON_NEW_CREDENTIALS);
    CTestTask task;
    EXPECT_EQ(peer->SendTask(&task), 1);
    EXPECT_NE(AgentLog(L"SRV1").find("CTestTask::OnRun() is called"), std::string::npos);
}

TEST_F(FleetRoad, FiveHeartbeatFailuresStopHeartbeatsForTheProcess)
{
    CLogCapture log;
    GetFrameworkGlobalVariables()->m_PropertyManager.SetPropertyInt(
        L"Framework\\Test\\HeartbeatPeriod", 50);
    // No agent serves SRV2 here: every heartbeat fails.
    auto first = PeerTo(L"SRV2", L"Administrator", kAdminPassword);
    ASSERT_TRUE(testsupport::WaitFor([&] { return CPeerHeartbeat::GetFailureCount() >= 5; }, 30s));
    auto second = PeerTo(L"SRV2", L"Administrator", kAdminPassword);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(CPeerHeartbeat::GetFailureCount(), 5);
    EXPECT_EQ(log.Count(ADVLOG_SEVERITY_DEBUG, L"Heartbeat failed 5 times, stop sending it."), 1);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG, L"Send query backwards task failed."));
}

// Runs in a child on a server: one report while the agent gets killed; it fails and says so.
TEST_F(FleetRoad, PackageSideLosesItsAgent)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    CPackageStatusReport::Init();
    CTaskSendPackageInstallProgress report;
    report.m_strMessage = L"held";
    EXPECT_EQ(CPackageStatusReport::SendTaskToSetup(&report), 0);
    EXPECT_EQ(report.m_bIsTaskExecuted, 0);
    CPackageStatusReport::Uninit();
}

TEST_F(FleetRoad, AnAgentKilledMidReportFailsTheReportAndARestartedOneServes)
{
    CLogCapture log;
    StartAgent(L"SRV1");
    // The wizard holds the first report until the agent is gone.
    struct CHold : IEventSupportCallback
    {
        std::promise<void> arrived, release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<int> count{0};
        void OnFire(CEventSupportArgs*) override
        {
            if (count++ == 0)
            {
                arrived.set_value();
                released.wait();
            }
        }
    } hold;
    GetFrameworkGlobalVariables()->m_MessageSupport.RegisterReceiver(
        L"MESSAGE_VANE52_PACKAGE_PROGRESS_CHANGED", &hold);
    auto peer = PeerTo(L"SRV1", L"Administrator", kAdminPassword);
    std::string output;
    auto package =
        std::async(std::launch::async,
                   [&]
                   {
                       return testsupport::RunChild("FleetRoad.PackageSideLosesItsAgent",
                                                    {{"FLEET_MACHINE", "SRV1"}}, &output);
                   });
    ASSERT_EQ(hold.arrived.get_future().wait_for(30s), std::future_status::ready);
    DWORD agent = AgentProcessId(L"SRV1");
    ASSERT_NE(agent, 0u);
    ASSERT_EQ(kill(static_cast<pid_t>(agent), SIGKILL), 0);
    // The report held in the dead agent fails at once for its sender.
    ASSERT_EQ(package.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(package.get(), 0) << output;
    hold.release.set_value();
    // The wizard's polling ends, and so does the peer, quickly.
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return log.Has(ADVLOG_SEVERITY_DEBUG, L"Send query backwards task failed."); }, 20s));
    auto start = std::chrono::steady_clock::now();
    peer.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    GetFrameworkGlobalVariables()->m_MessageSupport.UnregisterReceiver(
        L"MESSAGE_VANE52_PACKAGE_PROGRESS_CHANGED", &hold);
    EXPECT_TRUE(testsupport::WaitFor([] { return AgentState(L"SRV1") == SERVICE_STOPPED; }, 20s));

    // The dead agent's endpoints are taken over by the next one.
    StartAgent(L"SRV1");
    peer = PeerTo(L"SRV1", L"Administrator", kAdminPassword);
    CImpersonateUser logon(L"LAB", L"Administrator", kAdminPassword, LOGON32_LOGON_NEW_CREDENTIALS);
    CTestTask task;
    EXPECT_EQ(peer->SendTask(&task), 1) << Narrow(peer->GetErrorMessage());
    EXPECT_EQ(task.m_strText, L"Changed.");
}
