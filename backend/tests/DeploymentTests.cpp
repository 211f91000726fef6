// The whole road of a deployment through the command-line front end, on a workstation and three
// servers of a domain: logon, analysis (one server fails the requirement check), the install of
// the sample pack, the reports, the servers' state, nothing of ours left on any server, and the
// uninstall that brings the servers back to where they were.
#include "fleetsim/Fleet.h"
#include "testsupport/MachineState.h"
#include "testsupport/TestFleet.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <signal.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{

const char kPassword[] = "Corp-Adm1n!";
const wchar_t kHome[] = L"C:\\Program Files\\Halvorn\\Parvel for Exchange";
const std::vector<std::wstring> kServices = {L"Parvel_Master",       L"Parvel_SystemWatcher",
                                             L"Parvel_RemoteConfig", L"QVLT_Monitor",
                                             L"HalvornInstallAgent", L"HalvornInstallBootstrap"};
const char* const kServers[] = {"EXCH07", "EXCH10", "OLD03", "EXCH11", "EXCH12", "LONE", "FROZEN"};
// The servers of the plain install and uninstall.
const char* const kInstallServers[] = {"EXCH07", "EXCH10", "OLD03"};

std::string Kit()
{
    return testsupport::HostPath(testsupport::ProgramFolder() + L"\\samples\\Deploy");
}

// What the pack and the deployment may change on a server, as its child test captures it.
std::string CaptureServer(const std::string& server)
{
    std::string output;
    EXPECT_EQ(
        testsupport::RunChild("Deployment.CaptureState", {{"FLEET_MACHINE", server}}, &output), 0)
        << output;
    size_t begin = output.find("<<STATE\n"), end = output.find("STATE>>");
    return begin != std::string::npos && end != std::string::npos
               ? output.substr(begin + 8, end - begin - 8)
               : std::string();
}

// Reports and copies of this run, beside its fleet.
std::string Scratch()
{
    return testsupport::FleetRoot() + "-scratch";
}

int RunCli(const std::vector<std::string>& arguments, std::string& output)
{
    return testsupport::RunFrontEnd(testsupport::FleetRoot(), arguments, kPassword, &output);
}

// Nothing of the deployment stays on a server: its agent and bootstrap services, their folder,
// the clean-up script and the agent's process.
std::string Leftovers(const std::string& server)
{
    std::string state = CaptureServer(server);
    std::string found;
    for (const char* mark : {"HalvornInstallAgent state=1", "HalvornInstallAgent state=4",
                             "HalvornInstallBootstrap state=1", "HalvornInstallBootstrap state=4",
                             "left ", "agenthost.exe"})
        if (state.find(mark) != std::string::npos)
            found += std::string(mark) + "; ";
    return found;
}

// The Linux process of a program running on a server, 0 when there is none.
pid_t ProcessOn(const std::string& server, const char* program)
{
    // Other tests run fleets of their own, with machines of the same names.
    for (const testsupport::SFleetProcess& process :
         testsupport::FleetProcesses(testsupport::FleetRoot()))
        if (process.Has("FLEET_MACHINE", server) &&
            process.program.find(program) != std::string::npos)
            return static_cast<pid_t>(process.pid);
    return 0;
}

class Deployment : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (testsupport::IsChild())
            return;
        fleetsim::SDomain domain;
        domain.name = L"CORP";
        domain.dnsName = L"corp.example";
        domain.adminPassword = winport::FromUtf8(kPassword);
        domain.users = {{L"jdoe", winport::FromUtf8(kPassword)}};
        testsupport::AddDomainServers(
            domain,
            {{"EXCH07", "exchange2007"},
             {"EXCH10", "exchange2010"},
             {"OLD03", "exchange2003"},
             {"EXCH11", "exchange2010"},
             {"EXCH12", "exchange2010"},
             {"LONE", "exchange2007"},
             {"FROZEN", "exchange2007"}},
            [](fleetsim::SMachineProfile& profile)
            {
                // LONE is in no domain: the domain's account is unknown there.
                profile.settings.dnsDomain = L"corp.example";
                if (profile.name == "LONE")
                    profile.settings.domain = profile.settings.dnsDomain = L"";
                bool old = profile.exchange == fleetsim::EExchange::Exchange2003;
                if (!old)
                    profile.roles = fleetsim::kRoleMailbox | fleetsim::kRoleHubTransport;
                profile.product.installed = true;
                profile.product.version = old ? L"4.5" : L"5.0";
                profile.product.files =
                    testsupport::HostPath(testsupport::ProgramFolder() + L"\\samples\\product");
                profile.serviceModules = {
                    {L"Parvel_Master", std::wstring(kHome) + L"\\bin\\prvlcore.dll"}};
            });
    }

    static void TearDownTestSuite()
    {
        if (testsupport::IsChild())
            return;
        for (const char* server : kServers)
            winport::fleet::StopMachineServer(testsupport::FleetRoot(), server);
        std::error_code error;
        fs::remove_all(Scratch(), error);
    }
};

} // namespace

