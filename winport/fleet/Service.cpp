// Linux only: the service control manager functions, as requests to a machine's server, and the
// service program's side (its dispatcher and status reports).
#include "winport/WinSvc.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/fleet/MachineClient.h"
#include "winport/fleet/Network.h"
#include "winport/posix/PosixSupport.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using namespace machine::protocol;
using winport::posix::CMachineConnection;

namespace
{

BOOL Refused(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

SC_HANDLE NoHandle(DWORD code)
{
    SetLastError(code);
    return nullptr;
}

std::string Utf8(LPCWSTR text)
{
    return text != nullptr ? winport::ToUtf8(text) : std::string();
}

// A multi-string ("a\0b\0\0") as NUL-ended items.
std::string MultiToItems(LPCWSTR multi)
{
    std::string items;
    for (const wchar_t* item = multi; item != nullptr && *item != L'\0'; item += wcslen(item) + 1)
    {
        items += winport::ToUtf8(item);
        items.push_back('\0');
    }
    return items;
}

std::vector<std::wstring> SplitItems(const std::string& utf8)
{
    std::vector<std::wstring> items;
    for (const std::string& item : machine::protocol::SplitNulItems(utf8))
        items.push_back(winport::FromUtf8(item));
    return items;
}

// A manager or service handle: a handle of some machine's server, and what it takes to open it
// again when that server has ended meanwhile.
class CScObject : public winport::posix::CKernelObject
{
public:
    CScObject(std::shared_ptr<CMachineConnection> connection, uint64_t serverHandle, bool service,
              uint32_t access, std::string name)
        : m_Connection(std::move(connection)), m_ServerHandle(serverHandle), m_bService(service),
          m_Access(access), m_Name(std::move(name))
    {
    }
    ~CScObject() override
    {
        if (!m_Connection->IsBroken())
        {
            SScCloseHandleRequest request;
            request.handle = m_ServerHandle;
            SStatusReply reply;
            m_Connection->Call(request, reply);
        }
    }

    // The connection and server handle to use now: on a fresh connection, opened again, when
    // the server that held it has gone.
    DWORD Current(std::shared_ptr<CMachineConnection>& connection, uint64_t& serverHandle)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (m_Connection->IsBroken())
        {
            std::shared_ptr<CMachineConnection> fresh;
            DWORD rc = CMachineConnection::Renew(m_Connection, fresh);
            SScOpenManagerRequest manager;
            manager.access = m_bService ? SC_MANAGER_CONNECT : m_Access;
            SScHandleReply opened;
            if (rc == ERROR_SUCCESS)
                rc = fresh->Call(manager, opened);
            if (rc == ERROR_SUCCESS)
                rc = opened.status;
            if (rc != ERROR_SUCCESS)
                return rc;
            if (m_bService)
            {
                SScOpenServiceRequest request;
                request.handle = opened.handle;
                request.name = m_Name;
                request.access = m_Access;
                SScHandleReply service;
                rc = fresh->Call(request, service);
                if (rc == ERROR_SUCCESS)
                    rc = service.status;
                SScCloseHandleRequest close;
                close.handle = opened.handle;
                SStatusReply closed;
                fresh->Call(close, closed);
                // A service that went meanwhile is no longer there for this handle.
                if (rc == ERROR_SERVICE_DOES_NOT_EXIST)
                    rc = ERROR_SERVICE_MARKED_FOR_DELETE;
                if (rc != ERROR_SUCCESS)
                    return rc;
                opened.handle = service.handle;
            }
            m_Connection = std::move(fresh);
            m_ServerHandle = opened.handle;
        }
        connection = m_Connection;
        serverHandle = m_ServerHandle;
        return ERROR_SUCCESS;
    }

private:
    std::mutex m_Lock;
    std::shared_ptr<CMachineConnection> m_Connection;
    uint64_t m_ServerHandle;
    bool m_bService;
    uint32_t m_Access;
    std::string m_Name;
};

std::shared_ptr<CScObject> ScObject(SC_HANDLE handle)
{
    return std::dynamic_pointer_cast<CScObject>(
        winport::posix::LookupHandle(reinterpret_cast<HANDLE>(handle)));
}

// One request about a handle, its status as the result; a server that ended meanwhile is asked
// once more, with the handle opened again. The server checks the handle's kind and rights.
template <class TRequest>
DWORD Send(SC_HANDLE handle, TRequest& request, typename TRequestTraits<TRequest>::TReply& reply,
           std::shared_ptr<CMachineConnection>* used = nullptr)
{
    std::shared_ptr<CScObject> object = ScObject(handle);
    if (!object)
        return ERROR_INVALID_HANDLE;
    for (int attempt = 0;; ++attempt)
    {
        std::shared_ptr<CMachineConnection> connection;
        DWORD rc = object->Current(connection, request.handle);
        if (rc == ERROR_SUCCESS)
            rc = connection->Call(request, reply);
        if (rc == ERROR_NOT_READY && attempt == 0)
            continue;
        if (used != nullptr)
            *used = std::move(connection);
        return rc == ERROR_SUCCESS ? reply.status : rc;
    }
}

SC_HANDLE NewHandle(std::shared_ptr<CMachineConnection> connection, uint64_t serverHandle,
                    bool service, uint32_t access, std::string name)
{
    return reinterpret_cast<SC_HANDLE>(winport::posix::InsertHandle(std::make_shared<CScObject>(
        std::move(connection), serverHandle, service, access, std::move(name))));
}

template <class TStatus, class TReply> void CopyStatus(const TReply& reply, TStatus& status)
{
    status.dwServiceType = reply.type;
    status.dwCurrentState = reply.state;
    status.dwControlsAccepted = reply.accepted;
    status.dwWin32ExitCode = reply.win32ExitCode;
    status.dwServiceSpecificExitCode = reply.specificExitCode;
    status.dwCheckPoint = reply.checkPoint;
    status.dwWaitHint = reply.waitHint;
}

// Strings packed after the structures of a caller's buffer.
class CStringPacker
{
public:
    explicit CStringPacker(BYTE* next) : m_pNext(reinterpret_cast<WCHAR*>(next)) {}
    static DWORD Size(const std::wstring& text) { return (text.size() + 1) * sizeof(WCHAR); }
    LPWSTR Put(const std::wstring& text)
    {
        LPWSTR start = m_pNext;
        memcpy(m_pNext, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
        m_pNext += text.size() + 1;
        return start;
    }

private:
    WCHAR* m_pNext;
};

struct SEnumItem
{
    std::wstring name, displayName;
    SScEnumEntry entry;
};

// The entries of an enumeration reply.
DWORD ReadEntries(const SScEnumReply& reply, std::vector<SEnumItem>& items)
{
    CWireReader reader(reply.entries.data(), reply.entries.size());
    for (uint32_t i = 0; i < reply.count; ++i)
    {
        SEnumItem item;
        item.entry.Fields(reader);
        item.name = winport::FromUtf8(item.entry.name);
        item.displayName = winport::FromUtf8(item.entry.displayName);
        items.push_back(std::move(item));
    }
    return reader.Complete() ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

} // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess)
{
    if (databaseName != nullptr && _wcsicmp(databaseName, SERVICES_ACTIVE_DATABASEW) != 0)
        return NoHandle(ERROR_DATABASE_DOES_NOT_EXIST);
    // Another machine is reached as RegConnectRegistryW reaches it: the process's connection to
    // that server, else the calling thread's network credentials.
    std::string folder;
    if (machineName == nullptr || *machineName == L'\0')
        folder = winport::fleet::CurrentMachine().name;
    else if (DWORD rc = winport::fleet::ResolveServer(machineName, folder); rc != ERROR_SUCCESS)
        return NoHandle(rc);
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = winport::posix::ConnectionForServer(folder, connection);
    SScOpenManagerRequest request;
    request.access = desiredAccess;
    SScHandleReply reply;
    if (rc == ERROR_SUCCESS)
        rc = connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (rc != ERROR_SUCCESS)
        return NoHandle(rc);
    return NewHandle(std::move(connection), reply.handle, false, desiredAccess, std::string());
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                         LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR)
{
    // The password is not sent: every service runs as the local system account here.
    if (serviceName == nullptr)
        return NoHandle(ERROR_INVALID_ADDRESS);
    if (binaryPathName == nullptr)
        return NoHandle(ERROR_INVALID_PARAMETER);
    SScCreateServiceRequest request;
    request.name = Utf8(serviceName);
    request.displayName = Utf8(displayName);
    request.access = desiredAccess;
    request.type = serviceType;
    request.start = startType;
    request.errorControl = errorControl;
    request.imagePath = Utf8(binaryPathName);
    request.group = Utf8(loadOrderGroup);
    request.dependencies = MultiToItems(dependencies);
    request.startName = Utf8(serviceStartName);
    SScHandleReply reply;
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = Send(manager, request, reply, &connection);
    if (rc != ERROR_SUCCESS)
        return NoHandle(rc);
    if (tagId != nullptr)
        *tagId = 0; // no load-order tags
    SetLastError(ERROR_SUCCESS);
    return NewHandle(std::move(connection), reply.handle, true, desiredAccess, request.name);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess)
{
    if (serviceName == nullptr)
        return NoHandle(ERROR_INVALID_ADDRESS);
    SScOpenServiceRequest request;
    request.name = Utf8(serviceName);
    request.access = desiredAccess;
    SScHandleReply reply;
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = Send(manager, request, reply, &connection);
    if (rc != ERROR_SUCCESS)
        return NoHandle(rc);
    SetLastError(ERROR_SUCCESS);
    return NewHandle(std::move(connection), reply.handle, true, desiredAccess, request.name);
}

BOOL StartServiceW(SC_HANDLE service, DWORD argumentCount, LPCWSTR* arguments)
{
    if (argumentCount > 0 && arguments == nullptr)
        return Refused(ERROR_INVALID_PARAMETER);
    SScStartServiceRequest request;
    for (DWORD i = 0; i < argumentCount; ++i)
    {
        if (arguments[i] == nullptr)
            return Refused(ERROR_INVALID_PARAMETER);
        request.arguments += winport::ToUtf8(arguments[i]);
        request.arguments.push_back('\0');
    }
    SStatusReply reply;
    DWORD rc = Send(service, request, reply);
    return rc == ERROR_SUCCESS ? TRUE : Refused(rc);
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    if (status == nullptr)
        return Refused(ERROR_INVALID_ADDRESS);
    SScControlRequest request;
    request.control = control;
    SScStatusReply reply;
    DWORD rc = Send(service, request, reply);
    // The status comes back also when the service cannot take the control now.
    if (rc == ERROR_SUCCESS || rc == ERROR_SERVICE_NOT_ACTIVE ||
        rc == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || rc == ERROR_INVALID_SERVICE_CONTROL ||
        rc == ERROR_DEPENDENT_SERVICES_RUNNING)
        CopyStatus(reply, *status);
    return rc == ERROR_SUCCESS ? TRUE : Refused(rc);
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status)
{
    if (status == nullptr)
        return Refused(ERROR_INVALID_ADDRESS);
    SScQueryStatusRequest request;
    SScStatusReply reply;
    DWORD rc = Send(service, request, reply);
    if (rc != ERROR_SUCCESS)
        return Refused(rc);
    CopyStatus(reply, *status);
    return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, int infoLevel, LPBYTE buffer, DWORD bufferSize,
                          LPDWORD bytesNeeded)
{
    if (infoLevel != SC_STATUS_PROCESS_INFO)
        return Refused(ERROR_INVALID_LEVEL);
    if (bytesNeeded == nullptr)
        return Refused(ERROR_INVALID_ADDRESS);
    SScQueryStatusRequest request;
    SScStatusReply reply;
    DWORD rc = Send(service, request, reply);
    if (rc != ERROR_SUCCESS)
        return Refused(rc);
    *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (buffer == nullptr || bufferSize < sizeof(SERVICE_STATUS_PROCESS))
        return Refused(ERROR_INSUFFICIENT_BUFFER);
    SERVICE_STATUS_PROCESS status{};
    CopyStatus(reply, status);
    status.dwProcessId = reply.processId;
    status.dwServiceFlags = reply.flags;
    memcpy(buffer, &status, sizeof status);
    return TRUE;
}

BOOL QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD bufferSize,
                         LPDWORD bytesNeeded)
{
    if (bytesNeeded == nullptr)
        return Refused(ERROR_INVALID_ADDRESS);
    SScQueryConfigRequest request;
    SScConfigReply reply;
    DWORD rc = Send(service, request, reply);
    if (rc != ERROR_SUCCESS)
        return Refused(rc);
    std::wstring imagePath = winport::FromUtf8(reply.imagePath);
    std::wstring group = winport::FromUtf8(reply.group);
    std::wstring startName = winport::FromUtf8(reply.startName);
    std::wstring displayName = winport::FromUtf8(reply.displayName);
    // Dependencies as a multi-string, with its final terminator (Put adds one more).
    std::wstring dependencies;
    for (const std::wstring& item : SplitItems(reply.dependencies))
        dependencies += item + L'\0';
    DWORD needed = sizeof(QUERY_SERVICE_CONFIGW) + CStringPacker::Size(imagePath) +
                   CStringPacker::Size(group) + CStringPacker::Size(dependencies) +
                   CStringPacker::Size(startName) + CStringPacker::Size(displayName);
    *bytesNeeded = needed;
    if (config == nullptr || bufferSize < needed)
        return Refused(ERROR_INSUFFICIENT_BUFFER);
    CStringPacker packer(reinterpret_cast<BYTE*>(config + 1));
    config->dwServiceType = reply.type;
    config->dwStartType = reply.start;
    config->dwErrorControl = reply.errorControl;
    config->lpBinaryPathName = packer.Put(imagePath);
    config->lpLoadOrderGroup = packer.Put(group);
    config->dwTagId = reply.tagId;
    config->lpDependencies = packer.Put(dependencies);
    config->lpServiceStartName = packer.Put(startName);
    config->lpDisplayName = packer.Put(displayName);
    return TRUE;
}

BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, LPDWORD tagId,
                          LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR,
                          LPCWSTR displayName)
{
    SScChangeConfigRequest request;
    request.type = serviceType;
    request.start = startType;
    request.errorControl = errorControl;
    auto take = [&request](LPCWSTR text, uint32_t bit, std::string& field)
    {
        if (text != nullptr)
        {
            request.strings |= bit;
            field = winport::ToUtf8(text);
        }
    };
    take(binaryPathName, 1, request.imagePath);
    take(loadOrderGroup, 2, request.group);
    if (dependencies != nullptr)
    {
        request.strings |= 4;
        request.dependencies = MultiToItems(dependencies);
    }
    take(serviceStartName, 8, request.startName);
    take(displayName, 16, request.displayName);
    SStatusReply reply;
    DWORD rc = Send(service, request, reply);
    if (rc != ERROR_SUCCESS)
        return Refused(rc);
    if (tagId != nullptr)
        *tagId = 0;
    return TRUE;
}

