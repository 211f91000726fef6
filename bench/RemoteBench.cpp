// Benchmarks of remote execution: a task's round trip over the local endpoint and its
// throughput from 8 threads, each against a raw Unix-socket request/reply of the same bytes
// between the same two processes; a progress report's way from a package process on a server to
// the wizard's receiver; one agent holding 1000 waiting reports and draining them.
#include "bench/BenchSupport.h"
#include "fleetsim/Fleet.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "remoteinstall/CWin32API.h"
#include "remoteinstall/CommunicationPeer.h"
#include "remoteinstall/PackageStatusReport.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/posix/MachineSocket.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using RemoteInstall::CRemoteInstallCommon;

namespace
{

std::string s_FleetRoot;
const wchar_t kEndpoint[] = L"RemoteBench";
const wchar_t kPassword[] = L"B3nch-Adm1n!";
const char kServer[] = "SRV1";
constexpr int kHeldPushes = 1000;

double Microseconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// ---- Raw frames: a length and the bytes, both ways ---------------------------------------------

bool WriteAll(int fd, const char* p, size_t n)
{
    while (n > 0)
    {
        ssize_t done = send(fd, p, n, MSG_NOSIGNAL);
        if (done <= 0)
            return false;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

bool ReadAll(int fd, char* p, size_t n)
{
    while (n > 0)
    {
        ssize_t done = recv(fd, p, n, 0);
        if (done <= 0)
            return false;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

bool SendRaw(int fd, const std::string& bytes)
{
    std::string frame(4, '\0');
    uint32_t length = static_cast<uint32_t>(bytes.size());
    memcpy(frame.data(), &length, 4);
    frame += bytes;
    return WriteAll(fd, frame.data(), frame.size());
}

bool ReceiveRaw(int fd, std::string& bytes)
{
    uint32_t length = 0;
    if (!ReadAll(fd, reinterpret_cast<char*>(&length), 4) || length > (1u << 20))
        return false;
    bytes.resize(length);
    return ReadAll(fd, bytes.data(), length);
}

// The bytes a task round trip carries: the request text and the result text, as UTF-16.
std::string Utf16Bytes(const std::wstring& text)
{
    std::u16string units = winport::ToUtf16(text);
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

std::string RequestBytes()
{
    CTestTask task;
    return Utf16Bytes(CRemoteInstallCommon::GetSerializedTaskString(&task));
}

std::string ReplyBytes()
{
    CTestTask task;
    task.m_strText = L"Changed.";
    task.m_bIsTaskExecuted = 1;
    return Utf16Bytes(CRemoteInstallCommon::GetSerializedTaskString(&task));
}

std::string RawSocketPath()
{
    return s_FleetRoot + "/remotebench-raw.sock";
}

// ---- The processes ---------------------------------------------------------------------------

// Starts this program again in a role, with one end of a socket pair, on a machine of the fleet.
struct SChild
{
    pid_t pid = -1;
    int fd = -1;
};

SChild StartChild(const char* role, const char* machine,
                  const std::string& program = "/proc/self/exe",
                  const std::vector<std::string>& arguments = {})
{
    SChild child;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return child;
    child.pid = fork();
    if (child.pid == 0)
    {
        int fd = dup(pair[1]); // without close-on-exec
        setenv("REMOTEBENCH_ROLE", role, 1);
        setenv("REMOTEBENCH_FD", std::to_string(fd).c_str(), 1);
        if (machine != nullptr)
            setenv("FLEET_MACHINE", machine, 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pair[1]);
    child.fd = pair[0];
    return child;
}

void EndChild(SChild& child)
{
    if (child.fd >= 0)
        close(child.fd);
    if (child.pid > 0)
        waitpid(child.pid, nullptr, 0);
    child = SChild{};
}

// The serving process of the local benchmarks: the task endpoint and a raw echo of the same
// bytes, each connection on a thread of its own.
int RunServerChild(int fd)
{
    GetFrameworkGlobalVariables();
    CCommPeerParameter parameter(RemoteInstall::LOCAL, kEndpoint);
    CCommunicationPeerSupport server(parameter);
    int listener = winport::posix::ListenUnixSocket(RawSocketPath(), 64);
    if (server.GetErrorCode() != 0 || listener < 0)
        return 1;
    fcntl(listener, F_SETFL, 0);
    std::string reply = ReplyBytes();
    std::thread(
        [listener, reply]
        {
            for (;;)
            {
                int connection = accept(listener, nullptr, nullptr);
                if (connection < 0)
                    return;
                std::thread(
                    [connection, reply]
                    {
                        std::string request;
                        while (ReceiveRaw(connection, request) && SendRaw(connection, reply))
                        {
                        }
                        close(connection);
                    })
                    .detach();
            }
        })
        .detach();
    char byte = 'r';
    if (write(fd, &byte, 1) != 1)
        return 1;
    while (read(fd, &byte, 1) > 0)
    {
    }
    _exit(0); // the parent is done
}

// A package process on the server: on 'p' it reports a progress whose text is the moment it
// sent it, on 'l' it times one task round trip to the agent beside it and answers the time.
int RunPackageChild(int fd)
{
    GetFrameworkGlobalVariables();
    if (!CPackageStatusReport::Init())
        return 1;
    char command = 0;
    while (read(fd, &command, 1) == 1)
    {
        if (command == 'p')
        {
            auto sent = std::chrono::steady_clock::now().time_since_epoch().count();
            CPackageStatusReport::ReportProgressToUI(std::to_wstring(sent));
            char done = 'd';
            if (write(fd, &done, 1) != 1)
                break;
        }
        else if (command == 'l')
        {
            CTestTask task;
            auto start = std::chrono::steady_clock::now();
            CPackageStatusReport::m_pPeerToAgent->SendTask(&task);
            double us =
                task.m_bIsTaskExecuted ? Microseconds(std::chrono::steady_clock::now() - start) : -1;
            if (write(fd, &us, sizeof us) != sizeof us)
                break;
        }
    }
    CPackageStatusReport::Uninit();
    return 0;
}

// Package processes' reports, a thousand at once: says 's' once every thread has sent, then the
// number that came back executed.
int RunPushChild(int fd)
{
    GetFrameworkGlobalVariables();
    if (!CPackageStatusReport::Init())
        return 1;
    std::atomic<int> started{0}, executed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kHeldPushes; ++i)
        threads.emplace_back(
            [&, i]
            {
                CTaskSendPackageInstallProgress report;
                report.m_strMessage = L"report " + std::to_wstring(i);
                ++started;
                CPackageStatusReport::SendTaskToSetup(&report);
                if (report.m_bIsTaskExecuted)
                    ++executed;
            });
    while (started < kHeldPushes)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    char byte = 's';
    bool ok = write(fd, &byte, 1) == 1;
    for (std::thread& thread : threads)
        thread.join();
    int count = executed;
    ok = ok && write(fd, &count, sizeof count) == sizeof count;
    CPackageStatusReport::Uninit();
    return ok ? 0 : 1;
}

// ---- The benchmark program's fleet -----------------------------------------------------------

SChild s_Server;
SChild s_Agent;

long StatusField(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return atol(line.c_str() + strlen(field));
    return -1;
}

// The wizard's peer to the server's agent, sending as the logon account.
std::unique_ptr<CCommunicationPeerSupport> PeerToServer()
{
    CCommPeerParameter parameter(L"SRV1", AGENT_REMOTE_ENDPOINT, L"LAB", L"Administrator",
                                 kPassword);
    return std::make_unique<CCommunicationPeerSupport>(parameter);
}

bool Prepare()
{
    // A thousand held calls are a thousand descriptors in the agent and its machine server.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0)
    {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    GetFrameworkGlobalVariables();
    fleetsim::SDomain domain;
    domain.name = L"LAB";
    domain.dnsName = L"lab.example";
    domain.adminPassword = kPassword;
    fleetsim::SMachineProfile profile;
    fleetsim::ParseProfileName("server", profile);
    profile.name = kServer;
    profile.settings.domain = L"LAB";
    profile.settings.dnsDomain = L"lab.example";
    std::string agent;
    if (fleetsim::CreateDomain(s_FleetRoot, domain) != 0 ||
        fleetsim::AddMachine(s_FleetRoot, profile) != 0 ||
        fleetsim::MachineFilePath(s_FleetRoot, kServer, L"C:\\Agent\\agenthost.exe", agent) != 0)
    {
        fprintf(stderr, "cannot build the benchmark fleet\n");
        return false;
    }
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::filesystem::create_directories(std::filesystem::path(agent).parent_path());
    std::filesystem::copy_file(std::filesystem::path(self).parent_path() / "agenthost.exe", agent,
                               std::filesystem::copy_options::overwrite_existing);

    s_Server = StartChild("server", nullptr);
    char ready = 0;
    if (s_Server.fd < 0 || read(s_Server.fd, &ready, 1) != 1)
    {
        fprintf(stderr, "the serving process did not start\n");
        return false;
    }
    s_Agent = StartChild("agent", kServer, agent,
                         {"--timeout-count", "1000", "--timeout-period", "10000"});
    CImpersonateUser logon(L"LAB", L"Administrator", kPassword, LOGON32_LOGON_NEW_CREDENTIALS);
    auto peer = PeerToServer();
    for (int i = 0; i < 100; ++i)
    {
        CTestTask probe;
        if (peer->SendTask(&probe) && probe.m_bIsTaskExecuted)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    fprintf(stderr, "the agent on %s did not answer\n", kServer);
    return false;
}

void Finish()
{
    EndChild(s_Server);
    if (s_Agent.pid > 0)
        kill(s_Agent.pid, SIGTERM);
    EndChild(s_Agent);
    unlink(RawSocketPath().c_str());
}

// ---- Local round trips
// ---------------------------------------------------------------------------

CCommunicationPeerSupport& LocalPeer()
{
    static CCommunicationPeerSupport* peer =
        new CCommunicationPeerSupport(CCommPeerParameter(kEndpoint));
    return *peer;
}

int RawConnection()
{
    thread_local int fd = winport::posix::ConnectUnixSocket(RawSocketPath());
    return fd;
}

bool RpcRoundTrip()
{
    CTestTask task;
    return LocalPeer().SendTask(&task) && task.m_bIsTaskExecuted;
}

bool RawRoundTrip(const std::string& request)
{
    std::string reply;
    return SendRaw(RawConnection(), request) && ReceiveRaw(RawConnection(), reply);
}

void BM_Rpc_TestTaskRoundTripPaired(benchmark::State& state)
{
    std::string request = RequestBytes();
    std::vector<double> rpc, raw;
    for (auto _ : state)
    {
        auto start = std::chrono::steady_clock::now();
        bool ok = RpcRoundTrip();
        auto middle = std::chrono::steady_clock::now();
        ok = ok && RawRoundTrip(request);
        auto end = std::chrono::steady_clock::now();
        if (!ok)
        {
            state.SkipWithError("no answer");
            return;
        }
        rpc.push_back(Microseconds(middle - start));
        raw.push_back(Microseconds(end - middle));
    }
    state.counters["p50_us"] = Median(rpc);
    state.counters["baseline_p50_us"] = Median(raw);
}

void BM_Rpc_Throughput(benchmark::State& state)
{
    for (auto _ : state)
        if (!RpcRoundTrip())
        {
            state.SkipWithError("no answer");
            return;
        }
    state.SetItemsProcessed(state.iterations());
}

void BM_Rpc_Baseline_RawThroughput(benchmark::State& state)
{
    std::string request = RequestBytes();
    for (auto _ : state)
        if (!RawRoundTrip(request))
        {
            state.SkipWithError("no answer");
            return;
        }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Rpc_TestTaskRoundTripPaired)->MinTime(0.5)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_Rpc_Throughput)->Threads(8)->MinTime(0.5)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_Rpc_Baseline_RawThroughput)->Threads(8)->MinTime(0.5)->Repetitions(5)->UseRealTime();

// ---- A progress report's way to the wizard
// -------------------------------------------------------

// The wizard's receiver: the moment each report arrived against the moment it was sent.
class CReportLatency : public IEventSupportCallback
{
public:
    CReportLatency()
    {
        GetFrameworkGlobalVariables()->m_MessageSupport.RegisterReceiver(
            L"MESSAGE_VANE52_PACKAGE_PROGRESS_CHANGED", this);
    }
    ~CReportLatency() override
    {
        GetFrameworkGlobalVariables()->m_MessageSupport.UnregisterReceiver(
            L"MESSAGE_VANE52_PACKAGE_PROGRESS_CHANGED", this);
    }
    void OnFire(CEventSupportArgs* args) override
    {
        auto* progress = static_cast<CArgVane52PackageProgressChanged*>(args);
        auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Latencies.push_back(
            static_cast<double>(now - std::stoll(progress->m_strLastProgressMessage)) / 1000.0);
        m_Arrived.notify_all();
    }
    bool WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> guard(m_Lock);
        return m_Arrived.wait_for(guard, std::chrono::seconds(30),
                                  [&] { return m_Latencies.size() >= count; });
    }
    std::vector<double> Latencies()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Latencies;
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Arrived;
    std::vector<double> m_Latencies;
};

void BM_Report_ProgressToWizardPaired(benchmark::State& state)
{
    CReportLatency receiver;
    CImpersonateUser logon(L"LAB", L"Administrator", kPassword, LOGON32_LOGON_NEW_CREDENTIALS);
    auto peer = PeerToServer();
    SChild package = StartChild("package", kServer);
    std::vector<double> baseline;
    size_t reports = 0;
    for (auto _ : state)
    {
        char command = 'p', done = 0;
        double local = 0;
        CTestTask remote;
        bool ok = write(package.fd, &command, 1) == 1 && read(package.fd, &done, 1) == 1 &&
                  receiver.WaitFor(++reports);
        command = 'l';
        ok = ok && write(package.fd, &command, 1) == 1 &&
             read(package.fd, &local, sizeof local) == sizeof local && local >= 0;
        auto start = std::chrono::steady_clock::now();
        ok = ok && peer->SendTask(&remote) && remote.m_bIsTaskExecuted;
        if (!ok)
        {
            state.SkipWithError("a report or a round trip did not come through");
            break;
        }
        baseline.push_back(local + Microseconds(std::chrono::steady_clock::now() - start));
    }
    EndChild(package);
    state.counters["p50_us"] = Median(receiver.Latencies());
    state.counters["baseline_p50_us"] = Median(baseline);
}

BENCHMARK(BM_Report_ProgressToWizardPaired)->MinTime(1)->Repetitions(3)->UseRealTime();

// ---- One agent holds a thousand reports
// ----------------------------------------------------------

void BM_Agent_HoldsAndDrains1000Reports(benchmark::State& state)
{
    for (auto _ : state)
    {
        long rssBefore = StatusField(s_Agent.pid, "VmRSS:");
        SChild pushes = StartChild("pushes", kServer);
        char sent = 0;
        if (pushes.fd < 0 || read(pushes.fd, &sent, 1) != 1)
        {
            state.SkipWithError("the reporting process did not start");
            return;
        }
        // Every report is a call the agent holds: a thread of its own.
        long threads = 0;
        for (int i = 0; i < 600 && (threads = StatusField(s_Agent.pid, "Threads:")) < kHeldPushes;
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        long rssHeld = StatusField(s_Agent.pid, "VmRSS:");
        auto start = std::chrono::steady_clock::now();
        int executed = 0;
        {
            CImpersonateUser logon(L"LAB", L"Administrator", kPassword,
                                   LOGON32_LOGON_NEW_CREDENTIALS);
            auto peer = PeerToServer(); // its backwards query drains the queue
            if (read(pushes.fd, &executed, sizeof executed) != sizeof executed)
                executed = -1;
        }
        double drain =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EndChild(pushes);
        state.counters["held_threads"] = static_cast<double>(threads);
        state.counters["drained"] = executed;
        state.counters["drain_s"] = drain;
        state.counters["agent_rss_idle_mib"] = rssBefore / 1024.0;
        state.counters["agent_rss_held_mib"] = rssHeld / 1024.0;
    }
}

BENCHMARK(BM_Agent_HoldsAndDrains1000Reports)
    ->Iterations(1)
    ->Repetitions(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---- Summary ----------------------------------------------------------------------------------

double Counter(const bench::SResult* r, const char* name)
{
    if (r == nullptr)
        return 0;
    auto it = r->counters.find(name);
    return it != r->counters.end() ? it->second : 0;
}

void PrintSummary(const bench::CSummaryReporter& reporter)
{
    Finish();
    printf("\nSummary (%s):\n", reporter.UsesMedians() ? "medians" : "means");
    const bench::SResult* trip = reporter.Find("BM_Rpc_TestTaskRoundTripPaired");
    if (Counter(trip, "baseline_p50_us") > 0)
    {
        double rpc = Counter(trip, "p50_us"), raw = Counter(trip, "baseline_p50_us");
        printf("%-36s %8.1f us p50 vs raw socket %6.1f us  ratio %5.2f  target <= 3: %s\n",
               "CTestTask round trip, local", rpc, raw, rpc / raw,
               rpc / raw <= 3 ? "met" : "MISSED");
    }
    else
        printf("%-36s not measured\n", "CTestTask round trip, local");

    const bench::SResult* rpc = reporter.Find("BM_Rpc_Throughput");
    const bench::SResult* raw = reporter.Find("BM_Rpc_Baseline_RawThroughput");
    double rpcRate = Counter(rpc, "items_per_second"), rawRate = Counter(raw, "items_per_second");
    if (rpcRate > 0 && rawRate > 0)
        printf("%-36s %8.0f /s vs raw socket %8.0f /s  ratio %5.2f  target >= 0.5: %s\n",
               "CTestTask round trips, 8 threads", rpcRate, rawRate, rpcRate / rawRate,
               rpcRate / rawRate >= 0.5 ? "met" : "MISSED");
    else
        printf("%-36s not measured\n", "CTestTask round trips, 8 threads");

    const bench::SResult* report = reporter.Find("BM_Report_ProgressToWizardPaired");
    if (Counter(report, "baseline_p50_us") > 0)
    {
        double latency = Counter(report, "p50_us"), floor = Counter(report, "baseline_p50_us");
        printf("%-36s %8.1f us p50 vs local + remote round trip %6.1f us  ratio %5.2f  target <= "
               "3: %s\n",
               "progress report to the wizard", latency, floor, latency / floor,
               latency / floor <= 3 ? "met" : "MISSED");
    }
    else
        printf("%-36s not measured\n", "progress report to the wizard");

    const bench::SResult* held = reporter.Find("BM_Agent_HoldsAndDrains1000Reports");
    if (held != nullptr)
        printf("%-36s %8.0f held, %.0f drained in %.2f s; agent %.1f MiB idle, %.1f MiB holding "
               " target all %d drained: %s\n",
               "one agent, 1000 waiting reports", Counter(held, "held_threads"),
               Counter(held, "drained"), Counter(held, "drain_s"),
               Counter(held, "agent_rss_idle_mib"), Counter(held, "agent_rss_held_mib"),
               kHeldPushes, Counter(held, "drained") == kHeldPushes ? "met" : "MISSED");
    else
        printf("%-36s not measured\n", "one agent, 1000 waiting reports");
}

} // namespace

int main(int argc, char** argv)
{
    // The processes of the benchmarks run in their parent's fleet.
    if (const char* role = getenv("REMOTEBENCH_ROLE"))
    {
        int fd = atoi(getenv("REMOTEBENCH_FD"));
        s_FleetRoot = getenv("FLEET_ROOT");
        std::string which = role;
        return which == "server"    ? RunServerChild(fd)
               : which == "package" ? RunPackageChild(fd)
               : which == "pushes"  ? RunPushChild(fd)
                                    : 2;
    }
    return bench::RunBenchmarks(argc, argv, "fleet-remotebench", s_FleetRoot, Prepare,
                                PrintSummary);
}