// On a server: its product tree, product registry, services, and what of the deployment is
// there, printed between markers for the parent.
TEST_F(Deployment, CaptureState)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    std::string text;
    for (const auto& [path, content] : testsupport::TreeSnapshot(kHome))
        text += "file " + path + " " + std::to_string(std::hash<std::string>()(content)) + "\n";
    for (const std::string& line : testsupport::RegistrySnapshot(L"SOFTWARE\\Halvorn"))
        text += "reg " + line + "\n";
    for (const std::string& line : testsupport::ServiceSnapshot(kServices))
        text += "service " + line + "\n";
    for (const wchar_t* left : {L"C:\\Windows\\Temp\\HalvornRemoteInstall",
                                L"C:\\Windows\\Temp\\HalvornInstallCleanup.bat"})
        if (GetFileAttributesW(left) != INVALID_FILE_ATTRIBUTES)
            text += "left " + winport::ToUtf8(left) + "\n";
    for (const testsupport::SFleetProcess& process :
         testsupport::FleetProcesses(testsupport::FleetRoot()))
    {
        if (!process.Has("FLEET_MACHINE", winport::fleet::CurrentMachine().name))
            continue;
        for (const char* program :
             {"agenthost", "Setup.exe", "patchstarter", "HVPatch", "actionhost"})
            if (process.program.find(program) != std::string::npos)
                text += "process " + process.program + "\n";
    }
    printf("<<STATE\n%sSTATE>>\n", text.c_str());
}

TEST_F(Deployment, InstallReportUninstallLeaveNothing)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    std::map<std::string, std::string> before;
    for (const char* server : kInstallServers)
        before[server] = CaptureServer(server);
    fs::path reports = fs::path(Scratch()) / "reports";
    fs::create_directories(reports);

    std::string output;
    int code = RunCli({"--package", Kit(), "--install", "--user", "CORP\\Administrator",
                       "--password-env", "ROLLOUT_PASSWORD", "--servers", "EXCH07,EXCH10,OLD03",
                       "--result", (reports / "install.txt").string(), "--plain"},
                      output);
    // OLD03 has a product version the pack does not apply to.
    EXPECT_EQ(code, 1) << output;
    std::string json = testsupport::ReadHostFile((reports / "install.json").string());
    EXPECT_NE(json.find("{\"name\": \"EXCH07\", \"outcome\": \"succeeded\""), std::string::npos)
        << json << output;
    EXPECT_NE(json.find("{\"name\": \"EXCH10\", \"outcome\": \"succeeded\""), std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"name\": \"OLD03\", \"outcome\": \"failed\", \"phase\": \"analysis\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("The product version that this package applies to is not installed."),
              std::string::npos)
        << json;
    std::string junit = testsupport::ReadHostFile((reports / "install.xml").string());
    EXPECT_NE(junit.find("tests=\"3\" failures=\"1\""), std::string::npos) << junit;
    std::string result = testsupport::ReadHostFile((reports / "install.txt").string());
    EXPECT_NE(result.find("Deploy result:"), std::string::npos) << result;
    EXPECT_NE(result.find("The deployment finished with errors."), std::string::npos) << result;

    // The pack's work on the servers it passed.
    std::string sp2Core = testsupport::ReadHostFile(Kit() + "/x64/Files/bin/prvlcore.dll");
    for (const char* server : {"EXCH07", "EXCH10"})
    {
        std::string state = CaptureServer(server);
        EXPECT_NE(state.find("file bin/prvlcore.dll " +
                             std::to_string(std::hash<std::string>()(sp2Core))),
                  std::string::npos)
            << server;
        EXPECT_NE(state.find("Hotfix\\Service Pack 2]"), std::string::npos) << server;
        EXPECT_NE(state, before[server]);
    }
    for (const char* server : kInstallServers)
        EXPECT_TRUE(testsupport::WaitFor([&] { return Leftovers(server).empty(); }, 60s))
            << server << ": " << Leftovers(server);
    EXPECT_EQ(CaptureServer("OLD03"), before["OLD03"]);

    code = RunCli({"--package", Kit(), "--uninstall", "--user", "CORP\\Administrator",
                   "--password-env", "ROLLOUT_PASSWORD", "--servers", "EXCH07;EXCH10", "--result",
                   (reports / "uninstall.txt").string(), "--plain"},
                  output);
    EXPECT_EQ(code, 0) << output;
    for (const char* server : kInstallServers)
    {
        EXPECT_TRUE(testsupport::WaitFor([&] { return Leftovers(server).empty(); }, 60s))
            << server << ": " << Leftovers(server);
        EXPECT_EQ(CaptureServer(server), before[server]) << server;
    }

    // The account's password is nowhere in the fleet: logs, scripts, property files, reports.
    EXPECT_EQ(testsupport::FilesHolding(testsupport::FleetRoot(), kPassword),
              std::vector<std::string>());
    EXPECT_EQ(testsupport::FilesHolding(Scratch(), kPassword), std::vector<std::string>());
}