BOOL EnumDependentServicesW(SC_HANDLE service, DWORD serviceState, LPENUM_SERVICE_STATUSW services,
                            DWORD bufferSize, LPDWORD bytesNeeded, LPDWORD servicesReturned)
{
    if (bytesNeeded == nullptr || servicesReturned == nullptr)
        return Refused(ERROR_INVALID_ADDRESS);
    SScEnumDependentsRequest request;
    request.state = serviceState;
    SScEnumReply reply;
    DWORD rc = Send(service, request, reply);
    std::vector<SEnumItem> items;
    if (rc == ERROR_SUCCESS)
        rc = ReadEntries(reply, items);
    if (rc != ERROR_SUCCESS)
        return Refused(rc);
    DWORD needed = 0;
    for (const SEnumItem& item : items)
        needed += sizeof(ENUM_SERVICE_STATUSW) + CStringPacker::Size(item.name) +
                  CStringPacker::Size(item.displayName);
    *servicesReturned = 0;
    *bytesNeeded = needed;
    if (needed > 0 && (services == nullptr || bufferSize < needed))
        return Refused(ERROR_MORE_DATA);
    *bytesNeeded = 0;
    CStringPacker packer(reinterpret_cast<BYTE*>(services + items.size()));
    for (size_t i = 0; i < items.size(); ++i)
    {
        services[i].lpServiceName = packer.Put(items[i].name);
        services[i].lpDisplayName = packer.Put(items[i].displayName);
        CopyStatus(items[i].entry, services[i].ServiceStatus);
    }
    *servicesReturned = static_cast<DWORD>(items.size());
    return TRUE;
}

