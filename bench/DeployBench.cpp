// A deployment to 100 servers through rolloutcli against the limit the machine sets: the larger
// of one server's own time alone and the run's whole CPU time spread over the cores. Also the
// logon and analysis of 100 servers, per server, against one server alone.
#include "bench/BenchSupport.h"
#include "fleetsim/Fleet.h"
#include "testsupport/TestSupport.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace
{

std::string s_FleetRoot;
const char kPassword[] = "Bench-Adm1n!";
int s_Servers = 100;

std::string ServerName(int i)
{
    char name[16];
    snprintf(name, sizeof name, "S%03d", i);
    return name;
}

std::string ServerList(int count)
{
    std::string list;
    for (int i = 1; i <= count; ++i)
        list += (i > 1 ? "," : "") + ServerName(i);
    return list;
}

// Busy CPU seconds of the whole machine so far.
double BusySeconds()
{
    std::ifstream stat("/proc/stat");
    std::string cpu;
    long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq;
    return static_cast<double>(user + nice + system + irq + softirq) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string Bin()
{
    return testsupport::HostPath(testsupport::ProgramFolder());
}

// Runs rolloutcli; the number of servers that ended as wanted.
int RunCli(const std::string& mode, const std::string& servers, const std::string& name)
{
    bool analyzeOnly = mode == "--analyze-only";
    std::string reports = s_FleetRoot + "/../reports/" + name;
    std::string output;
    testsupport::RunFrontEnd(s_FleetRoot,
                             {"--package", Bin() + "/samples/Deploy",
                              analyzeOnly ? "--install" : mode,
                              analyzeOnly ? "--analyze-only" : "--plain", "--user",
                              "CORP\\Administrator", "--password-env", "ROLLOUT_PASSWORD",
                              "--servers", servers, "--result", reports + ".txt", "--plain"},
                             kPassword, &output);
    std::string json = testsupport::ReadHostFile(reports + ".json");
    if (json.find("\"outcome\": \"failed\"") != std::string::npos)
        fprintf(stderr, "%s\n", output.c_str());
    int succeeded = 0;
    for (size_t at = 0; (at = json.find("\"outcome\": \"succeeded\"", at)) != std::string::npos;
         ++at)
        ++succeeded;
    return succeeded;
}

// One measured run of a mode on a number of servers; an install is taken off again unmeasured.
void Measure(benchmark::State& state, const std::string& mode, int count)
{
    std::string servers = count == 1 ? std::string("SOLO") : ServerList(count);
    for (auto _ : state)
    {
        double busy = BusySeconds();
        auto start = std::chrono::steady_clock::now();
        int succeeded = RunCli(mode, servers, mode.substr(2) + std::to_string(count));
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["busy"] = BusySeconds() - busy;
        state.counters["wall"] = seconds;
        state.counters["succeeded"] = succeeded;
        bool wanted = succeeded == count;
        if (wanted)
            state.PauseTiming();
        if (mode == "--install")
            RunCli("--uninstall", servers, "reset" + std::to_string(count));
        if (!wanted)
        {
            state.SkipWithError("a server did not end as wanted");
            break;
        }
        state.ResumeTiming();
    }
}

void BM_Deploy_OneServerAlone(benchmark::State& state)
{
    Measure(state, "--install", 1);
}
void BM_Deploy_AllServers(benchmark::State& state)
{
    Measure(state, "--install", s_Servers);
}
void BM_Analyze_OneServerAlone(benchmark::State& state)
{
    Measure(state, "--analyze-only", 1);
}
void BM_Analyze_AllServers(benchmark::State& state)
{
    Measure(state, "--analyze-only", s_Servers);
}

BENCHMARK(BM_Deploy_OneServerAlone)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Deploy_AllServers)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Analyze_OneServerAlone)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Analyze_AllServers)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void PrintSummary(const bench::CSummaryReporter& reporter)
{
    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    printf("\nSummary (%d servers, %u cores):\n", s_Servers, cores);
    const bench::SResult* one = reporter.Find("BM_Deploy_OneServerAlone");
    const bench::SResult* all = reporter.Find("BM_Deploy_AllServers");
    if (one != nullptr && all != nullptr && one->realSeconds > 0)
    {
        double spread = all->counters.at("busy") / cores;
        double limit = std::max(one->realSeconds, spread);
        double ratio = all->realSeconds / limit;
        printf("deployment to all servers: %.1f s; limit %.1f s (one server alone %.1f s, CPU "
               "%.1f s over %u cores = %.1f s); ratio %.2f; target <= 1.5: %s\n",
               all->realSeconds, limit, one->realSeconds, all->counters.at("busy"), cores, spread,
               ratio, ratio <= 1.5 ? "met" : "MISSED");
    }
    else
        printf("deployment to all servers: not measured\n");
    one = reporter.Find("BM_Analyze_OneServerAlone");
    all = reporter.Find("BM_Analyze_AllServers");
    if (one != nullptr && all != nullptr && one->realSeconds > 0)
        printf("logon and analysis: %.2f s a server (%.1f s for all) vs %.2f s for one server "
               "alone; ratio %.2f\n",
               all->realSeconds / s_Servers, all->realSeconds, one->realSeconds,
               all->realSeconds / s_Servers / one->realSeconds);
    else
        printf("logon and analysis: not measured\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (const char* count = getenv("FLEET_BENCH_SERVERS"))
        s_Servers = std::max(1, atoi(count));
    return bench::RunBenchmarks(
        argc, argv, "fleet-deploybench", s_FleetRoot,
        []
        {
            fleetsim::SDomain domain;
            domain.name = L"CORP";
            domain.dnsName = L"corp.example";
            domain.adminPassword = winport::FromUtf8(kPassword);
            if (fleetsim::CreateDomain(s_FleetRoot, domain) != 0)
                return false;
            for (int i = 0; i <= s_Servers; ++i)
            {
                fleetsim::SMachineProfile profile;
                fleetsim::ParseProfileName("exchange2007", profile);
                profile.name = i == 0 ? "SOLO" : ServerName(i);
                profile.settings.domain = L"CORP";
                profile.settings.dnsDomain = L"corp.example";
                profile.roles = fleetsim::kRoleMailbox | fleetsim::kRoleHubTransport;
                profile.product.installed = true;
                profile.product.files = Bin() + "/samples/product";
                profile.serviceModules = {
                    {L"Parvel_Master",
                     L"C:\\Program Files\\Halvorn\\Parvel for Exchange\\bin\\prvlcore.dll"}};
                if (fleetsim::AddMachine(s_FleetRoot, profile) != 0)
                    return false;
            }
            return true;
        },
        PrintSummary);
}
