// Processes and threads of a machine: started by its server, waited on with other objects.
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

constexpr DWORD kGuard = 60000; // only against a hang

std::wstring ThisProgram()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

void WriteScript(const std::wstring& path, const std::string& text)
{
    testsupport::WriteHostFile(testsupport::HostPath(path), text);
}

DWORD ExitCodeOf(HANDLE process)
{
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    return code;
}

size_t OpenDescriptors(const char* folderPath)
{
    size_t count = 0;
    if (DIR* folder = opendir(folderPath))
    {
        while (readdir(folder) != nullptr)
            ++count;
        closedir(folder);
    }
    return count;
}

} // namespace

TEST(WinProcess, ChildReportsWhatItWasGiven)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    // The parent checks the exit code: each fact that differs adds its bit.
    int wrong = 0;
    if (wcsstr(GetCommandLineW(), L"--gtest_filter=WinProcess.ChildReportsWhatItWasGiven "
                                  L"\"two words\" back\\\\slash") == nullptr)
        wrong |= 1;
    wchar_t value[64] = {};
    if (GetEnvironmentVariableW(L"WinProcessInherited", value, 64) == 0 ||
        wcscmp(value, L"50% \x00e9t\x00e9") != 0)
        wrong |= 2;
    wchar_t folder[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, folder);
    if (n == 0 || _wcsicmp(folder, L"C:\\Windows\\Temp") != 0)
        wrong |= 4;
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, L"WinProcess.Go");
    if (go == nullptr || WaitForSingleObject(go, kGuard) != WAIT_OBJECT_0)
        wrong |= 8;
    ExitProcess(40 + wrong);
}

// What a parent hands down in FLEET_ENVIRONMENT comes back unchanged: escapes and their look-
// alikes, the item separator inside a value, "=C:" names, '=' in values, empty values and
// characters of every UTF-8 length.
TEST(WinProcess, EnvironmentBlockRoundTrip)
{
    std::vector<std::pair<std::wstring, std::wstring>> variables = {
        {L"=C:", L"C:\\Windows"},
        {L"PERCENT", L"%25 is not %1E, 100%, %%, %2"},
        {L"SEPARATED", std::wstring(L"a\x001e") + L"b\x001e"},
        {L"EQUALS", L"a=b==c="},
        {L"EMPTY", L""},
        {L"\x00e9t\x00e9", L"\x4e2d\U0001F600"},
    };
    std::string encoded = winport::fleet::EncodeEnvironment(variables);
    EXPECT_EQ(winport::fleet::DecodeEnvironment(encoded), variables);
    EXPECT_TRUE(winport::fleet::DecodeEnvironment("").empty());
    // An item without a separator after its name's first character is no variable.
    EXPECT_EQ(winport::fleet::DecodeEnvironment("NOVALUE\x1e=\x1e"
                                                "A=1")
                  .size(),
              1u);
}

