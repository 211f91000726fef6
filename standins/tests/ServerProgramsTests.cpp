// Programs that the deployment starts on a server: the batch file that waits and ends a process,
// the probe of a cluster node's Exchange virtual servers, and the one-shot bootstrap service.
// Work on a server runs in a child of this binary started on that server.
#include "fleetsim/Fleet.h"
#include "framework/CAdvancedLog.h"
#include "framework/Serialization.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace
{

using namespace std::chrono_literals;

constexpr DWORD kGuard = 60000; // only against a hang

// A server of this run's fleet with the cluster part given, and copies of build outputs in
// C:\Tools of it.
void AddServer(const std::string& name, const fleetsim::SCluster& cluster,
               const std::vector<std::wstring>& tools)
{
    const std::string root = testsupport::FleetRoot();
    fleetsim::SMachineProfile profile;
    ASSERT_EQ(
        fleetsim::ParseProfileName(
            cluster.kind == fleetsim::EClusterKind::None ? "server" : "exchange2003", profile),
        0u);
    profile.name = name;
    profile.cluster = cluster;
    ASSERT_EQ(fleetsim::AddMachine(root, profile), 0u);
    for (const std::wstring& tool : tools)
    {
        std::string target;
        ASSERT_EQ(fleetsim::MachineFilePath(root, name, L"C:\\Tools\\" + tool, target), 0u);
        std::filesystem::create_directories(std::filesystem::path(target).parent_path());
        std::filesystem::copy_file(
            testsupport::HostPath(testsupport::ProgramFolder() + L"\\" + tool), target,
            std::filesystem::copy_options::overwrite_existing);
    }
}

// Runs the named child test on a server; it must pass. What the child's programs printed is
// returned.
std::string OnServer(const std::string& server, const std::string& test,
                     std::vector<std::pair<std::string, std::string>> environment = {})
{
    environment.emplace_back("FLEET_MACHINE", server);
    std::string output;
    EXPECT_EQ(testsupport::RunChild("ServerPrograms." + test, environment, &output), 0)
        << server << ": " << output;
    return output;
}

HANDLE Start(const std::wstring& commandLine, const wchar_t* folder = nullptr)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder, &startup,
                        &info))
    {
        ADD_FAILURE() << "cannot start " << winport::ToUtf8(commandLine) << ": " << GetLastError();
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

DWORD ExitCodeOf(HANDLE process)
{
    DWORD code = 0xDEAD;
    EXPECT_EQ(WaitForSingleObject(process, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    CloseHandle(process);
    return code;
}

void Write(const std::wstring& path, const std::string& text)
{
    testsupport::WriteHostFile(testsupport::HostPath(path), text);
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// What the probe wrote, read back as its caller reads it.
class CProbeResult : public ISerializeSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override { return 0; }
    int OnSerializeFrom(CSerializeStream* stream) override
    {
        for (std::wstring* item : {&m_All, &m_Online})
        {
            if (!stream->IsHaveDataForRead())
                return 0;
            *item = stream->ReadString();
        }
        return 1;
    }
    std::wstring m_All, m_Online;
};

std::wstring ProbeLine(const std::wstring& library, const std::wstring& function,
                       const std::wstring& output)
{
    return L"\"C:\\Tools\\probeinvoker.exe\" -dll \"" + library + L"\" -func " + function +
           L" -debug_log \"C:\\Tools\\probe.log\" -output \"" + output + L"\"";
}

} // namespace

// On a server: a batch file waits a second with timeout, then ends a running program with
// taskkill; then the tools' refusals and their other forms.
TEST(ServerPrograms, ChildRunsTheKillBatch)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Jobs", nullptr));
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"ServerPrograms.VictimRuns");
    ASSERT_NE(ready, nullptr);
    HANDLE victim = Start(L"C:\\Windows\\System32\\servicestub.exe --console --ready-event "
                          L"ServerPrograms.VictimRuns");
    ASSERT_NE(victim, nullptr);
    ASSERT_EQ(WaitForSingleObject(ready, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    const std::string pid = std::to_string(GetProcessId(victim));
    Write(L"C:\\Jobs\\kill.bat", "@echo off\r\ntimeout /T 1 /NOBREAK\r\ntaskkill /PID " + pid +
                                     " /F\r\nexit /b %ERRORLEVEL%\r\n");
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ExitCodeOf(Start(L"cmd.exe /c \"C:\\Jobs\\kill.bat\"", L"C:\\Jobs")), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1s) << "timeout did not wait";
    // Ended by then, with the exit code that taskkill gives.
    ASSERT_EQ(WaitForSingleObject(victim, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(victim, &code));
    EXPECT_EQ(code, 1u);
    CloseHandle(victim);
    CloseHandle(ready);
    printf("victim %s\n", pid.c_str());
    fflush(stdout);

    // The same batch again: the process is gone, so taskkill fails and the batch with it.
    EXPECT_EQ(ExitCodeOf(Start(L"cmd.exe /c \"C:\\Jobs\\kill.bat\"", L"C:\\Jobs")), 128u);

    // A wait without end until killed, ended by its program name.
    ASSERT_TRUE(CopyFileW(L"C:\\Windows\\System32\\timeout.exe", L"C:\\Jobs\\forever.exe", TRUE));
    HANDLE forever = Start(L"C:\\Jobs\\forever.exe -1");
    ASSERT_NE(forever, nullptr);
    EXPECT_EQ(WaitForSingleObject(forever, 500), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(testsupport::RunProgram(L"taskkill /IM FOREVER.EXE"), 0u);
    EXPECT_EQ(ExitCodeOf(forever), 1u);

    struct SCase
    {
        const wchar_t* line;
        DWORD code;
    };
    const SCase cases[] = {
        {L"timeout /T 0", 0},
        {L"timeout 0 /nobreak", 0},
        {L"timeout /T abc", 1},
        {L"timeout /T -2", 1},
        {L"timeout /T 100000", 1},
        {L"timeout /T", 1},
        {L"timeout", 1},
        {L"timeout 1 2", 1},
        {L"timeout /X 1", 1},
        {L"taskkill", 1},
        {L"taskkill /PID", 1},
        {L"taskkill /PID 1 /Q", 1},
        {L"taskkill /PID abc", 128},
        {L"taskkill /IM nothing.exe /F", 128},
    };
    for (const SCase& c : cases)
        EXPECT_EQ(testsupport::RunProgram(c.line), c.code) << winport::ToUtf8(c.line);
}

TEST(ServerPrograms, BatchFileWaitsThenEndsAProcessOnAServer)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    AddServer("BATCHSRV", {}, {});
    std::string output = OnServer("BATCHSRV", "ChildRunsTheKillBatch");
    size_t at = output.find("victim ");
    ASSERT_NE(at, std::string::npos) << output;
    std::string pid = output.substr(at + 7, output.find('\n', at) - at - 7);
    const std::vector<std::string> lines = {
        "Waiting for 1 seconds, press CTRL+C to quit ...\n",
        "SUCCESS: The process with PID " + pid + " has been terminated.\n",
        "ERROR: The process \"" + pid + "\" not found.\n",
        "SUCCESS: The process \"forever.exe\" with PID ",
        "ERROR: Invalid value for timeout (/T) specified. Valid range is -1 to 99999.\n",
        "ERROR: Invalid syntax. Value expected for '/T'.\n",
        "ERROR: Invalid syntax. Default option is not allowed more than '1' time(s).\n",
        "ERROR: Invalid argument/option - '/X'.\n",
        "ERROR: Invalid syntax. Neither /FI nor /PID nor /IM were specified.\n",
        "ERROR: Invalid syntax. Value expected for '/PID'.\n",
        "ERROR: Invalid argument/option - '/Q'.\n",
        "ERROR: The process \"abc\" not found.\n",
        "ERROR: The process \"nothing.exe\" not found.\n"};
    for (const std::string& line : lines)
        EXPECT_NE(output.find(line), std::string::npos) << line << output;
}

// On a server: the probe as the deployment runs it reports what PROBE_ALL and PROBE_ONLINE say,
// through an output file that held something else before, and logs into a file that merges.
TEST(ServerPrograms, ChildRunsTheProbe)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    const std::wstring output = L"C:\\Tools\\servers.txt";
    Write(output, "stale\nlines\nof an earlier run\n");
    Write(L"C:\\Tools\\probe.log", "an earlier log\n");
    EXPECT_EQ(testsupport::RunProgram(
                  ProbeLine(L"C:\\Tools\\probestub.dll", L"GetExchangeVirtualServers", output)),
              0u);
    CProbeResult result;
    CPersistentStorageFile storage(output);
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&result, &storage), 1);
    EXPECT_EQ(winport::ToUtf8(result.m_All), getenv("PROBE_ALL"));
    EXPECT_EQ(winport::ToUtf8(result.m_Online), getenv("PROBE_ONLINE"));

    CAdvancedLog hub;
    testsupport::CLogCapture capture(&hub);
    ASSERT_EQ(hub.MergeExistingLogFile(L"C:\\Tools\\probe.log"), 1);
    EXPECT_TRUE(capture.HasContaining(ADVLOG_SEVERITY_NOISY, L"all '" + result.m_All +
                                                                 L"', online here '" +
                                                                 result.m_Online + L"'"))
        << winport::ToUtf8(capture.Dump());
    EXPECT_FALSE(capture.HasContaining(ADVLOG_SEVERITY_NOISY, L"an earlier log"));
}

