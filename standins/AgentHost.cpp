// Stand-in for the install agent: serves the local and the remote task endpoints through passive
// peers, holds the backwards queue, answers heartbeats and ends on its stop event or after a
// silence of heartbeats. Runs as the service "HalvornInstallAgent" or as a plain process.
//
//   agenthost.exe [--timeout-count N] [--timeout-period MILLISECONDS]
//
// Without a heartbeat for N periods (default 6 of 10000 ms) it removes itself from the server,
// as the backend's shutdown task would have had it do, and ends.
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CProgramDebugLog.h"
#include "remoteinstall/BackwardsTaskQueue.h"
#include "remoteinstall/CommunicationPeer.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinModule.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <cwchar>
#include <string>

namespace
{

const wchar_t kServiceName[] = L"HalvornInstallAgent";
const wchar_t kReadyEventName[] = L"PRVL_REMOTE_INSTALL_AGENT_IS_RUNNING_EVENT";

int g_TimeoutCount = 6;
int g_TimeoutPeriod = 10000;
SERVICE_STATUS_HANDLE g_Status = nullptr;
HANDLE g_ServiceStop = nullptr;
DWORD g_ExitCode = NO_ERROR;

bool ParseOptions()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool ok = argv != nullptr;
    for (int i = 1; ok && i < argc; ++i)
    {
        std::wstring option = argv[i];
        if (i + 1 < argc && option == L"--timeout-count")
            g_TimeoutCount = _wtoi(argv[++i]);
        else if (i + 1 < argc && option == L"--timeout-period")
            g_TimeoutPeriod = _wtoi(argv[++i]);
        else
            ok = false;
    }
    LocalFree(argv);
    return ok && g_TimeoutCount > 0 && g_TimeoutPeriod > 0;
}

void Report(DWORD state, DWORD exitCode = NO_ERROR)
{
    if (g_Status == nullptr)
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
    status.dwWaitHint = pending ? 10000 : 0;
    SetServiceStatus(g_Status, &status);
}

DWORD Handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN)
    {
        SetEvent(g_ServiceStop);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// The backend library beside the agent answers the reflection message for its own tasks.
void LoadBackend()
{
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self, n < MAX_PATH ? n : 0);
    folder = folder.substr(0, folder.rfind(L'\\') + 1);
    std::wstring backend = folder + L"rolloutengine.dll";
    if (GetFileAttributesW(backend.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    HMODULE module = LoadLibraryW(backend.c_str());
    if (module == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"agenthost: cannot load %s, error %d", backend.c_str(),
               static_cast<int>(GetLastError()));
        return;
    }
    using TInit = void (*)();
    if (auto init = reinterpret_cast<TInit>(GetProcAddress(module, "InitSetupBackend")))
        init();
    ADVLOG(ADVLOG_SEVERITY_INFO, L"agenthost: loaded %s", backend.c_str());
    // The requirement check's texts.
    GetFrameworkGlobalVariables()->m_StringBundler.LoadStringBundle(folder + L"lang.dat");
}

// The workstation went away: the backend's own shutdown task removes the agent (its service,
// its folder and this process), and the stop event ends the wait below meanwhile.
bool RemoveSelf()
{
    CArgVane52ClassReflection reflection(L"CTaskShutdownAgent");
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(L"MESSAGE_VANE52_CLASS_REFLECTION",
                                                                 &reflection);
    if (reflection.m_pObject == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"agenthost: no backend to remove the agent with");
        return false;
    }
    ADVLOG(ADVLOG_SEVERITY_INFO, L"agenthost: removing the agent from this server");
    reflection.m_pObject->RunTaskOnLocal();
    delete reflection.m_pObject;
    return true;
}

