// The service program behind the simulated servers' services. Its image path arguments say how
// it behaves:
//   --name NAME          the service name (default: the one the manager passes)
//   --start-delay MS     time in START_PENDING before the service runs
//   --stop-delay MS      time in STOP_PENDING before it stops
//   --load PATH          a module it loads and keeps loaded while it runs (repeatable)
//   --fail-start CODE    the start fails: STOPPED with this Win32 exit code
//   --ready-event NAME   a named event it sets once it runs
//   --stop-event NAME    a named event that stops it like SERVICE_CONTROL_STOP
//   --exit-after MS      stops by itself MS ms after it runs (0: never)
//   --console            runs the same way as a plain program, without the service manager
// An option's value runs up to the next "--" argument, so an unquoted path with spaces works.
// Started as a plain program it fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
#include "winport/WinBase.h"
#include "winport/WinModule.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace
{

struct SOptions
{
    std::wstring name;
    DWORD startDelay = 0;
    DWORD stopDelay = 0;
    std::vector<std::wstring> modules;
    DWORD failStart = 0;
    std::wstring readyEvent;
    std::wstring stopEvent;
    DWORD exitAfter = 0;
    bool console = false;
};

SOptions g_Options;
SERVICE_STATUS_HANDLE g_Status = nullptr;
HANDLE g_StopRequested = nullptr;

DWORD Number(const std::wstring& text)
{
    return static_cast<DWORD>(wcstoul(text.c_str(), nullptr, 10));
}

bool ParseOptions(SOptions& options)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return false;
    bool ok = true;
    for (int i = 1; i < argc && ok; ++i)
    {
        std::wstring option = argv[i];
        if (option == L"--console")
        {
            options.console = true;
            continue;
        }
        std::wstring value;
        bool hasValue = false;
        while (i + 1 < argc && wcsncmp(argv[i + 1], L"--", 2) != 0)
        {
            value += (hasValue ? L" " : L"") + std::wstring(argv[++i]);
            hasValue = true;
        }
        if (!hasValue)
            ok = false;
        else if (option == L"--name")
            options.name = value;
        else if (option == L"--start-delay")
            options.startDelay = Number(value);
        else if (option == L"--stop-delay")
            options.stopDelay = Number(value);
        else if (option == L"--load")
            options.modules.push_back(value);
        else if (option == L"--fail-start")
            options.failStart = Number(value);
        else if (option == L"--ready-event")
            options.readyEvent = value;
        else if (option == L"--stop-event")
            options.stopEvent = value;
        else if (option == L"--exit-after")
            options.exitAfter = Number(value);
        else
            ok = false;
        if (!ok)
            fprintf(stderr, "servicestub: bad argument %s\n", winport::ToUtf8(option).c_str());
    }
    LocalFree(argv);
    return ok;
}

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0)
{
    if (g_Options.console)
        return;
    static DWORD checkPoint = 0;
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? ++checkPoint : 0;
    status.dwWaitHint = pending ? waitHint + 3000 : 0;
    if (!SetServiceStatus(g_Status, &status))
        fprintf(stderr, "servicestub: SetServiceStatus failed: %u\n",
                static_cast<unsigned>(GetLastError()));
}

DWORD Handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        SetEvent(g_StopRequested);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void FreeModules(std::vector<HMODULE>& modules)
{
    for (HMODULE module : modules)
        FreeLibrary(module);
    modules.clear();
}

void ServiceMain(DWORD argc, LPWSTR* argv)
{
    std::wstring name = !g_Options.name.empty() ? g_Options.name : argc > 0 ? argv[0] : L"";
    g_StopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_StopRequested == nullptr)
        return;
    if (!g_Options.console)
    {
        g_Status = RegisterServiceCtrlHandlerExW(name.c_str(), Handler, nullptr);
        if (g_Status == nullptr)
            return;
    }
    Report(SERVICE_START_PENDING, NO_ERROR, g_Options.startDelay);
    Sleep(g_Options.startDelay);

    std::vector<HMODULE> modules;
    DWORD failure = g_Options.failStart;
    for (size_t i = 0; i < g_Options.modules.size() && failure == NO_ERROR; ++i)
    {
        HMODULE module = LoadLibraryW(g_Options.modules[i].c_str());
        if (module == nullptr)
            failure = GetLastError();
        else
            modules.push_back(module);
    }
    HANDLE stopEvent = nullptr;
    if (failure == NO_ERROR && !g_Options.stopEvent.empty())
    {
        stopEvent = CreateEventW(nullptr, TRUE, FALSE, g_Options.stopEvent.c_str());
        if (stopEvent == nullptr)
            failure = GetLastError();
    }
    if (failure != NO_ERROR)
    {
        FreeModules(modules);
        Report(SERVICE_STOPPED, failure);
        return;
    }

    // Kept open while the service runs, so that a waiter that opens it late still finds it.
    HANDLE readyEvent = nullptr;
    Report(SERVICE_RUNNING);
    if (!g_Options.readyEvent.empty())
    {
        readyEvent = CreateEventW(nullptr, TRUE, FALSE, g_Options.readyEvent.c_str());
        if (readyEvent != nullptr)
            SetEvent(readyEvent);
    }

    HANDLE waits[] = {g_StopRequested, stopEvent};
    WaitForMultipleObjects(stopEvent != nullptr ? 2 : 1, waits, FALSE,
                           g_Options.exitAfter != 0 ? g_Options.exitAfter : INFINITE);
    Report(SERVICE_STOP_PENDING, NO_ERROR, g_Options.stopDelay);
    Sleep(g_Options.stopDelay);
    FreeModules(modules);
    if (readyEvent != nullptr)
        CloseHandle(readyEvent);
    if (stopEvent != nullptr)
        CloseHandle(stopEvent);
    Report(SERVICE_STOPPED);
}

} // namespace

int main()
{
    if (!ParseOptions(g_Options))
        return ERROR_INVALID_PARAMETER;
    if (g_Options.console)
    {
        ServiceMain(0, nullptr);
        return 0;
    }
    std::wstring tableName = g_Options.name;
    SERVICE_TABLE_ENTRYW table[] = {{tableName.data(), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
    {
        DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            fprintf(stderr, "servicestub: this program runs only as a service\n");
        else
            fprintf(stderr, "servicestub: StartServiceCtrlDispatcher failed: %u\n",
                    static_cast<unsigned>(error));
        ExitProcess(error);
    }
    if (g_StopRequested != nullptr)
        CloseHandle(g_StopRequested);
    return 0;
}