BOOL EnumServicesStatusExW(SC_HANDLE manager, int infoLevel, DWORD serviceType, DWORD serviceState,
                           LPBYTE services, DWORD bufferSize, LPDWORD bytesNeeded,
                           LPDWORD servicesReturned, LPDWORD resumeHandle, LPCWSTR groupName)
{
    if (infoLevel != SC_ENUM_PROCESS_INFO)
        return Refused(ERROR_INVALID_LEVEL);
    if (bytesNeeded == nullptr || servicesReturned == nullptr)
        return Refused(ERROR_INVALID_ADDRESS);
    SScEnumServicesRequest request;
    request.type = serviceType;
    request.state = serviceState;
    request.groupSet = groupName != nullptr ? 1 : 0;
    request.group = Utf8(groupName);
    SScEnumReply reply;
    DWORD rc = Send(manager, request, reply);
    std::vector<SEnumItem> items;
    if (rc == ERROR_SUCCESS)
        rc = ReadEntries(reply, items);
    if (rc != ERROR_SUCCESS)
        return Refused(rc);
    // From where an earlier call stopped, as many as the buffer holds.
    size_t first = resumeHandle != nullptr ? *resumeHandle : 0;
    if (first > items.size())
        first = items.size();
    auto sizeOf = [](const SEnumItem& item)
    {
        return static_cast<DWORD>(sizeof(ENUM_SERVICE_STATUS_PROCESSW) +
                                  CStringPacker::Size(item.name) +
                                  CStringPacker::Size(item.displayName));
    };
    size_t count = 0;
    DWORD used = 0;
    while (first + count < items.size() && used + sizeOf(items[first + count]) <= bufferSize &&
           services != nullptr)
        used += sizeOf(items[first + count++]);
    DWORD rest = 0;
    for (size_t i = first + count; i < items.size(); ++i)
        rest += sizeOf(items[i]);
    auto* entries = reinterpret_cast<LPENUM_SERVICE_STATUS_PROCESSW>(services);
    CStringPacker packer(services + count * sizeof(ENUM_SERVICE_STATUS_PROCESSW));
    for (size_t i = 0; i < count; ++i)
    {
        const SEnumItem& item = items[first + i];
        entries[i].lpServiceName = packer.Put(item.name);
        entries[i].lpDisplayName = packer.Put(item.displayName);
        CopyStatus(item.entry, entries[i].ServiceStatusProcess);
        entries[i].ServiceStatusProcess.dwProcessId = item.entry.processId;
        entries[i].ServiceStatusProcess.dwServiceFlags = item.entry.flags;
    }
    *servicesReturned = static_cast<DWORD>(count);
    *bytesNeeded = rest;
    if (resumeHandle != nullptr)
        *resumeHandle = rest > 0 ? static_cast<DWORD>(first + count) : 0;
    return rest > 0 ? Refused(ERROR_MORE_DATA) : TRUE;
}

