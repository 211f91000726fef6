// What the command-line front end learned about each server, and the reports it writes from it:
// the plain-text result file of the unattended mode, a JSON report and a JUnit XML report.
#pragma once

#include <string>
#include <vector>

enum class EServerOutcome
{
    Succeeded,
    Failed,
    Removed, // dropped from the list: a cluster name, a virtual server, a second name of a machine
};

struct SServerReport
{
    std::wstring name;
    EServerOutcome outcome = EServerOutcome::Failed;
    std::wstring phase; // where it ended: "input", "logon", "analysis", "deployment"
    std::wstring platform;
    int clusterType = 0;
    int analyzeState = 0;
    std::wstring analyzeMessage;
    int deployState = 0;
    std::wstring deployMessage;
    std::wstring firstError;
    std::wstring exchangeEdition;
    std::wstring exchangeRoles;
    double seconds = 0;
};

struct SRunReport
{
    bool uninstall = false;
    std::wstring packageFolder;
    std::vector<SServerReport> servers;
    double seconds = 0;
    std::wstring error; // why the run ended early, empty when it ran through
};

std::string JsonReport(const SRunReport& run);
std::string JUnitReport(const SRunReport& run);
const wchar_t* OutcomeName(EServerOutcome outcome);
