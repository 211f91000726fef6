// The service control manager: configuration, start and stop of a real service program, delete
// while running, remote managers, and a machine server killed while a service runs.
#include "fleetsim/Fleet.h"
#include "testsupport/TestFleet.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace
{

using namespace std::chrono_literals;

// A service program started from the build folder, as the workstation's Z: drive shows it.
std::wstring Image(const std::string& arguments)
{
    return L"\"" + winport::fleet::HostPathToWindows(FLEET_TEST_SERVICE_PROGRAM) + L"\" " +
           winport::FromUtf8(arguments);
}

std::string Markers()
{
    std::string folder = testsupport::FleetRoot() + "/service-markers";
    mkdir(folder.c_str(), 0755);
    return folder;
}

SC_HANDLE Create(SC_HANDLE manager, const wchar_t* name, const std::wstring& image,
                 const wchar_t* dependencies = nullptr)
{
    return CreateServiceW(manager, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr,
                          nullptr, dependencies, nullptr, nullptr);
}

SERVICE_STATUS_PROCESS Query(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        << GetLastError();
    return status;
}

bool Reaches(SC_HANDLE service, DWORD state)
{
    return testsupport::WaitFor([&] { return Query(service).dwCurrentState == state; }, 60s);
}

// A process that has ended (a zombie has ended too).
bool Ended(pid_t pid)
{
    std::string stat = testsupport::ReadHostFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat[close + 2] == 'Z' || stat[close + 2] == 'X';
}

DWORD Error(BOOL result)
{
    return result ? ERROR_SUCCESS : GetLastError();
}

} // namespace

