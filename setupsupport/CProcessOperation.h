// Windows process information for the lock lookup of the install copy and the service stop
// action: which process has which module loaded, and which processes run a program. Nothing is
// kept between calls; every failure is logged where it happens.
#pragma once

#include "winport/WinTypes.h"

#include <string>
#include <vector>

// One loaded module of one process.
class CModuleProcessInfo
{
public:
    std::wstring m_strModulePath; // lower case
    std::wstring m_strProcessName;
    DWORD m_dwProcessId = 0;
};

// How a wait for a process ended.
enum class EProcessEnd
{
    Ended,       // with the exit code given
    CodeUnknown, // it ended, but its exit code went with the handle
    TimedOut,    // it still runs; the handle given back is one to end it with
};

class CProcessOperation
{
public:
    // Waits for the process to end. When the handle goes with the machine's server (the server
    // was stopped meanwhile), the process is found again by its id and waited for until it ends
    // or the time is up: a caller never goes on while a child it started may still work.
    static EProcessEnd WaitForProcess(HANDLE& process, DWORD processId, DWORD milliseconds,
                                      DWORD& exitCode);
    // Every module of every process of the machine, the debug privilege on while it looks.
    static bool AnalysisProcessAndModuleInfo(std::vector<CModuleProcessInfo>& modules);
    // The processes whose program name is the name, compared in lower case.
    static std::vector<DWORD> GetProcessIdsByName(const std::wstring& name);
    // Switches "SeDebugPrivilege" of this process's token on or off.
    static bool EnableDebugPrivilege(bool enable);
};
