// What every benchmark program shares: a fleet of its own, interleaved repetitions, and a
// reporter that keeps each benchmark's median for the summary lines.
#pragma once

#include "testsupport/TemporaryFleet.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench
{

struct SResult
{
    double cpuSeconds = 0;  // of one iteration
    double realSeconds = 0; // of one iteration
    double bytesPerSecond = 0;
    std::map<std::string, double> counters;
    int samples = 0;
};

// Prints as the console does and keeps the median of each benchmark (the mean of its runs when
// there is only one repetition), by "name" or "name/args".
class CSummaryReporter : public benchmark::ConsoleReporter
{
public:
    explicit CSummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& reports) override
    {
        for (const Run& run : reports)
        {
            if (run.error_occurred ||
                (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median"))
                continue;
            std::string key = run.run_name.function_name +
                              (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
            SResult& r = run.run_type == Run::RT_Aggregate ? m_Medians[key] : m_Means[key];
            double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
            auto bytes = run.counters.find("bytes_per_second");
            double n = r.samples;
            r.cpuSeconds = (r.cpuSeconds * n + run.GetAdjustedCPUTime() / unit) / (n + 1);
            r.realSeconds = (r.realSeconds * n + run.GetAdjustedRealTime() / unit) / (n + 1);
            r.bytesPerSecond =
                (r.bytesPerSecond * n + (bytes != run.counters.end() ? bytes->second.value : 0)) /
                (n + 1);
            for (const auto& [name, counter] : run.counters)
                r.counters[name] = (r.counters[name] * n + counter.value) / (n + 1);
            ++r.samples;
        }
        ConsoleReporter::ReportRuns(reports);
    }

    const SResult* Find(const std::string& key) const
    {
        auto it = m_Medians.find(key);
        if (it != m_Medians.end())
            return &it->second;
        it = m_Means.find(key);
        return it != m_Means.end() ? &it->second : nullptr;
    }

    bool UsesMedians() const { return !m_Medians.empty(); }

private:
    std::map<std::string, SResult> m_Medians, m_Means;
};

// The main function of a benchmark program: runs it in a fleet of its own (prepare, when given,
// runs first and may refuse), then prints the summary.
inline int RunBenchmarks(int argc, char** argv, const char* prefix, std::string& fleetRoot,
                         const std::function<bool()>& prepare,
                         const std::function<void(const CSummaryReporter&)>& summary)
{
    fleetRoot = testsupport::EnterTemporaryFleet(prefix, argv);
    // Repetitions of different benchmarks interleave, so that load that comes and goes falls on
    // a measurement and its baseline alike; a flag given on the command line still wins.
    std::vector<char*> arguments(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave.data());
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    benchmark::Initialize(&count, arguments.data());
    int result = 0;
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data()))
        result = 1;
    else if (prepare && !prepare())
        result = 1;
    else
    {
        CSummaryReporter reporter(isatty(STDOUT_FILENO)
                                      ? benchmark::ConsoleReporter::OO_ColorTabular
                                      : benchmark::ConsoleReporter::OO_Tabular);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        summary(reporter);
    }
    benchmark::Shutdown();
    testsupport::LeaveTemporaryFleet(fleetRoot);
    return result;
}

} // namespace bench
