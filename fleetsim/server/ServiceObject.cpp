// The service control manager: manager and service handles, the runtime state of each service
// and the service requests. The configuration lives in the registry's Services key; whether a
// service runs is known from its process, which the server started and hears end. The
// processes of running services are written to runtime/services, so that a server that
// follows one that was killed adopts those still alive and calls the others stopped.
#include "fleetsim/server/ServiceObject.h"

#include "fleetsim/server/Handlers.h"
#include "fleetsim/server/ProcessObject.h"
#include "fleetsim/store/MachineCreation.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"
#include "winport/posix/PosixSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace machine
{
using namespace machine::protocol;

namespace
{

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";
constexpr int64_t kConnectTimeoutMs = 30000; // a program that never becomes a service is ended

// Rights a caller that is no administrator may have, as Users have on Windows.
constexpr uint32_t kManagerUserRights =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr uint32_t kServiceUserRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                        SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                        SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

int64_t SteadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::wstring Wide(const std::string& utf8)
{
    return winport::FromUtf8(utf8);
}

// NUL-ended items (empty ones dropped), and back.
std::vector<std::wstring> SplitItems(const std::string& utf8)
{
    std::vector<std::wstring> items;
    for (const std::string& item : protocol::SplitNulItems(utf8))
    {
        if (!item.empty())
            items.push_back(Wide(item));
    }
    return items;
}

std::string JoinItems(const std::vector<std::wstring>& items)
{
    std::string joined;
    for (const std::wstring& item : items)
    {
        joined += winport::ToUtf8(item);
        joined.push_back('\0');
    }
    return joined;
}

// The generic rights of a mask as the specific rights of managers or services.
uint32_t MapGeneric(uint32_t access, bool service)
{
    uint32_t mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ)
        mapped |=
            READ_CONTROL | (service ? SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                          SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS
                                    : SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS);
    if (access & GENERIC_WRITE)
        mapped |=
            READ_CONTROL | (service ? SERVICE_CHANGE_CONFIG
                                    : SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG);
    if (access & GENERIC_EXECUTE)
        mapped |= READ_CONTROL | (service ? SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                                SERVICE_USER_DEFINED_CONTROL
                                          : SC_MANAGER_CONNECT | SC_MANAGER_LOCK);
    if (access & GENERIC_ALL)
        mapped |= service ? SERVICE_ALL_ACCESS : SC_MANAGER_ALL_ACCESS;
    return mapped;
}

// The rights a handle gets: what was asked (MAXIMUM_ALLOWED: all the caller may have), or
// ERROR_ACCESS_DENIED when the caller may not have all of it.
DWORD GrantRights(const SCallerIdentity& caller, uint32_t access, bool service, uint32_t& granted)
{
    uint32_t all = service ? SERVICE_ALL_ACCESS : SC_MANAGER_ALL_ACCESS;
    uint32_t allowed = caller.administrator ? all
                       : service            ? kServiceUserRights
                                            : kManagerUserRights;
    uint32_t wanted = MapGeneric(access, service) & ~(MAXIMUM_ALLOWED | SYNCHRONIZE);
    if ((wanted & ~allowed) != 0)
        return ERROR_ACCESS_DENIED;
    granted = wanted | ((access & MAXIMUM_ALLOWED) != 0 ? allowed : 0);
    if (!service)
        granted |= SC_MANAGER_CONNECT;
    return ERROR_SUCCESS;
}

// A service name: not empty, at most 256 characters, no slashes.
bool IsValidServiceName(const std::wstring& name)
{
    return !name.empty() && name.size() <= 256 && name.find_first_of(L"/\\") == std::wstring::npos;
}

bool IsValidType(uint32_t type)
{
    uint32_t base = type & ~SERVICE_INTERACTIVE_PROCESS;
    if (base == SERVICE_KERNEL_DRIVER || base == SERVICE_FILE_SYSTEM_DRIVER)
        return (type & SERVICE_INTERACTIVE_PROCESS) == 0;
    return base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
}

bool IsDriver(uint32_t type)
{
    return (type & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) != 0;
}

// Boot and system start are for drivers only.
bool IsValidStart(uint32_t start, uint32_t type)
{
    if (start > SERVICE_DISABLED)
        return false;
    return IsDriver(type) || start >= SERVICE_AUTO_START;
}

// The start time of a Linux process (field 22 of /proc/PID/stat), 0 when it has ended (a zombie
// has): with its id it names one process, whose id may be reused later.
uint64_t ProcessStartTime(pid_t pid)
{
    std::string stat;
    if (!winport::posix::ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", stat))
        return 0;
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' ||
        stat[close + 2] == 'X')
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    // After the command: state is field 3, start time field 22.
    for (int index = 3; index <= 22 && fields >> field; ++index)
    {
        if (index == 22)
            return strtoull(field.c_str(), nullptr, 10);
    }
    return 0;
}

// ---- The configuration in the registry ---------------------------------------------------------

struct SConfig
{
    std::wstring name; // as the registry spells it
    uint32_t type = 0, start = 0, errorControl = 0;
    std::wstring imagePath, group, startName, displayName;
    std::vector<std::wstring> dependencies;
    bool deleteFlag = false;
};

class CServiceStore
{
public:
    explicit CServiceStore(CRegistryStore& store) : m_Store(store) {}

    // ERROR_SERVICE_DOES_NOT_EXIST when the name is no service (a key without Type is none).
    // A name from Names() is spelled as stored already.
    DWORD Read(const std::wstring& name, SConfig& config, bool spelled = false)
    {
        int64_t key;
        if (!IsValidServiceName(name) || m_Store.OpenKey(kKeyLocalMachine, Path(name), key) != 0)
            return ERROR_SERVICE_DOES_NOT_EXIST;
        if (!Dword(key, L"Type", config.type))
            return ERROR_SERVICE_DOES_NOT_EXIST;
        config.name = spelled ? name : Spelling(name);
        Dword(key, L"Start", config.start);
        Dword(key, L"ErrorControl", config.errorControl);
        String(key, L"ImagePath", config.imagePath);
        String(key, L"Group", config.group);
        String(key, L"ObjectName", config.startName);
        if (!String(key, L"DisplayName", config.displayName) || config.displayName.empty())
            config.displayName = config.name;
        std::wstring dependencies;
        String(key, L"DependOnService", dependencies);
        config.dependencies.clear();
        for (size_t pos = 0; pos < dependencies.size();)
        {
            std::wstring item = dependencies.c_str() + pos;
            pos += item.size() + 1;
            if (!item.empty())
                config.dependencies.push_back(item);
        }
        uint32_t flag = 0;
        config.deleteFlag = Dword(key, L"DeleteFlag", flag) && flag != 0;
        return ERROR_SUCCESS;
    }

    // Writes every value of a configuration (the key is made when missing).
    DWORD Write(const SConfig& config)
    {
        int64_t key;
        bool created = false;
        DWORD rc = m_Store.CreateKey(kKeyLocalMachine, Path(config.name), key, created);
        auto check = [&rc](DWORD result)
        {
            if (rc == ERROR_SUCCESS)
                rc = result;
        };
        check(SetDword(key, L"Type", config.type));
        check(SetDword(key, L"Start", config.start));
        check(SetDword(key, L"ErrorControl", config.errorControl));
        check(SetString(key, L"ImagePath", config.imagePath, REG_EXPAND_SZ));
        check(SetString(key, L"DisplayName", config.displayName, REG_SZ));
        check(SetString(key, L"ObjectName", config.startName, REG_SZ));
        if (!config.group.empty())
            check(SetString(key, L"Group", config.group, REG_SZ));
        else
            m_Store.DeleteValue(key, L"Group");
        if (!config.dependencies.empty())
        {
            std::wstring multi;
            for (const std::wstring& item : config.dependencies)
                multi += item + L'\0';
            check(SetString(key, L"DependOnService", multi, REG_MULTI_SZ));
        }
        else
            m_Store.DeleteValue(key, L"DependOnService");
        return rc;
    }

    DWORD MarkForDelete(const std::wstring& name)
    {
        int64_t key;
        DWORD rc = m_Store.OpenKey(kKeyLocalMachine, Path(name), key);
        return rc == ERROR_SUCCESS ? SetDword(key, L"DeleteFlag", 1) : rc;
    }

    // Removes the service's key with everything below it.
    DWORD Remove(const std::wstring& name)
    {
        int64_t services;
        DWORD rc = m_Store.OpenKey(kKeyLocalMachine, kServicesKey, services);
        return rc == ERROR_SUCCESS ? RemoveTree(services, name) : rc;
    }

    // The names of the Services key's sub-keys, in name order.
    std::vector<std::wstring> Names()
    {
        std::vector<std::wstring> names;
        int64_t services;
        if (m_Store.OpenKey(kKeyLocalMachine, kServicesKey, services) != ERROR_SUCCESS)
            return names;
        std::wstring name;
        for (DWORD i = 0; m_Store.EnumKey(services, i, name) == ERROR_SUCCESS; ++i)
            names.push_back(name);
        return names;
    }

    // Whether another service than "except" has this name or display name.
    bool NameTaken(const std::wstring& displayName, const std::wstring& except)
    {
        for (const std::wstring& name : Names())
        {
            SConfig other;
            if (winport::fleet::NamesEqual(name, except) ||
                Read(name, other, true) != ERROR_SUCCESS)
                continue;
            if (winport::fleet::NamesEqual(other.name, displayName) ||
                winport::fleet::NamesEqual(other.displayName, displayName))
                return true;
        }
        return false;
    }

private:
    static std::wstring Path(const std::wstring& name)
    {
        return std::wstring(kServicesKey) + L"\\" + name;
    }
    std::wstring Spelling(const std::wstring& name)
    {
        for (const std::wstring& stored : Names())
        {
            if (winport::fleet::NamesEqual(stored, name))
                return stored;
        }
        return name;
    }
    bool Dword(int64_t key, const wchar_t* name, uint32_t& value)
    {
        DWORD type;
        std::string data;
        if (m_Store.QueryValue(key, name, type, data) != ERROR_SUCCESS || type != REG_DWORD ||
            data.size() != 4)
            return false;
        memcpy(&value, data.data(), 4);
        return true;
    }
    bool String(int64_t key, const wchar_t* name, std::wstring& value)
    {
        DWORD type;
        std::string data;
        if (m_Store.QueryValue(key, name, type, data) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ))
            return false;
        value = winport::fleet::FromStoredString(data);
        return true;
    }
    DWORD SetDword(int64_t key, const wchar_t* name, uint32_t value)
    {
        return m_Store.SetValue(key, name, REG_DWORD,
                                std::string(reinterpret_cast<const char*>(&value), 4));
    }
    DWORD SetString(int64_t key, const wchar_t* name, const std::wstring& value, DWORD type)
    {
        return m_Store.SetValue(key, name, type, winport::fleet::ToStoredString(value));
    }
    DWORD RemoveTree(int64_t parent, const std::wstring& path)
    {
        int64_t key;
        DWORD rc = m_Store.OpenKey(parent, path, key);
        if (rc != ERROR_SUCCESS)
            return rc;
        std::wstring child;
        while (m_Store.EnumKey(key, 0, child) == ERROR_SUCCESS)
        {
            rc = RemoveTree(key, child);
            if (rc != ERROR_SUCCESS)
                return rc;
        }
        return m_Store.DeleteKey(parent, path);
    }

    CRegistryStore& m_Store;
};

