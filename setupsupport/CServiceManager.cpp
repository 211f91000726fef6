#include "setupsupport/CServiceManager.h"

#include "framework/CAdvancedLog.h"
#include "winport/WinBase.h"
#include "winport/WinReg.h"
#include "winport/WinSvc.h"

#include <algorithm>
#include <cwctype>

namespace
{

// Closes a service control handle at the end of a scope.
class CScHandle
{
public:
    explicit CScHandle(SC_HANDLE handle) : m_hHandle(handle) {}
    ~CScHandle()
    {
        if (m_hHandle != nullptr)
            CloseServiceHandle(m_hHandle);
    }
    CScHandle(const CScHandle&) = delete;
    CScHandle& operator=(const CScHandle&) = delete;
    SC_HANDLE Get() const { return m_hHandle; }

private:
    SC_HANDLE m_hHandle;
};

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

// The names of every dependent of the service, in any state; false (logged) when they cannot
// be read.
bool EnumDependents(SC_HANDLE service, const std::wstring& serviceName,
                    std::vector<std::wstring>& names)
{
    CMemoryBuffer buffer;
    DWORD needed = 0;
    DWORD count = 0;
    for (;;)
    {
        if (buffer.GetBuffer() == nullptr)
            return false;
        if (EnumDependentServicesW(service, SERVICE_STATE_ALL,
                                   reinterpret_cast<LPENUM_SERVICE_STATUSW>(buffer.GetBuffer()),
                                   buffer.GetSize(), &needed, &count))
            break;
        DWORD error = GetLastError();
        if (error != ERROR_MORE_DATA || needed <= buffer.GetSize() || !buffer.Reallocate(needed))
        {
            ADVLOG(ADVLOG_SEVERITY_DEBUG,
                   L"EnumDependentServices for service %s fail, error code is %d",
                   serviceName.c_str(), static_cast<int>(error));
            return false;
        }
    }
    const auto* items = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.GetBuffer());
    for (DWORD i = 0; i < count; ++i)
        names.emplace_back(items[i].lpServiceName);
    return true;
}

bool OnChain(const std::vector<std::wstring>& chain, const std::wstring& name)
{
    return std::find(chain.begin(), chain.end(), Lower(name)) != chain.end();
}

} // namespace

CServiceManager::CServiceManager(const wchar_t* machineName, const std::wstring& serviceName)
    : m_strMachineName(machineName != nullptr ? machineName : L""), m_strServiceName(serviceName)
{
}

void CServiceManager::ForEachDependent(SC_HANDLE__* service, std::vector<std::wstring>& chain,
                                       const std::function<void(CServiceManager&)>& work)
{
    chain.push_back(Lower(m_strServiceName));
    std::vector<std::wstring> dependents;
    EnumDependents(service, m_strServiceName, dependents);
    for (const std::wstring& name : dependents)
    {
        if (OnChain(chain, name))
            continue;
        CServiceManager dependent(Machine(), name);
        work(dependent);
    }
    chain.pop_back();
}

const wchar_t* CServiceManager::Machine() const
{
    return m_strMachineName.empty() ? nullptr : m_strMachineName.c_str();
}

SC_HANDLE CServiceManager::OpenManagerForChange() const
{
    SC_HANDLE manager = OpenSCManagerW(Machine(), nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"OpenSCManager for server %s fail, code: %d",
               m_strMachineName.c_str(), static_cast<int>(GetLastError()));
    return manager;
}

bool CServiceManager::Start(unsigned timeoutMs, bool withDependents, unsigned long& finalState)
{
    std::vector<std::wstring> chain;
    return Start(timeoutMs, withDependents, finalState, chain);
}

bool CServiceManager::Start(unsigned timeoutMs, bool withDependents, unsigned long& finalState,
                            std::vector<std::wstring>& chain)
{
    finalState = 0;
    CScHandle manager(OpenManagerForChange());
    if (manager.Get() == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"service %s fail to be start", m_strServiceName.c_str());
        return false;
    }
    DWORD access = SERVICE_QUERY_STATUS | SERVICE_START;
    if (withDependents)
        access |= SERVICE_ENUMERATE_DEPENDENTS;
    CScHandle service(OpenServiceW(manager.Get(), m_strServiceName.c_str(), access));
    if (service.Get() == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"OpenService for server %s service: %s fail, code: %d",
               m_strMachineName.c_str(), m_strServiceName.c_str(),
               static_cast<int>(GetLastError()));
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"service %s fail to be start", m_strServiceName.c_str());
        return false;
    }

    if (withDependents)
        ForEachDependent(service.Get(), chain,
                         [&](CServiceManager& dependent)
                         {
                             unsigned long state = 0;
                             dependent.Start(timeoutMs, true, state, chain);
                         });

    if (!StartServiceW(service.Get(), 0, nullptr))
    {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DISABLED)
            ADVLOG(ADVLOG_SEVERITY_DEBUG, L"service %s is disabled", m_strServiceName.c_str());
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"StartService fail, error code is %d",
               static_cast<int>(error));
    }

    DWORD begin = GetTickCount();
    for (;;)
    {
        SERVICE_STATUS status = {};
        finalState = QueryServiceStatus(service.Get(), &status) ? status.dwCurrentState : 0;
        if (finalState == SERVICE_RUNNING || GetTickCount() - begin > timeoutMs)
            break;
        Sleep(m_TimeInterval);
    }
    if (finalState != SERVICE_RUNNING)
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"service %s fail to be start", m_strServiceName.c_str());
        return false;
    }
    return true;
}

