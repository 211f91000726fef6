// stockactions.dll: starting and stopping services, keeping or ignoring the state a service had
// before the package touched it.
#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "package/ActionSupport.h"
#include "remoteinstall/PackageStatusReport.h"
#include "setupsupport/CProcessOperation.h"
#include "setupsupport/CServiceManager.h"
#include "winport/WinProcess.h"
#include "winport/WinReg.h"
#include "winport/WinSvc.h"

#include <string>
#include <vector>

namespace
{

constexpr unsigned kServiceWait = 600000;

std::wstring OriginalStateProperty(const std::wstring& service)
{
    return CStringSupport::StringFormat(L"OriginalStatusFor%s",
                                        CStringSupport::StringToLowerCase(service).c_str());
}

// Records the state a service has before the package's first state-keeping action on it; false
// when the service manager could not be asked.
bool RecordOriginalState(CServiceManager& manager, const std::wstring& property,
                         const wchar_t* function)
{
    DWORD state = manager.QueryStatus();
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        PackageProperties()->SetPropertyInt(property, static_cast<int>(state));
    else if (state != 0)
        ADVLOG_UNEXPECTED_BRANCH(function);
    return state != 0;
}

// The service manager could not be asked (its machine was restarting, say), so nothing is known
// of the service: the action fails rather than take it for absent or for stopped, and the state
// recorded as 0, neither running nor stopped, keeps every later state-keeping action of this
// package run, a rollback's too, from starting or stopping it.
void ServiceManagerUnreachable(const std::wstring& property, const std::wstring& service,
                               DWORD error)
{
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"The service manager cannot tell the state of %s: %s",
           service.c_str(), CStringSupport::ConvertWin32ErrorCodeToString(error).c_str());
    if (!PackageProperties()->IsPropertyExist(property))
        PackageProperties()->SetPropertyInt(property, 0);
}

// Whether the service is absent or disabled, when the manager could be asked (else false with
// the error in unreachable).
bool AbsentOrDisabled(CServiceManager& manager, DWORD& unreachable)
{
    unreachable = manager.CheckExistence();
    if (unreachable == ERROR_SERVICE_DOES_NOT_EXIST || unreachable == ERROR_INVALID_NAME)
    {
        unreachable = ERROR_SUCCESS;
        return true;
    }
    return unreachable == ERROR_SUCCESS && manager.IsDisabled();
}

// The processes of each name in "A.exe&B.exe" are ended until one name has been handled whole.
bool KillServiceProcesses(const CActionParameters& parameters)
{
    if (!parameters.Has({L"killProcessWhenFail"}))
    {
        ADVLOG(ADVLOG_SEVERITY_INFO, L"No process name transfered");
        return false;
    }
    bool failed = false;
    for (const std::wstring& name :
         CStringSupport::StringToVector(parameters.Get(L"killProcessWhenFail"), L'&'))
    {
        std::vector<DWORD> ids = CProcessOperation::GetProcessIdsByName(name);
        if (ids.size() > 1)
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"The service process [%s] is not unique, and all the process will be killed",
                   name.c_str());
        bool nameFailed = false;
        for (DWORD id : ids)
        {
            HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
            if (process == nullptr)
            {
                ADVLOG(ADVLOG_SEVERITY_ERROR, L"Open Process [%s,%d] failed", name.c_str(),
                       static_cast<int>(id));
                nameFailed = true;
                break;
            }
            BOOL ended = TerminateProcess(process, 0);
            CloseHandle(process);
            if (!ended)
            {
                ADVLOG(ADVLOG_SEVERITY_ERROR, L"Terminate Process [%s,%d] failed", name.c_str(),
                       static_cast<int>(id));
                nameFailed = true;
                break;
            }
        }
        failed = failed || nameFailed;
        if (!failed)
            return true;
    }
    return false;
}

bool StartFailed(const std::wstring& service)
{
    CStatusReporter::ReportErrorMessageWithFormat(L"error.StartService.failed", service.c_str());
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"Start service error, when start service:%s!", service.c_str());
    return false;
}

bool StopFailed(const std::wstring& service)
{
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"Stop service error, when stop service:%s!", service.c_str());
    CStatusReporter::ReportErrorMessageWithFormat(L"error.StopService.failed", service.c_str());
    return false;
}

// Starts the service; a fault after the start stops it again, so that it is as it was.
bool StartService(CServiceManager& manager, const std::wstring& service)
{
    unsigned long state = 0;
    if (!manager.Start(kServiceWait, false, state))
        return StartFailed(service);
    if (CActionGlobalResource::IsFaultInjected(L"after"))
    {
        manager.Stop(kServiceWait, false, state);
        return false;
    }
    return true;
}

// Stops the service, ending its processes when that fails and names are given; a fault after
// the stop starts it again.
bool StopService(CServiceManager& manager, const CActionParameters& parameters,
                 const std::wstring& service)
{
    unsigned long state = 0;
    if (!manager.Stop(kServiceWait, false, state) && !KillServiceProcesses(parameters))
        return StopFailed(service);
    if (CActionGlobalResource::IsFaultInjected(L"after"))
    {
        manager.Start(kServiceWait, false, state);
        return false;
    }
    return true;
}

bool MissingServiceName(const wchar_t* function, const CActionParameters& parameters)
{
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s failed, the parameter string is not correct:%s", function,
           parameters.Text().c_str());
    return false;
}

