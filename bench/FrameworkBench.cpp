// Framework core benchmarks, each beside a baseline of the plain library doing the same work,
// with a summary of the ratios after the run.
#include "framework/CAdvancedLog.h"
#include "framework/CPropertyManager.h"
#include "framework/Serialization.h"
#include "winport/WinMachine.h"
#include "bench/BenchSupport.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace
{

std::string s_FleetRoot;

// ---- Log line ----------------------------------------------------------------------------------

const wchar_t* const kLogSource = L"D:\\build\\agent\\src\\Backend\\AnalyzedInfoCollector.cpp";
const wchar_t* const kLogFormat =
    L"Deploy state of server %s changed to pending, %d patches left in the queue";

std::string ReadHostFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string HostPathOf(const wchar_t* windowsPath)
{
    std::string host;
    return winport::fleet::MapPath(windowsPath, host) == 0 ? host : std::string();
}

// The bytes the file receiver writes for one line, taken from a file it wrote.
std::string SampleLogLine()
{
    const wchar_t* path = L"C:\\Windows\\Temp\\bench-sample.log";
    {
        CAdvancedLog hub;
        hub.Init();
        CAdvLogProcessor_WriteToFile receiver;
        receiver.SetLogFile(path);
        hub.RegisterLogProcessor(&receiver, L"File", nullptr);
        hub.ProcessLog(kLogSource, 412, ADVLOG_ENTRY_ORDINARY, ADVLOG_SEVERITY_INFO, kLogFormat,
                       L"SRV042", 17);
        hub.UnregisterAll();
    }
    std::string bytes = ReadHostFile(HostPathOf(path));
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    return bytes;
}

void BM_LogLine_WriteToFile(benchmark::State& state)
{
    const wchar_t* path = L"C:\\Windows\\Temp\\bench.log";
    CAdvancedLog hub;
    hub.Init();
    CAdvLogProcessor_WriteToFile receiver;
    receiver.SetLogFile(path);
    hub.RegisterLogProcessor(&receiver, L"File", nullptr);
    for (auto _ : state)
        hub.ProcessLog(kLogSource, 412, ADVLOG_ENTRY_ORDINARY, ADVLOG_SEVERITY_INFO, kLogFormat,
                       L"SRV042", 17);
    hub.UnregisterAll();
    std::string host = HostPathOf(path);
    struct stat written;
    if (host.empty() || stat(host.c_str(), &written) != 0 || written.st_size <= 3)
        state.SkipWithError("the receiver wrote nothing");
    else
        remove(host.c_str()); // keeps later runs from growing one big file
}

void BM_LogLine_Baseline_FputsFflush(benchmark::State& state)
{
    static const std::string line = SampleLogLine();
    if (line.size() < 80 || line.compare(line.size() - 2, 2, "\r\n") != 0)
    {
        state.SkipWithError("no sample line from the receiver");
        return;
    }
    std::string path = s_FleetRoot + "/baseline.log";
    FILE* stream = fopen(path.c_str(), "a");
    if (stream == nullptr)
    {
        state.SkipWithError("cannot open the baseline file");
        return;
    }
    for (auto _ : state)
    {
        fputs(line.c_str(), stream);
        fflush(stream);
    }
    fclose(stream);
    remove(path.c_str());
    state.SetLabel(std::to_string(line.size()) + " bytes a line");
}

BENCHMARK(BM_LogLine_WriteToFile)->MinTime(0.2);
BENCHMARK(BM_LogLine_Baseline_FputsFflush)->MinTime(0.2);

// ---- Property store ----------------------------------------------------------------------------

constexpr size_t kPropertyCount = 300;

struct SPropertyData
{
    std::vector<std::wstring> names;
    std::vector<std::wstring> values[2]; // the value set and its replacement
};

const SPropertyData& PropertyData()
{
    static const SPropertyData data = []
    {
        static const wchar_t* const kLeaves[] = {L"DeployState", L"PatchLevel", L"LastScanTime",
                                                 L"RebootPending", L"AgentVersion"};
        static const wchar_t* const kValues[2][5] = {
            {L"Deployed", L"17", L"2024-05-17 10:42", L"0", L"7.2.1.0"},
            {L"Pending", L"18", L"2024-05-18 03:15", L"1", L"7.2.2.0"}};
        SPropertyData d;
        std::mt19937 random(42);
        for (size_t i = 0; i < kPropertyCount; ++i)
        {
            size_t server = i / 5, leaf = i % 5;
            wchar_t name[160];
            swprintf(name, 160, L"Addon\\Backend\\AnalyzedInfo\\Server\\SRV%03zu\\%ls", server,
                     kLeaves[leaf]);
            d.names.emplace_back(name);
            d.values[0].emplace_back(kValues[0][leaf]);
            d.values[1].emplace_back(kValues[1][leaf]);
        }
        // Callers look names up in no particular order.
        std::vector<size_t> order(kPropertyCount);
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::shuffle(order.begin(), order.end(), random);
        SPropertyData shuffled;
        for (size_t i : order)
        {
            shuffled.names.push_back(d.names[i]);
            shuffled.values[0].push_back(d.values[0][i]);
            shuffled.values[1].push_back(d.values[1][i]);
        }
        return shuffled;
    }();
    return data;
}

// The plain library doing what the store does.
class CBaselineStore
{
public:
    std::wstring Get(const std::wstring& name)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        auto it = m_Items.find(name);
        return it != m_Items.end() ? it->second : std::wstring();
    }
    void Set(const std::wstring& name, const std::wstring& value)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Items[name] = value;
    }