BOOL DeleteService(SC_HANDLE service)
{
    SScDeleteServiceRequest request;
    SStatusReply reply;
    DWORD rc = Send(service, request, reply);
    return rc == ERROR_SUCCESS ? TRUE : Refused(rc);
}

BOOL CloseServiceHandle(SC_HANDLE handle)
{
    if (!ScObject(handle))
        return Refused(ERROR_INVALID_HANDLE);
    winport::posix::RemoveHandle(reinterpret_cast<HANDLE>(handle));
    return TRUE;
}

// ---- The service program's side ----------------------------------------------------------------

namespace
{

// The one service of this program (services have a process of their own here).
struct SDispatcher
{
    std::mutex lock;
    bool started = false;
    std::wstring name;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    bool registered = false;
    SScSetStatusRequest last; // reported again to a server that follows a killed one
    bool reported = false;
    std::vector<std::wstring> arguments; // the service's main function keeps its argv
    std::vector<LPWSTR> argv;
};

SDispatcher& Dispatcher()
{
    static auto* s_pDispatcher = new SDispatcher();
    return *s_pDispatcher;
}

SERVICE_STATUS_HANDLE StatusHandle()
{
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(&Dispatcher());
}

DWORD ReportStatus(const SScSetStatusRequest& status)
{
    for (int attempt = 0;; ++attempt)
    {
        SScSetStatusRequest request = status;
        std::shared_ptr<CMachineConnection> connection;
        SStatusReply reply;
        DWORD rc = CMachineConnection::Local(connection);
        if (rc == ERROR_SUCCESS)
            rc = connection->Call(request, reply);
        if (rc == ERROR_NOT_READY && attempt == 0)
            continue;
        return rc == ERROR_SUCCESS ? reply.status : rc;
    }
}

// Tells the machine's server that this process is the program of a service.
DWORD ConnectDispatcher(std::shared_ptr<CMachineConnection>& connection, SScDispatcherReply& reply)
{
    DWORD rc = CMachineConnection::OwnForThisThread(connection);
    SScConnectDispatcherRequest request;
    if (rc == ERROR_SUCCESS)
        rc = connection->Call(request, reply);
    return rc == ERROR_SUCCESS ? reply.status : rc;
}

// Connects again after the server ended (the next one adopts this process): a few tries while
// the new server starts.
DWORD Reconnect(std::shared_ptr<CMachineConnection>& connection, uint64_t& control)
{
    DWORD rc = ERROR_NOT_READY;
    for (int attempt = 0; attempt < 50 && rc == ERROR_NOT_READY; ++attempt)
    {
        if (attempt > 0)
            usleep(100 * 1000);
        SScDispatcherReply reply;
        rc = ConnectDispatcher(connection, reply);
        if (rc == ERROR_SUCCESS)
            control = reply.control;
        else if (rc != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT && rc != ERROR_ACCESS_DENIED)
            rc = ERROR_NOT_READY;
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    SDispatcher& dispatcher = Dispatcher();
    SScSetStatusRequest last;
    bool reported;
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        last = dispatcher.last;
        reported = dispatcher.reported;
    }
    if (reported)
        ReportStatus(last);
    return ERROR_SUCCESS;
}

} // namespace

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable)
{
    if (serviceTable == nullptr || serviceTable[0].lpServiceProc == nullptr)
        return Refused(ERROR_INVALID_PARAMETER);
    SDispatcher& dispatcher = Dispatcher();
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        if (dispatcher.started)
            return Refused(ERROR_SERVICE_ALREADY_RUNNING);
        dispatcher.started = true;
    }
    std::shared_ptr<CMachineConnection> connection;
    SScDispatcherReply reply;
    DWORD rc = ConnectDispatcher(connection, reply);
    if (rc != ERROR_SUCCESS)
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        dispatcher.started = false;
        // A program the manager did not start for a service is no service.
        return Refused(rc == ERROR_NOT_READY ? ERROR_FAILED_SERVICE_CONTROLLER_CONNECT : rc);
    }
    // The entry of the service; a program of one service answers to any name.
    const SERVICE_TABLE_ENTRYW* entry = &serviceTable[0];
    std::wstring name = winport::FromUtf8(reply.name);
    for (const SERVICE_TABLE_ENTRYW* e = serviceTable; e->lpServiceProc != nullptr; ++e)
    {
        if (e->lpServiceName != nullptr && _wcsicmp(e->lpServiceName, name.c_str()) == 0)
            entry = e;
    }
    // The service's main function gets its name and the start arguments.
    LPWSTR* argv;
    DWORD argc;
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        dispatcher.name = name;
        dispatcher.arguments = SplitItems(reply.arguments);
        dispatcher.arguments.insert(dispatcher.arguments.begin(), name);
        for (std::wstring& argument : dispatcher.arguments)
            dispatcher.argv.push_back(argument.data());
        dispatcher.argv.push_back(nullptr);
        argv = dispatcher.argv.data();
        argc = static_cast<DWORD>(dispatcher.arguments.size());
    }
    LPSERVICE_MAIN_FUNCTIONW serviceMain = entry->lpServiceProc;
    std::thread main([serviceMain, argv, argc] { serviceMain(argc, argv); });

    // Controls are run on this thread until the service has stopped.
    uint64_t control = reply.control;
    for (;;)
    {
        SWaitRequest wait;
        wait.handles.assign(reinterpret_cast<const char*>(&control), sizeof control);
        wait.timeout = INFINITE;
        wait.threadId = GetCurrentThreadId();
        SWaitReply waited;
        rc = connection->Call(wait, waited);
        if (rc == ERROR_SUCCESS)
            rc = waited.status;
        SScTakeControlRequest take;
        take.control = control;
        SScTakeControlReply taken;
        if (rc == ERROR_SUCCESS)
            rc = connection->Call(take, taken);
        if (rc == ERROR_SUCCESS)
            rc = taken.status;
        if (rc == ERROR_NOT_READY || rc == ERROR_INVALID_HANDLE)
        {
            // The server ended: the one that follows it takes this process over.
            if (Reconnect(connection, control) == ERROR_SUCCESS)
                continue;
            break;
        }
        if (rc != ERROR_SUCCESS)
            break;
        if (taken.control != 0)
        {
            LPHANDLER_FUNCTION_EX handler;
            LPVOID context;
            {
                std::lock_guard<std::mutex> guard(dispatcher.lock);
                handler = dispatcher.handler;
                context = dispatcher.context;
            }
            if (handler != nullptr)
                handler(taken.control, 0, nullptr, context);
        }
        if (taken.stopped != 0)
            break;
    }
    if (rc != ERROR_SUCCESS)
    {
        // No manager will tell the service to stop any more: the program ends when its main
        // function returns, as it does once its dispatcher gives up.
        main.detach();
        return Refused(rc);
    }
    main.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, LPVOID context)
{
    if (serviceName == nullptr || handler == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SDispatcher& dispatcher = Dispatcher();
    std::lock_guard<std::mutex> guard(dispatcher.lock);
    if (!dispatcher.started || dispatcher.name.empty() ||
        _wcsicmp(serviceName, dispatcher.name.c_str()) != 0)
    {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    }
    dispatcher.handler = handler;
    dispatcher.context = context;
    dispatcher.registered = true;
    return StatusHandle();
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status)
{
    SDispatcher& dispatcher = Dispatcher();
    if (statusHandle != StatusHandle())
        return Refused(ERROR_INVALID_HANDLE);
    if (status == nullptr)
        return Refused(ERROR_INVALID_ADDRESS);
    SScSetStatusRequest request;
    request.type = status->dwServiceType;
    request.state = status->dwCurrentState;
    request.accepted = status->dwControlsAccepted;
    request.win32ExitCode = status->dwWin32ExitCode;
    request.specificExitCode = status->dwServiceSpecificExitCode;
    request.checkPoint = status->dwCheckPoint;
    request.waitHint = status->dwWaitHint;
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        if (!dispatcher.registered)
            return Refused(ERROR_INVALID_HANDLE);
    }
    DWORD rc = ReportStatus(request);
    if (rc != ERROR_SUCCESS)
        return Refused(rc);
    std::lock_guard<std::mutex> guard(dispatcher.lock);
    dispatcher.last = request;
    dispatcher.reported = true;
    return TRUE;
}