TEST(ServerPrograms, ProbeReportsTheVirtualServersOfItsNode)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    const std::vector<std::wstring> tools = {L"probeinvoker.exe", L"probestub.dll"};
    fleetsim::SCluster cluster;
    cluster.kind = fleetsim::EClusterKind::Microsoft;
    cluster.nodes = {L"PNODE1", L"PNODE2"};
    cluster.virtualServers = {L"EVS2", L"evs1"};
    cluster.otherVirtualServers = {L"EVS3"};
    AddServer("PNODE1", cluster, tools);
    cluster.virtualServers = {L"EVS3"};
    cluster.otherVirtualServers = {L"EVS1", L"EVS2"};
    AddServer("PNODE2", cluster, tools);
    // A node of a Veritas cluster holds no Exchange virtual servers of a Microsoft one.
    fleetsim::SCluster veritas;
    veritas.kind = fleetsim::EClusterKind::Veritas;
    AddServer("PVERITAS", veritas, tools);
    AddServer("PPLAIN", {}, tools);

    OnServer("PNODE1", "ChildRunsTheProbe",
             {{"PROBE_ALL", "evs1,EVS2,EVS3"}, {"PROBE_ONLINE", "evs1,EVS2"}});
    OnServer("PNODE2", "ChildRunsTheProbe",
             {{"PROBE_ALL", "EVS1,EVS2,EVS3"}, {"PROBE_ONLINE", "EVS3"}});
    for (const char* server : {"PVERITAS", "PPLAIN"})
        OnServer(server, "ChildRunsTheProbe", {{"PROBE_ALL", ""}, {"PROBE_ONLINE", ""}});
}