private:
    std::map<std::wstring, std::wstring> m_Items;
    std::mutex m_Lock;
};

template <class TStore, class TGet, class TSet>
void RunPropertyGet(benchmark::State& state, TStore& store, TGet get, TSet set)
{
    const SPropertyData& data = PropertyData();
    for (size_t i = 0; i < kPropertyCount; ++i)
        set(store, data.names[i], data.values[0][i]);
    size_t missing = 0;
    for (auto _ : state)
    {
        for (size_t i = 0; i < kPropertyCount; ++i)
        {
            std::wstring value = get(store, data.names[i]);
            missing += value.empty();
            benchmark::DoNotOptimize(value);
        }
    }
    if (missing != 0)
        state.SkipWithError("a property went missing");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPropertyCount));
}

template <class TStore, class TGet, class TSet>
void RunPropertySet(benchmark::State& state, TStore& store, TGet get, TSet set)
{
    const SPropertyData& data = PropertyData();
    for (size_t i = 0; i < kPropertyCount; ++i)
        set(store, data.names[i], data.values[0][i]);
    size_t round = 0;
    for (auto _ : state)
    {
        const std::vector<std::wstring>& values = data.values[++round & 1];
        for (size_t i = 0; i < kPropertyCount; ++i)
            set(store, data.names[i], values[i]);
        benchmark::ClobberMemory();
    }
    if (get(store, data.names[0]) != data.values[round & 1][0])
        state.SkipWithError("a set was lost");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPropertyCount));
}

auto PmGet = [](CPropertyManager& s, const std::wstring& n) { return s.GetProperty(n); };
auto PmSet = [](CPropertyManager& s, const std::wstring& n, const std::wstring& v)
{ s.SetProperty(n, v); };
auto BlGet = [](CBaselineStore& s, const std::wstring& n) { return s.Get(n); };
auto BlSet = [](CBaselineStore& s, const std::wstring& n, const std::wstring& v) { s.Set(n, v); };

void BM_Property_Get(benchmark::State& state)
{
    CPropertyManager store;
    RunPropertyGet(state, store, PmGet, PmSet);
}

void BM_Property_Baseline_Get(benchmark::State& state)
{
    CBaselineStore store;
    RunPropertyGet(state, store, BlGet, BlSet);
}