// ---- Runtime state ------------------------------------------------------------------------------

// What the manager knows of a service beyond its configuration: its last status and its
// process. It is also the object the service's dispatcher waits on, signalled while a control
// waits for it or once the service reported itself stopped.
class CService : public CObject
{
public:
    static const SObjectOps s_Ops;
    explicit CService(std::wstring name) : CObject(s_Ops), m_Name(std::move(name)) {}

    std::wstring m_Name;
    uint32_t m_Type = SERVICE_WIN32_OWN_PROCESS;
    uint32_t m_State = SERVICE_STOPPED;
    uint32_t m_Accepted = 0;
    uint32_t m_Win32ExitCode = 0;
    uint32_t m_SpecificExitCode = 0;
    uint32_t m_CheckPoint = 0;
    uint32_t m_WaitHint = 0;
    std::shared_ptr<CProcessObject> m_Process; // while its program runs
    bool m_bAdopted = false;                   // its program was started by an earlier server
    bool m_bConnected = false;                 // its program's dispatcher said it is the service
    bool m_bReportedStopped = false;
    bool m_bTimedOut = false;
    int64_t m_StartedAt = 0;
    std::vector<std::wstring> m_Arguments;
    std::deque<uint32_t> m_Controls;
    size_t m_Handles = 0;
    bool m_bDeletePending = false;

