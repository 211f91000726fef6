// The sample service pack on a simulated Exchange server: an install that reports to the
// workstation and an uninstall that puts the server back as it was; every install action made to
// fail before, in the middle of and after its work, with the engine's rollback putting the
// server back; an install copy killed half-way and rolled back.
#include "fleetsim/Fleet.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "package/tests/PackageTestSupport.h"
#include "remoteinstall/CommunicationPeer.h"
#include "testsupport/LogCapture.h"
#include "testsupport/MachineState.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WizardSide.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinProcess.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace packagetest;

namespace
{

const char kServer[] = "EXCH1";
const wchar_t kServerName[] = L"EXCH1";
const wchar_t kAdminPassword[] = L"Exch-Adm1n!";
const wchar_t kPackage[] = L"C:\\Packages\\SP2";
const wchar_t kHome[] = L"C:\\Program Files\\Halvorn\\Parvel for Exchange";
const wchar_t kUninstall[] = L"C:\\Program Files\\Halvorn\\Parvel Service Packs\\SP2\\Uninstall";
const wchar_t kAgentImage[] =
    L"\"C:\\Agent\\agenthost.exe\" --timeout-count 20 --timeout-period 500";
const std::vector<std::wstring> kServices = {L"Parvel_Master", L"Parvel_SystemWatcher",
                                             L"Parvel_RemoteConfig", L"QVLT_Monitor"};
const wchar_t* const kInstallActions[] = {L"Initialize",
                                          L"StopSystemWatcher",
                                          L"StopRemoteConfig",
                                          L"CopyFiles",
                                          L"UpdateSettings",
                                          L"UpdateVersion",
                                          L"RegisterRules",
                                          L"CopyUninstallFiles",
                                          L"StartRemoteConfig",
                                          L"StartSystemWatcher",
                                          L"Finish"};

std::string Narrow(const std::wstring& text)
{
    return winport::ToUtf8(text);
}

// What the pack may change on the server.
struct SServerState
{
    std::map<std::string, std::string> files;
    std::vector<std::string> registry;
    std::vector<std::string> services;
    bool operator==(const SServerState&) const = default;
};

SServerState Capture()
{
    return {testsupport::TreeSnapshot(kHome), testsupport::RegistrySnapshot(L"SOFTWARE\\Halvorn"),
            testsupport::ServiceSnapshot(kServices)};
}

std::string Describe(const SServerState& state)
{
    std::string text;
    for (const auto& [path, content] : state.files)
        text += path + ": " + content.substr(0, 40) + "\n";
    for (const std::string& line : state.registry)
        text += line + "\n";
    for (const std::string& line : state.services)
        text += line + "\n";
    return text;
}

std::wstring PendingRenames()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &key) != ERROR_SUCCESS)
        return L"";
    wchar_t data[8192] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t), type = 0;
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                     reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    std::wstring text(data, size / sizeof(wchar_t));
    std::replace(text.begin(), text.end(), L'\0', L'|');
    return text;
}

void StartService(const wchar_t* name)
{
    std::wstring command = std::wstring(L"sc start ") + name;
    testsupport::RunProgram(command);
    EXPECT_TRUE(testsupport::WaitFor(
        [&]
        { return testsupport::ServiceSnapshot({name})[0].find("state=4") != std::string::npos; },
        30s))
        << Narrow(name);
}

