// Benchmarks of the package runtime: a registry action list of 10000 value changes with its
// rollback file against the plain RegSetValueExW calls of the same changes.
#include "bench/BenchSupport.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "setupsupport/CFileSupport.h"
#include "setupsupport/CRegistrySupport.h"
#include "winport/WinFile.h"
#include "winport/WinReg.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace
{

std::string s_FleetRoot;
constexpr int kValues = 10000;
const wchar_t kKey[] = L"SOFTWARE\\PackageBench\\Values";
const wchar_t kFolder[] = L"C:\\Windows\\Temp\\PackageBench";

std::wstring ValueText(int value, int round)
{
    return L"value-" + std::to_wstring(value) + L"-round-" + std::to_wstring(round);
}

void BM_Registry_ActionList(benchmark::State& state)
{
    int round = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        ++round;
        std::wstring list;
        for (int i = 0; i < kValues; ++i)
            list += std::wstring(L"[RegUpadate:REG_SZ,HKEY_LOCAL_MACHINE,") + kKey + L",V" +
                    std::to_wstring(i) + L"," + ValueText(i, round) + L"]";
        DeleteFileW((std::wstring(kFolder) + L"\\bench.txt").c_str());
        state.ResumeTiming();
        if (!CRegistrySupport::InstallModifyRegistry(kFolder, L"bench.txt", list).IsSuccess())
        {
            state.SkipWithError("the action list failed");
            return;
        }
    }
}

void BM_Registry_Baseline_SetValue(benchmark::State& state)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
    {
        state.SkipWithError("no key");
        return;
    }
    int round = 1000;
    for (auto _ : state)
    {
        ++round;
        for (int i = 0; i < kValues; ++i)
        {
            std::wstring name = L"V" + std::to_wstring(i), data = ValueText(i, round);
            RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(data.c_str()),
                           static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR)));
        }
    }
    RegCloseKey(key);
}

BENCHMARK(BM_Registry_ActionList)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Registry_Baseline_SetValue)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void PrintSummary(const bench::CSummaryReporter& reporter)
{
    printf("\nSummary (%s of real time):\n", reporter.UsesMedians() ? "medians" : "means");
    const bench::SResult* list = reporter.Find("BM_Registry_ActionList");
    const bench::SResult* plain = reporter.Find("BM_Registry_Baseline_SetValue");
    if (list != nullptr && plain != nullptr && plain->realSeconds > 0)
    {
        double ratio = list->realSeconds / plain->realSeconds;
        printf("%-40s %8.0f ms vs RegSetValueExW x%d %6.0f ms  ratio %5.2f  target <= 3: %s\n",
               "registry action list, 10000 changes", list->realSeconds * 1e3, kValues,
               plain->realSeconds * 1e3, ratio, ratio <= 3 ? "met" : "MISSED");
    }
    else
        printf("%-40s not measured\n", "registry action list, 10000 changes");
}

} // namespace

int main(int argc, char** argv)
{
    return bench::RunBenchmarks(
        argc, argv, "fleet-packagebench", s_FleetRoot,
        []
        {
            GetFrameworkGlobalVariables();
            HKEY key = nullptr;
            bool ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &key, nullptr) == ERROR_SUCCESS;
            for (int i = 0; ok && i < kValues; ++i)
            {
                std::wstring name = L"V" + std::to_wstring(i), data = ValueText(i, 0);
                ok = RegSetValueExW(
                         key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                         static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
            }
            RegCloseKey(key);
            return ok && CFileSupport::CreateDirectoryRecursively(kFolder);
        },
        PrintSummary);
}