void BM_Property_Set(benchmark::State& state)
{
    CPropertyManager store;
    RunPropertySet(state, store, PmGet, PmSet);
}

void BM_Property_Baseline_Set(benchmark::State& state)
{
    CBaselineStore store;
    RunPropertySet(state, store, BlGet, BlSet);
}

BENCHMARK(BM_Property_Get)->MinTime(0.1);
BENCHMARK(BM_Property_Baseline_Get)->MinTime(0.1);
BENCHMARK(BM_Property_Set)->MinTime(0.1);
BENCHMARK(BM_Property_Baseline_Set)->MinTime(0.1);

// ---- Memory text round trip --------------------------------------------------------------------

struct SItemList
{
    std::unique_ptr<CPersistentStorageMemory> source;
    std::vector<std::wstring> items;
    size_t characters = 0;
};

// Items of 60 to 120 characters up to the given total; about one in four holds backslashes,
// CR or LF to escape.
const SItemList& ItemList(size_t totalCharacters)
{
    static std::map<size_t, SItemList> s_Lists;
    SItemList& list = s_Lists[totalCharacters];
    if (list.source)
        return list;
    static const wchar_t kPlain[] =
        L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 =;:.,-_/()";
    static const wchar_t kSpecial[] = {L'\\', L'\r', L'\n'};
    std::mt19937 random(static_cast<unsigned>(totalCharacters));
    std::uniform_int_distribution<size_t> length(60, 120), plain(0, wcslen(kPlain) - 1),
        special(0, 2), percent(0, 99);
    list.source = std::make_unique<CPersistentStorageMemory>();
    while (list.characters < totalCharacters)
    {
        size_t n = std::min(length(random), totalCharacters - list.characters);
        std::wstring item;
        item.reserve(n);
        bool escapes = percent(random) < 25;
        for (size_t i = 0; i < n; ++i)
            item.push_back(escapes && percent(random) < 4 ? kSpecial[special(random)]
                                                          : kPlain[plain(random)]);
        list.characters += item.size();
        list.source->WriteString(item);
        list.items.push_back(std::move(item));
    }
    return list;
}

void BM_MemoryText_RoundTrip(benchmark::State& state)
{
    const SItemList& list = ItemList(static_cast<size_t>(state.range(0)) << 20);
    CPersistentStorageMemory target;
    for (auto _ : state)
    {
        std::wstring text = list.source->GetMemoryDataAsText();
        target.SetMemoryDataFromText(text);
        benchmark::ClobberMemory();
    }
    // The list must come back whole and unchanged.
    bool same = target.GetItemCount() == list.items.size();
    for (size_t i = 0; same && i < list.items.size(); ++i)
        same = target.ReadString() == list.items[i];
    if (!same)
        state.SkipWithError("the round trip changed the items");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * list.characters));
}

BENCHMARK(BM_MemoryText_RoundTrip)
    ->ArgName("MiB")
    ->Arg(1)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)

    ->MinTime(0.2);

// The two halves of the round trip apart, to tell which one grows with the size.
void BM_MemoryText_Part_GetAsText(benchmark::State& state)
{
    const SItemList& list = ItemList(static_cast<size_t>(state.range(0)) << 20);
    for (auto _ : state)
    {
        std::wstring text = list.source->GetMemoryDataAsText();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * list.characters));
}

void BM_MemoryText_Part_SetFromText(benchmark::State& state)
{
    const SItemList& list = ItemList(static_cast<size_t>(state.range(0)) << 20);
    const std::wstring text = list.source->GetMemoryDataAsText();
    CPersistentStorageMemory target;
    for (auto _ : state)
    {
        target.SetMemoryDataFromText(text);
        benchmark::ClobberMemory();
    }
    if (target.GetItemCount() != list.items.size())
        state.SkipWithError("the text did not give the items back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * list.characters));
}

BENCHMARK(BM_MemoryText_Part_GetAsText)
    ->ArgName("MiB")
    ->Arg(1)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)

    ->MinTime(0.1);