// Bad input gets a clear message and touches no server.
TEST_F(Deployment, BadInputIsRefusedClearly)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    std::string output;
    const std::vector<std::string> account = {"--user", "CORP\\Administrator", "--password-env",
                                              "ROLLOUT_PASSWORD", "--install"};
    auto run = [&](std::vector<std::string> arguments)
    {
        arguments.insert(arguments.end(), account.begin(), account.end());
        return RunCli(arguments, output);
    };
    EXPECT_EQ(run({"--package", Kit()}), 2);
    EXPECT_NE(output.find("no target server"), std::string::npos) << output;
    EXPECT_EQ(run({"--package", Kit(), "EXCH07", "--password", "x"}), 2);
    EXPECT_NE(output.find("never taken from the command line"), std::string::npos) << output;
    EXPECT_EQ(run({"--package", Kit() + "/missing", "EXCH07"}), 2);
    EXPECT_NE(output.find("is missing"), std::string::npos) << output;
    fs::path partial = fs::path(Scratch()) / "partial-kit";
    fs::create_directories(Scratch());
    fs::copy(Kit(), partial, fs::copy_options::recursive);
    fs::remove(partial / "rolloutengine.dll");
    EXPECT_EQ(run({"--package", partial.string(), "EXCH07"}), 2);
    EXPECT_NE(output.find("rolloutengine.dll is missing"), std::string::npos) << output;
    fs::remove_all(partial);

    // Names that cannot be servers, servers that do not answer, a name given twice: each
    // server ends with its reason, and the run goes on for the others.
    fs::path reports = fs::path(Scratch()) / "bad";
    EXPECT_EQ(run({"--package", Kit(), "--servers", "bad/name,NOSUCH,fe80::99,OLD03,old03",
                   "--result", (reports / "r.txt").string(), "--plain"}),
              1)
        << output;
    EXPECT_NE(output.find("old03 is named twice"), std::string::npos) << output;
    std::string json = testsupport::ReadHostFile((reports / "r.json").string());
    for (const char* expected :
         {"{\"name\": \"bad/name\", \"outcome\": \"failed\", \"phase\": \"input\"",
          "{\"name\": \"NOSUCH\", \"outcome\": \"failed\", \"phase\": \"logon\"",
          "{\"name\": \"fe80::99\", \"outcome\": \"failed\", \"phase\": \"logon\"",
          "{\"name\": \"OLD03\", \"outcome\": \"failed\", \"phase\": \"analysis\""})
        EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json;
    EXPECT_EQ(json.find("\"old03\""), std::string::npos) << json;
    EXPECT_TRUE(testsupport::WaitFor([&] { return Leftovers("OLD03").empty(); }, 60s))
        << Leftovers("OLD03");

    // The password typed on a terminal is not shown, and logs on; without a terminal there is
    // no prompt.
    std::vector<std::string> prompted = {
        testsupport::HostPath(testsupport::ProgramFolder() + L"\\rolloutcli.exe"),
        "--package",
        Kit(),
        "--install",
        "--analyze-only",
        "--user",
        "CORP\\Administrator",
        "--password-prompt",
        "--servers",
        "EXCH07",
        "--result",
        (reports / "prompt.txt").string(),
        "--plain"};
    EXPECT_EQ(testsupport::RunHostProgramOnTerminal(
                  prompted,
                  {{"FLEET_ROOT", testsupport::FleetRoot()},
                   {"FLEET_MACHINE", winport::fleet::CurrentMachine().name}},
                  "Password: ", kPassword, &output),
              0)
        << output;
    EXPECT_EQ(output.find(kPassword), std::string::npos) << output;
    EXPECT_EQ(RunCli({"--package", Kit(), "--install", "--user", "CORP\\Administrator",
                      "--password-prompt", "EXCH07"},
                     output),
              2);
    EXPECT_NE(output.find("--password-prompt needs a terminal"), std::string::npos) << output;

    // An account that is no administrator of the servers is refused on each of them.
    EXPECT_EQ(RunCli({"--package", Kit(), "--install", "--user", "CORP\\jdoe", "--password-env",
                      "ROLLOUT_PASSWORD", "--servers", "EXCH07,EXCH10", "--result",
                      (reports / "user.txt").string(), "--plain"},
                     output),
              1)
        << output;
    json = testsupport::ReadHostFile((reports / "user.json").string());
    for (const char* expected :
         {"{\"name\": \"EXCH07\", \"outcome\": \"failed\", \"phase\": \"logon\"",
          "{\"name\": \"EXCH10\", \"outcome\": \"failed\", \"phase\": \"logon\""})
        EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json;
    for (const char* server : {"EXCH07", "EXCH10"})
        EXPECT_EQ(Leftovers(server), "") << server;
}