    bool Active() const { return m_Process != nullptr; }
};

bool ControlWaiting(const CObject& object, const SWaiter&)
{
    const auto& service = static_cast<const CService&>(object);
    return !service.m_Controls.empty() || service.m_bReportedStopped || !service.Active();
}

const SObjectOps CService::s_Ops = {"ServiceControl", ControlWaiting, nullptr, nullptr, nullptr};

class CManagerHandle : public CObject
{
public:
    static const SObjectOps s_Ops;
    CManagerHandle() : CObject(s_Ops) {}
};
const SObjectOps CManagerHandle::s_Ops = {"ServiceManager", nullptr, nullptr, nullptr, nullptr};

class CServiceTable;

// A handle to a service: while one is open, a service marked for delete stays.
class CServiceHandle : public CObject
{
public:
    static const SObjectOps s_Ops;
    CServiceHandle(CServiceTable& table, std::shared_ptr<CService> service);
    ~CServiceHandle() override;
    CServiceTable& m_Table;
    std::shared_ptr<CService> m_Service;
};
const SObjectOps CServiceHandle::s_Ops = {"Service", nullptr, nullptr, nullptr, nullptr};

class CServiceTable
{
public:
    explicit CServiceTable(CMachineServer& server) : m_Server(server) {}

    CServiceStore Store() { return CServiceStore(m_Server.Store()); }
    CMachineServer& Server() { return m_Server; }

    // The runtime record of a service (made on first use).
    std::shared_ptr<CService> Record(const SConfig& config)
    {
        std::wstring folded = winport::fleet::FoldName(config.name);
        std::shared_ptr<CService>& service = m_Services[folded];
        if (!service)
            service = std::make_shared<CService>(config.name);
        service->m_Type = config.type;
        service->m_bDeletePending = config.deleteFlag;
        return service;
    }
    std::shared_ptr<CService> Known(const std::wstring& name) const
    {
        auto it = m_Services.find(winport::fleet::FoldName(name));
        return it == m_Services.end() ? nullptr : it->second;
    }
    std::shared_ptr<CService> ByProcess(pid_t pid) const
    {
        for (const auto& [folded, service] : m_Services)
        {
            if (service->Active() && service->m_Process->Pid() == pid)
                return service;
        }
        return nullptr;
    }

    void Load();
    DWORD Start(CService& service, const SConfig& config);
    void Exited(const std::shared_ptr<CService>& service, CProcessObject& process);
    void SetStatus(CService& service, const SScSetStatusRequest& status);
    // A handle was closed, or the program ended: a service marked for delete goes when both
    // are over.
    void Settle(const std::shared_ptr<CService>& service);
    void ExpireStarts();
    void EndAll()
    {
        for (const auto& [folded, service] : m_Services)
        {
            if (service->Active())
                service->m_Process->Terminate(ERROR_PROCESS_ABORTED);
        }
    }
    void Save();
    size_t Running() const
    {
        size_t count = 0;
        for (const auto& [folded, service] : m_Services)
            count += service->Active() ? 1 : 0;
        return count;
    }

    template <class TReply> void Status(const CService& service, TReply& out) const
    {
        out.type = service.m_Type;
        out.state = service.m_State;
        bool running = service.m_State != SERVICE_STOPPED;
        out.accepted = running ? service.m_Accepted : 0;
        out.win32ExitCode = service.m_Win32ExitCode;
        out.specificExitCode = service.m_SpecificExitCode;
        out.checkPoint = running ? service.m_CheckPoint : 0;
        out.waitHint = running ? service.m_WaitHint : 0;
        out.processId = service.Active() ? static_cast<uint32_t>(service.m_Process->Pid()) : 0;
        out.flags = 0;
    }

private:
    DWORD FindProgram(const std::wstring& imagePath, std::string& program,
                      std::vector<std::string>& arguments);
    bool MapProgram(const std::wstring& windowsPath, std::string& hostPath);
    std::wstring Expand(const std::wstring& text);
    void Watch(const std::shared_ptr<CService>& service);

    CMachineServer& m_Server;
    std::map<std::wstring, std::shared_ptr<CService>> m_Services; // by folded name
};

CServiceHandle::CServiceHandle(CServiceTable& table, std::shared_ptr<CService> service)
    : CObject(s_Ops), m_Table(table), m_Service(std::move(service))
{
    ++m_Service->m_Handles;
}

CServiceHandle::~CServiceHandle()
{
    --m_Service->m_Handles;
    m_Table.Settle(m_Service);
}

// The table of the one server of this process, never destroyed: processes and handles it holds
// may outlive the server's own members at exit.
CServiceTable& Table(CMachineServer& server)
{
    static auto* s_pTables = new std::map<CMachineServer*, std::unique_ptr<CServiceTable>>();
    std::unique_ptr<CServiceTable>& table = (*s_pTables)[&server];
    if (!table)
    {
        table = std::make_unique<CServiceTable>(server);
        table->Load();
    }
    table->ExpireStarts();
    return *table;
}

std::string RuntimeFile(CMachineServer& server)
{
    return server.Folder() + "/runtime/services";
}

