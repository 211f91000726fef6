// Start, stop, install and remove one Windows service of this or another machine, waiting for
// the state each call asks for.
#pragma once

#include "winport/WinTypes.h"

#include <functional>
#include <string>
#include <vector>

class CServiceManager
{
public:
    // A null machine name is this machine.
    CServiceManager(const wchar_t* machineName, const std::wstring& serviceName);

    // Starts the service (its dependents first when asked) and waits up to timeoutMs for it to
    // run; finalState is the state it had when the wait ended.
    bool Start(unsigned timeoutMs, bool withDependents, unsigned long& finalState);
    // Stops the service (its dependents first when asked) and waits up to timeoutMs.
    bool Stop(unsigned timeoutMs, bool withDependents, unsigned long& finalState);
    bool Restart(unsigned timeoutMs, bool withDependents, unsigned long& finalState);
    // The current state (SERVICE_STOPPED ... SERVICE_PAUSED); 0 when it cannot be read.
    DWORD QueryStatus();
    bool IsExist();
    // ERROR_SUCCESS when the service is there, ERROR_SERVICE_DOES_NOT_EXIST when the service
    // manager says it is not, else the error that kept the manager from being asked.
    DWORD CheckExistence();
    bool IsDisabled();
    bool Install(const std::wstring& displayName, const std::wstring& programPath,
                 const std::wstring& account, const std::wstring& password);
    // Stops the service and marks it for deletion.
    bool Remove();

    bool m_bInteractive = false;
    bool m_bAutoStart = false;
    std::wstring m_strMachineName;
    std::wstring m_strDisplayName;
    std::wstring m_strServiceName;
    DWORD m_TimeInterval = 1000; // poll interval of the waits, ms

private:
    // chain holds the services whose dependents are being handled, so that a dependency loop
    // ends instead of recursing forever.
    bool Start(unsigned timeoutMs, bool withDependents, unsigned long& finalState,
               std::vector<std::wstring>& chain);
    bool Stop(unsigned timeoutMs, bool withDependents, unsigned long& finalState,
              std::vector<std::wstring>& chain);
    // Runs work on each dependent of the service that is not being handled up the chain.
    void ForEachDependent(struct SC_HANDLE__* service, std::vector<std::wstring>& chain,
                          const std::function<void(CServiceManager&)>& work);
    const wchar_t* Machine() const;
    // The service manager of the machine opened for changes; the failure is logged.
    struct SC_HANDLE__* OpenManagerForChange() const;
};