class SamplePack : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (testsupport::IsChild())
            return;
        std::string root = testsupport::FleetRoot();
        fleetsim::SMachineProfile profile;
        ASSERT_EQ(fleetsim::ParseProfileName("exchange2007", profile), 0u);
        profile.name = kServer;
        profile.settings.administratorPassword = kAdminPassword;
        profile.roles = fleetsim::kRoleMailbox | fleetsim::kRoleHubTransport;
        profile.product.installed = true;
        profile.product.files =
            testsupport::HostPath(testsupport::ProgramFolder() + L"\\samples\\product");
        profile.serviceModules = {{L"Parvel_Master", std::wstring(kHome) + L"\\bin\\prvlcore.dll"}};
        ASSERT_EQ(fleetsim::AddMachine(root, profile), 0u);
        // The pack and the agent go where a deployment puts them.
        for (const auto& [from, to] :
             {std::pair<std::wstring, std::wstring>{L"\\samples\\SP2", kPackage},
              {L"\\agenthost.exe", L"C:\\Agent\\agenthost.exe"},
              {L"\\fleetkit.dll", L"C:\\Agent\\fleetkit.dll"}})
        {
            std::string target;
            ASSERT_EQ(fleetsim::MachineFilePath(root, kServer, to, target), 0u);
            fs::create_directories(fs::path(target).parent_path());
            fs::copy(testsupport::HostPath(testsupport::ProgramFolder() + from), target,
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        }
    }

    static void TearDownTestSuite()
    {
        if (!testsupport::IsChild())
            winport::fleet::StopMachineServer(testsupport::FleetRoot(), kServer);
    }

    // The agent on the server and the wizard's peer to it, for the reports and the logon
    // account of the package's second instances.
    void ConnectWizard()
    {
        GetFrameworkGlobalVariables()->m_PropertyManager.SetPropertyInt(
            L"Framework\\Test\\HeartbeatPeriod", 200);
        testsupport::StartAgentService(kServerName, kServerName, kAdminPassword, kAgentImage);
        CCommPeerParameter parameter(kServerName, AGENT_REMOTE_ENDPOINT, kServerName,
                                     L"Administrator", kAdminPassword);
        m_Peer = std::make_unique<CCommunicationPeerSupport>(parameter);
        ASSERT_EQ(m_Peer->GetErrorCode(), 0u) << Narrow(m_Peer->GetErrorMessage());
    }

    static void RunOnServer(const std::string& test, const std::string& point = "")
    {
        std::string output;
        EXPECT_EQ(testsupport::RunChild("SamplePack." + test,
                                        {{"FLEET_MACHINE", kServer}, {"FAULT_POINT", point}},
                                        &output),
                  0)
            << output;
        EXPECT_NE(output.find("[       OK ] SamplePack." + test), std::string::npos) << output;
    }

    testsupport::CWizardSide m_Wizard{std::wstring(kServerName) + L"\\Administrator",
                                      kAdminPassword};
    std::unique_ptr<CCommunicationPeerSupport> m_Peer;
};

} // namespace

// On the server: install, check what changed, uninstall, check that nothing is left.
TEST_F(SamplePack, ServerInstallAndUninstall)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    StartService(L"Parvel_Master");
    StartService(L"Parvel_SystemWatcher");
    SServerState before = Capture();
    ClearProgramLog(L"actionhost");

    ASSERT_EQ(RunPackageProgram(kPackage, L"patchstarter.exe", L"install"), 0ul);
    SServerState installed = Capture();
    std::string sp2Core = testsupport::ReadHostFile(
        testsupport::HostPath(std::wstring(kPackage) + L"\\Files\\bin\\prvlcore.dll"));
    EXPECT_EQ(installed.files["bin/prvlcore.dll"], sp2Core);
    // The core library that the master service holds was set aside, to go at the next start.
    EXPECT_EQ(installed.files["bin/prvlcore.dll_temp"], before.files["bin/prvlcore.dll"]);
    EXPECT_NE(PendingRenames().find(L"prvlcore.dll_temp"), std::wstring::npos);
    std::string log = ProgramLog(L"actionhost");
    EXPECT_NE(log.find("servicestub.exe("), std::string::npos) << log;
    EXPECT_EQ(installed.files["config/rules/default.rules"].rfind("# Default rules", 0), 0u);
    EXPECT_EQ(installed.files["config/scan.xml"].find("(read-only)"), std::string::npos);
    auto has = [&](const std::string& line)
    {
        return std::find(installed.registry.begin(), installed.registry.end(), line) !=
               installed.registry.end();
    };
    EXPECT_TRUE(has("[SOFTWARE\\Halvorn\\Parvel for Exchange\\Hotfix\\Service Pack 2]"));
    const std::wstring build = L"1200";
    EXPECT_TRUE(
        has("Build 1 " + testsupport::HexOf(build.c_str(), (build.size() + 1) * sizeof(wchar_t))))
        << Describe(installed);
    EXPECT_EQ(installed.services, before.services) << Describe(installed);
    EXPECT_TRUE(
        fs::exists(testsupport::HostPath(std::wstring(kUninstall) + L"\\patchstarter.exe")));

    ASSERT_EQ(RunPackageProgram(kUninstall, L"patchstarter.exe", L"uninstall"), 0ul);
    // The clean-up script takes the uninstall files once the launcher has ended.
    EXPECT_TRUE(
        testsupport::WaitFor([] { return !fs::exists(testsupport::HostPath(kUninstall)); }, 60s));
    SServerState after = Capture();
    EXPECT_TRUE(after == before) << "before:\n"
                                 << Describe(before) << "after:\n"
                                 << Describe(after);
    EXPECT_EQ(PendingRenames().find(L"prvlcore.dll_temp"), std::wstring::npos);
}

