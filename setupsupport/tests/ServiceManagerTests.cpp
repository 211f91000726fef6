// Service control with the stand-in service program and the sc command: start and stop with
// dependents, a start that fails, and a service that keeps a library loaded.
#include "setupsupport/CProcessOperation.h"
#include "setupsupport/CServiceManager.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using testsupport::CLogCapture;

namespace
{

// The Windows folder of the test binary, where the stand-ins are built.
std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring self(path, n < MAX_PATH ? n : 0);
    return self.substr(0, self.rfind(L'\\'));
}

std::wstring StubImage(const std::wstring& arguments)
{
    return L"\"" + ProgramFolder() + L"\\servicestub.exe\" " + arguments;
}

bool Create(const wchar_t* name, const std::wstring& image, const wchar_t* dependencies = nullptr)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceW(
        manager, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, dependencies, nullptr, nullptr);
    bool ok = service != nullptr;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

SERVICE_STATUS_PROCESS Status(const wchar_t* name)
{
    SERVICE_STATUS_PROCESS status = {};
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<LPBYTE>(&status), sizeof status, &needed))
        << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status;
}

// Runs a program of the machine with its output in a file; returns its exit code.
DWORD RunProgram(const std::wstring& commandLine, std::string* output = nullptr)
{
    std::string file = testsupport::FleetRoot() + "/run-output.txt";
    fflush(stdout);
    int saved = dup(1);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &process);
    DWORD error = GetLastError();
    dup2(saved, 1);
    close(saved);
    EXPECT_TRUE(started) << error;
    if (!started)
        return error;
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (output != nullptr)
        *output = testsupport::ReadHostFile(file);
    return code;
}

DWORD Sc(const std::wstring& arguments, std::string* output = nullptr)
{
    return RunProgram(L"\"" + ProgramFolder() + L"\\sc.exe\" " + arguments, output);
}

} // namespace

TEST(ServiceManager, StartsAndStopsWithDependentsInstallsAndRemoves)
{
    CLogCapture log;
    CServiceManager base(nullptr, L"StubBase");
    EXPECT_FALSE(base.IsExist());
    base.m_bAutoStart = true;
    ASSERT_TRUE(
        base.Install(L"Stub base", StubImage(L"--start-delay 300 --stop-delay 300"), L"", L""))
        << log.Dump();
    EXPECT_EQ(base.m_strDisplayName, L"Stub base");
    EXPECT_FALSE(base.Install(L"Stub base", StubImage(L""), L"", L""));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR,
                        L"CreateService for server  service: StubBase fail, code: 1073"))
        << log.Dump();
    ASSERT_TRUE(Create(L"StubMiddle", StubImage(L"--name StubMiddle"), L"StubBase\0"));
    ASSERT_TRUE(Create(L"StubTop", StubImage(L""), L"StubMiddle\0"));
    EXPECT_TRUE(base.IsExist());
    EXPECT_FALSE(base.IsDisabled());
    EXPECT_EQ(base.QueryStatus(), static_cast<DWORD>(SERVICE_STOPPED));

    unsigned long state = 0;
    ASSERT_TRUE(base.Start(30000, true, state)) << log.Dump();
    EXPECT_EQ(state, static_cast<unsigned long>(SERVICE_RUNNING));
    CServiceManager top(nullptr, L"StubTop");
    CServiceManager middle(nullptr, L"stubmiddle");
    EXPECT_EQ(top.QueryStatus(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(middle.QueryStatus(), static_cast<DWORD>(SERVICE_RUNNING));

    // Without its dependents the base cannot stop while they run.
    log.Clear();
    EXPECT_FALSE(base.Stop(1500, false, state));
    EXPECT_EQ(state, static_cast<unsigned long>(SERVICE_RUNNING));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG,
                        L"service name is StubBase, ControlService fail, error code is 1051"))
        << log.Dump();

    EXPECT_TRUE(base.Restart(30000, true, state)) << log.Dump();
    EXPECT_EQ(state, static_cast<unsigned long>(SERVICE_RUNNING));
    EXPECT_EQ(top.QueryStatus(), static_cast<DWORD>(SERVICE_RUNNING));

    ASSERT_TRUE(base.Stop(30000, true, state)) << log.Dump();
    EXPECT_EQ(state, static_cast<unsigned long>(SERVICE_STOPPED));
    EXPECT_EQ(top.QueryStatus(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(middle.QueryStatus(), static_cast<DWORD>(SERVICE_STOPPED));
    // Stopping what is stopped succeeds and logs no failure.
    log.Clear();
    EXPECT_TRUE(base.Stop(30000, false, state));
    EXPECT_EQ(log.CountPrefix(L"service name is"), 0) << log.Dump();

    // A disabled service does not start.
    EXPECT_EQ(Sc(L"config StubTop start= disabled"), 0u);
    EXPECT_TRUE(top.IsDisabled());
    log.Clear();
    EXPECT_FALSE(top.Start(1500, false, state));
    EXPECT_EQ(state, static_cast<unsigned long>(SERVICE_STOPPED));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG, L"service StubTop is disabled")) << log.Dump();
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG, L"StartService fail, error code is 1058"));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG, L"service StubTop fail to be start"));

    // Remove stops a running service before it deletes it.
    ASSERT_TRUE(middle.Start(30000, false, state));
    EXPECT_TRUE(top.Remove());
    EXPECT_TRUE(middle.Remove()) << log.Dump();
    EXPECT_FALSE(middle.IsExist());
    EXPECT_TRUE(base.Remove());
    EXPECT_FALSE(base.IsExist());
    EXPECT_EQ(base.QueryStatus(), 0u);
    EXPECT_FALSE(base.Start(1000, false, state));
}

