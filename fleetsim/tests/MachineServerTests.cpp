// The machine server as its callers meet it: large replies, hostile and untrusted callers, local
// accounts, and a server that ends under open handles.
#include "fleetsim/Fleet.h"
#include "fleetsim/store/RegistryStore.h"
#include "protocol/MachineRequests.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinSecurity.h"
#include "winport/fleet/MachineClient.h"
#include "winport/posix/MachineSocket.h"
#include "winport/posix/PosixSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace machine::protocol;

const wchar_t kBigKey[] = L"SOFTWARE\\ServerTests\\Big";
constexpr size_t kBigSize = 4u << 20;

std::string MachineFolder(const std::string& name)
{
    return testsupport::FleetRoot() + "/machines/" + name;
}

void AddServerOnce(const std::string& name)
{
    if (!winport::fleet::FindMachineFolder(testsupport::FleetRoot(), name).empty())
        return;
    fleetsim::SMachineProfile profile;
    ASSERT_EQ(fleetsim::ParseProfileName("server", profile), 0u);
    profile.name = name;
    ASSERT_EQ(fleetsim::AddMachine(testsupport::FleetRoot(), profile), 0u);
}

std::string BigData()
{
    std::string data(kBigSize, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
    return data;
}

// One raw request on a connection of our own, as a hostile client would send it.
template <class TRequest>
DWORD RawCall(int fd, TRequest& request, typename TRequestTraits<TRequest>::TReply& reply)
{
    constexpr auto kCode = static_cast<uint16_t>(TRequestTraits<TRequest>::kCode);
    uint16_t code = 0;
    std::string body;
    if (!winport::posix::SendFrame(fd, Encode(kCode, request)) ||
        !winport::posix::ReceiveFrame(fd, code, body))
        return ERROR_NOT_READY;
    if (Decode(body.data(), body.size(), reply))
        return reply.status;
    SStatusReply status;
    return Decode(body.data(), body.size(), status) ? status.status : ERROR_INVALID_DATA;
}

// A value below a key, by the calls the product uses.
LSTATUS ReadValue(HKEY root, const wchar_t* path, const wchar_t* name, void* data, DWORD& size)
{
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegQueryValueExW(key, name, nullptr, nullptr, static_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return rc;
}

bool ConnectionEnds(int fd)
{
    timeval guard{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    char byte;
    return recv(fd, &byte, 1, 0) == 0;
}

} // namespace

TEST(MachineServer, ChildReadsBigValue)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    std::string expected = BigData();
    for (int round = 0; round < 3; ++round)
    {
        std::string data(kBigSize, '\0');
        DWORD size = static_cast<DWORD>(data.size());
        ASSERT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kBigKey, L"Blob", data.data(), size),
                  ERROR_SUCCESS);
        ASSERT_EQ(size, kBigSize);
        ASSERT_TRUE(data == expected) << "round " << round;
    }
}

TEST(MachineServer, LargeValuesReadBackTwiceAndByManyClientsAtOnce)
{
    std::string data = BigData();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kBigKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, L"Blob", 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    for (int round = 0; round < 2; ++round)
    {
        std::string back(kBigSize, '\0');
        DWORD size = static_cast<DWORD>(back.size()), type = 0;
        ASSERT_EQ(RegQueryValueExW(key, L"Blob", nullptr, &type,
                                   reinterpret_cast<BYTE*>(back.data()), &size),
                  ERROR_SUCCESS)
            << "round " << round;
        EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
        EXPECT_TRUE(back == data);
    }
    RegCloseKey(key);

    // Six processes read it three times each, all at once: no reply is dropped.
    std::vector<std::thread> readers;
    std::vector<int> results(6, -1);
    std::vector<std::string> outputs(results.size());
    for (size_t i = 0; i < results.size(); ++i)
        readers.emplace_back(
            [&, i] {
                results[i] =
                    testsupport::RunChild("MachineServer.ChildReadsBigValue", {}, &outputs[i]);
            });
    for (std::thread& reader : readers)
        reader.join();
    for (size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], 0) << outputs[i];
}