TEST_F(SamplePack, InstallReportsAndUninstallRestoresTheServer)
{
    testsupport::CLogCapture log;
    ConnectWizard();
    RunOnServer("ServerInstallAndUninstall");
    std::vector<std::wstring> received = m_Wizard.ReceivedFrom(kServerName);
    const std::vector<std::wstring> install = {
        L"progress Stopping the service Parvel_SystemWatcher...",
        L"progress Stopping the service Parvel_RemoteConfig...",
        L"progress Copying the files of the service pack...",
        L"progress Updating the product's settings...",
        L"progress Updating the product's settings...",
        L"logon",
        L"progress Starting the service Parvel_RemoteConfig...",
        L"progress Starting the service Parvel_SystemWatcher...",
        L"final 1 "};
    ASSERT_GE(received.size(), install.size()) << Narrow(log.Dump());
    EXPECT_EQ(std::vector<std::wstring>(received.begin(), received.begin() + install.size()),
              install);
    EXPECT_EQ(received.back(), L"final 1 ");
    EXPECT_NE(std::find(received.begin() + install.size(), received.end(),
                        L"progress Restoring the files of the product..."),
              received.end());

    // No password in any file of the fleet, nor on a command line or in an environment.
    std::string secret = Narrow(kAdminPassword);
    EXPECT_EQ(testsupport::FilesHolding(testsupport::FleetRoot(), secret),
              std::vector<std::string>());
    for (const testsupport::SFleetProcess& process :
         testsupport::FleetProcesses(testsupport::FleetRoot()))
    {
        EXPECT_EQ(process.environment.find(secret), std::string::npos) << process.pid;
        EXPECT_EQ(process.commandLine.find(secret), std::string::npos) << process.pid;
    }
}

// On the server: each install action fails at the point given; the rollback puts the server back.
TEST_F(SamplePack, ServerFaultMatrix)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    std::string point = getenv("FAULT_POINT") != nullptr ? getenv("FAULT_POINT") : "";
    ASSERT_FALSE(point.empty());
    StartService(L"Parvel_Master");
    StartService(L"Parvel_SystemWatcher");
    std::string templatePath =
        testsupport::HostPath(std::wstring(kPackage) + L"\\hotfix_template.ini");
    std::string original = testsupport::ReadHostFile(templatePath);
    SServerState before = Capture();
    for (const wchar_t* action : kInstallActions)
    {
        SCOPED_TRACE(Narrow(action) + ":" + point);
        std::string script = original;
        std::string section = "[ProductInstall.Symbols]\n";
        script.insert(script.find(section) + section.size(),
                      "Test.FailAction=" + Narrow(action) + ":" + point + "\n");
        testsupport::WriteHostFile(templatePath, script);
        ClearProgramLog(L"patchstarter");
        ASSERT_EQ(RunPackageProgram(kPackage, L"patchstarter.exe", L"install"), 0ul);
        // The engine ran the rollback (exit 1: an action failed, its rollback went well).
        EXPECT_NE(ProgramLog(L"patchstarter").find("Process returned code: 1"), std::string::npos)
            << ProgramLog(L"patchstarter");
        SServerState after = Capture();
        EXPECT_TRUE(after == before) << "before:\n"
                                     << Describe(before) << "after:\n"
                                     << Describe(after);
        EXPECT_EQ(PendingRenames().find(L"prvlcore.dll_temp"), std::wstring::npos);
    }
    testsupport::WriteHostFile(templatePath, original);
}

TEST_F(SamplePack, EveryInstallActionFailingBeforeItsWorkIsRolledBack)
{
    ConnectWizard();
    RunOnServer("ServerFaultMatrix", "before");
}

TEST_F(SamplePack, EveryInstallActionFailingInTheMiddleIsRolledBack)
{
    ConnectWizard();
    RunOnServer("ServerFaultMatrix", "middle");
}

TEST_F(SamplePack, EveryInstallActionFailingAfterItsWorkIsRolledBack)
{
    ConnectWizard();
    RunOnServer("ServerFaultMatrix", "after");
}