BENCHMARK(BM_MemoryText_Part_SetFromText)
    ->ArgName("MiB")
    ->Arg(1)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)

    ->MinTime(0.1);

// ---- Summary -----------------------------------------------------------------------------------


// The ratio is of CPU time, which other load on the machine disturbs least; real time follows.
void PrintRatio(const bench::CSummaryReporter& reporter, const char* what, const std::string& measured,
                const std::string& baseline, double limit, double scale, const char* unit)
{
    const bench::SResult* m = reporter.Find(measured);
    const bench::SResult* b = reporter.Find(baseline);
    if (m == nullptr || b == nullptr || b->cpuSeconds <= 0 || b->realSeconds <= 0)
    {
        printf("%-30s not measured\n", what);
        return;
    }
    double ratio = m->cpuSeconds / b->cpuSeconds;
    printf("%-30s %9.1f vs baseline %9.1f %s  ratio %5.2f (real time %5.2f)  target <= %.1f: "
           "%s\n",
           what, m->cpuSeconds * scale, b->cpuSeconds * scale, unit, ratio,
           m->realSeconds / b->realSeconds, limit, ratio <= limit ? "met" : "MISSED");
}

void PrintSummary(const bench::CSummaryReporter& reporter)
{
    printf("\nSummary (%s of CPU time):\n", reporter.UsesMedians() ? "medians" : "means");
    PrintRatio(reporter, "log line", "BM_LogLine_WriteToFile", "BM_LogLine_Baseline_FputsFflush",
               2.0, 1e9, "ns/line");
    PrintRatio(reporter, "property get (300 names)", "BM_Property_Get", "BM_Property_Baseline_Get",
               1.5, 1e9 / kPropertyCount, "ns/op");
    PrintRatio(reporter, "property set (300 names)", "BM_Property_Set", "BM_Property_Baseline_Set",
               1.5, 1e9 / kPropertyCount, "ns/op");
    const double mib = 1024.0 * 1024.0;
    const bench::SResult* sizes[2] = {reporter.Find("BM_MemoryText_RoundTrip/MiB:1"),
                               reporter.Find("BM_MemoryText_RoundTrip/MiB:16")};
    const char* names[2] = {"memory text round trip 1 MiB", "memory text round trip 16 MiB"};
    for (int i = 0; i < 2; ++i)
    {
        if (sizes[i] == nullptr || sizes[i]->bytesPerSecond <= 0)
        {
            printf("%-30s not measured\n", names[i]);
            continue;
        }
        double rate = sizes[i]->bytesPerSecond / mib;
        printf("%-30s %9.1f MiB/s  target >= 100: %s\n", names[i], rate,
               rate >= 100 ? "met" : "MISSED");
    }
    if (sizes[0] != nullptr && sizes[1] != nullptr && sizes[0]->bytesPerSecond > 0 &&
        sizes[1]->bytesPerSecond > 0)
    {
        double ratio = sizes[0]->bytesPerSecond / sizes[1]->bytesPerSecond;
        printf("%-30s %9.3f ns/B at 16 MiB vs %.3f at 1 MiB  ratio %5.2f  target <= 1.3: %s\n",
               "memory text per byte", 1e9 / sizes[1]->bytesPerSecond,
               1e9 / sizes[0]->bytesPerSecond, ratio, ratio <= 1.3 ? "met" : "MISSED");
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Large blocks come from the heap at every size, as the smaller ones already do once glibc
    // has raised its own threshold: otherwise the 16 MiB round trip would measure the kernel
    // mapping and faulting in fresh pages for each call (a block above glibc's 32 MiB ceiling),
    // not the text round trip.
    mallopt(M_MMAP_THRESHOLD, 512 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    int result = bench::RunBenchmarks(argc, argv, "fleet-bench", s_FleetRoot, nullptr, PrintSummary);
    CAdvancedLog::FreeProcessLevelInstance();
    return result;
}