TEST(MachineServer, CallersAreKnownByTheirProcessAndCredentials)
{
    AddServerOnce("TRUSTSRV");
    std::string folder = MachineFolder("TRUSTSRV");
    {
        // Users may hold an account of the machine, but no administrator's rights.
        machine::CRegistryStore store;
        ASSERT_EQ(store.Open(folder + "/registry.db"), 0u);
        ASSERT_EQ(store.AddAccount(L"alice", L"Al1ce!pw"), 0u);
        ASSERT_EQ(store.AddGroupMember(L"Users", L"alice"), 0u);
    }
    int fd = winport::posix::CMachineConnection::ConnectStartingServer(folder, "TRUSTSRV");
    ASSERT_GE(fd, 0);
    winport::posix::CFd raw(fd);

    // This process runs on the workstation: without credentials the server gives it nothing,
    // whatever it would claim, and ends the connection.
    SHelloRequest hello;
    SHelloReply greeted;
    EXPECT_EQ(RawCall(fd, hello, greeted), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(ConnectionEnds(fd));

    // Nothing but Hello is served before Hello.
    winport::posix::CFd second(winport::posix::ConnectMachineSocket(folder));
    SRegCreateKeyRequest create;
    create.key = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE));
    create.path = "SOFTWARE\\Planted";
    create.access = KEY_ALL_ACCESS;
    SRegOpenKeyReply created;
    EXPECT_EQ(RawCall(second.Get(), create, created), static_cast<DWORD>(ERROR_NOT_READY));

    // A wrong password is a logon failure.
    winport::posix::CFd third(winport::posix::ConnectMachineSocket(folder));
    hello.user = "Administrator";
    hello.password = "wrong";
    EXPECT_EQ(RawCall(third.Get(), hello, greeted), static_cast<DWORD>(ERROR_LOGON_FAILURE));

    // A member of Users reaches no registry and no administrative share of another machine, and
    // cannot stop its server.
    winport::posix::CFd fourth(winport::posix::ConnectMachineSocket(folder));
    hello.user = "TRUSTSRV\\alice";
    hello.password = "Al1ce!pw";
    ASSERT_EQ(RawCall(fourth.Get(), hello, greeted), 0u);
    EXPECT_EQ(greeted.isAdministrator, 0u);
    EXPECT_EQ(greeted.isLocal, 0u);
    EXPECT_EQ(RawCall(fourth.Get(), create, created), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SShutdownRequest shutdown;
    SStatusReply stopped;
    EXPECT_EQ(RawCall(fourth.Get(), shutdown, stopped), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SGetShareRequest share;
    share.share = "C$";
    SGetShareReply shared;
    EXPECT_EQ(RawCall(fourth.Get(), share, shared), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SPingRequest ping;
    EXPECT_EQ(RawCall(fourth.Get(), ping, stopped), 0u) << "the server must still serve";

    // An administrator of the machine may, over the network too.
    winport::posix::CFd fifth(winport::posix::ConnectMachineSocket(folder));
    hello.user = "Administrator";
    hello.password = "Passw0rd!";
    ASSERT_EQ(RawCall(fifth.Get(), hello, greeted), 0u);
    EXPECT_EQ(greeted.isAdministrator, 1u);
    EXPECT_EQ(RawCall(fifth.Get(), create, created), 0u);
    // Its shutdown is refused all the same: only a local administrator stops a machine.
    EXPECT_EQ(RawCall(fifth.Get(), shutdown, stopped), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(MachineServer, ChildActsAsItsAccount)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    bool known = getenv("FLEET_USER") != nullptr && std::string(getenv("FLEET_USER")) == "alice";
    HKEY key = nullptr;
    LSTATUS read = RegOpenKeyExW(
        HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ, &key);
    // Users read the machine's registry; an account the machine does not know reads nothing.
    EXPECT_EQ(read, known ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    if (read == ERROR_SUCCESS)
    {
        DWORD type = 0, size = 0;
        EXPECT_EQ(RegQueryValueExW(key, L"SystemRoot", nullptr, &type, nullptr, &size),
                  ERROR_SUCCESS);
        std::wstring data = L"x";
        EXPECT_EQ(RegSetValueExW(key, L"Planted", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(data.c_str()), sizeof(wchar_t) * 2),
                  ERROR_ACCESS_DENIED);
        RegCloseKey(key);
    }
    HKEY created = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\PlantedByUser", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &created, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_SET_VALUE, &created),
              ERROR_ACCESS_DENIED);

    // A logon that checks the administrator's password makes the thread act as that account.
    HANDLE token = nullptr;
    ASSERT_TRUE(LogonUserW(L"Administrator", L".", L"Passw0rd!", LOGON32_LOGON_INTERACTIVE,
                           LOGON32_PROVIDER_DEFAULT, &token));
    ASSERT_TRUE(ImpersonateLoggedOnUser(token));
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CreatedWhileImpersonating", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(created);
    RevertToSelf();
    CloseHandle(token);
}

TEST(MachineServer, LocalProcessesRunAsTheirAccount)
{
    AddServerOnce("TRUSTSRV");
    {
        machine::CRegistryStore store;
        ASSERT_EQ(store.Open(MachineFolder("TRUSTSRV") + "/registry.db"), 0u);
        store.AddAccount(L"alice", L"Al1ce!pw");
        store.AddGroupMember(L"Users", L"alice");
    }
    for (const char* user : {"alice", "nobody"})
    {
        std::string output;
        EXPECT_EQ(testsupport::RunChild("MachineServer.ChildActsAsItsAccount",
                                        {{"FLEET_MACHINE", "TRUSTSRV"}, {"FLEET_USER", user}},
                                        &output),
                  0)
            << user << "\n"
            << output;
    }
}

TEST(MachineServer, HostileConnectionsCannotExhaustIt)
{
    AddServerOnce("HOSTILE");
    std::string folder = MachineFolder("HOSTILE");
    // A small cap on connections for this machine's server.
    setenv("FLEET_MACHINED_MAX_CONNECTIONS", "16", 1);
    int first = winport::posix::CMachineConnection::ConnectStartingServer(folder, "HOSTILE");
    unsetenv("FLEET_MACHINED_MAX_CONNECTIONS");
    ASSERT_GE(first, 0);
    close(first);

    // Before its Hello a caller may not make the server buffer a large message.
    {
        winport::posix::CFd fd(winport::posix::ConnectMachineSocket(folder));
        SHeader header{60u << 20, static_cast<uint16_t>(ERequest::Hello), 0};
        std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
        frame.append(8192, 'x');
        winport::posix::SendFrame(fd.Get(), frame);
        EXPECT_TRUE(ConnectionEnds(fd.Get()));
    }

    // Connections beyond the cap are turned away; the ones within it are still served.
    std::vector<std::unique_ptr<winport::posix::CFd>> held;
    for (int i = 0; i < 24; ++i)
        held.push_back(
            std::make_unique<winport::posix::CFd>(winport::posix::ConnectMachineSocket(folder)));
    int ended = 0;
    for (auto& fd : held)
    {
        timeval quick{0, 200000};
        setsockopt(fd->Get(), SOL_SOCKET, SO_RCVTIMEO, &quick, sizeof quick);
        char byte;
        if (recv(fd->Get(), &byte, 1, 0) == 0)
            ++ended;
    }
    EXPECT_GE(ended, 8);
    held.clear();

#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks in the server need descriptors of their own, which the rest of
    // this test takes away; the plain build runs it.
    return;
#endif
    // Out of descriptors, it turns callers away instead of spinning, and serves again after.
    int server = 0;
    ASSERT_TRUE(winport::fleet::MachineServerRunning(folder, &server));
    ASSERT_GT(server, 0);
    rlimit few{12, 12};
    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, &few, nullptr), 0);
    for (int i = 0; i < 12; ++i)
        held.push_back(
            std::make_unique<winport::posix::CFd>(winport::posix::ConnectMachineSocket(folder)));
    auto cpu = [server]
    {
        std::string stat;
        winport::posix::ReadWholeFile("/proc/" + std::to_string(server) + "/stat", stat);
        stat = stat.substr(stat.rfind(')') + 2);
        std::vector<std::string> fields;
        size_t pos = 0;
        while (pos < stat.size())
        {
            size_t end = stat.find(' ', pos);
            fields.push_back(stat.substr(pos, end - pos));
            pos = end == std::string::npos ? stat.size() : end + 1;
        }
        return fields.size() > 12 ? atol(fields[11].c_str()) + atol(fields[12].c_str()) : 0L;
    };
    long before = cpu();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long used = cpu() - before; // clock ticks, usually 100 a second
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 2) << "the server spins on its listening socket";
    held.clear();
    rlimit plenty{1024, 1024};
    prlimit(server, RLIMIT_NOFILE, &plenty, nullptr);
    // Once it has seen the others go, the same server serves again.
    DWORD rc = ERROR_NOT_READY;
    for (int attempt = 0; attempt < 100 && rc != ERROR_SUCCESS; ++attempt)
    {
        std::shared_ptr<winport::posix::CMachineConnection> connection;
        rc = winport::posix::CMachineConnection::Remote("HOSTILE", L"Administrator", L"Passw0rd!",
                                                        connection);
        SPingRequest ping;
        SStatusReply pong;
        if (rc == ERROR_SUCCESS)
            rc = connection->Call(ping, pong);
        if (rc != ERROR_SUCCESS)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(rc, 0u);
    int after = 0;
    EXPECT_TRUE(winport::fleet::MachineServerRunning(folder, &after));
    EXPECT_EQ(after, server) << "the server must not have died";
}

TEST(MachineServer, OpenKeysOutliveARestartOfTheServer)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ServerTests\\Survivor", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    HKEY child = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(key, L"Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
        ERROR_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(child, L"Before", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                             sizeof one),
              ERROR_SUCCESS);
    const winport::fleet::SMachine& self = winport::fleet::CurrentMachine();
    ASSERT_EQ(winport::fleet::StopMachineServer(self.fleetRoot, self.name), 0u);

    // The next call starts a server again and reopens the key by its path.
    DWORD two = 2, back = 0, size = sizeof back;
    EXPECT_EQ(RegSetValueExW(child, L"After", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two),
                             sizeof two),
              ERROR_SUCCESS);
    EXPECT_EQ(
        RegQueryValueExW(child, L"Before", nullptr, nullptr, reinterpret_cast<BYTE*>(&back), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(back, 1u);
    size = sizeof back;
    EXPECT_EQ(ReadValue(key, L"Child", L"After", &back, size), ERROR_SUCCESS);
    EXPECT_EQ(back, 2u);
    RegCloseKey(child);

    // A key deleted while its server was away answers as a deleted key.
    ASSERT_EQ(
        RegCreateKeyExW(key, L"Doomed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(winport::fleet::StopMachineServer(self.fleetRoot, self.name), 0u);
    ASSERT_EQ(RegDeleteKeyW(key, L"Doomed"), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(child, L"Late", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                             sizeof one),
              ERROR_KEY_DELETED);
    RegCloseKey(child);
    RegCloseKey(key);
}

TEST(MachineServer, StringsSetWithoutTheirTerminatorKeepIt)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ServerTests\\Strings", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t text[] = L"value";
    // The size leaves out the terminator that follows in memory: stored with it, as on Windows.
    ASSERT_EQ(RegSetValueExW(key, L"Short", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             5 * sizeof(wchar_t)),
              ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"Short", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6 * sizeof(wchar_t));
    // No terminator follows: stored as given.
    const wchar_t cut[] = L"valueX";
    ASSERT_EQ(RegSetValueExW(key, L"Cut", 0, REG_SZ, reinterpret_cast<const BYTE*>(cut),
                             5 * sizeof(wchar_t)),
              ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExW(key, L"Cut", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5 * sizeof(wchar_t));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ServerTests\\Strings");
    RegCloseKey(key);
}