bool CServiceManager::Stop(unsigned timeoutMs, bool withDependents, unsigned long& finalState)
{
    std::vector<std::wstring> chain;
    return Stop(timeoutMs, withDependents, finalState, chain);
}

bool CServiceManager::Stop(unsigned timeoutMs, bool withDependents, unsigned long& finalState,
                           std::vector<std::wstring>& chain)
{
    finalState = 0;
    CScHandle manager(OpenManagerForChange());
    if (manager.Get() == nullptr)
    {
        return false;
    }
    DWORD access = SERVICE_QUERY_STATUS | SERVICE_STOP;
    if (withDependents)
        access |= SERVICE_ENUMERATE_DEPENDENTS;
    CScHandle service(OpenServiceW(manager.Get(), m_strServiceName.c_str(), access));
    if (service.Get() == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"OpenService for server %s service: %s fail, code: %d",
               m_strMachineName.c_str(), m_strServiceName.c_str(),
               static_cast<int>(GetLastError()));
        return false;
    }

    if (withDependents)
        ForEachDependent(service.Get(), chain,
                         [&](CServiceManager& dependent)
                         {
                             unsigned long state = 0;
                             dependent.Stop(timeoutMs, true, state, chain);
                         });

    SERVICE_STATUS status = {};
    if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status))
    {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE)
            ADVLOG(ADVLOG_SEVERITY_DEBUG,
                   L"service name is %s, ControlService fail, error code is %d",
                   m_strServiceName.c_str(), static_cast<int>(error));
    }

    DWORD begin = GetTickCount();
    for (;;)
    {
        finalState = QueryServiceStatus(service.Get(), &status) ? status.dwCurrentState : 0;
        if (finalState == SERVICE_STOPPED || GetTickCount() - begin > timeoutMs)
            break;
        Sleep(m_TimeInterval);
    }
    return finalState == SERVICE_STOPPED;
}

bool CServiceManager::Restart(unsigned timeoutMs, bool withDependents, unsigned long& finalState)
{
    if (!Stop(timeoutMs, withDependents, finalState))
        return false;
    if (finalState != SERVICE_RUNNING)
        return Start(timeoutMs, withDependents, finalState);
    return true;
}

DWORD CServiceManager::QueryStatus()
{
    CScHandle manager(OpenSCManagerW(Machine(), nullptr, SC_MANAGER_CONNECT));
    if (manager.Get() == nullptr)
        return 0;
    CScHandle service(OpenServiceW(manager.Get(), m_strServiceName.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (service.Get() == nullptr || !QueryServiceStatus(service.Get(), &status))
        return 0;
    return status.dwCurrentState;
}

bool CServiceManager::IsExist()
{
    return CheckExistence() == ERROR_SUCCESS;
}

DWORD CServiceManager::CheckExistence()
{
    CScHandle manager(OpenSCManagerW(Machine(), nullptr, SC_MANAGER_CONNECT));
    if (manager.Get() == nullptr)
    {
        DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_NOT_READY;
    }
    CScHandle service(OpenServiceW(manager.Get(), m_strServiceName.c_str(), SERVICE_QUERY_STATUS));
    if (service.Get() != nullptr)
        return ERROR_SUCCESS;
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_NOT_READY;
}

bool CServiceManager::IsDisabled()
{
    CScHandle manager(OpenSCManagerW(Machine(), nullptr, SC_MANAGER_CONNECT));
    if (manager.Get() == nullptr)
        return false;
    CScHandle service(OpenServiceW(manager.Get(), m_strServiceName.c_str(), SERVICE_QUERY_CONFIG));
    if (service.Get() == nullptr)
        return false;
    CMemoryBuffer buffer;
    DWORD needed = 0;
    while (buffer.GetBuffer() != nullptr &&
           !QueryServiceConfigW(service.Get(),
                                reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.GetBuffer()),
                                buffer.GetSize(), &needed))
    {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.GetSize() ||
            !buffer.Reallocate(needed))
            return false;
    }
    if (buffer.GetBuffer() == nullptr)
        return false;
    return reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.GetBuffer())->dwStartType ==
           SERVICE_DISABLED;
}

bool CServiceManager::Install(const std::wstring& displayName, const std::wstring& programPath,
                              const std::wstring& account, const std::wstring& password)
{
    m_strDisplayName = displayName;
    CScHandle manager(OpenManagerForChange());
    if (manager.Get() == nullptr)
    {
        return false;
    }
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    if (m_bInteractive)
        type |= SERVICE_INTERACTIVE_PROCESS;
    CScHandle service(CreateServiceW(
        manager.Get(), m_strServiceName.c_str(), m_strDisplayName.c_str(), SERVICE_ALL_ACCESS, type,
        m_bAutoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
        programPath.c_str(), nullptr, nullptr, nullptr, account.empty() ? nullptr : account.c_str(),
        password.empty() ? nullptr : password.c_str()));
    if (service.Get() == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CreateService for server %s service: %s fail, code: %d",
               m_strMachineName.c_str(), m_strServiceName.c_str(),
               static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

bool CServiceManager::Remove()
{
    unsigned long state = 0;
    Stop(300000, false, state);
    CScHandle manager(OpenManagerForChange());
    if (manager.Get() == nullptr)
    {
        return false;
    }
    CScHandle service(OpenServiceW(manager.Get(), m_strServiceName.c_str(), DELETE));
    if (service.Get() == nullptr || !DeleteService(service.Get()))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"DeleteService for server %s service: %s fail, code: %d",
               m_strMachineName.c_str(), m_strServiceName.c_str(),
               static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}