// Faults on some servers leave the others undisturbed: a wrong account (LONE), an agent killed
// with SIGKILL during the analysis (EXCH12) and one while its package runs (EXCH10), a machine
// server stopped in the middle of the deployment (EXCH11). Each of those ends failed with its
// reason, the run ends in bounded time, and the next run against them clears what was left.
TEST_F(Deployment, FaultsFailOnlyTheirServers)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    fs::path reports = fs::path(Scratch()) / "faults";
    std::map<std::string, std::string> before;
    for (const char* server : {"EXCH07", "EXCH10", "EXCH11", "EXCH12"})
        before[server] = CaptureServer(server);
    std::string output;
    int code = -1;
    std::thread run(
        [&]
        {
            code = RunCli({"--package", Kit(), "--install", "--user", "CORP\\Administrator",
                           "--password-env", "ROLLOUT_PASSWORD", "--servers",
                           "EXCH07,EXCH10,EXCH11,EXCH12,LONE", "--result",
                           (reports / "r.txt").string(), "--plain"},
                          output);
        });
    // The agent is there only once the analysis has pushed it.
    pid_t analysing = 0;
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return (analysing = ProcessOn("EXCH12", "agenthost")) != 0; }, 120s));
    if (analysing != 0)
        kill(analysing, SIGKILL);
    EXPECT_TRUE(
        testsupport::WaitFor([] { return ProcessOn("EXCH10", "patchstarter") != 0; }, 120s));
    pid_t agent = ProcessOn("EXCH10", "agenthost");
    EXPECT_NE(agent, 0);
    if (agent != 0)
        kill(agent, SIGKILL);
    EXPECT_TRUE(
        testsupport::WaitFor([] { return ProcessOn("EXCH11", "patchstarter") != 0; }, 120s));
    winport::fleet::StopMachineServer(testsupport::FleetRoot(), "EXCH11");
    run.join();

    EXPECT_EQ(code, 1) << output;
    std::string json = testsupport::ReadHostFile((reports / "r.json").string());
    for (const char* expected :
         {"{\"name\": \"EXCH07\", \"outcome\": \"succeeded\"",
          "{\"name\": \"EXCH10\", \"outcome\": \"failed\", \"phase\": \"deployment\"",
          "{\"name\": \"EXCH11\", \"outcome\": \"failed\", \"phase\": \"deployment\"",
          "{\"name\": \"EXCH12\", \"outcome\": \"failed\", \"phase\": \"analysis\"",
          "{\"name\": \"LONE\", \"outcome\": \"failed\", \"phase\": \"logon\""})
        EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json << output;

    // The next run takes the pack off again where it got on (an install cut off by a fault was
    // either finished or rolled back by the server), and with it whatever the faults left: every
    // server ends as it was before.
    RunCli({"--package", Kit(), "--uninstall", "--user", "CORP\\Administrator", "--password-env",
            "ROLLOUT_PASSWORD", "--servers", "EXCH07,EXCH10,EXCH11,EXCH12", "--result",
            (reports / "u.txt").string(), "--plain"},
           output);
    json = testsupport::ReadHostFile((reports / "u.json").string());
    EXPECT_NE(json.find("{\"name\": \"EXCH07\", \"outcome\": \"succeeded\""), std::string::npos)
        << json << output;
    for (const char* server : {"EXCH07", "EXCH10", "EXCH11", "EXCH12", "LONE"})
        EXPECT_TRUE(testsupport::WaitFor([&] { return Leftovers(server).empty(); }, 60s))
            << server << ": " << Leftovers(server);
    for (const auto& [server, state] : before)
        EXPECT_EQ(CaptureServer(server), state) << server;
}