TEST(ServiceManager, AStartThatFailsAndAServiceThatEndsByItself)
{
    CLogCapture log;
    ASSERT_TRUE(Create(L"StubFails", StubImage(L"--fail-start 1066")));
    CServiceManager fails(nullptr, L"StubFails");
    unsigned long state = 0;
    EXPECT_FALSE(fails.Start(2000, false, state));
    EXPECT_EQ(state, static_cast<unsigned long>(SERVICE_STOPPED));
    EXPECT_EQ(Status(L"StubFails").dwWin32ExitCode, 1066u);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG, L"service StubFails fail to be start"))
        << log.Dump();

    // A library that cannot be loaded fails the start with the loader's error.
    ASSERT_TRUE(Create(L"StubNoLibrary", StubImage(L"--load C:\\No Such\\missing.dll")));
    EXPECT_FALSE(CServiceManager(nullptr, L"StubNoLibrary").Start(2000, false, state));
    EXPECT_EQ(Status(L"StubNoLibrary").dwWin32ExitCode, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // It runs briefly, so a wait for RUNNING could miss it: started without one.
    ASSERT_TRUE(Create(L"StubBootstrap", StubImage(L"--exit-after 200")));
    CServiceManager bootstrap(nullptr, L"StubBootstrap");
    ASSERT_EQ(Sc(L"start StubBootstrap"), 0u);
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return bootstrap.QueryStatus() == static_cast<DWORD>(SERVICE_STOPPED); }, 30s));
    EXPECT_EQ(Status(L"StubBootstrap").dwWin32ExitCode, 0u);

    // Outside the service manager the program refuses to run.
    EXPECT_EQ(RunProgram(StubImage(L"--name Plain")),
              static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

TEST(ServiceManager, ScCommandRoundTrip)
{
    std::string out;
    std::wstring image = StubImage(L"--stop-delay 100");
    // The image path keeps its quotes: \" inside a quoted argument is a quote.
    std::wstring quoted = L"\"\\\"" + ProgramFolder() + L"\\servicestub.exe\\\" --stop-delay 100\"";
    EXPECT_EQ(Sc(L"create StubSc binPath= " + quoted +
                     L" start= demand DisplayName= \"Stub sc\" depend= StubA/StubB",
                 &out),
              0u)
        << out;
    EXPECT_NE(out.find("[SC] CreateService SUCCESS"), std::string::npos) << out;
    EXPECT_EQ(Sc(L"create StubSc binPath= x.exe", &out), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_NE(out.find("[SC] CreateService FAILED 1073:"), std::string::npos) << out;
    EXPECT_EQ(Sc(L"qc StubSc", &out), 0u);
    EXPECT_NE(out.find("BINARY_PATH_NAME   : " + winport::ToUtf8(image)), std::string::npos) << out;
    EXPECT_NE(out.find("DISPLAY_NAME       : Stub sc"), std::string::npos) << out;
    EXPECT_NE(out.find("DEPENDENCIES       : StubA\n                           : StubB"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("START_TYPE         : 3   DEMAND_START"), std::string::npos) << out;
    EXPECT_EQ(Sc(L"config StubSc depend= /", &out), 0u) << out;

    EXPECT_EQ(Sc(L"start StubSc", &out), 0u) << out;
    EXPECT_TRUE(testsupport::WaitFor(
        [] { return Status(L"StubSc").dwCurrentState == SERVICE_RUNNING; }, 30s));
    EXPECT_EQ(Sc(L"query StubSc", &out), 0u);
    EXPECT_NE(out.find("SERVICE_NAME: StubSc\n"), std::string::npos) << out;
    EXPECT_NE(out.find("STATE              : 4  RUNNING"), std::string::npos) << out;
    EXPECT_EQ(Sc(L"start StubSc", &out), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_EQ(Sc(L"stop StubSc", &out), 0u) << out;
    EXPECT_TRUE(testsupport::WaitFor(
        [] { return Status(L"StubSc").dwCurrentState == SERVICE_STOPPED; }, 30s));
    EXPECT_EQ(Sc(L"stop StubSc", &out), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE)) << out;
    EXPECT_EQ(Sc(L"query StubSc", &out), 0u);
    EXPECT_NE(out.find("STATE              : 1  STOPPED"), std::string::npos) << out;
    EXPECT_NE(out.find("WIN32_EXIT_CODE    : 0  (0x0)"), std::string::npos) << out;

    EXPECT_EQ(Sc(L"delete StubSc", &out), 0u) << out;
    EXPECT_EQ(Sc(L"query StubSc", &out), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    wchar_t message[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   ERROR_SERVICE_DOES_NOT_EXIST, 0, message, 512, nullptr);
    EXPECT_NE(out.find("[SC] OpenService FAILED 1060:\n\n" + winport::ToUtf8(message)),
              std::string::npos)
        << out;
    EXPECT_EQ(Sc(L"create StubSc binPath= x.exe start= sometimes", &out),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Sc(L"query", &out), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(ServiceManager, TheServiceHoldsItsLibraryUntilItStops)
{
    CLogCapture log;
    const std::wstring folder = L"C:\\Program Files\\Stub Test";
    const std::wstring held = folder + L"\\held.dll";
    const std::wstring moved = folder + L"\\held.old";
    const std::wstring source = ProgramFolder() + L"\\testmodule.dll";
    CreateDirectoryW(L"C:\\Program Files", nullptr);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    ASSERT_TRUE(CopyFileW(source.c_str(), held.c_str(), FALSE)) << GetLastError();
    // The path is not quoted: the option takes the words up to the next option.
    ASSERT_TRUE(
        Create(L"StubHolder",
               StubImage(L"--load " + held + L" --ready-event StubHolderReady --stop-delay 50")));
    CServiceManager holder(nullptr, L"StubHolder");
    unsigned long state = 0;
    ASSERT_TRUE(holder.Start(30000, false, state)) << log.Dump();
    HANDLE ready = OpenEventW(SYNCHRONIZE, FALSE, L"StubHolderReady");
    ASSERT_NE(ready, nullptr) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_OBJECT_0);
    CloseHandle(ready);
    DWORD pid = Status(L"StubHolder").dwProcessId;
    ASSERT_NE(pid, 0u);

    std::vector<CModuleProcessInfo> modules;
    ASSERT_TRUE(CProcessOperation::AnalysisProcessAndModuleInfo(modules)) << log.Dump();
    std::vector<DWORD> holders;
    for (const CModuleProcessInfo& module : modules)
        if (module.m_strModulePath == L"c:\\program files\\stub test\\held.dll")
            holders.push_back(module.m_dwProcessId);
    EXPECT_EQ(holders, std::vector<DWORD>{pid});

    SetLastError(0);
    EXPECT_FALSE(CopyFileW(source.c_str(), held.c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(MoveFileW(held.c_str(), moved.c_str())) << GetLastError();
    EXPECT_TRUE(CopyFileW(source.c_str(), held.c_str(), FALSE)) << GetLastError();
    SetLastError(0);
    EXPECT_FALSE(CopyFileW(source.c_str(), moved.c_str(), FALSE)) << "the moved file is held";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    ASSERT_TRUE(holder.Stop(30000, false, state)) << log.Dump();
    EXPECT_TRUE(CopyFileW(source.c_str(), moved.c_str(), FALSE)) << GetLastError();
    EXPECT_TRUE(holder.Remove());
}
