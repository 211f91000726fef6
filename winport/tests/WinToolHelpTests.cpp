// Tool-help snapshots: a machine sees its own processes and their modules, and no others.
#include "testsupport/TestSupport.h"
#include "winport/TlHelp32.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace
{

// A process that only sleeps, started with the machine placement given.
pid_t StartSleeper(const std::string& machine)
{
    std::vector<std::string> environment = {"FLEET_ROOT=" + testsupport::FleetRoot(),
                                            "PATH=/usr/bin:/bin"};
    if (!machine.empty())
        environment.push_back("FLEET_MACHINE=" + machine);
    std::vector<char*> envp;
    for (std::string& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    char program[] = "/bin/sleep";
    char seconds[] = "60";
    char* argv[] = {program, seconds, nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, program, nullptr, nullptr, argv, envp.data());
    // Returned once it runs its program with its environment in place (before, it is still a
    // copy of this one; its name changes a moment before its environment can be read).
    testsupport::WaitFor(
        [pid]
        {
            std::string proc = "/proc/" + std::to_string(pid);
            return testsupport::ReadHostFile(proc + "/comm") == "sleep\n" &&
                   testsupport::ReadHostFile(proc + "/environ").find("FLEET_ROOT=") !=
                       std::string::npos;
        },
        std::chrono::seconds(10));
    return pid;
}

void Stop(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

} // namespace

TEST(WinToolHelp, ASnapshotHoldsTheProcessesOfThisMachineOnly)
{
    pid_t mine = StartSleeper(winport::fleet::CurrentMachine().name);
    pid_t other = StartSleeper("ELSEWHERE");
    ASSERT_GT(mine, 0);
    ASSERT_GT(other, 0);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry - 1;
    EXPECT_FALSE(Process32FirstW(snapshot, &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
    entry.dwSize = sizeof entry;
    bool self = false, sleeper = false, stranger = false;
    std::string seen = "not in the snapshot";
    // A second snapshot is taken when the first one missed the sleeper, so that a process in
    // the middle of its start under load does not fail the test; what was seen is reported.
    for (int attempt = 0; attempt < 2 && !sleeper; ++attempt)
    {
        if (attempt > 0)
        {
            CloseHandle(snapshot);
            snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
        }
        for (BOOL more = Process32FirstW(snapshot, &entry); more;
             more = Process32NextW(snapshot, &entry))
        {
            if (entry.th32ProcessID == static_cast<DWORD>(getpid()))
                self = entry.cntThreads >= 1;
            if (entry.th32ProcessID == static_cast<DWORD>(mine))
            {
                seen = winport::ToUtf8(entry.szExeFile) + " parent " +
                       std::to_string(entry.th32ParentProcessID);
                sleeper = std::wstring(entry.szExeFile) == L"sleep" &&
                          entry.th32ParentProcessID == static_cast<DWORD>(getpid());
            }
            stranger = stranger || entry.th32ProcessID == static_cast<DWORD>(other);
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    }
    EXPECT_TRUE(self);
    EXPECT_TRUE(sleeper) << seen;
    EXPECT_FALSE(stranger) << "a process of another machine";
    CloseHandle(snapshot);

    // Modules of another machine's process are not to be had; this process's are.
    EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, static_cast<DWORD>(other)),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Stop(mine);
    Stop(other);

    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    bool library = false;
    int count = 0;
    for (BOOL more = Module32FirstW(snapshot, &module); more;
         more = Module32NextW(snapshot, &module))
    {
        ++count;
        if (std::wstring(module.szModule) == L"fleetkit.dll")
        {
            std::wstring path = module.szExePath;
            library =
                path.size() > 14 && path.compare(path.size() - 13, 13, L"\\fleetkit.dll") == 0 &&
                module.modBaseSize > 0 && module.th32ProcessID == static_cast<DWORD>(getpid());
        }
    }
    EXPECT_GT(count, 1);
    EXPECT_TRUE(library) << "fleetkit.dll by its Windows path";
    CloseHandle(snapshot);
}