// The quarantine monitor has nothing to do where the junk mail solution runs.
bool JunkMailSolutionApplied(const std::wstring& service)
{
    if (!CStringSupport::IsStringEqualIgnoreCase(service, L"QVLT_Monitor"))
        return false;
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"Try to check whether Junk email solution is applied for this server");
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PackageNames::kProductKey, 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD value = 0, size = sizeof(value), type = 0;
    bool applied = RegQueryValueExW(key, L"JunkEmailIntegration", nullptr, &type,
                                    reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
                   type == REG_DWORD && value != 0;
    RegCloseKey(key);
    if (applied)
        ADVLOG(ADVLOG_SEVERITY_INFO,
               L"Junk email solution is applied for this server, no need to start the service %s",
               service.c_str());
    return applied;
}

} // namespace

PACKAGE_ACTION StartService_StatusConcerned()
{
    ADVLOG_TRACE_FUNCTION(L"StartService_StatusConcerned");
    CActionParameters parameters;
    if (!parameters.Has({L"serviceName"}))
        return MissingServiceName(L"StartService_StatusConcerned", parameters);
    std::wstring service = parameters.Get(L"serviceName");
    if (JunkMailSolutionApplied(service))
        return true;
    CStatusReporter::ReportProgressWithFormat(L"info.StartService", service.c_str());
    CServiceManager manager(nullptr, service);
    std::wstring property = OriginalStateProperty(service);
    DWORD unreachable = ERROR_SUCCESS;
    if (AbsentOrDisabled(manager, unreachable))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Service %s is not existed or disabled.", service.c_str());
        return true;
    }
    bool recorded = PackageProperties()->IsPropertyExist(property);
    if (unreachable == ERROR_SUCCESS && !recorded &&
        !RecordOriginalState(manager, property, L"StartService_StatusConcerned"))
        unreachable = ERROR_NOT_READY;
    if (unreachable != ERROR_SUCCESS)
    {
        ServiceManagerUnreachable(property, service, unreachable);
        return StartFailed(service);
    }
    // A test fault in the middle comes once the state is known, whatever is left to do.
    if (CActionGlobalResource::IsFaultInjected(L"middle"))
        return false;
    // A service that did not run before the package is not started.
    if ((recorded && PackageProperties()->GetPropertyInt(property) != SERVICE_RUNNING) ||
        manager.QueryStatus() == SERVICE_RUNNING)
        return !CActionGlobalResource::IsFaultInjected(L"after");
    return StartService(manager, service);
}

PACKAGE_ACTION StartService_StatusIgnored()
{
    ADVLOG_TRACE_FUNCTION(L"StartService_StatusIgnored");
    CActionParameters parameters;
    if (!parameters.Has({L"serviceName"}))
        return MissingServiceName(L"StartService_StatusIgnored", parameters);
    std::wstring service = parameters.Get(L"serviceName");
    CStatusReporter::ReportProgressWithFormat(L"info.StartService", service.c_str());
    CServiceManager manager(nullptr, service);
    if (CActionGlobalResource::IsFaultInjected(L"middle"))
        return false;
    return StartService(manager, service);
}

PACKAGE_ACTION StopService_StatusConcerned()
{
    ADVLOG_TRACE_FUNCTION(L"StopService_StatusConcerned");
    CActionParameters parameters;
    if (!parameters.Has({L"serviceName"}))
        return MissingServiceName(L"StopService_StatusConcerned", parameters);
    std::wstring service = parameters.Get(L"serviceName");
    CStatusReporter::ReportProgressWithFormat(L"info.StopService", service.c_str());
    CServiceManager manager(nullptr, service);
    std::wstring property = OriginalStateProperty(service);
    DWORD unreachable = ERROR_SUCCESS;
    if (AbsentOrDisabled(manager, unreachable))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Service %s is disabled or not exist.", service.c_str());
        return true;
    }
    bool recorded = PackageProperties()->IsPropertyExist(property);
    if (recorded)
        ADVLOG(ADVLOG_SEVERITY_INFO, L"original status for service [%s] is: %d", service.c_str(),
               PackageProperties()->GetPropertyInt(property));
    else if (unreachable == ERROR_SUCCESS &&
             !RecordOriginalState(manager, property, L"StopService_StatusConcerned"))
        unreachable = ERROR_NOT_READY;
    if (unreachable != ERROR_SUCCESS)
    {
        ServiceManagerUnreachable(property, service, unreachable);
        return StopFailed(service);
    }
    if (CActionGlobalResource::IsFaultInjected(L"middle"))
        return false;
    // A service that ran before the package is left running by a later stop (a rollback's).
    if ((recorded && PackageProperties()->GetPropertyInt(property) != SERVICE_STOPPED) ||
        manager.QueryStatus() == SERVICE_STOPPED)
        return !CActionGlobalResource::IsFaultInjected(L"after");
    return StopService(manager, parameters, service);
}

PACKAGE_ACTION StopService_StatusIgnored()
{
    ADVLOG_TRACE_FUNCTION(L"StopService_StatusIgnored");
    CActionParameters parameters;
    if (!parameters.Has({L"serviceName"}))
        return MissingServiceName(L"StopService_StatusIgnored", parameters);
    std::wstring service = parameters.Get(L"serviceName");
    CStatusReporter::ReportProgressWithFormat(L"info.StopService", service.c_str());
    CServiceManager manager(nullptr, service);
    if (CActionGlobalResource::IsFaultInjected(L"middle"))
        return false;
    return StopService(manager, parameters, service);
}