void CServiceTable::Load()
{
    // Lines of "pid start-time state accepted name" written by an earlier server.
    std::ifstream in(RuntimeFile(m_Server));
    std::string line;
    CServiceStore store = Store();
    while (std::getline(in, line))
    {
        std::istringstream fields(line);
        long pid = 0;
        uint64_t startTime = 0;
        uint32_t state = 0, accepted = 0;
        if (!(fields >> pid >> startTime >> state >> accepted))
            continue;
        std::string name;
        std::getline(fields >> std::ws, name);
        SConfig config;
        if (pid <= 0 || startTime == 0 || store.Read(Wide(name), config) != ERROR_SUCCESS)
            continue;
        // The same process still runs (its id was not given to another one meanwhile).
        if (ProcessStartTime(static_cast<pid_t>(pid)) != startTime)
            continue;
        std::shared_ptr<CProcessObject> process =
            m_Server.Processes().Find(static_cast<pid_t>(pid));
        if (!process || !process->Running())
            continue;
        std::shared_ptr<CService> service = Record(config);
        service->m_Process = std::move(process);
        service->m_bAdopted = true;
        service->m_State =
            state >= SERVICE_START_PENDING && state <= SERVICE_PAUSED ? state : SERVICE_RUNNING;
        service->m_Accepted = accepted;
        service->m_StartedAt = SteadyMilliseconds();
        Watch(service);
    }
    // Services marked for delete that nothing holds any more go now.
    for (const std::wstring& name : store.Names())
    {
        SConfig config;
        if (store.Read(name, config, true) == ERROR_SUCCESS && config.deleteFlag &&
            !(Known(name) && Known(name)->Active()))
            store.Remove(config.name);
    }
    Save();
}

void CServiceTable::Save()
{
    std::string text;
    for (const auto& [folded, service] : m_Services)
    {
        if (!service->Active())
            continue;
        pid_t pid = service->m_Process->Pid();
        text += std::to_string(pid) + " " + std::to_string(ProcessStartTime(pid)) + " " +
                std::to_string(service->m_State) + " " + std::to_string(service->m_Accepted) + " " +
                winport::ToUtf8(service->m_Name) + "\n";
    }
    // Replaced whole, so that a server killed meanwhile leaves the old or the new list.
    std::string path = RuntimeFile(m_Server);
    std::string temporary = path + ".new";
    FILE* file = fopen(temporary.c_str(), "we");
    if (file == nullptr)
        return;
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    written = fclose(file) == 0 && written;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0)
    {
        fprintf(stderr, "machined: cannot record the running services in %s\n", path.c_str());
        unlink(temporary.c_str());
    }
}

void CServiceTable::Watch(const std::shared_ptr<CService>& service)
{
    std::weak_ptr<CService> weak = service;
    service->m_Process->OnExit(
        [this, weak](CProcessObject& process)
        {
            if (std::shared_ptr<CService> ended = weak.lock())
                Exited(ended, process);
        });
}

void CServiceTable::Exited(const std::shared_ptr<CService>& service, CProcessObject& process)
{
    if (service->m_Process.get() != &process)
        return;
    // The exit code of a program that did not say how it stopped: its own, 1053 when it never
    // became a service in time, 1067 when an earlier server started it (its code is lost).
    if (service->m_bTimedOut)
    {
        service->m_Win32ExitCode = ERROR_SERVICE_REQUEST_TIMEOUT;
        service->m_SpecificExitCode = 0;
    }
    else if (!service->m_bReportedStopped)
    {
        service->m_Win32ExitCode = service->m_bAdopted ? ERROR_PROCESS_ABORTED : process.ExitCode();
        service->m_SpecificExitCode = 0;
    }
    service->m_State = SERVICE_STOPPED;
    service->m_Accepted = 0;
    service->m_CheckPoint = 0;
    service->m_WaitHint = 0;
    service->m_Process.reset();
    service->m_bConnected = false;
    service->m_Controls.clear();
    Save();
    m_Server.WakeWaiters();
    Settle(service);
}

void CServiceTable::Settle(const std::shared_ptr<CService>& service)
{
    if (!service->m_bDeletePending || service->m_Handles != 0 || service->Active())
        return;
    DWORD rc = Store().Remove(service->m_Name);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        fprintf(stderr, "machined: cannot remove the service %s: status %u\n",
                winport::ToUtf8(service->m_Name).c_str(), static_cast<unsigned>(rc));
    auto it = m_Services.find(winport::fleet::FoldName(service->m_Name));
    if (it != m_Services.end() && it->second == service)
        m_Services.erase(it);
}

void CServiceTable::ExpireStarts()
{
    int64_t now = SteadyMilliseconds();
    for (const auto& [folded, service] : m_Services)
    {
        if (service->Active() && !service->m_bConnected && !service->m_bAdopted &&
            !service->m_bTimedOut && now - service->m_StartedAt > kConnectTimeoutMs)
        {
            service->m_bTimedOut = true;
            service->m_Process->Terminate(ERROR_SERVICE_REQUEST_TIMEOUT);
        }
    }
}

void CServiceTable::SetStatus(CService& service, const SScSetStatusRequest& status)
{
    bool changed = service.m_Accepted != status.accepted;
    service.m_Type = status.type != 0 ? status.type : service.m_Type;
    service.m_Accepted = status.accepted;
    service.m_Win32ExitCode = status.win32ExitCode;
    service.m_SpecificExitCode = status.specificExitCode;
    service.m_CheckPoint = status.checkPoint;
    service.m_WaitHint = status.waitHint;
    // Stopped is true once the program has ended; until then it is stopping.
    uint32_t state = status.state;
    if (state == SERVICE_STOPPED)
    {
        service.m_bReportedStopped = true;
        service.m_Accepted = 0;
        state = SERVICE_STOP_PENDING;
    }
    changed = changed || service.m_State != state;
    service.m_State = state;
    if (changed)
        Save();
    m_Server.WakeWaiters();
}

