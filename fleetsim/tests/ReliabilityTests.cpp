// Machine servers under load, crashes and hostile paths: what a fleet must survive.
#include "fleetsim/Fleet.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinNet.h"
#include "winport/WinReg.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "protocol/MachineRequests.h"
#include "winport/posix/MachineSocket.h"
#include "winport/posix/PosixSupport.h"
#include "fleetsim/store/RegistryStore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;

const wchar_t kConcurrentKey[] = L"SOFTWARE\\Reliability\\Concurrent";
constexpr int kWriters = 8;
constexpr int kValuesPerWriter = 1000;
constexpr int kEndlessValues = 500;

std::string Env(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

std::string MachineFolder(const std::string& name)
{
    return testsupport::FleetRoot() + "/machines/" + name;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void AddServer(const std::string& name, const std::wstring& domain = L"",
               const std::wstring& administratorPassword = L"Passw0rd!")
{
    fleetsim::SMachineProfile profile;
    ASSERT_EQ(fleetsim::ParseProfileName("server", profile), 0u);
    profile.name = name;
    profile.settings.domain = domain;
    profile.settings.administratorPassword = administratorPassword;
    ASSERT_EQ(fleetsim::AddMachine(testsupport::FleetRoot(), profile), 0u);
}

// True while a machine server holds the machine's lock; asking does not wake the server.
bool ServerRunning(const std::string& folder) { return winport::fleet::MachineServerRunning(folder); }

bool SocketAnswers(const std::string& folder)
{
    int fd = winport::posix::ConnectMachineSocket(folder);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// The process id of a machine's server, as its lock file names it while it runs.
pid_t ServerPid(const std::string& machine)
{
    int pid = 0;
    return winport::fleet::MachineServerRunning(MachineFolder(machine), &pid) && pid > 0 ? pid : -1;
}


// Asks a machine's server to end and waits until it has, so that nothing of it outlives the
// test's fleet.
bool StopServer(const std::string& machine)
{
    // It returns once no server holds the machine's lock.
    return winport::fleet::StopMachineServer(testsupport::FleetRoot(), machine) == ERROR_SUCCESS;
}


bool ChildPassed(const std::string& output, const std::string& test)
{
    return output.find("[       OK ] " + test) != std::string::npos;
}

std::wstring ConcurrentData(int writer, int n)
{
    return L"writer " + std::to_wstring(writer) + L" value " + std::to_wstring(n) + L" " +
           std::wstring(static_cast<size_t>(n % 97), static_cast<wchar_t>(L'A' + writer));
}

// The stored form of a REG_SZ written with its terminator.
std::string Stored(const std::wstring& text)
{
    std::u16string units = winport::ToUtf16(text);
    units.push_back(u'\0');
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

// Values of the endless writer: each names its slot, its round and its length, so that a
// torn value shows.
std::wstring EndlessData(int n, int round)
{
    return L"v" + std::to_wstring(n) + L":" + std::to_wstring(round) + L":" +
           std::wstring(static_cast<size_t>(100 + (n * 37) % 3000),
                        static_cast<wchar_t>(L'a' + n % 26)) +
           L"|end";
}

bool EndlessComplete(const std::wstring& name, const std::wstring& data)
{
    if (name.size() < 2 || name[0] != L'v')
        return false;
    int n = _wtoi(name.c_str() + 1);
    std::wstring head = name + L":";
    if (data.compare(0, head.size(), head) != 0)
        return false;
    size_t second = data.find(L':', head.size());
    if (second == std::wstring::npos)
        return false;
    int round = _wtoi(data.c_str() + head.size());
    return data == EndlessData(n, round);
}

// ---- Concurrent writers ----------------------------------------------------------------------

TEST(Reliability, ChildConcurrentWriter)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    int writer = atoi(Env("RELIABILITY_WRITER").c_str());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConcurrentKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    int failures = 0;
    for (int n = 0; n < kValuesPerWriter; ++n)
    {
        std::wstring name = L"w" + std::to_wstring(writer) + L"-" + std::to_wstring(n);
        std::wstring data = ConcurrentData(writer, n);
        if (RegSetValueExW(
                key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
            ++failures;
    }
    EXPECT_EQ(failures, 0);
    // Its own values read back while the others still write.
    for (int n = 0; n < kValuesPerWriter; n += 37)
    {
        std::wstring name = L"w" + std::to_wstring(writer) + L"-" + std::to_wstring(n);
        wchar_t back[256] = {};
        DWORD size = sizeof back, type = 0;
        ASSERT_EQ(RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(back),
                                   &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(back), ConcurrentData(writer, n));
    }
    RegCloseKey(key);
}

TEST(Reliability, ConcurrentWritersFromManyProcessesLoseNothing)
{
    // A machine nobody has used yet: the writers also race to start its server.
    AddServer("RACEBOX");
    ASSERT_FALSE(ServerRunning(MachineFolder("RACEBOX")));
    std::vector<std::thread> threads;
    std::vector<int> results(kWriters, -1);
    std::vector<std::string> outputs(kWriters);
    for (int i = 0; i < kWriters; ++i)
    {
        threads.emplace_back(
            [i, &results, &outputs]
            {
                results[i] = testsupport::RunChild(
                    "Reliability.ChildConcurrentWriter",
                    {{"FLEET_MACHINE", "RACEBOX"}, {"RELIABILITY_WRITER", std::to_string(i)}},
                    &outputs[i]);
            });
    }
    for (std::thread& t : threads)
        t.join();
    for (int i = 0; i < kWriters; ++i)
    {
        EXPECT_EQ(results[i], 0) << outputs[i];
        EXPECT_TRUE(ChildPassed(outputs[i], "Reliability.ChildConcurrentWriter")) << outputs[i];
    }

    // Read back from the database itself, apart from the server.
    machine::CRegistryStore store;
    ASSERT_EQ(store.Open(MachineFolder("RACEBOX") + "/registry.db"), 0u);
    int64_t key = 0;
    ASSERT_EQ(store.OpenKey(machine::kKeyLocalMachine, kConcurrentKey, key), 0u);
    machine::CRegistryStore::SKeyInfo info;
    ASSERT_EQ(store.QueryInfo(key, info), 0u);
    EXPECT_EQ(info.values, static_cast<DWORD>(kWriters * kValuesPerWriter));
    int wrong = 0;
    for (int i = 0; i < kWriters; ++i)
    {
        for (int n = 0; n < kValuesPerWriter; ++n)
        {
            DWORD type = 0;
            std::string data;
            std::wstring name = L"w" + std::to_wstring(i) + L"-" + std::to_wstring(n);
            if (store.QueryValue(key, name, type, data) != 0 || type != REG_SZ ||
                data != Stored(ConcurrentData(i, n)))
                ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(StopServer("RACEBOX"));
}

// ---- Crashes ---------------------------------------------------------------------------------

// Writes the values of RELIABILITY_KEY round after round until a write fails or it is killed;
// it names its process id in RELIABILITY_PID_FILE once it has started.
TEST(Reliability, ChildEndlessWriter)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    std::wstring path = winport::FromUtf8(Env("RELIABILITY_KEY"));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    testsupport::WriteHostFile(Env("RELIABILITY_PID_FILE"), std::to_string(getpid()));
    for (int round = 0;; ++round)
    {
        for (int n = 0; n < kEndlessValues; ++n)
        {
            std::wstring name = L"v" + std::to_wstring(n);
            std::wstring data = EndlessData(n, round);
            LSTATUS rc = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                        static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
            if (rc != ERROR_SUCCESS)
            {
                printf("writing stopped: error %ld\n", static_cast<long>(rc));
                return;
            }
        }
    }
}

TEST(Reliability, ChildDeletesKey)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    std::wstring path = winport::FromUtf8(Env("RELIABILITY_KEY"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST(Reliability, ChildCountsValues)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    std::wstring path = winport::FromUtf8(Env("RELIABILITY_KEY"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::to_string(values), Env("RELIABILITY_EXPECT"));
    RegCloseKey(key);
}

DWORD ValueCount(const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return values;
}

pid_t ReadPid(const std::string& file)
{
    std::string text = testsupport::ReadHostFile(file);
    return text.empty() ? -1 : static_cast<pid_t>(atoi(text.c_str()));
}

TEST(Reliability, KilledWriterLeavesRegistryConsistent)
{
    const wchar_t path[] = L"SOFTWARE\\Reliability\\Killed";
    std::string pidFile = testsupport::FleetRoot() + "/killed-writer.pid";
    int result = -1;
    std::string output;
    std::thread writer(
        [&]
        {
            result = testsupport::RunChild(
                "Reliability.ChildEndlessWriter",
                {{"RELIABILITY_KEY", winport::ToUtf8(path)}, {"RELIABILITY_PID_FILE", pidFile}},
                &output);
        });
    bool started = testsupport::WaitFor([&] { return ReadPid(pidFile) > 0 && ValueCount(path) >= 300; }, 120s);
    pid_t pid = ReadPid(pidFile);
    if (pid > 0)
        kill(pid, SIGKILL);
    writer.join();
    ASSERT_TRUE(started) << output;
    EXPECT_EQ(result, 128 + SIGKILL) << output;

    // Re-opened and enumerated, every value is whole.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_GE(values, 300u);
    EXPECT_LE(values, static_cast<DWORD>(kEndlessValues));
    int torn = 0;
    DWORD index = 0;
    for (;; ++index)
    {
        wchar_t name[64];
        DWORD nameLength = 64, type = 0;
        std::vector<wchar_t> data(8192);
        DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        LSTATUS rc = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                   reinterpret_cast<BYTE*>(data.data()), &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        if (type != REG_SZ || !EndlessComplete(name, data.data()))
            ++torn;
    }
    EXPECT_EQ(index, values);
    EXPECT_EQ(torn, 0);
    RegCloseKey(key);

    // The server serves on: this process writes, and a fresh process deletes the dead one's key.
    const wchar_t after[] = L"SOFTWARE\\Reliability\\AfterKill";
    HKEY other = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, after, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &other, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(other, L"one", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                             sizeof one),
              ERROR_SUCCESS);
    RegCloseKey(other);
    std::string deleted;
    EXPECT_EQ(testsupport::RunChild("Reliability.ChildDeletesKey",
                                    {{"RELIABILITY_KEY", winport::ToUtf8(path)}}, &deleted),
              0)
        << deleted;
    EXPECT_TRUE(ChildPassed(deleted, "Reliability.ChildDeletesKey")) << deleted;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST(Reliability, KilledServerLeavesRegistryConsistent)
{
    AddServer("CRASHBOX");
    const wchar_t path[] = L"SOFTWARE\\Reliability\\ServerKilled";
    std::string folder = MachineFolder("CRASHBOX");
    std::string pidFile = testsupport::FleetRoot() + "/crash-writer.pid";
    int result = -1;
    std::string output;
    std::thread writer(
        [&]
        {
            result = testsupport::RunChild("Reliability.ChildEndlessWriter",
                                           {{"FLEET_MACHINE", "CRASHBOX"},
                                            {"RELIABILITY_KEY", winport::ToUtf8(path)},
                                            {"RELIABILITY_PID_FILE", pidFile}},
                                           &output);
        });
    // Watch the database itself: this process is not on that machine.
    auto written = [&]
    {
        machine::CRegistryStore store;
        int64_t key = 0;
        machine::CRegistryStore::SKeyInfo info;
        return store.Open(folder + "/registry.db") == 0 &&
               store.OpenKey(machine::kKeyLocalMachine, path, key) == 0 &&
               store.QueryInfo(key, info) == 0 && info.values >= 200;
    };
    bool started = testsupport::WaitFor([&] { return ReadPid(pidFile) > 0 && written(); }, 120s);
    pid_t server = ServerPid("CRASHBOX");
    if (server > 0)
        kill(server, SIGKILL);
    // The writer's key is opened again on a new server, and the writing goes on there.
    bool resumed = server > 0 && testsupport::WaitFor([&] {
        pid_t next = ServerPid("CRASHBOX");
        return next > 0 && next != server;
    }, 60s);
    if (ReadPid(pidFile) > 0)
        kill(ReadPid(pidFile), SIGKILL);
    writer.join();
    ASSERT_TRUE(started) << output;
    ASSERT_GT(server, 0);
    EXPECT_TRUE(resumed);
    EXPECT_EQ(result, 128 + SIGKILL) << output; // it wrote on until it was killed
    ASSERT_TRUE(StopServer("CRASHBOX"));

    int64_t count = 0;
    {
        machine::CRegistryStore store;
        ASSERT_EQ(store.Open(folder + "/registry.db"), 0u);
        int64_t key = 0;
        ASSERT_EQ(store.OpenKey(machine::kKeyLocalMachine, path, key), 0u);
        int torn = 0;
        for (DWORD index = 0;; ++index)
        {
            std::wstring name;
            DWORD type = 0;
            std::string data;
            DWORD rc = store.EnumValue(key, index, name, type, data);
            if (rc == ERROR_NO_MORE_ITEMS)
                break;
            ASSERT_EQ(rc, 0u);
            ++count;
            if (type != REG_SZ || !EndlessComplete(name, winport::fleet::FromStoredString(data)))
                ++torn;
        }
        EXPECT_GE(count, 200);
        EXPECT_EQ(torn, 0);
    }
    // The next process on the machine starts a new server, which sees the same values.
    std::string counted;
    EXPECT_EQ(testsupport::RunChild("Reliability.ChildCountsValues",
                                    {{"FLEET_MACHINE", "CRASHBOX"},
                                     {"RELIABILITY_KEY", winport::ToUtf8(path)},
                                     {"RELIABILITY_EXPECT", std::to_string(count)}},
                                    &counted),
              0)
        << counted;
    EXPECT_TRUE(ChildPassed(counted, "Reliability.ChildCountsValues")) << counted;
    EXPECT_TRUE(StopServer("CRASHBOX"));
}

// ---- Server life -----------------------------------------------------------------------------

TEST(Reliability, ChildTouchesRegistry)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Reliability\\Touched", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(Reliability, ServerStartsOnFirstUseAndEndsWhenIdle)
{
    AddServer("IDLEBOX");
    std::string folder = MachineFolder("IDLEBOX");
    EXPECT_FALSE(ServerRunning(folder));
    EXPECT_FALSE(SocketAnswers(folder));
    std::string output;
    ASSERT_EQ(testsupport::RunChild(
                  "Reliability.ChildTouchesRegistry",
                  {{"FLEET_MACHINE", "IDLEBOX"}, {"FLEET_MACHINED_IDLE_MS", "1500"}}, &output),
              0)
        << output;
    EXPECT_TRUE(ChildPassed(output, "Reliability.ChildTouchesRegistry")) << output;
    // Its client is gone; the server outlives it for its idle time, then ends by itself.
    EXPECT_TRUE(ServerRunning(folder));
    EXPECT_TRUE(testsupport::WaitFor([&] { return !ServerRunning(folder); }, 60s))
        << "the idle server did not end";
    EXPECT_FALSE(SocketAnswers(folder));
    // What it wrote stays.
    machine::CRegistryStore store;
    ASSERT_EQ(store.Open(folder + "/registry.db"), 0u);
    int64_t key = 0;
    EXPECT_EQ(
        store.OpenKey(machine::kKeyLocalMachine, L"SOFTWARE\\Reliability\\Touched", key),
        0u);
}

// ---- Paths -----------------------------------------------------------------------------------

std::vector<std::string>* s_pFound = nullptr;

int CollectMarker(const char* path, const struct stat*, int, struct FTW* ftw)
{
    if (strncmp(path + ftw->base, "escape-", 7) == 0)
        s_pFound->push_back(path);
    return 0;
}

std::vector<std::string> FindMarkers(const std::string& root)
{
    std::vector<std::string> found;
    s_pFound = &found;
    nftw(root.c_str(), CollectMarker, 16, FTW_PHYS);
    s_pFound = nullptr;
    return found;
}

bool Under(const std::string& path, const std::string& folder)
{
    return path.compare(0, folder.size() + 1, folder + "/") == 0;
}

TEST(Reliability, PathsNeverLeaveTheirMachineOrShare)
{
    AddServer("PATHSRV");
    const std::string self = MachineFolder(winport::fleet::CurrentMachine().name);
    const std::string selfC = self + "/drive/c";
    const std::string serverC = MachineFolder("PATHSRV") + "/drive/c";
    // Links planted inside the drives: to another machine, to /etc, and up the machine folder.
    ASSERT_EQ(symlink(serverC.c_str(), (selfC + "/lnk-other").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (selfC + "/lnk-etc").c_str()), 0);
    ASSERT_EQ(symlink("../../../..", (selfC + "/Windows/Temp/lnk-up").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (serverC + "/Windows/lnk-etc").c_str()), 0);

    // Forms that must stay on this machine's drive C:.
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(testsupport::HostPath(L"C:\\Windows\\Temp").c_str()), 0);
    for (const wchar_t* path :
         {L"C:\\..\\..\\..\\..\\escape-1", L"C:\\Windows\\..\\..\\..\\..\\..\\escape-2",
          L"C:/../../escape-3", L"C:..\\..\\..\\..\\escape-7", L"C:escape-8", L"\\..\\..\\escape-9",
          L"..\\..\\..\\..\\..\\escape-10", L"\\\\?\\C:\\..\\..\\escape-11",
          L"\\\\.\\C:\\..\\escape-12", L"\\\\?\\UNC\\localhost\\C$\\..\\..\\..\\escape-13",
          L"\\\\.\\C:\\escape-22"})
    {
        EXPECT_TRUE(CreateDirectoryW(path, nullptr))
            << winport::ToUtf8(path) << " error " << GetLastError();
    }
    // Links lead nowhere, whether passed through or named last.
    for (const wchar_t* path : {L"C:\\lnk-other\\escape-4", L"C:\\lnk-etc\\escape-5",
                                L"C:\\Windows\\Temp\\lnk-up\\escape-6", L"lnk-up\\escape-6b",
                                L"C:\\LNK-OTHER\\Windows\\escape-6c"})
    {
        EXPECT_FALSE(CreateDirectoryW(path, nullptr)) << winport::ToUtf8(path);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << winport::ToUtf8(path);
    }
    EXPECT_EQ(GetFileAttributesW(L"C:\\lnk-etc"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(L"C:\\lnk-etc\\passwd"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(L"C:\\lnk-other\\Windows"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(_wfopen(L"C:\\lnk-etc\\passwd", L"r"), nullptr);
    EXPECT_EQ(_wfopen(L"C:\\lnk-other\\escape-20.txt", L"w"), nullptr);
    EXPECT_EQ(_wfopen(L"C:\\Windows\\Temp\\lnk-up\\registry.db", L"rb"), nullptr);
    EXPECT_FALSE(Exists(serverC + "/escape-20.txt"));

    // Another machine's shares, with its administrator's connection.
    NETRESOURCEW resource{};
    resource.dwType = RESOURCETYPE_ANY;
    resource.lpRemoteName = const_cast<wchar_t*>(L"\\\\PATHSRV\\C$");
    ASSERT_EQ(WNetAddConnection2W(&resource, L"Passw0rd!", L"PATHSRV\\Administrator", 0), 0u);
    for (const wchar_t* path : {L"\\\\PATHSRV\\C$\\..\\..\\..\\escape-16",
                                L"\\\\?\\UNC\\PATHSRV\\ADMIN$\\..\\..\\..\\..\\escape-17",
                                L"\\\\?\\UNC\\pathsrv\\c$\\..\\..\\..\\..\\Windows\\escape-23"})
    {
        EXPECT_TRUE(CreateDirectoryW(path, nullptr))
            << winport::ToUtf8(path) << " error " << GetLastError();
    }
    EXPECT_TRUE(Exists(serverC + "/escape-16"));
    EXPECT_TRUE(Exists(serverC + "/Windows/escape-17"));
    EXPECT_TRUE(Exists(serverC + "/Windows/escape-23"));
    EXPECT_FALSE(CreateDirectoryW(L"\\\\PATHSRV\\ADMIN$\\lnk-etc\\escape-18", nullptr));
    EXPECT_EQ(GetFileAttributesW(L"\\\\PATHSRV\\ADMIN$\\lnk-etc\\passwd"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(_wfopen(L"\\\\PATHSRV\\ADMIN$\\lnk-etc\\passwd", L"r"), nullptr);
    // Odd UNC forms and server names with separators reach nothing.
    for (const wchar_t* path :
         {L"\\\\\\\\PATHSRV\\C$\\escape-19", L"\\\\PATHSRV", L"\\\\PATHSRV\\",
          L"\\\\PATHSRV\\\\C$\\escape-21", L"\\\\PATHSRV/..\\C$\\escape-24",
          L"\\\\..\\machines\\PATHSRV\\escape-25", L"\\\\?\\UNC\\..\\C$\\escape-26",
          L"\\\\PATHSRV\\..\\escape-27", L"\\\\?\\unix\\tmp\\escape-28", L"\\\\.\\..\\escape-29"})
    {
        EXPECT_FALSE(CreateDirectoryW(path, nullptr)) << winport::ToUtf8(path);
        EXPECT_EQ(GetFileAttributesW(path), INVALID_FILE_ATTRIBUTES) << winport::ToUtf8(path);
    }
    HKEY root = nullptr;
    for (const wchar_t* server : {L"PATHSRV\\..\\x", L"..\\machines\\PATHSRV", L"PATHSRV/",
                                  L"../PATHSRV", L"\\\\PATHSRV\\C$"})
    {
        EXPECT_EQ(RegConnectRegistryW(server, HKEY_LOCAL_MACHINE, &root), ERROR_BAD_NETPATH)
            << winport::ToUtf8(server);
    }
    resource.lpRemoteName = const_cast<wchar_t*>(L"\\\\PATHSRV/..\\C$");
    EXPECT_EQ(WNetAddConnection2W(&resource, L"Passw0rd!", L"PATHSRV\\Administrator", 0),
              static_cast<DWORD>(ERROR_BAD_NETPATH));
    EXPECT_EQ(WNetCancelConnection2W(L"\\\\PATHSRV\\C$", 0, TRUE), 0u);

    // Every marker that was made lies inside this machine's C: or the server's C:, where the
    // path put it.
    std::vector<std::string> markers = FindMarkers(testsupport::FleetRoot());
    for (const std::string& marker : markers)
        EXPECT_TRUE(Under(marker, selfC) || Under(marker, serverC)) << marker;
    for (const char* name :
         {"escape-1", "escape-2", "escape-3", "escape-9", "escape-11", "escape-13", "escape-22"})
        EXPECT_TRUE(Exists(selfC + "/" + name)) << name;
    for (const char* name : {"escape-7", "escape-8", "escape-10", "escape-12"})
        EXPECT_TRUE(Exists(selfC + "/" + name) || Exists(selfC + "/Windows/Temp/" + name) ||
                    Exists(selfC + "/Windows/" + name))
            << name;
    EXPECT_EQ(markers.size(), 14u);
    for (const char* outside : {"/etc/escape-5", "/tmp/escape-28", "/etc/escape-18"})
        EXPECT_FALSE(Exists(outside)) << outside;
    EXPECT_EQ(chdir(previous), 0);
    EXPECT_TRUE(StopServer("PATHSRV"));
}

// ---- Secrets ---------------------------------------------------------------------------------

std::vector<std::string>* s_pFiles = nullptr;

int CollectFile(const char* path, const struct stat* st, int kind, struct FTW*)
{
    if (kind == FTW_F && S_ISREG(st->st_mode))
        s_pFiles->push_back(path);
    return 0;
}

std::string Utf16Bytes(const std::wstring& text)
{
    std::u16string units = winport::ToUtf16(text);
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

TEST(Reliability, PasswordsAreNeverStoredInClear)
{
    const std::wstring domainPassword = L"Dom#Secret-4417q";
    const std::wstring serverPassword = L"Srv#Secret-8203k";
    const std::wstring userPassword = L"Usr#Secret-6650m";
    const std::wstring wrongPassword = L"Bad#Secret-1192z";
    fleetsim::SDomain domain;
    domain.name = L"SECDOM";
    domain.dnsName = L"secdom.example";
    domain.adminPassword = domainPassword;
    domain.users = {{L"worker", userPassword}};
    ASSERT_EQ(fleetsim::CreateDomain(testsupport::FleetRoot(), domain), 0u);
    AddServer("SECSRV", L"SECDOM", serverPassword);

    // Logons of every kind, remote registry and share connections, right and wrong.
    HANDLE token = nullptr;
    ASSERT_TRUE(LogonUserW(L"Administrator", L".", L"Passw0rd!", LOGON32_LOGON_INTERACTIVE,
                           LOGON32_PROVIDER_DEFAULT, &token));
    CloseHandle(token);
    EXPECT_FALSE(LogonUserW(L"Administrator", L".", wrongPassword.c_str(),
                            LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token));
    ASSERT_TRUE(LogonUserW(L"Administrator", L"SECDOM", domainPassword.c_str(),
                           LOGON32_LOGON_NEW_CREDENTIALS, LOGON32_PROVIDER_WINNT50, &token));
    ASSERT_TRUE(ImpersonateLoggedOnUser(token));
    CloseHandle(token);
    HKEY root = nullptr;
    ASSERT_EQ(RegConnectRegistryW(L"SECSRV", HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, L"SOFTWARE\\Reliability\\Secrets", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(
        RegSetValueExW(key, L"one", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
        ERROR_SUCCESS);
    RegCloseKey(key);
    RegCloseKey(root);
    RevertToSelf();
    NETRESOURCEW resource{};
    resource.dwType = RESOURCETYPE_ANY;
    resource.lpRemoteName = const_cast<wchar_t*>(L"\\\\SECSRV\\ADMIN$");
    EXPECT_EQ(WNetAddConnection2W(&resource, wrongPassword.c_str(), L"SECSRV\\Administrator", 0),
              static_cast<DWORD>(ERROR_LOGON_FAILURE));
    EXPECT_EQ(WNetAddConnection2W(&resource, userPassword.c_str(), L"SECDOM\\worker", 0),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(WNetAddConnection2W(&resource, serverPassword.c_str(), L"SECSRV\\Administrator", 0),
              0u);
    FILE* file = _wfopen(L"\\\\SECSRV\\ADMIN$\\Temp\\note.txt", L"w");
    ASSERT_NE(file, nullptr);
    winport::fputws(L"written over the share\n", file);
    fclose(file);
    EXPECT_EQ(WNetCancelConnection2W(L"\\\\SECSRV\\ADMIN$", 0, TRUE), 0u);

    // Servers write what they keep when they end, so they end before the scan.
    EXPECT_TRUE(StopServer("SECSRV"));
    std::vector<std::string> files;
    s_pFiles = &files;
    nftw(testsupport::FleetRoot().c_str(), CollectFile, 16, FTW_PHYS);
    s_pFiles = nullptr;
    EXPECT_GT(files.size(), 5u);
    for (const std::wstring& password :
         {domainPassword, serverPassword, userPassword, wrongPassword, std::wstring(L"Passw0rd!")})
    {
        std::string utf8 = winport::ToUtf8(password);
        std::string utf16 = Utf16Bytes(password);
        for (const std::string& path : files)
        {
            std::string content = testsupport::ReadHostFile(path);
            EXPECT_EQ(content.find(utf8), std::string::npos) << path << " holds " << utf8;
            EXPECT_EQ(content.find(utf16), std::string::npos)
                << path << " holds " << utf8 << " (UTF-16)";
        }
    }
}

} // namespace
