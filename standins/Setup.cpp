// The one-shot bootstrap of the agent setup: installed and started as the service
// "HalvornInstallBootstrap", it runs, does nothing, and stops at once with exit code 0, which the
// setup waits for before it deletes the service. Started as a plain program it exits with 0.
#include "winport/WinBase.h"
#include "winport/WinSvc.h"

#include <cstdio>
#include <string>

namespace
{

const wchar_t kServiceName[] = L"HalvornInstallBootstrap";
SERVICE_STATUS_HANDLE g_Status = nullptr;

DWORD Handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    // It is stopped before any control could matter; interrogation is all it answers.
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

bool Report(DWORD state)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = NO_ERROR;
    if (SetServiceStatus(g_Status, &status))
        return true;
    fprintf(stderr, "Setup: SetServiceStatus failed: %u\n", static_cast<unsigned>(GetLastError()));
    return false;
}

void ServiceMain(DWORD, LPWSTR*)
{
    g_Status = RegisterServiceCtrlHandlerExW(kServiceName, Handler, nullptr);
    if (g_Status == nullptr)
        return;
    if (Report(SERVICE_RUNNING))
        Report(SERVICE_STOPPED);
}

} // namespace

int main()
{
    std::wstring name = kServiceName;
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table))
        return 0;
    DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        return 0; // a plain process: nothing to do either
    fprintf(stderr, "Setup: StartServiceCtrlDispatcher failed: %u\n", static_cast<unsigned>(error));
    return static_cast<int>(error);
}