std::wstring CServiceTable::Expand(const std::wstring& text)
{
    // %NAME% by the machine's system environment; unknown names stay as they are.
    auto environment = BuildEnvironment(m_Server.Store(), m_Server.MachineName());
    std::wstring out;
    size_t pos = 0;
    while (pos < text.size())
    {
        size_t open = text.find(L'%', pos);
        size_t close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
        if (close == std::wstring::npos)
        {
            out += text.substr(pos);
            break;
        }
        out += text.substr(pos, open - pos);
        std::wstring name = text.substr(open + 1, close - open - 1);
        bool found = false;
        for (const auto& [variable, value] : environment)
        {
            if (!name.empty() && winport::fleet::NamesEqual(variable, name))
            {
                out += value;
                found = true;
                break;
            }
        }
        if (found)
            pos = close + 1;
        else
        {
            out += L'%';
            pos = open + 1;
        }
    }
    return out;
}

bool CServiceTable::MapProgram(const std::wstring& windowsPath, std::string& hostPath)
{
    std::wstring systemRoot =
        m_Server.ReadString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"SystemRoot")
            .c_str();
    if (systemRoot.empty())
        systemRoot = L"C:\\Windows";
    winport::fleet::SParsedPath parsed;
    if (winport::fleet::ParseWindowsPath(windowsPath, systemRoot + L"\\system32", parsed) !=
            ERROR_SUCCESS ||
        parsed.kind != winport::fleet::SParsedPath::EKind::Drive || parsed.components.empty())
        return false;
    struct stat st;
    bool linuxDrive = lstat((m_Server.Folder() + "/drive/z").c_str(), &st) == 0;
    auto place = [&](const std::vector<std::wstring>& components)
    {
        std::string host;
        if (winport::fleet::MapOnMachine(m_Server.Folder(), linuxDrive, parsed.drive, components,
                                         host) != ERROR_SUCCESS ||
            stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        hostPath = host;
        return true;
    };
    if (place(parsed.components))
        return true;
    // A program named without its extension, as CreateProcess finds it.
    std::vector<std::wstring> withExtension = parsed.components;
    if (withExtension.back().find(L'.') != std::wstring::npos)
        return false;
    withExtension.back() += L".exe";
    return place(withExtension);
}

DWORD CServiceTable::FindProgram(const std::wstring& imagePath, std::string& program,
                                 std::vector<std::string>& arguments)
{
    std::wstring line = Expand(imagePath);
    size_t first = line.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return ERROR_FILE_NOT_FOUND;
    line = line.substr(first);
    std::wstring rest;
    bool found = false;
    if (line[0] == L'"')
    {
        size_t close = line.find(L'"', 1);
        std::wstring path =
            line.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
        rest = close == std::wstring::npos ? std::wstring() : line.substr(close + 1);
        found = MapProgram(path, program);
    }
    else
    {
        // An unquoted path with blanks: the shortest leading part that names a program, as
        // Windows tries them.
        size_t end = 0;
        while (!found && end != std::wstring::npos)
        {
            end = line.find_first_of(L" \t", end + 1);
            std::wstring path = line.substr(0, end);
            if (MapProgram(path, program))
            {
                found = true;
                rest = end == std::wstring::npos ? std::wstring() : line.substr(end);
            }
        }
    }
    if (!found)
        return ERROR_FILE_NOT_FOUND;
    // The arguments by the command-line rules of the program's side.
    arguments = {program};
    int count = 0;
    std::wstring commandLine = L"x" + rest;
    LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &count);
    for (int i = 1; argv != nullptr && i < count; ++i)
        arguments.push_back(winport::ToUtf8(argv[i]));
    LocalFree(argv);
    return ERROR_SUCCESS;
}

DWORD CServiceTable::Start(CService& service, const SConfig& config)
{
    SSpawnParameters parameters;
    DWORD rc = FindProgram(config.imagePath, parameters.program, parameters.arguments);
    if (rc != ERROR_SUCCESS)
        return rc;
    // Services start in the system folder, as the local system account.
    std::string folder;
    std::wstring systemRoot =
        m_Server.ReadString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"SystemRoot")
            .c_str();
    winport::fleet::SParsedPath parsed;
    struct stat st;
    if (winport::fleet::ParseWindowsPath(
            (systemRoot.empty() ? L"C:\\Windows" : systemRoot) + L"\\system32", L"", parsed) ==
            ERROR_SUCCESS &&
        winport::fleet::MapOnMachine(m_Server.Folder(), false, parsed.drive, parsed.components,
                                     folder) == ERROR_SUCCESS &&
        stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        parameters.folder = folder;
    parameters.account = L"SYSTEM";
    std::shared_ptr<CProcessObject> process = m_Server.Processes().Spawn(parameters, rc);
    if (!process)
        return rc != ERROR_SUCCESS ? rc : ERROR_FILE_NOT_FOUND;
    service.m_Process = std::move(process);
    service.m_State = SERVICE_START_PENDING;
    service.m_Accepted = 0;
    service.m_Win32ExitCode = 0;
    service.m_SpecificExitCode = 0;
    service.m_CheckPoint = 0;
    service.m_WaitHint = 2000;
    service.m_bAdopted = false;
    service.m_bConnected = false;
    service.m_bReportedStopped = false;
    service.m_bTimedOut = false;
    service.m_StartedAt = SteadyMilliseconds();
    service.m_Controls.clear();
    Watch(std::static_pointer_cast<CService>(service.shared_from_this()));
    Save();
    return ERROR_SUCCESS;
}

// ---- Request helpers ----------------------------------------------------------------------------

DWORD GetService(SRequestContext& context, uint64_t handle, uint32_t rights,
                 std::shared_ptr<CService>& service)
{
    std::shared_ptr<CObject> object;
    DWORD rc = context.connection.process->Get(handle, CServiceHandle::s_Ops, rights, object);
    if (rc == ERROR_SUCCESS)
        service = static_cast<CServiceHandle&>(*object).m_Service;
    return rc;
}

DWORD GetManager(SRequestContext& context, uint64_t handle, uint32_t rights)
{
    std::shared_ptr<CObject> object;
    return context.connection.process->Get(handle, CManagerHandle::s_Ops, rights, object);
}