// An install copy killed half-way leaves its backup, from which its rollback restores the tree.
TEST_F(SamplePack, KilledInstallCopyIsRolledBack)
{
    const std::wstring package = L"C:\\Packages\\Kill";
    const std::wstring source = L"C:\\Kill\\source", product = L"C:\\Kill\\product",
                       backup = L"C:\\Kill\\backup";
    LayOutPackage(package);
    for (const std::wstring& folder : {source, product, backup})
        fs::remove_all(testsupport::HostPath(folder));
    for (int i = 0; i < 1500; ++i)
    {
        std::string name = "d" + std::to_string(i % 30) + "/f" + std::to_string(i) + ".dat";
        for (const auto& [folder, text] : {std::pair{source, "new "}, {product, "old "}})
        {
            fs::path path = fs::path(testsupport::HostPath(folder)) / name;
            fs::create_directories(path.parent_path());
            testsupport::WriteHostFile(path.string(), text + std::string(4096, 'x'));
        }
    }
    testsupport::WriteHostFile(testsupport::HostPath(source) + "/added.dat", "added");
    auto before = testsupport::TreeSnapshot(product);

    std::wstring command = L"\"" + package +
                           L"\\actionhost.exe\" \"CopyFiles\" \"stockactions.dll\" "
                           L"\"Install_CopyFile\" -1 \"BackupPath=" +
                           backup + L",SrcPath=" + source + L",DesPath=" + product + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               package.c_str(), &startup, &process));
    // Killed once the replacing has begun: its list of replaced files is there.
    std::string list = testsupport::HostPath(backup) + "/installOverrideFileList.txt";
    ASSERT_TRUE(testsupport::WaitFor([&] { return fs::exists(list); }, 120s));
    ASSERT_EQ(kill(static_cast<pid_t>(process.dwProcessId), SIGKILL), 0);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 128u + SIGKILL); // it did not finish
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // Adding comes last: the added file is not there yet.
    EXPECT_FALSE(fs::exists(testsupport::HostPath(product) + "/added.dat"));

    EXPECT_EQ(
        RunPackageProgram(package, L"actionhost.exe",
                          L"\"CopyFiles.Rollback\" \"stockactions.dll\" \"RollBack_CopyFile\" -1 "
                          L"\"SrcPath=" +
                              backup + L",DesPath=" + product + L"\""),
        0ul);
    EXPECT_EQ(testsupport::TreeSnapshot(product), before);
}

// A registry list killed half-way leaves the inverses of what it did, from which its rollback
// puts the key back.
TEST_F(SamplePack, KilledRegistryListIsRolledBack)
{
    const std::wstring package = L"C:\\Packages\\KillRegistry", backup = L"C:\\KillRegistry";
    const std::wstring key = L"SOFTWARE\\KillTest";
    LayOutPackage(package);
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &created, nullptr),
              ERROR_SUCCESS);
    std::wstring list;
    for (int i = 0; i < 1200; ++i)
    {
        std::wstring name = L"V" + std::to_wstring(i), old = L"old" + std::to_wstring(i);
        RegSetValueExW(created, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(old.c_str()),
                       static_cast<DWORD>((old.size() + 1) * sizeof(wchar_t)));
        list += L"[RegUpadate:REG_SZ,HKEY_LOCAL_MACHINE," + key + L"," + name + L",new]";
    }
    RegCloseKey(created);
    auto before = testsupport::RegistrySnapshot(key);

    std::wstring command = L"\"" + package +
                           L"\\actionhost.exe\" \"Settings\" \"stockactions.dll\" "
                           L"\"Install_ModifyRegistry\" -1 \"[RegParameter:" +
                           backup + L",7]=" + list + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               package.c_str(), &startup, &process));
    std::string partial = testsupport::HostPath(backup) + "/7.partial";
    // Killed once some of the values have changed: their inverses are in the partial file.
    ASSERT_TRUE(testsupport::WaitFor(
        [&]
        {
            std::error_code error;
            return fs::file_size(partial, error) > 2000 && !error;
        },
        120s));
    ASSERT_EQ(kill(static_cast<pid_t>(process.dwProcessId), SIGKILL), 0);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // It did not end: no rollback file of a finished list.
    EXPECT_FALSE(fs::exists(testsupport::HostPath(backup) + "/7"));
    EXPECT_NE(testsupport::RegistrySnapshot(key), before);

    EXPECT_EQ(RunPackageProgram(package, L"actionhost.exe",
                                L"\"Settings.Rollback\" \"stockactions.dll\" "
                                L"\"Install_RollbackRegistry\" -1 \"BackupPath=" +
                                    backup + L",ActionId=7\""),
              0ul);
    auto after = testsupport::RegistrySnapshot(key);
    std::string differences;
    for (size_t i = 0; i < std::max(after.size(), before.size()); ++i)
        if (i >= after.size() || i >= before.size() || after[i] != before[i])
            differences += (i < after.size() ? after[i] : "-") + " | " +
                           (i < before.size() ? before[i] : "-") + "\n";
    EXPECT_TRUE(differences.empty()) << differences.substr(0, 2000);
    EXPECT_FALSE(fs::exists(partial));
}
