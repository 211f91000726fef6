// actionhost.exe: runs one custom action of a package for the patch engine.
//
//   actionhost.exe ACTION LIBRARY FUNCTION TIMELIMIT PARAMETERS [RUNMODE]
//
// Exit code 0 when the action ran and succeeded, -1 otherwise.
#include "framework/CAdvancedLog.h"
#include "framework/CProgramDebugLog.h"
#include "framework/CStringSupport.h"
#include "package/CCustomActionWrapper.h"
#include "setupsupport/CActionGlobalResource.h"
#include "winport/WinBase.h"
#include "winport/WinDebug.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinModule.h"
#include "winport/WinProcess.h"

#include <string>

namespace
{

MINIDUMPWRITEDUMP s_MiniDumpWriteDump = nullptr;

LONG PRVLUnhandledExceptionFilter(PEXCEPTION_POINTERS exception)
{
    wchar_t root[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%SYSTEMROOT%", root, MAX_PATH);
    std::wstring path = std::wstring(root) + L"\\Temp\\actionhost.dmp";
    if (path.size() >= MAX_PATH)
        path.resize(MAX_PATH - 1);
    if (s_MiniDumpWriteDump == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"MiniDumpWriteDump is not available, do not dump");
        return EXCEPTION_CONTINUE_SEARCH;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CreateFile: %s fail, error code: %d", path.c_str(),
               static_cast<int>(GetLastError()));
        return EXCEPTION_CONTINUE_SEARCH;
    }
    MINIDUMP_EXCEPTION_INFORMATION information{GetCurrentThreadId(), exception, FALSE};
    auto type = static_cast<MINIDUMP_TYPE>(MiniDumpWithFullMemory | MiniDumpWithHandleData |
                                           MiniDumpWithProcessThreadData |
                                           MiniDumpWithPrivateReadWriteMemory);
    if (!s_MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, type, &information,
                             nullptr, nullptr))
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"MiniDumpWriteDump fail");
    CloseHandle(file);
    return EXCEPTION_CONTINUE_SEARCH;
}

void InstallCrashFilter()
{
    SetUnhandledExceptionFilter(PRVLUnhandledExceptionFilter);
    HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
    if (dbghelp == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s fail to be loaded", L"dbghelp.dll");
        return;
    }
    s_MiniDumpWriteDump =
        reinterpret_cast<MINIDUMPWRITEDUMP>(GetProcAddress(dbghelp, "MiniDumpWriteDump"));
    if (s_MiniDumpWriteDump == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"the address of function %s fail to be got",
               L"MiniDumpWriteDump");
        FreeLibrary(dbghelp);
    }
}

} // namespace

int main()
{
    if (winport::fleet::PrepareCurrentMachine() != ERROR_SUCCESS)
        return 70;
    CProgramDebugLog::Start();
    InstallCrashFilter();
    std::wstring folder = CStringSupport::PathGetRunningExeFileRootPath();
    bool propertiesRead = CActionGlobalResource::InitializeResource(
        CStringSupport::PathCombinePath(folder, PackageNames::kPropertyFile),
        CStringSupport::PathCombinePath(folder, PackageNames::kMessageBundle));
    std::wstring commandLine = GetCommandLineW();
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Command line is:%s", commandLine.c_str());

    int exitCode = 0;
    WrapperParameter parameter;
    if (!propertiesRead)
    {
        // Without the run's state (original service states, the rollback skip) an action could
        // do the wrong thing, and writing the file would lose that state for good.
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"actionhost.exe does not run an action without the "
                                      L"package's properties");
        exitCode = -1;
    }
    else if (!parameter.Parse(commandLine))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"actionhost.exe run failed, the parameters [%s] are not well formatted!",
               commandLine.c_str());
        exitCode = -1;
    }
    else if (!CCustomActionWrapper(parameter).RunAction())
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Run custom action failed, library name:%s, function name:%s",
               parameter.m_strLibrary.c_str(), parameter.m_strFunction.c_str());
        exitCode = -1;
    }
    CActionGlobalResource::UninitializeResource();
    ADVLOG(ADVLOG_SEVERITY_INFO, L"return value is:%d", exitCode);
    CProgramDebugLog::Stop();
    ExitProcess(static_cast<UINT>(exitCode));
}