// The configuration of a service behind a handle; ERROR_SERVICE_MARKED_FOR_DELETE when
// changes are asked of one that is going.
DWORD ConfigOf(CServiceTable& table, const CService& service, SConfig& config)
{
    DWORD rc = table.Store().Read(service.m_Name, config);
    return rc == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_MARKED_FOR_DELETE : rc;
}

void AppendEntry(CServiceTable& table, const SConfig& config, SScEnumReply& out)
{
    SScEnumEntry entry;
    entry.name = winport::ToUtf8(config.name);
    entry.displayName = winport::ToUtf8(config.displayName);
    std::shared_ptr<CService> known = table.Known(config.name);
    if (known)
        table.Status(*known, entry);
    else
    {
        entry.type = config.type;
        entry.state = SERVICE_STOPPED;
    }
    CWireWriter writer;
    entry.Fields(writer);
    out.entries += writer.Bytes();
    ++out.count;
}

bool MatchesState(CServiceTable& table, const SConfig& config, uint32_t state)
{
    std::shared_ptr<CService> known = table.Known(config.name);
    bool active = known && known->m_State != SERVICE_STOPPED;
    return (state & (active ? SERVICE_ACTIVE : SERVICE_INACTIVE)) != 0;
}

} // namespace

void StartServices(CMachineServer& server)
{
    Table(server);
}

size_t RunningServices(CMachineServer& server)
{
    return Table(server).Running();
}

void EndServices(CMachineServer& server)
{
    Table(server).EndAll();
}