// A server that takes connections but never answers (its machine hangs) fails at the logon
// within the logon's time limit, and the others go on without it.
TEST_F(Deployment, AServerThatNeverAnswersFailsAtLogon)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    CaptureServer("FROZEN"); // its machine server runs
    pid_t server = ProcessOn("FROZEN", "machined");
    ASSERT_NE(server, 0);
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    struct SThaw
    {
        pid_t pid;
        ~SThaw() { kill(pid, SIGCONT); }
    } thaw{server};

    fs::path reports = fs::path(Scratch()) / "frozen";
    std::string output;
    auto start = std::chrono::steady_clock::now();
    int code = RunCli({"--package", Kit(), "--install", "--analyze-only", "--user",
                       "CORP\\Administrator", "--password-env", "ROLLOUT_PASSWORD", "--servers",
                       "FROZEN,EXCH07", "--result", (reports / "r.txt").string(), "--plain"},
                      output);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(300)) << output;
    EXPECT_EQ(code, 1) << output;
    std::string json = testsupport::ReadHostFile((reports / "r.json").string());
    EXPECT_NE(json.find("{\"name\": \"EXCH07\", \"outcome\": \"succeeded\", \"phase\": "
                        "\"analysis\""),
              std::string::npos)
        << json << output;
    EXPECT_NE(json.find("{\"name\": \"FROZEN\", \"outcome\": \"failed\", \"phase\": \"logon\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("The semaphore timeout period has expired."), std::string::npos) << json;
    EXPECT_TRUE(testsupport::WaitFor([&] { return Leftovers("EXCH07").empty(); }, 60s))
        << Leftovers("EXCH07");
}

// A run killed in the middle of its deployment: the agents it left end themselves once no
// heartbeat comes (and remove what is theirs), and a run started at once against a server with
// such an agent still running takes it over and clears it at its end.
TEST_F(Deployment, AKilledRunLeavesNothingForLong)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
#ifdef __SANITIZE_ADDRESS__
    // Mostly a wait for the agent's heartbeat time-out, over code the other tests run under the
    // sanitizers too: the plain build runs it, the sanitizer build keeps to its time budget.
    GTEST_SKIP();
#endif
    fs::path reports = fs::path(Scratch()) / "killed";
    std::string workstation = winport::fleet::CurrentMachine().name;
    std::string output;
    std::thread run(
        [&]
        {
            RunCli({"--package", Kit(), "--install", "--user", "CORP\\Administrator",
                    "--password-env", "ROLLOUT_PASSWORD", "--servers", "EXCH07,EXCH10", "--result",
                    (reports / "r.txt").string(), "--plain"},
                   output);
        });
    EXPECT_TRUE(
        testsupport::WaitFor([] { return ProcessOn("EXCH10", "patchstarter") != 0; }, 120s));
    pid_t cli = ProcessOn(workstation, "rolloutcli");
    EXPECT_NE(cli, 0);
    if (cli != 0)
        kill(cli, SIGKILL);
    run.join();
    EXPECT_NE(ProcessOn("EXCH07", "agenthost"), 0);

    // The next run against EXCH10 finds its agent and leaves none behind; the package the killed
    // run started has ended by then, installed or rolled back.
    EXPECT_TRUE(
        testsupport::WaitFor([] { return ProcessOn("EXCH10", "patchstarter") == 0; }, 120s));
    RunCli({"--package", Kit(), "--uninstall", "--user", "CORP\\Administrator", "--password-env",
            "ROLLOUT_PASSWORD", "--servers", "EXCH10", "--result", (reports / "next.txt").string(),
            "--plain"},
           output);
    EXPECT_EQ(Leftovers("EXCH10"), "") << output;

    // EXCH07's agent hears no heartbeat and removes itself within its time-out (six periods of
    // ten seconds).
    EXPECT_TRUE(testsupport::WaitFor([] { return Leftovers("EXCH07").empty(); }, 120s))
        << Leftovers("EXCH07");
    RunCli({"--package", Kit(), "--uninstall", "--user", "CORP\\Administrator", "--password-env",
            "ROLLOUT_PASSWORD", "--servers", "EXCH07", "--result", (reports / "last.txt").string(),
            "--plain"},
           output);
    EXPECT_TRUE(testsupport::WaitFor([] { return Leftovers("EXCH07").empty(); }, 60s));
}