TEST(WinProcess, StartsWaitsAndReadsExitCodes)
{
    ASSERT_TRUE(SetEnvironmentVariableW(L"WinProcessInherited", L"50% \x00e9t\x00e9"));
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, L"WinProcess.Go");
    ASSERT_NE(go, nullptr);
    PROCESS_INFORMATION info{};
    std::wstring line = L"\"" + ThisProgram() +
                        L"\" --gtest_filter=WinProcess.ChildReportsWhatItWasGiven \"two words\" "
                        L"back\\\\slash";
    setenv("FLEET_TEST_CHILD", "1", 1); // for the child alone
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  L"c:\\windows\\temp", nullptr, &info);
    DWORD error = GetLastError();
    unsetenv("FLEET_TEST_CHILD");
    ASSERT_TRUE(started) << error;
    EXPECT_NE(info.dwProcessId, 0u);
    EXPECT_EQ(GetProcessId(info.hProcess), info.dwProcessId);
    EXPECT_EQ(GetThreadId(info.hThread), info.dwThreadId);
    // It runs until it is let go: a wait on it and on nothing else times out.
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(ExitCodeOf(info.hProcess), static_cast<DWORD>(STILL_ACTIVE));
    ASSERT_TRUE(SetEvent(go));
    HANDLE both[] = {info.hThread, info.hProcess};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(ExitCodeOf(info.hProcess), 40u);
    DWORD threadCode = 0;
    EXPECT_TRUE(GetExitCodeThread(info.hThread, &threadCode));
    EXPECT_EQ(threadCode, 40u);
    // An ended process cannot be ended again.
    EXPECT_FALSE(TerminateProcess(info.hProcess, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    CloseHandle(go);

    // Scripts run in the command processor; programs that are not there are not found.
    WriteScript(L"C:\\Windows\\Temp\\seven.bat", "exit 7\n");
    std::wstring script = L"C:\\Windows\\Temp\\seven.bat";
    ASSERT_TRUE(CreateProcessW(script.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, nullptr, &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(ExitCodeOf(info.hProcess), 7u);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    std::wstring missing = L"nosuchprogram --help";
    EXPECT_FALSE(CreateProcessW(nullptr, missing.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, nullptr, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CreateProcessW(script.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                                L"C:\\Windows\\Temp\\seven.bat", nullptr, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    // A program named without extension or folder is searched, ".exe" first.
    WriteScript(L"C:\\Windows\\System32\\eight.bat", "exit 8\n");
    std::wstring searched = L"eight.bat";
    ASSERT_TRUE(CreateProcessW(nullptr, searched.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, nullptr, &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(ExitCodeOf(info.hProcess), 8u);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

TEST(WinProcess, SuspendedTerminatedAndOpenedProcesses)
{
    // A suspended script does nothing until its main thread is resumed.
    WriteScript(L"C:\\Windows\\Temp\\touch.bat", "echo ran > ran.txt\nexit 3\n");
    std::string ran = testsupport::HostPath(L"C:\\Windows\\Temp\\ran.txt");
    unlink(ran.c_str());
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(L"C:\\Windows\\Temp\\touch.bat", nullptr, nullptr, nullptr, FALSE,
                               CREATE_SUSPENDED, nullptr, L"C:\\Windows\\Temp", nullptr, &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_NE(access(ran.c_str(), F_OK), 0);
    EXPECT_EQ(ResumeThread(info.hThread), 1u);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(ExitCodeOf(info.hProcess), 3u);
    EXPECT_EQ(access(ran.c_str(), F_OK), 0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);

    // A process ended from outside has the code it was given; OpenProcess reaches it by id.
    WriteScript(L"C:\\Windows\\Temp\\sleep.bat", "ping -n 61 127.0.0.1 >nul\r\n");
    ASSERT_TRUE(CreateProcessW(L"C:\\Windows\\Temp\\sleep.bat", nullptr, nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, nullptr, &info));
    HANDLE opened = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, info.dwProcessId);
    ASSERT_NE(opened, nullptr);
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeProcess(opened, &code)); // no query right
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(TerminateProcess(opened, 1234));
    EXPECT_EQ(WaitForSingleObject(opened, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(ExitCodeOf(info.hProcess), 1234u);
    CloseHandle(opened);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);

    // Ids that are no process of this machine, and handles of the wrong kind.
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 1), nullptr); // Linux's init
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(TerminateProcess(event, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetExitCodeThread(event, &code));
    EXPECT_EQ(ResumeThread(event), static_cast<DWORD>(-1));
    CloseHandle(event);
}

TEST(WinProcess, ThreadsAreWaitableWithOtherObjects)
{
    struct SWork
    {
        HANDLE event;
        std::atomic<int>* done;
    };
    constexpr int kThreads = 64;
    std::atomic<int> done{0};
    std::vector<HANDLE> events, threads;
    std::vector<SWork> work(kThreads);
    for (int i = 0; i < kThreads; ++i)
    {
        events.push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        work[i] = SWork{events.back(), &done};
        DWORD id = 0;
        HANDLE thread = CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD
            {
                auto* item = static_cast<SWork*>(parameter);
                DWORD result = WaitForSingleObject(item->event, kGuard);
                ++*item->done;
                return result == WAIT_OBJECT_0 ? 5 : 6;
            },
            &work[i], i == 0 ? CREATE_SUSPENDED : 0, &id);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(GetThreadId(thread), id);
        threads.push_back(thread);
    }
    // Each thread wakes when its own event is set, whichever the order.
    for (int i = kThreads - 1; i >= 0; --i)
        ASSERT_TRUE(SetEvent(events[i]));
    EXPECT_EQ(WaitForSingleObject(threads[0], 200), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(ResumeThread(threads[0]), 1u);
    EXPECT_EQ(ResumeThread(threads[0]), 0u);
    EXPECT_EQ(WaitForMultipleObjects(kThreads, threads.data(), TRUE, kGuard),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(done.load(), kThreads);
    for (int i = 0; i < kThreads; ++i)
    {
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(threads[i], &code));
        EXPECT_EQ(code, 5u);
        CloseHandle(threads[i]);
        CloseHandle(events[i]);
    }
    // A wait on 65 handles is refused.
    std::vector<HANDLE> many(65, GetCurrentProcess());
    EXPECT_EQ(WaitForMultipleObjects(65, many.data(), FALSE, 0), static_cast<DWORD>(WAIT_FAILED));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // _beginthreadex gives the same kind of handle.
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(
        nullptr, 0, [](void*) -> unsigned { return 9; }, nullptr, 0, &id);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(handle), kGuard),
              static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(reinterpret_cast<HANDLE>(handle), &code));
    EXPECT_EQ(code, 9u);
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

TEST(WinProcess, ManyStartsLeaveNothingBehind)
{
    // A program without our start-up, so that a thousand starts take little time.
    std::wstring trivial = testsupport::ProgramFolder() + L"\\fleet_trivial.exe";
    // Warm up the connections this process keeps, then count.
    PROCESS_INFORMATION info{};
    auto once = [&info, &trivial]
    {
        ASSERT_TRUE(CreateProcessW(trivial.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, nullptr, &info));
        ASSERT_EQ(WaitForSingleObject(info.hProcess, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    };
    once();
    int server = 0;
    ASSERT_TRUE(
        winport::fleet::MachineServerRunning(winport::fleet::CurrentMachine().folder, &server));
    size_t descriptors = OpenDescriptors("/proc/self/fd");
    std::string serverFds = "/proc/" + std::to_string(server) + "/fd";
    size_t serverDescriptors = OpenDescriptors(serverFds.c_str());
    for (int i = 0; i < 1000; ++i)
        once();
    EXPECT_EQ(OpenDescriptors("/proc/self/fd"), descriptors);
    // The server holds no pidfd, pipe or handle of them any more, and reaped every child:
    // none of its children is a zombie.
    EXPECT_EQ(OpenDescriptors(serverFds.c_str()), serverDescriptors);
    std::string children = testsupport::ReadHostFile("/proc/" + std::to_string(server) + "/task/" +
                                                     std::to_string(server) + "/children");
    for (size_t start = 0; start < children.size();)
    {
        size_t end = children.find(' ', start);
        std::string pid = children.substr(start, end - start);
        if (!pid.empty())
        {
            std::string stat = testsupport::ReadHostFile("/proc/" + pid + "/stat");
            EXPECT_EQ(stat.find(") Z "), std::string::npos) << stat;
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
}

TEST(WinProcess, ChildWithoutAdministratorRights)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    // A process of another account is closed to a user who is no administrator.
    DWORD target = static_cast<DWORD>(atoi(getenv("WINPROCESS_TARGET")));
    EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, target), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE limited = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, target);
    EXPECT_NE(limited, nullptr);
    CloseHandle(limited);
}

TEST(WinProcess, OtherAccountsAndMachinesAreOutOfReach)
{
    WriteScript(L"C:\\Windows\\Temp\\wait.bat", "ping -n 61 127.0.0.1 >nul\r\n");
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(L"C:\\Windows\\Temp\\wait.bat", nullptr, nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, nullptr, &info));
    std::string output;
    EXPECT_EQ(testsupport::RunChild("WinProcess.ChildWithoutAdministratorRights",
                                    {{"FLEET_USER", "Guest"},
                                     {"WINPROCESS_TARGET", std::to_string(info.dwProcessId)}},
                                    &output),
              0)
        << output;
    // The process is still there, untouched.
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(TerminateProcess(info.hProcess, 2));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    // The process that started this test run is one of the Linux host, on no machine of the fleet.
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(getppid())),
              nullptr);
}