namespace handlers
{

void ScOpenManager(SRequestContext& context, SScOpenManagerRequest& in, SScHandleReply& out)
{
    CClientProcess& process = *context.connection.process;
    Table(context.server);
    uint32_t granted = 0;
    out.status = GrantRights(process.Identity(), in.access, false, granted);
    if (out.status == ERROR_SUCCESS)
        out.handle = process.Insert(std::make_shared<CManagerHandle>(), granted);
}

void ScCreateService(SRequestContext& context, SScCreateServiceRequest& in, SScHandleReply& out)
{
    CServiceTable& table = Table(context.server);
    out.status = GetManager(context, in.handle, SC_MANAGER_CREATE_SERVICE);
    if (out.status != ERROR_SUCCESS)
        return;
    SConfig config;
    config.name = Wide(in.name);
    config.displayName = in.displayName.empty() ? config.name : Wide(in.displayName);
    config.type = in.type;
    config.start = in.start;
    config.errorControl = in.errorControl;
    config.imagePath = Wide(in.imagePath);
    config.group = Wide(in.group);
    config.dependencies = SplitItems(in.dependencies);
    config.startName =
        in.startName.empty() && !IsDriver(in.type) ? L"LocalSystem" : Wide(in.startName);
    uint32_t granted = 0;
    if (!IsValidServiceName(config.name) || config.displayName.size() > 256)
        out.status = ERROR_INVALID_NAME;
    else if (!IsValidType(config.type) || !IsValidStart(config.start, config.type) ||
             config.errorControl > SERVICE_ERROR_CRITICAL || config.imagePath.empty())
        out.status = ERROR_INVALID_PARAMETER;
    else
        out.status = GrantRights(context.connection.process->Identity(), in.access, true, granted);
    if (out.status != ERROR_SUCCESS)
        return;
    CServiceStore store = table.Store();
    SConfig existing;
    if (store.Read(config.name, existing) == ERROR_SUCCESS)
    {
        out.status = existing.deleteFlag ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
        return;
    }
    if (store.NameTaken(config.displayName, config.name) ||
        store.NameTaken(config.name, config.name))
    {
        out.status = ERROR_DUPLICATE_SERVICE_NAME;
        return;
    }
    out.status = store.Write(config);
    if (out.status != ERROR_SUCCESS)
    {
        store.Remove(config.name); // nothing half made is left
        return;
    }
    std::shared_ptr<CService> service = table.Record(config);
    service->m_State = SERVICE_STOPPED;
    service->m_Win32ExitCode = 0;
    out.handle = context.connection.process->Insert(
        std::make_shared<CServiceHandle>(table, std::move(service)), granted);
}

void ScOpenService(SRequestContext& context, SScOpenServiceRequest& in, SScHandleReply& out)
{
    CServiceTable& table = Table(context.server);
    out.status = GetManager(context, in.handle, SC_MANAGER_CONNECT);
    if (out.status != ERROR_SUCCESS)
        return;
    std::wstring name = Wide(in.name);
    SConfig config;
    if (!IsValidServiceName(name))
        out.status = ERROR_INVALID_NAME;
    else
        out.status = table.Store().Read(name, config);
    if (out.status == ERROR_SUCCESS && config.deleteFlag)
        out.status = ERROR_SERVICE_MARKED_FOR_DELETE;
    uint32_t granted = 0;
    if (out.status == ERROR_SUCCESS)
        out.status = GrantRights(context.connection.process->Identity(), in.access, true, granted);
    if (out.status == ERROR_SUCCESS)
        out.handle = context.connection.process->Insert(
            std::make_shared<CServiceHandle>(table, table.Record(config)), granted);
}

void ScStartService(SRequestContext& context, SScStartServiceRequest& in, SStatusReply& out)
{
    CServiceTable& table = Table(context.server);
    std::shared_ptr<CService> service;
    out.status = GetService(context, in.handle, SERVICE_START, service);
    SConfig config;
    if (out.status == ERROR_SUCCESS)
        out.status = ConfigOf(table, *service, config);
    if (out.status != ERROR_SUCCESS)
        return;
    if (config.deleteFlag)
        out.status = ERROR_SERVICE_MARKED_FOR_DELETE;
    else if (service->Active())
        out.status = ERROR_SERVICE_ALREADY_RUNNING;
    else if (config.start == SERVICE_DISABLED)
        out.status = ERROR_SERVICE_DISABLED;
    else if (IsDriver(config.type))
        out.status = ERROR_NOT_SUPPORTED; // no drivers run here
    if (out.status != ERROR_SUCCESS)
        return;
    service->m_Type = config.type;
    service->m_Arguments = SplitItems(in.arguments);
    out.status = table.Start(*service, config);
}

void ScControlService(SRequestContext& context, SScControlRequest& in, SScStatusReply& out)
{
    CServiceTable& table = Table(context.server);
    uint32_t right = 0;
    uint32_t accepts = 0;
    switch (in.control)
    {
    case SERVICE_CONTROL_STOP:
        right = SERVICE_STOP;
        accepts = SERVICE_ACCEPT_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        right = SERVICE_PAUSE_CONTINUE;
        accepts = SERVICE_ACCEPT_PAUSE_CONTINUE;
        break;
    case SERVICE_CONTROL_INTERROGATE:
        right = SERVICE_INTERROGATE;
        break;
    default:
        if (in.control < 128 || in.control > 255)
        {
            out.status = ERROR_INVALID_PARAMETER;
            return;
        }
        right = SERVICE_USER_DEFINED_CONTROL;
    }
    std::shared_ptr<CService> service;
    out.status = GetService(context, in.handle, right, service);
    if (out.status != ERROR_SUCCESS)
        return;
    table.Status(*service, out);
    if (service->m_State == SERVICE_STOPPED)
    {
        out.status = ERROR_SERVICE_NOT_ACTIVE;
        return;
    }
    if (service->m_State == SERVICE_START_PENDING || service->m_State == SERVICE_STOP_PENDING)
    {
        out.status = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        return;
    }
    if (accepts != 0 && (service->m_Accepted & accepts) == 0)
    {
        out.status = ERROR_INVALID_SERVICE_CONTROL;
        return;
    }
    if (in.control == SERVICE_CONTROL_STOP)
    {
        // Services that depend on it stop first.
        CServiceStore store = table.Store();
        for (const std::wstring& name : store.Names())
        {
            SConfig other;
            std::shared_ptr<CService> known = table.Known(name);
            if (!known || known->m_State == SERVICE_STOPPED ||
                store.Read(name, other, true) != ERROR_SUCCESS)
                continue;
            for (const std::wstring& dependency : other.dependencies)
            {
                if (winport::fleet::NamesEqual(dependency, service->m_Name))
                {
                    out.status = ERROR_DEPENDENT_SERVICES_RUNNING;
                    return;
                }
            }
        }
    }
    // Interrogation is answered from what the service last reported.
    if (in.control != SERVICE_CONTROL_INTERROGATE)
    {
        service->m_Controls.push_back(in.control);
        context.server.WakeWaiters();
    }
}

void ScQueryStatus(SRequestContext& context, SScQueryStatusRequest& in, SScStatusReply& out)
{
    CServiceTable& table = Table(context.server);
    std::shared_ptr<CService> service;
    out.status = GetService(context, in.handle, SERVICE_QUERY_STATUS, service);
    if (out.status == ERROR_SUCCESS)
        table.Status(*service, out);
}

void ScQueryConfig(SRequestContext& context, SScQueryConfigRequest& in, SScConfigReply& out)
{
    CServiceTable& table = Table(context.server);
    std::shared_ptr<CService> service;
    out.status = GetService(context, in.handle, SERVICE_QUERY_CONFIG, service);
    SConfig config;
    if (out.status == ERROR_SUCCESS)
        out.status = ConfigOf(table, *service, config);
    if (out.status != ERROR_SUCCESS)
        return;
    out.type = config.type;
    out.start = config.start;
    out.errorControl = config.errorControl;
    out.imagePath = winport::ToUtf8(config.imagePath);
    out.group = winport::ToUtf8(config.group);
    out.dependencies = JoinItems(config.dependencies);
    out.startName = winport::ToUtf8(config.startName);
    out.displayName = winport::ToUtf8(config.displayName);
}

void ScChangeConfig(SRequestContext& context, SScChangeConfigRequest& in, SStatusReply& out)
{
    CServiceTable& table = Table(context.server);
    std::shared_ptr<CService> service;
    out.status = GetService(context, in.handle, SERVICE_CHANGE_CONFIG, service);
    SConfig config;
    if (out.status == ERROR_SUCCESS)
        out.status = ConfigOf(table, *service, config);
    if (out.status == ERROR_SUCCESS && config.deleteFlag)
        out.status = ERROR_SERVICE_MARKED_FOR_DELETE;
    if (out.status != ERROR_SUCCESS)
        return;
    SConfig changed = config;
    if (in.type != SERVICE_NO_CHANGE)
        changed.type = in.type;
    if (in.start != SERVICE_NO_CHANGE)
        changed.start = in.start;
    if (in.errorControl != SERVICE_NO_CHANGE)
        changed.errorControl = in.errorControl;
    if (in.strings & 1)
        changed.imagePath = Wide(in.imagePath);
    if (in.strings & 2)
        changed.group = Wide(in.group);
    if (in.strings & 4)
        changed.dependencies = SplitItems(in.dependencies);
    if (in.strings & 8)
        changed.startName = Wide(in.startName);
    if (in.strings & 16)
        changed.displayName = in.displayName.empty() ? config.name : Wide(in.displayName);
    if (!IsValidType(changed.type) || !IsValidStart(changed.start, changed.type) ||
        changed.errorControl > SERVICE_ERROR_CRITICAL || changed.imagePath.empty())
        out.status = ERROR_INVALID_PARAMETER;
    else if ((in.strings & 16) && changed.displayName.size() > 256)
        out.status = ERROR_INVALID_NAME;
    else if ((in.strings & 16) && table.Store().NameTaken(changed.displayName, config.name))
        out.status = ERROR_DUPLICATE_SERVICE_NAME;
    else
    {
        for (const std::wstring& dependency : changed.dependencies)
        {
            if (winport::fleet::NamesEqual(dependency, config.name))
                out.status = ERROR_INVALID_PARAMETER; // a service cannot depend on itself
        }
    }
    if (out.status == ERROR_SUCCESS)
        out.status = table.Store().Write(changed);
    if (out.status == ERROR_SUCCESS)
        service->m_Type = changed.type;
}

void ScEnumDependents(SRequestContext& context, SScEnumDependentsRequest& in, SScEnumReply& out)
{
    CServiceTable& table = Table(context.server);
    std::shared_ptr<CService> service;
    out.status = GetService(context, in.handle, SERVICE_ENUMERATE_DEPENDENTS, service);
    if (out.status != ERROR_SUCCESS)
        return;
    if (in.state == 0 || (in.state & ~SERVICE_STATE_ALL) != 0)
    {
        out.status = ERROR_INVALID_PARAMETER;
        return;
    }
    CServiceStore store = table.Store();
    std::vector<SConfig> all;
    for (const std::wstring& name : store.Names())
    {
        SConfig config;
        if (store.Read(name, config, true) == ERROR_SUCCESS)
            all.push_back(std::move(config));
    }
    // Those that depend on it, and on them, in the order they stop: a dependent before what it
    // depends on.
    std::set<std::wstring> seen;
    std::vector<const SConfig*> order;
    std::function<void(const std::wstring&)> visit = [&](const std::wstring& of)
    {
        for (const SConfig& config : all)
        {
            bool depends = false;
            for (const std::wstring& dependency : config.dependencies)
                depends = depends || winport::fleet::NamesEqual(dependency, of);
            if (!depends || !seen.insert(winport::fleet::FoldName(config.name)).second)
                continue;
            visit(config.name);
            order.push_back(&config);
        }
    };
    seen.insert(winport::fleet::FoldName(service->m_Name));
    visit(service->m_Name);
    for (const SConfig* config : order)
    {
        if (MatchesState(table, *config, in.state))
            AppendEntry(table, *config, out);
    }
}

void ScEnumServices(SRequestContext& context, SScEnumServicesRequest& in, SScEnumReply& out)
{
    CServiceTable& table = Table(context.server);
    out.status = GetManager(context, in.handle, SC_MANAGER_ENUMERATE_SERVICE);
    if (out.status != ERROR_SUCCESS)
        return;
    if ((in.type & (SERVICE_WIN32 | SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) == 0 ||
        in.state == 0 || (in.state & ~SERVICE_STATE_ALL) != 0)
    {
        out.status = ERROR_INVALID_PARAMETER;
        return;
    }
    CServiceStore store = table.Store();
    std::wstring group = Wide(in.group);
    for (const std::wstring& name : store.Names())
    {
        SConfig config;
        if (store.Read(name, config, true) != ERROR_SUCCESS || (config.type & in.type) == 0 ||
            !MatchesState(table, config, in.state))
            continue;
        if (in.groupSet != 0 && !winport::fleet::NamesEqual(config.group, group))
            continue;
        AppendEntry(table, config, out);
    }
}

void ScDeleteService(SRequestContext& context, SScDeleteServiceRequest& in, SStatusReply& out)
{
    CServiceTable& table = Table(context.server);
    std::shared_ptr<CService> service;
    out.status = GetService(context, in.handle, DELETE, service);
    SConfig config;
    if (out.status == ERROR_SUCCESS)
        out.status = ConfigOf(table, *service, config);
    if (out.status == ERROR_SUCCESS && config.deleteFlag)
        out.status = ERROR_SERVICE_MARKED_FOR_DELETE;
    if (out.status == ERROR_SUCCESS)
        out.status = table.Store().MarkForDelete(config.name);
    // It goes when it has stopped and its last handle is closed.
    if (out.status == ERROR_SUCCESS)
        service->m_bDeletePending = true;
}

void ScCloseHandle(SRequestContext& context, SScCloseHandleRequest& in, SStatusReply& out)
{
    Table(context.server);
    std::shared_ptr<CObject> object;
    out.status = context.connection.process->GetAny(in.handle, object);
    if (out.status == ERROR_SUCCESS && !object->IsKind(CServiceHandle::s_Ops) &&
        !object->IsKind(CManagerHandle::s_Ops))
        out.status = ERROR_INVALID_HANDLE;
    object.reset();
    if (out.status == ERROR_SUCCESS)
        out.status = context.connection.process->Close(in.handle);
}

void ScConnectDispatcher(SRequestContext& context, SScConnectDispatcherRequest&,
                         SScDispatcherReply& out)
{
    CServiceTable& table = Table(context.server);
    // Only the program this server started (or adopted) for a service is that service.
    CClientProcess& process = *context.connection.process;
    std::shared_ptr<CService> service =
        process.Identity().local ? table.ByProcess(process.Identity().pid) : nullptr;
    if (!service)
    {
        out.status = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        return;
    }
    service->m_bConnected = true;
    out.name = winport::ToUtf8(service->m_Name);
    out.arguments = JoinItems(service->m_Arguments);
    out.control = process.Insert(service, SYNCHRONIZE);
}

void ScSetStatus(SRequestContext& context, SScSetStatusRequest& in, SStatusReply& out)
{
    CServiceTable& table = Table(context.server);
    std::shared_ptr<CService> service = table.ByProcess(context.connection.process->Identity().pid);
    if (!service || !context.connection.process->Identity().local)
        out.status = ERROR_INVALID_HANDLE;
    else if (in.state < SERVICE_STOPPED || in.state > SERVICE_PAUSED)
        out.status = ERROR_INVALID_DATA;
    else
        table.SetStatus(*service, in);
}

void ScTakeControl(SRequestContext& context, SScTakeControlRequest& in, SScTakeControlReply& out)
{
    Table(context.server);
    std::shared_ptr<CObject> object;
    out.status = context.connection.process->Get(in.control, CService::s_Ops, 0, object);
    if (out.status != ERROR_SUCCESS)
        return;
    auto& service = static_cast<CService&>(*object);
    if (!service.m_Controls.empty())
    {
        out.control = service.m_Controls.front();
        service.m_Controls.pop_front();
    }
    out.stopped = service.m_bReportedStopped || !service.Active() ? 1 : 0;
}

} // namespace handlers
} // namespace machine