TEST(WinService, ConfigurationFollowsTheWindowsRules)
{
    EXPECT_EQ(OpenSCManagerW(nullptr, L"Other", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));
    SC_HANDLE manager = OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr) << GetLastError();
    SC_HANDLE base = Create(manager, L"SvcBase", L"%SystemRoot%\\base.exe -x");
    ASSERT_NE(base, nullptr) << GetLastError();
    SC_HANDLE service = Create(manager, L"SvcConfig", L"C:\\Program Files\\x.exe", L"svcbase\0");
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_EQ(Create(manager, L"SVCCONFIG", L"C:\\y.exe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(OpenServiceW(manager, L"NoSuchService", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(Create(manager, L"Bad\\Name", L"C:\\y.exe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));

    // The configuration is the registry's, in the Windows values.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\SvcConfig",
                            0, KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"ImagePath", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(RegQueryValueExW(key, L"DependOnService", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    DWORD start = 0;
    size = sizeof start;
    EXPECT_EQ(
        RegQueryValueExW(key, L"Start", nullptr, &type, reinterpret_cast<BYTE*>(&start), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(start, static_cast<DWORD>(SERVICE_DEMAND_START));
    RegCloseKey(key);

    // The buffer protocol, then the whole configuration.
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfigW(service, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGW));
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    EXPECT_FALSE(QueryServiceConfigW(service, config, needed - 1, &needed));
    ASSERT_TRUE(QueryServiceConfigW(service, config, needed, &needed));
    EXPECT_STREQ(config->lpBinaryPathName, L"C:\\Program Files\\x.exe");
    EXPECT_STREQ(config->lpDisplayName, L"SvcConfig");
    EXPECT_STREQ(config->lpDependencies, L"svcbase");
    EXPECT_EQ(config->lpDependencies[wcslen(config->lpDependencies) + 1], L'\0');
    EXPECT_STREQ(config->lpServiceStartName, L"LocalSystem");
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));

    // A change of the start type alone; a disabled service does not start.
    ASSERT_TRUE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED,
                                     SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, L"Configured Service"));
    EXPECT_FALSE(QueryServiceConfigW(service, nullptr, 0, &needed));
    buffer.assign(needed, 0);
    config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service, config, needed, &needed));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DISABLED));
    EXPECT_STREQ(config->lpBinaryPathName, L"C:\\Program Files\\x.exe");
    EXPECT_STREQ(config->lpDisplayName, L"Configured Service");
    EXPECT_EQ(Error(ChangeServiceConfigW(base, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                         SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, L"configured service")),
              static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
    EXPECT_EQ(Error(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, 9, SERVICE_NO_CHANGE, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Error(StartServiceW(service, 0, nullptr)),
              static_cast<DWORD>(ERROR_SERVICE_DISABLED));
    SERVICE_STATUS status{};
    EXPECT_EQ(Error(ControlService(service, SERVICE_CONTROL_STOP, &status)),
              static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

    // Wrong kinds of handle, and rights the handle lacks.
    EXPECT_EQ(OpenServiceW(service, L"SvcBase", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Error(QueryServiceStatus(manager, &status)),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(Error(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(event))),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
    SC_HANDLE reader = OpenServiceW(manager, L"svcconfig", SERVICE_QUERY_STATUS);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(Error(StartServiceW(reader, 0, nullptr)), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Error(DeleteService(reader)), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(QueryServiceStatus(reader, &status));

    // Dependents and the enumeration with its paging.
    ENUM_SERVICE_STATUSW dependents[4];
    DWORD returned = 0;
    ASSERT_TRUE(EnumDependentServicesW(base, SERVICE_STATE_ALL, dependents, sizeof dependents,
                                       &needed, &returned));
    ASSERT_EQ(returned, 1u);
    EXPECT_STREQ(dependents[0].lpServiceName, L"SvcConfig");
    DWORD resume = 0, total = 0;
    std::vector<std::wstring> names;
    for (int round = 0; round < 20; ++round)
    {
        std::vector<BYTE> page(sizeof(ENUM_SERVICE_STATUS_PROCESSW) + 64 * sizeof(WCHAR));
        BOOL done =
            EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                  page.data(), page.size(), &needed, &returned, &resume, nullptr);
        auto* entries = reinterpret_cast<LPENUM_SERVICE_STATUS_PROCESSW>(page.data());
        for (DWORD i = 0; i < returned; ++i)
            names.push_back(entries[i].lpServiceName);
        total += returned;
        if (done)
            break;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"SvcBase", L"SvcConfig"}));

    // Delete: marked until its last handle goes, then gone from the registry.
    ASSERT_TRUE(DeleteService(service));
    EXPECT_EQ(Error(DeleteService(service)), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(OpenServiceW(manager, L"SvcConfig", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(Create(manager, L"SvcConfig", L"C:\\y.exe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_EQ(OpenServiceW(manager, L"SvcConfig", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE)) << "reader";
    EXPECT_TRUE(CloseServiceHandle(reader));
    EXPECT_EQ(OpenServiceW(manager, L"SvcConfig", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\SvcConfig",
                            0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(DeleteService(base));
    EXPECT_TRUE(CloseServiceHandle(base));
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_EQ(Error(CloseServiceHandle(manager)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(WinService, StartsStopsAndReportsHowItEnded)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = Create(manager, L"SvcRun", Image("run \"" + Markers() + "\" 42"));
    ASSERT_NE(service, nullptr) << GetLastError();
    const wchar_t* arguments[] = {L"alpha", L"two words"};
    ASSERT_TRUE(StartServiceW(service, 2, arguments)) << GetLastError();
    EXPECT_EQ(Error(StartServiceW(service, 0, nullptr)),
              static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
    SERVICE_STATUS_PROCESS running = Query(service);
    EXPECT_EQ(running.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    pid_t pid = static_cast<pid_t>(running.dwProcessId);
    ASSERT_GT(pid, 0);
    winport::fleet::SProcessStart start;
    ASSERT_TRUE(winport::fleet::ReadProcessStart(pid, start));
    EXPECT_EQ(start.account, L"SYSTEM");
    // The start arguments reach the service's main function, after its name.
    std::string args = Markers() + "/SvcRun.args";
    ASSERT_TRUE(
        testsupport::WaitFor([&] { return !testsupport::ReadHostFile(args).empty(); }, 60s));
    EXPECT_EQ(testsupport::ReadHostFile(args), "SvcRun\nalpha\ntwo words\n");

    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_NE(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
    SERVICE_STATUS_PROCESS stopped = Query(service);
    EXPECT_EQ(stopped.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(stopped.dwServiceSpecificExitCode, 42u);
    EXPECT_EQ(stopped.dwProcessId, 0u);
    EXPECT_TRUE(testsupport::WaitFor([&] { return Ended(pid); }, 60s));

    // A service that takes no stop and ends by itself.
    ASSERT_TRUE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     SERVICE_NO_CHANGE, Image("nostop 700").c_str(), nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    EXPECT_EQ(Error(ControlService(service, SERVICE_CONTROL_STOP, &status)),
              static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
    EXPECT_EQ(Error(ControlService(service, SERVICE_CONTROL_STOP, &status)),
              static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
    EXPECT_EQ(Query(service).dwWin32ExitCode, 7u);

    // A program that is not there.
    ASSERT_TRUE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     SERVICE_NO_CHANGE, L"C:\\Windows\\missing.exe", nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Error(StartServiceW(service, 0, nullptr)), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    // A program that the manager did not start for a service is no service.
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"X"), [](DWORD, LPWSTR*) {}},
                                    {nullptr, nullptr}};
    EXPECT_EQ(Error(StartServiceCtrlDispatcherW(table)),
              static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

TEST(WinService, DeletedWhileRunningGoesWhenStoppedAndClosed)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = Create(manager, L"SvcDelete", Image("run \"" + Markers() + "\" 0"));
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
    ASSERT_TRUE(DeleteService(service));
    EXPECT_EQ(Query(service).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(OpenServiceW(manager, L"SvcDelete", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
    EXPECT_EQ(Query(service).dwWin32ExitCode, 0u);
    EXPECT_EQ(Create(manager, L"SvcDelete", L"C:\\y.exe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    CloseServiceHandle(service);
    EXPECT_EQ(OpenServiceW(manager, L"SvcDelete", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    CloseServiceHandle(manager);
}

TEST(WinService, AKilledMachineServerIsFollowedByOneThatKnowsTheTruth)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = Create(manager, L"SvcSurvive", Image("run \"" + Markers() + "\" 5"));
    ASSERT_NE(service, nullptr);
    const std::string& folder = winport::fleet::CurrentMachine().folder;
    auto killServer = [&folder]
    {
        int server = 0;
        ASSERT_TRUE(winport::fleet::MachineServerRunning(folder, &server));
        ASSERT_GT(server, 0);
        ASSERT_EQ(kill(server, SIGKILL), 0);
        ASSERT_TRUE(testsupport::WaitFor([&] { return Ended(server); }, 60s));
    };

    // The service outlives its server; the next one adopts it, and it still obeys a stop.
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
    pid_t pid = static_cast<pid_t>(Query(service).dwProcessId);
    killServer();
    SERVICE_STATUS_PROCESS adopted = Query(service);
    EXPECT_EQ(adopted.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(adopted.dwProcessId, static_cast<DWORD>(pid));
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
    EXPECT_EQ(Query(service).dwServiceSpecificExitCode, 5u);

    // A service that ended while no server ran is stopped for the next one.
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
    pid = static_cast<pid_t>(Query(service).dwProcessId);
    ASSERT_EQ(kill(pid, SIGSTOP), 0); // it cannot reach the next server before it is killed
    killServer();
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(testsupport::WaitFor([&] { return Ended(pid); }, 60s));
    SC_HANDLE fresh = OpenServiceW(manager, L"SvcSurvive", SERVICE_ALL_ACCESS);
    ASSERT_NE(fresh, nullptr) << GetLastError();
    SERVICE_STATUS_PROCESS truth = Query(fresh);
    EXPECT_EQ(truth.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(truth.dwProcessId, 0u);
    ASSERT_TRUE(StartServiceW(fresh, 0, nullptr)) << "it starts again";
    ASSERT_TRUE(Reaches(fresh, SERVICE_RUNNING));
    EXPECT_TRUE(ControlService(fresh, SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(Reaches(fresh, SERVICE_STOPPED));
    EXPECT_TRUE(DeleteService(fresh));
    CloseServiceHandle(fresh);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST(WinService, RemoteManagerNeedsAnAdministratorThere)
{
    std::string root = testsupport::FleetRoot();
    fleetsim::SDomain domain;
    domain.name = L"SVCDOM";
    domain.dnsName = L"svcdom.example";
    domain.adminPassword = L"D0main!";
    domain.users = {{L"operator", L"Op3rator!"}};
    testsupport::AddDomainServers(domain, {{"SVCSRV", "server"}});
    ASSERT_FALSE(HasFatalFailure());
    // The service program on the server's own drive (servers have no Z:).
    std::string onServer = root + "/machines/SVCSRV/drive/c/Windows/testservice.exe";
    std::filesystem::copy_file(FLEET_TEST_SERVICE_PROGRAM, onServer);
    std::wstring image =
        L"%SystemRoot%\\testservice.exe run \"" + winport::FromUtf8(Markers()) + L"\" 0";

    auto as = [](const wchar_t* user, const wchar_t* password, auto work)
    {
        HANDLE token = nullptr;
        ASSERT_TRUE(LogonUserW(user, L"SVCDOM", password, LOGON32_LOGON_NEW_CREDENTIALS,
                               LOGON32_PROVIDER_WINNT50, &token));
        ASSERT_TRUE(ImpersonateLoggedOnUser(token));
        CloseHandle(token);
        work();
        RevertToSelf();
    };
    EXPECT_EQ(OpenSCManagerW(L"SVCSRV", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    as(L"Administrator", L"wrong",
       []
       {
           EXPECT_EQ(OpenSCManagerW(L"\\\\SVCSRV", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
           EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE));
       });
    as(L"operator", L"Op3rator!",
       []
       {
           EXPECT_EQ(OpenSCManagerW(L"SVCSRV", nullptr, SC_MANAGER_CONNECT), nullptr);
           EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
       });
    as(L"Administrator", L"D0main!",
       [&]
       {
           SC_HANDLE manager = OpenSCManagerW(L"svcsrv", nullptr, SC_MANAGER_ALL_ACCESS);
           ASSERT_NE(manager, nullptr) << GetLastError();
           // Nothing the refused callers tried is there.
           EXPECT_EQ(OpenServiceW(manager, L"SvcRemote", SERVICE_QUERY_STATUS), nullptr);
           SC_HANDLE service = Create(manager, L"SvcRemote", image);
           ASSERT_NE(service, nullptr) << GetLastError();
           ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
           ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
           winport::fleet::SProcessStart start;
           ASSERT_TRUE(winport::fleet::ReadProcessStart(
               static_cast<pid_t>(Query(service).dwProcessId), start));
           EXPECT_EQ(start.machineName, "SVCSRV");
           SERVICE_STATUS status{};
           EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
           ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
           EXPECT_TRUE(DeleteService(service));
           CloseServiceHandle(service);
           EXPECT_EQ(OpenServiceW(manager, L"SvcRemote", SERVICE_QUERY_STATUS), nullptr);
           EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
           CloseServiceHandle(manager);
       });
    // This workstation has no such service: the manager was the server's.
    SC_HANDLE local = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_EQ(OpenServiceW(local, L"SvcRemote", SERVICE_QUERY_STATUS), nullptr);
    CloseServiceHandle(local);
}

TEST(WinService, ChildStopsTheAgentOnItsServer)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    // A process of the server waits until the agent is ready, then asks it to end.
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"Global\\DeployAgentReady");
    ASSERT_NE(ready, nullptr);
    ASSERT_EQ(WaitForSingleObject(ready, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, L"Global\\DeployAgentStop");
    ASSERT_NE(stop, nullptr);
    ASSERT_TRUE(SetEvent(stop));
    CloseHandle(stop);
    CloseHandle(ready);
}

TEST(WinService, ABootstrapAndAnAgentRunOnADomainServerFromTheWorkstation)
{
    fleetsim::SDomain domain;
    domain.name = L"DEPDOM";
    domain.dnsName = L"depdom.example";
    domain.adminPassword = L"D0main!";
    testsupport::AddDomainServers(domain, {{"DEPSRV", "server"}});
    ASSERT_FALSE(HasFatalFailure());
    const std::wstring stub = L"%SystemRoot%\\System32\\servicestub.exe --name ";
    const std::wstring bootstrap = stub + L"HalvornInstallBootstrap --exit-after 300";
    const std::wstring agent = stub + L"HalvornInstallAgent --ready-event Global\\DeployAgentReady"
                                      L" --stop-event Global\\DeployAgentStop";

    auto as = [](const wchar_t* password, auto work)
    {
        HANDLE token = nullptr;
        ASSERT_TRUE(LogonUserW(L"Administrator", L"DEPDOM", password, LOGON32_LOGON_NEW_CREDENTIALS,
                               LOGON32_PROVIDER_WINNT50, &token));
        ASSERT_TRUE(ImpersonateLoggedOnUser(token));
        CloseHandle(token);
        work();
        RevertToSelf();
    };
    // With a wrong password neither service can even be asked for.
    as(L"wr0ng",
       []
       {
           EXPECT_EQ(OpenSCManagerW(L"\\\\DEPSRV", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
           EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE));
       });
    as(L"D0main!",
       [&]
       {
           SC_HANDLE manager = OpenSCManagerW(L"\\\\DEPSRV", nullptr, SC_MANAGER_ALL_ACCESS);
           ASSERT_NE(manager, nullptr) << GetLastError();
           for (const wchar_t* name : {L"HalvornInstallBootstrap", L"HalvornInstallAgent"})
           {
               EXPECT_EQ(OpenServiceW(manager, name, SERVICE_QUERY_STATUS), nullptr);
               EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
           }
           // The one-shot bootstrap ends by itself and is removed.
           SC_HANDLE service = Create(manager, L"HalvornInstallBootstrap", bootstrap);
           ASSERT_NE(service, nullptr) << GetLastError();
           ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
           ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
           EXPECT_EQ(Query(service).dwWin32ExitCode, 0u);
           EXPECT_TRUE(DeleteService(service));
           CloseServiceHandle(service);
           EXPECT_EQ(OpenServiceW(manager, L"HalvornInstallBootstrap", SERVICE_QUERY_STATUS),
                     nullptr);

           // The agent runs until another process of its server sets its stop event.
           service = Create(manager, L"HalvornInstallAgent", agent);
           ASSERT_NE(service, nullptr) << GetLastError();
           ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
           std::string output;
           int result = testsupport::RunChild("WinService.ChildStopsTheAgentOnItsServer",
                                              {{"FLEET_MACHINE", "DEPSRV"}}, &output);
           EXPECT_EQ(result, 0) << output;
           ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
           EXPECT_EQ(Query(service).dwWin32ExitCode, 0u);
           EXPECT_TRUE(DeleteService(service));
           CloseServiceHandle(service);
           EXPECT_EQ(OpenServiceW(manager, L"HalvornInstallAgent", SERVICE_QUERY_STATUS), nullptr);
           EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
           CloseServiceHandle(manager);
       });
}

TEST(WinService, ManyStartsAndStopsLeaveTheDatabaseAsItWas)
{
    // What the registry holds of the machine's services, value by value.
    auto snapshot = []
    {
        std::vector<std::wstring> items;
        HKEY services = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", 0,
                                KEY_READ, &services),
                  ERROR_SUCCESS);
        wchar_t name[256];
        for (DWORD i = 0;; ++i)
        {
            DWORD length = 256;
            if (RegEnumKeyExW(services, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            HKEY key = nullptr;
            RegOpenKeyExW(services, name, 0, KEY_READ, &key);
            for (DWORD j = 0;; ++j)
            {
                wchar_t value[256];
                BYTE data[4096];
                DWORD valueLength = 256, size = sizeof data, type = 0;
                if (RegEnumValueW(key, j, value, &valueLength, nullptr, &type, data, &size) !=
                    ERROR_SUCCESS)
                    break;
                items.push_back(
                    std::wstring(name) + L"\\" + value + L"=" + std::to_wstring(type) + L":" +
                    std::wstring(reinterpret_cast<wchar_t*>(data), size / sizeof(wchar_t)));
            }
            RegCloseKey(key);
        }
        RegCloseKey(services);
        return items;
    };
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self, n);
    folder.resize(folder.rfind(L'\\'));
    std::wstring image =
        L"\"" + folder + L"\\servicestub.exe\" --name SvcCycle --ready-event SvcCycle.Ready";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = Create(manager, L"SvcCycle", image);
    ASSERT_NE(service, nullptr) << GetLastError();
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"SvcCycle.Ready");
    std::vector<std::wstring> before = snapshot();
    int server = 0;
    ASSERT_TRUE(
        winport::fleet::MachineServerRunning(winport::fleet::CurrentMachine().folder, &server));
    std::string serverFds = "/proc/" + std::to_string(server) + "/fd";
    auto descriptors = [&serverFds]
    {
        return std::distance(std::filesystem::directory_iterator(serverFds),
                             std::filesystem::directory_iterator());
    };
    // This thread's own connection for waits comes with its first wait, and the server keeps the
    // drive it starts programs from open after the first start: both come before counting.
    WaitForSingleObject(ready, 0);
    decltype(descriptors()) openBefore = 0;
#ifdef __SANITIZE_ADDRESS__
    // Each cycle starts a program, which the sanitizers make slow: a fifth of the cycles keeps
    // the sanitizer build within its time budget and still shows a descriptor or key kept per
    // cycle.
    constexpr int kCycles = 200;
#else
    constexpr int kCycles = 1000;
#endif
    for (int i = -1; i < kCycles; ++i)
    {
        if (i == 0)
            openBefore = descriptors();
        ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << i << ": " << GetLastError();
        ASSERT_EQ(WaitForSingleObject(ready, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
        ResetEvent(ready);
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
        // The end of its program is what makes it stopped.
        while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED)
            usleep(500);
        ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        ASSERT_EQ(status.dwWin32ExitCode, 0u);
    }
    EXPECT_EQ(snapshot(), before);
    // The last program's connection may still be on its way out.
    EXPECT_TRUE(testsupport::WaitFor([&] { return descriptors() == openBefore; }, 60s))
        << descriptors() << " descriptors, " << openBefore << " before";
    CloseHandle(ready);
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}