// Bad arguments, a missing library or function and an output that cannot be written fail with
// a log line, and leave no output.
TEST(ServerPrograms, ChildProbeFailures)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    const std::wstring output = L"C:\\Tools\\failed.txt";
    const std::wstring probe = L"GetExchangeVirtualServers";
    const std::wstring stub = L"C:\\Tools\\probestub.dll";
    struct SCase
    {
        std::wstring line;
        DWORD code;
        const wchar_t* logged;
    };
    const std::wstring program = L"\"C:\\Tools\\probeinvoker.exe\"";
    const std::wstring log = L" -debug_log \"C:\\Tools\\probe.log\"";
    const SCase cases[] = {
        {program + L" -dll \"" + stub + L"\" -func " + probe + log, ERROR_INVALID_PARAMETER,
         L"argument -output is missing"},
        {program + L" -dll \"" + stub + L"\" -func " + probe + log + L" -output",
         ERROR_INVALID_PARAMETER, L"argument -output needs a value"},
        {program + L" -dll \"" + stub + L"\" -func " + probe + log + L" -output \"" + output +
             L"\" -frob 1",
         ERROR_INVALID_PARAMETER, L"unknown argument -frob"},
        {program + L" -dll \"" + stub + L"\" -dll \"" + stub + L"\" -func " + probe + log +
             L" -output \"" + output + L"\"",
         ERROR_INVALID_PARAMETER, L"argument -dll is given twice"},
        {ProbeLine(L"C:\\Tools\\nosuch.dll", probe, output), 0,
         L"cannot load C:\\Tools\\nosuch.dll"},
        {ProbeLine(L"C:\\Tools\\dbghelp.dll", probe, output), ERROR_PROC_NOT_FOUND,
         L"has no function GetExchangeVirtualServers"},
        {ProbeLine(stub, L"GetExchangeVirtualServersEx", output), ERROR_PROC_NOT_FOUND,
         L"has no function GetExchangeVirtualServersEx"},
        {ProbeLine(stub, probe, L"C:\\NoSuchFolder\\failed.txt"), ERROR_WRITE_FAULT,
         L"cannot write the output C:\\NoSuchFolder\\failed.txt"},
    };
    for (const SCase& c : cases)
    {
        DeleteFileW(L"C:\\Tools\\probe.log");
        unsigned long code = testsupport::RunProgram(c.line);
        if (c.code != 0)
            EXPECT_EQ(code, c.code) << winport::ToUtf8(c.line);
        else
            EXPECT_NE(code, 0u) << winport::ToUtf8(c.line);
        EXPECT_NE(code, ~0ul - 1) << winport::ToUtf8(c.line);
        EXPECT_FALSE(Exists(output)) << winport::ToUtf8(c.line);
        EXPECT_FALSE(Exists(L"C:\\NoSuchFolder"));
        CAdvancedLog hub;
        testsupport::CLogCapture capture(&hub);
        EXPECT_EQ(hub.MergeExistingLogFile(L"C:\\Tools\\probe.log"), 1);
        EXPECT_TRUE(capture.HasContaining(ADVLOG_SEVERITY_NOISY, c.logged))
            << winport::ToUtf8(c.line) << "\n"
            << winport::ToUtf8(capture.Dump());
    }
}

