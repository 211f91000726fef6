// A service program for the service tests. Its image path says how it behaves:
//   testservice run DIR CODE   runs until stopped, writes its main function's arguments to
//                              DIR/NAME.args, stops with service-specific exit code CODE (0: none)
//   testservice nostop MS      reports START_PENDING for MS ms, then runs without accepting stop
//                              and ends by itself after a while with exit code 7
#include "winport/WinBase.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace
{

std::string g_Mode, g_Folder;
DWORD g_Code = 0;
SERVICE_STATUS_HANDLE g_Status = nullptr;
std::mutex g_Lock;
std::condition_variable g_Changed;
bool g_Stop = false;

void Report(DWORD state, DWORD accepted, DWORD win32 = 0, DWORD specific = 0)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = win32;
    status.dwServiceSpecificExitCode = specific;
    status.dwWaitHint = 3000;
    if (!SetServiceStatus(g_Status, &status))
        fprintf(stderr, "testservice: SetServiceStatus failed: %u\n",
                static_cast<unsigned>(GetLastError()));
}

DWORD Handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP)
    {
        Report(SERVICE_STOP_PENDING, 0);
        std::lock_guard<std::mutex> guard(g_Lock);
        g_Stop = true;
        g_Changed.notify_all();
    }
    return NO_ERROR;
}

void ServiceMain(DWORD argc, LPWSTR* argv)
{
    g_Status = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
    if (g_Status == nullptr)
        _exit(3);
    if (g_Mode == "nostop")
    {
        Report(SERVICE_START_PENDING, 0);
        usleep(g_Code * 1000);
        Report(SERVICE_RUNNING, 0);
        usleep(1500 * 1000);
        _exit(7); // ends by itself without saying so
    }
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    std::string arguments;
    for (DWORD i = 0; i < argc; ++i)
        arguments += winport::ToUtf8(argv[i]) + "\n";
    std::string path = g_Folder + "/" + winport::ToUtf8(argv[0]) + ".args";
    if (FILE* file = fopen(path.c_str(), "w"))
    {
        fputs(arguments.c_str(), file);
        fclose(file);
    }
    std::unique_lock<std::mutex> lock(g_Lock);
    g_Changed.wait(lock, [] { return g_Stop; });
    lock.unlock();
    if (g_Code != 0)
        Report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, g_Code);
    else
        Report(SERVICE_STOPPED, 0);
}

} // namespace

int main(int argc, char** argv)
{
    g_Mode = argc > 1 ? argv[1] : "run";
    g_Folder = argc > 2 && g_Mode == "run" ? argv[2] : "/tmp";
    g_Code = static_cast<DWORD>(
        atoi(g_Mode == "run" ? (argc > 3 ? argv[3] : "0") : (argc > 2 ? argv[2] : "0")));
    // A test that fails never leaves this program behind for long.
    std::thread(
        []
        {
            sleep(120);
            _exit(99);
        })
        .detach();
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L""), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        return static_cast<int>(GetLastError());
    return 0;
}
