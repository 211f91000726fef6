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

class CProcessOperation
{
public:
    // Every module of every process of the machine, the debug privilege on while it looks.
    static bool AnalysisProcessAndModuleInfo(std::vector<CModuleProcessInfo>& modules);
    // The processes whose program name is the name, compared in lower case.
    static std::vector<DWORD> GetProcessIdsByName(const std::wstring& name);
    // Switches "SeDebugPrivilege" of this process's token on or off.
    static bool EnableDebugPrivilege(bool enable);
};