TEST(ServerPrograms, ProbeFailuresLeaveNoOutput)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    AddServer("PFAIL", {}, {L"probeinvoker.exe", L"probestub.dll", L"dbghelp.dll"});
    OnServer("PFAIL", "ChildProbeFailures");
}

// The agent setup's road: the bootstrap installed as a service, started and awaited through the
// service manager, is stopped with exit code 0 at once; as a plain program it exits with 0.
TEST(ServerPrograms, BootstrapServiceStopsAtOnceWithExitCodeZero)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Bootstrap", nullptr));
    const std::wstring image = L"C:\\Bootstrap\\Setup.exe";
    ASSERT_TRUE(
        CopyFileW((testsupport::ProgramFolder() + L"\\Setup.exe").c_str(), image.c_str(), TRUE));
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr) << GetLastError();
    SC_HANDLE service = CreateServiceW(
        manager, L"HalvornInstallBootstrap", L"HalvornInstallBootstrap", SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    SERVICE_STATUS_PROCESS status = {};
    EXPECT_TRUE(testsupport::WaitFor(
        [&]
        {
            DWORD needed = 0;
            return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<LPBYTE>(&status), sizeof status,
                                        &needed) &&
                   status.dwCurrentState == SERVICE_STOPPED;
        },
        60s));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    // Stopped, it takes no stop control; it goes when deleted.
    SERVICE_STATUS stopped = {};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &stopped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    EXPECT_EQ(OpenServiceW(manager, L"HalvornInstallBootstrap", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    CloseServiceHandle(manager);

    EXPECT_EQ(testsupport::RunProgram(L"\"" + image + L"\""), 0u);
}
