// Events, mutexes and waits across the processes and threads of a machine.
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr DWORD kGuard = 60000; // only against a hang

std::string Env(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

TEST(WinSync, ChildMeetsItsParent)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\WinSync.Ready");
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, L"WinSync.Go");
    ASSERT_NE(ready, nullptr);
    ASSERT_NE(go, nullptr);
    if (Env("WINSYNC_MUTEX") == "1")
    {
        // Takes the mutex and dies holding it.
        HANDLE mutex = CreateMutexW(nullptr, TRUE, L"WinSync.Held");
        ASSERT_NE(mutex, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(WaitForSingleObject(mutex, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
        // A thread of it waits, on an object only it holds, when it is killed.
        HANDLE own = CreateEventW(nullptr, TRUE, FALSE, L"WinSync.ChildOnly");
        std::thread([own] { WaitForSingleObject(own, INFINITE); }).detach();
        testsupport::WriteHostFile(Env("WINSYNC_PID_FILE"), std::to_string(getpid()));
        ASSERT_TRUE(SetEvent(ready));
        pause();
    }
    ASSERT_TRUE(SetEvent(ready));
    EXPECT_EQ(WaitForSingleObject(go, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(ready);
    CloseHandle(go);
}

TEST(WinSync, NamedObjectsMeetAcrossProcessesAndVanishWithTheirLastHandle)
{
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"WinSync.Ready");
    ASSERT_NE(ready, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE go = CreateEventW(nullptr, FALSE, FALSE, L"WinSync.Go");
    ASSERT_NE(go, nullptr);
    HANDLE again = CreateEventW(nullptr, FALSE, FALSE, L"winsync.go");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"WinSync.Go"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"WinSync.Go"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    std::string output;
    int result = -1;
    std::thread child(
        [&] { result = testsupport::RunChild("WinSync.ChildMeetsItsParent", {}, &output); });
    EXPECT_EQ(WaitForSingleObject(ready, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(SetEvent(go));
    child.join();
    EXPECT_EQ(result, 0) << output;

    CloseHandle(ready);
    CloseHandle(go);
    HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, L"WinSync.Go");
    EXPECT_NE(opened, nullptr) << "one handle is still open";
    CloseHandle(opened);
    CloseHandle(again);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"WinSync.Go"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(WinSync, AMutexWhoseOwnerIsKilledIsAbandoned)
{
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"WinSync.Ready");
    HANDLE go = CreateEventW(nullptr, FALSE, FALSE, L"WinSync.Go");
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"WinSync.Held");
    ASSERT_NE(mutex, nullptr);
    std::string output;
    int result = -1;
    std::string pidFile = testsupport::FleetRoot() + "/winsync-child.pid";
    std::thread child(
        [&]
        {
            result = testsupport::RunChild("WinSync.ChildMeetsItsParent",
                                           {{"WINSYNC_MUTEX", "1"}, {"WINSYNC_PID_FILE", pidFile}},
                                           &output);
        });
    ASSERT_EQ(WaitForSingleObject(ready, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    // The child holds the mutex now: a short wait times out.
    EXPECT_EQ(WaitForSingleObject(mutex, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    // The child is killed while it holds the mutex.
    pid_t holder = static_cast<pid_t>(atoi(testsupport::ReadHostFile(pidFile).c_str()));
    ASSERT_GT(holder, 0);
    EXPECT_EQ(kill(holder, SIGKILL), 0);
    child.join();
    EXPECT_EQ(result, 128 + SIGKILL) << output;
    EXPECT_EQ(WaitForSingleObject(mutex, kGuard), static_cast<DWORD>(WAIT_ABANDONED_0));
    // Its handles, that of its pending wait too, went with it: the event it alone held is gone.
    EXPECT_TRUE(testsupport::WaitFor(
        []
        {
            HANDLE left = OpenEventW(SYNCHRONIZE, FALSE, L"WinSync.ChildOnly");
            if (left != nullptr)
                CloseHandle(left);
            return left == nullptr && GetLastError() == ERROR_FILE_NOT_FOUND;
        },
        std::chrono::milliseconds(kGuard)));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the owner takes it again";
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    // Another thread cannot release what this one owns.
    ASSERT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    BOOL released = TRUE;
    std::thread([&] { released = ReleaseMutex(mutex); }).join();
    EXPECT_FALSE(released);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
    CloseHandle(ready);
    CloseHandle(go);
}

TEST(WinSync, WaitsOnManyObjectsAndManyThreads)
{
    // Wait-any gives the first signalled; wait-all waits for all; timeouts and bad input.
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE both[] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20), static_cast<DWORD>(WAIT_TIMEOUT))
        << "auto reset";
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "wait-all took the auto event";
    EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_OBJECT_0))
        << "a manual event stays set";
    ResetEvent(a);
    HANDLE same[] = {a, a};
    EXPECT_EQ(WaitForMultipleObjects(2, same, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::vector<HANDLE> many(65, a);
    EXPECT_EQ(WaitForMultipleObjects(65, many.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE bogus[] = {a, reinterpret_cast<HANDLE>(0x7777)};
    EXPECT_EQ(WaitForMultipleObjects(2, bogus, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x7777)));

    // 64 threads wait on their own events at once, and each wakes when its event is set; a
    // thread blocked in a wait stalls no other request of the process.
    constexpr int kThreads = 64;
    std::vector<HANDLE> events(kThreads);
    for (HANDLE& event : events)
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::vector<DWORD> results(kThreads, WAIT_FAILED);
    std::vector<std::thread> waiters;
    for (int i = 0; i < kThreads; ++i)
        waiters.emplace_back([&, i] { results[i] = WaitForSingleObject(events[i], kGuard); });
    for (int i = kThreads - 1; i >= 0; --i)
        EXPECT_TRUE(SetEvent(events[i]));
    for (std::thread& waiter : waiters)
        waiter.join();
    for (int i = 0; i < kThreads; ++i)
    {
        EXPECT_EQ(results[i], static_cast<DWORD>(WAIT_OBJECT_0)) << i;
        CloseHandle(events[i]);
    }

    // An auto-reset event lets exactly one of two waiters through.
    HANDLE once = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> passed{0};
    std::thread first([&] { passed += WaitForSingleObject(once, 500) == WAIT_OBJECT_0; });
    std::thread second([&] { passed += WaitForSingleObject(once, 500) == WAIT_OBJECT_0; });
    SetEvent(once);
    first.join();
    second.join();
    EXPECT_EQ(passed.load(), 1);
    CloseHandle(once);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(WinSync, ChildWritesIntoASection)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    HANDLE section = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, L"Local\\WinSync.Shared");
    ASSERT_NE(section, nullptr) << GetLastError();
    auto* view = static_cast<char*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_STREQ(view, "from the parent");
    strcpy(view + 4096, "from the child");
    EXPECT_TRUE(UnmapViewOfFile(view));
    CloseHandle(section);
}

TEST(WinSync, SectionsAreSharedMemoryOfTheMachine)
{
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536,
                                        L"WinSync.Shared");
    ASSERT_NE(section, nullptr) << GetLastError();
    EXPECT_EQ(GetLastError(), 0u);
    auto* view = static_cast<char*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    strcpy(view, "from the parent");
    // The name's section comes back, of its own size; other kinds cannot hold or take the name.
    HANDLE again =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, L"winsync.shared");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    auto* second = static_cast<char*>(MapViewOfFile(again, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second, "from the parent");
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"WinSync.Shared"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    std::string output;
    EXPECT_EQ(testsupport::RunChild("WinSync.ChildWritesIntoASection", {}, &output), 0) << output;
    EXPECT_STREQ(second + 4096, "from the child");

    // Bad requests, and a section is nothing to wait on.
    EXPECT_EQ(MapViewOfFile(section, FILE_MAP_READ, 0, 100, 0), nullptr);
    EXPECT_EQ(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 65537), nullptr);
    EXPECT_EQ(WaitForSingleObject(section, 0), static_cast<DWORD>(WAIT_FAILED));
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, L"WinSync.NoSuchSection"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, nullptr),
              nullptr);

    // With its last handle the name goes; views stay valid until they are unmapped.
    CloseHandle(again);
    CloseHandle(section);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, L"WinSync.Shared"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // The backing file goes too, once the server has also seen the child's handle go.
    std::string sections = winport::fleet::CurrentMachine().folder + "/runtime/sections";
    auto files = [&sections]
    {
        int count = 0;
        if (DIR* folder = opendir(sections.c_str()))
        {
            while (dirent* entry = readdir(folder))
                count += entry->d_name[0] != '.' ? 1 : 0;
            closedir(folder);
        }
        return count;
    };
    EXPECT_TRUE(testsupport::WaitFor([&] { return files() == 0; }, std::chrono::seconds(60)));
    EXPECT_STREQ(view, "from the parent");
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(UnmapViewOfFile(second));
    EXPECT_FALSE(UnmapViewOfFile(second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

// A machine's server that was stopped takes its handles with it: the server that follows
// refuses them, also where it has given their numbers to objects of its own (the process's
// handles are numbered anew there).
TEST(WinSync, HandlesGoWithTheirServer)
{
    HANDLE old = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(WaitForSingleObject(old, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(winport::fleet::StopMachineServer(testsupport::FleetRoot(),
                                                winport::fleet::CurrentMachine().name),
              0u);
    std::vector<HANDLE> fresh;
    // The first call finds the connection broken; the next ones reach the new server.
    for (int i = 0; i < 300 && fresh.size() < 256; ++i)
        if (HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr))
            fresh.push_back(event);
    ASSERT_EQ(fresh.size(), 256u);
    // This thread's wait connection is of the old server: the new server's objects are waited
    // for all the same.
    EXPECT_EQ(WaitForSingleObject(fresh.front(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(old, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE both[] = {fresh.back(), old};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(old));
    EXPECT_TRUE(CloseHandle(old));
    for (HANDLE event : fresh)
    {
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(event);
    }
}
