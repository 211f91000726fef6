#include "framework/CProgramDebugLog.h"

#include "framework/CAdvancedLog.h"

namespace
{
constexpr const wchar_t* kFileReceiverName = L"CAdvLogProcessor_WriteToFile";
}

void CProgramDebugLog::Start()
{
    CAdvancedLog* hub = CAdvancedLog::GetProcessLevelInstance();
    if (hub->GetLogReceiverByName(kFileReceiverName) != nullptr)
        return;
    auto* receiver = new CAdvLogProcessor_WriteToFile();
    receiver->SetLogFile(CAdvancedLog::GetDefaultDebugLogFilePath(L"Parvel").c_str());
    if (!hub->RegisterLogProcessor(receiver, kFileReceiverName, nullptr))
        delete receiver;
}

void CProgramDebugLog::Stop()
{
    CAdvancedLog* hub = CAdvancedLog::GetProcessLevelInstance();
    delete hub->UnregisterLogProcessorByName(kFileReceiverName);
    CAdvancedLog::FreeProcessLevelInstance();
}

int CProgramDebugLog::MergeChildLog(const wchar_t* path)
{
    CAdvancedLog* hub = CAdvancedLog::GetProcessLevelInstance();
    int merged = hub->MergeExistingLogFile(path);
    if (!merged)
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Failed to merge process log. The log file is %s",
               path != nullptr ? path : L"");
    return merged;
}