DWORD RunAgent()
{
    GetFrameworkGlobalVariables();
    LoadBackend();
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, CPassiveTaskList::kStopEventName);
    HANDLE timeout = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop == nullptr || timeout == nullptr)
        return GetLastError();
    ResetEvent(stop); // left raised by an agent that quit while a handle was still open

    {
        CCommPeerParameter localParameter(RemoteInstall::LOCAL, AGENT_LOCAL_ENDPOINT);
        CCommPeerParameter remoteParameter(RemoteInstall::REMOTE, AGENT_REMOTE_ENDPOINT);
        CCommunicationPeerSupport local(localParameter);
        CCommunicationPeerSupport remote(remoteParameter);
        if (local.GetErrorCode() != 0 || remote.GetErrorCode() != 0)
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"agenthost: the endpoints cannot be served: %d %d",
                   static_cast<int>(local.GetErrorCode()), static_cast<int>(remote.GetErrorCode()));
            return local.GetErrorCode() != 0 ? local.GetErrorCode() : remote.GetErrorCode();
        }
        CCommunicationPeerSupport::RegisterCommunicationPeer(AGENT_LOCAL_ENDPOINT, local.GetPeer());
        CCommunicationPeerSupport::RegisterCommunicationPeer(AGENT_REMOTE_ENDPOINT,
                                                             remote.GetPeer());
        CAgentTimeoutClean watch(g_TimeoutCount, g_TimeoutPeriod, timeout);

        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kReadyEventName);
        SetEvent(ready);
        Report(SERVICE_RUNNING);
        ADVLOG(ADVLOG_SEVERITY_INFO, L"agenthost: serving, heartbeat time-out %d x %d ms",
               g_TimeoutCount, g_TimeoutPeriod);

        HANDLE waits[3] = {stop, timeout, g_ServiceStop};
        DWORD waited =
            WaitForMultipleObjects(g_ServiceStop != nullptr ? 3 : 2, waits, FALSE, INFINITE);
        ADVLOG(ADVLOG_SEVERITY_INFO, L"agenthost: ending (%s)",
               waited == WAIT_OBJECT_0       ? L"stop event"
               : waited == WAIT_OBJECT_0 + 1 ? L"no heartbeat"
                                             : L"service stop");
        // The clean-up ends this process; until then the endpoints keep answering. It starts
        // once no package runs from the agent's folder (for two hours at most).
        if (waited == WAIT_OBJECT_0 + 1 && RemoveSelf())
            WaitForSingleObject(stop, 7200000 + 30000);
        Report(SERVICE_STOP_PENDING);
        // Waiting pushes and queries wake on the stop event and answer before listening ends.
        SetEvent(stop);
        ResetEvent(ready);
        CloseHandle(ready);
        CCommunicationPeerSupport::RegisterCommunicationPeer(AGENT_LOCAL_ENDPOINT, nullptr);
        CCommunicationPeerSupport::RegisterCommunicationPeer(AGENT_REMOTE_ENDPOINT, nullptr);
    }
    CloseHandle(timeout);
    CloseHandle(stop);
    return NO_ERROR;
}

void ServiceMain(DWORD, LPWSTR*)
{
    g_ServiceStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_Status = RegisterServiceCtrlHandlerExW(kServiceName, Handler, nullptr);
    if (g_Status == nullptr)
        return;
    Report(SERVICE_START_PENDING);
    g_ExitCode = RunAgent();
    Report(SERVICE_STOPPED, g_ExitCode);
}

} // namespace

int main()
{
    if (winport::fleet::PrepareCurrentMachine() != ERROR_SUCCESS)
        return 70;
    CProgramDebugLog::Start();
    if (!ParseOptions())
    {
        fprintf(stderr,
                "usage: agenthost.exe [--timeout-count N] [--timeout-period MILLISECONDS]\n");
        CProgramDebugLog::Stop();
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring name = kServiceName;
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
    {
        if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            g_ExitCode = GetLastError();
        else
            g_ExitCode = RunAgent(); // a plain process (a local install starts it so)
    }
    CProgramDebugLog::Stop();
    FreeFrameworkGlobalVariables();
    return static_cast<int>(g_ExitCode);
}
