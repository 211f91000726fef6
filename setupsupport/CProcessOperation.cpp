#include "setupsupport/CProcessOperation.h"

#include "framework/CAdvancedLog.h"
#include "framework/ErrorHandles.h"
#include "winport/TlHelp32.h"
#include "winport/WinBase.h"
#include "winport/WinProcess.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"

#include <algorithm>
#include <cwctype>

namespace
{

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring LastErrorText()
{
    CSystemErrorHandle error;
    error.CaptureSystemError();
    return error.GetSystemErrorInfor();
}

struct SProcessName
{
    DWORD id;
    std::wstring name;
};

// The processes of the machine; false (logged) when the snapshot cannot be read.
bool SnapshotProcesses(std::vector<SProcessName>& processes)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Process32Firstt() failed:%s", LastErrorText().c_str());
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot, &entry))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Process32Firstt() failed:%s", LastErrorText().c_str());
        CloseHandle(snapshot);
        return false;
    }
    do
        processes.push_back(SProcessName{entry.th32ProcessID, entry.szExeFile});
    while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);
    return true;
}

} // namespace

bool CProcessOperation::AnalysisProcessAndModuleInfo(std::vector<CModuleProcessInfo>& modules)
{
    EnableDebugPrivilege(true);
    std::vector<SProcessName> processes;
    bool ok = SnapshotProcesses(processes);
    for (const SProcessName& process : processes)
    {
        HANDLE snapshot =
            CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, process.id);
        if (snapshot == INVALID_HANDLE_VALUE)
        {
            // A process that ended meanwhile is skipped.
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"CreateToolhelp32Snapshot() failed for proccess Id:%s because:%s ",
                   std::to_wstring(process.id).c_str(), LastErrorText().c_str());
            continue;
        }
        MODULEENTRY32W module = {};
        module.dwSize = sizeof module;
        if (!Module32FirstW(snapshot, &module))
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"Module32First() failed:%s", LastErrorText().c_str());
            CloseHandle(snapshot);
            continue;
        }
        do
        {
            CModuleProcessInfo info;
            info.m_strModulePath = Lower(module.szExePath);
            info.m_strProcessName = process.name;
            info.m_dwProcessId = process.id;
            modules.push_back(std::move(info));
        } while (Module32NextW(snapshot, &module));
        CloseHandle(snapshot);
    }
    EnableDebugPrivilege(false);
    return ok;
}

std::vector<DWORD> CProcessOperation::GetProcessIdsByName(const std::wstring& name)
{
    std::vector<DWORD> ids;
    std::vector<SProcessName> processes;
    SnapshotProcesses(processes);
    std::wstring wanted = Lower(name);
    for (const SProcessName& process : processes)
    {
        if (Lower(process.name) == wanted)
            ids.push_back(process.id);
    }
    return ids;
}

bool CProcessOperation::EnableDebugPrivilege(bool enable)
{
    const wchar_t* how = enable ? L"enable" : L"disable";
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"EnableDebugPrivilege for %s failed, when OpenProcessToken encounter error: %s",
               how, LastErrorText().c_str());
        return false;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"EnableDebugPrivilege for %s failed, when LookupPrivilegeValue encounter error: %s",
               how, LastErrorText().c_str());
        CloseHandle(token);
        return false;
    }
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    // The call succeeds without assigning a privilege the token lacks; that is a failure here.
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) ||
        GetLastError() != ERROR_SUCCESS)
    {
        ADVLOG(
            ADVLOG_SEVERITY_WARNING,
            L"EnableDebugPrivilege for %s failed, when AdjustTokenPrivileges encounter error: %s",
            how, LastErrorText().c_str());
        CloseHandle(token);
        return false;
    }
    CloseHandle(token);
    return true;
}

EProcessEnd CProcessOperation::WaitForProcess(HANDLE& process, DWORD processId, DWORD milliseconds,
                                              DWORD& exitCode)
{
    ULONGLONG start = GetTickCount64();
    DWORD waited = WaitForSingleObject(process, milliseconds);
    bool logged = false;
    for (;;)
    {
        if (waited == WAIT_OBJECT_0)
            return logged || !GetExitCodeProcess(process, &exitCode) ? EProcessEnd::CodeUnknown
                                                                     : EProcessEnd::Ended;
        if (waited == WAIT_TIMEOUT)
            return EProcessEnd::TimedOut;
        if (!logged)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"The wait for process %d failed (%s); it is waited for by its id",
                   static_cast<int>(processId), LastErrorText().c_str());
            logged = true;
        }
        ULONGLONG elapsed = GetTickCount64() - start;
        DWORD left = milliseconds == INFINITE  ? INFINITE
                     : elapsed >= milliseconds ? 0
                                               : static_cast<DWORD>(milliseconds - elapsed);
        HANDLE again = OpenProcess(
            SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
        if (again != nullptr)
        {
            CloseHandle(process);
            process = again;
            waited = WaitForSingleObject(process, left);
            continue;
        }
        if (GetLastError() == ERROR_INVALID_PARAMETER)
            return EProcessEnd::CodeUnknown; // no process has that id any more
        // The machine does not answer yet: try again in a while.
        if (left == 0)
            return EProcessEnd::TimedOut;
        Sleep(std::min<DWORD>(left, 1000));
    }
}
