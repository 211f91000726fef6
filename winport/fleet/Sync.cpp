// Linux only: events, mutexes and waits, as objects of the machine server. A thread that waits
// does so on a connection of its own, so that it stalls no other thread of its process.
#include "winport/WinBase.h"
#include "winport/WinString.h"
#include "winport/fleet/MachineClient.h"
#include "winport/fleet/ServerObject.h"
#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

using namespace machine::protocol;
using winport::posix::CMachineConnection;

namespace winport::fleet
{

CServerObject::~CServerObject()
{
    if (!m_Connection->IsBroken())
    {
        SCloseHandleRequest request;
        request.handle = m_Handle;
        SStatusReply reply;
        m_Connection->Call(request, reply);
    }
}

std::shared_ptr<winport::posix::CKernelObject>
CServerObject::Duplicate(const std::shared_ptr<CKernelObject>&, DWORD access, bool sameAccess)
{
    SDuplicateHandleRequest request;
    request.handle = m_Handle;
    request.access = access;
    request.sameAccess = sameAccess ? 1 : 0;
    SObjectReply reply;
    DWORD rc = m_Connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return nullptr;
    }
    return std::make_shared<CServerObject>(m_Connection, reply.handle, m_Kind);
}

std::shared_ptr<CServerObject> ServerObject(HANDLE handle)
{
    return std::dynamic_pointer_cast<CServerObject>(winport::posix::LookupHandle(handle));
}

} // namespace winport::fleet

namespace
{

// Timer queues (base layer) signal their completion events through this.
[[maybe_unused]] const bool s_EventSignalRegistered =
    (winport::posix::SetEventSignal(&SetEvent), true);

using winport::fleet::CServerObject;
using winport::fleet::ServerObject;

HANDLE Failed(DWORD code)
{
    SetLastError(code);
    return nullptr;
}

BOOL Refused(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

HANDLE CreateOrOpen(bool create, EObjectKind kind, LPCWSTR name, bool manualReset,
                    bool initialState)
{
    std::shared_ptr<CMachineConnection> connection;
    SObjectReply reply;
    DWORD rc;
    if (create)
    {
        SCreateObjectRequest request;
        request.kind = static_cast<uint32_t>(kind);
        request.name = name != nullptr ? winport::ToUtf8(name) : std::string();
        request.manualReset = manualReset ? 1 : 0;
        request.initialState = initialState ? 1 : 0;
        request.threadId = GetCurrentThreadId();
        rc = winport::fleet::AskServer(request, reply, &connection);
    }
    else
    {
        if (name == nullptr)
            return Failed(ERROR_INVALID_PARAMETER);
        SOpenObjectRequest request;
        request.kind = static_cast<uint32_t>(kind);
        request.name = winport::ToUtf8(name);
        rc = winport::fleet::AskServer(request, reply, &connection);
    }
    if (rc != ERROR_SUCCESS)
        return Failed(rc);
    HANDLE handle = winport::posix::InsertHandle(
        std::make_shared<CServerObject>(std::move(connection), reply.handle, kind));
    // A create that found the name's object succeeds and says so.
    SetLastError(reply.existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// One request about an object of a kind, on the connection that made it; the server checks
// the handle again.
template <class TRequest> BOOL Operate(HANDLE handle, EObjectKind kind, TRequest& request)
{
    std::shared_ptr<CServerObject> object = ServerObject(handle);
    if (!object || object->m_Kind != kind)
        return Refused(ERROR_INVALID_HANDLE);
    request.handle = object->m_Handle;
    SStatusReply reply;
    DWORD rc = object->m_Connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    return rc == ERROR_SUCCESS ? TRUE : Refused(rc);
}

BOOL EventOperation(HANDLE event, uint32_t operation)
{
    SEventRequest request;
    request.operation = operation;
    return Operate(event, EObjectKind::Event, request);
}

// This thread's own connection for waits, opened on its first wait and closed with the thread.
DWORD WaitConnection(std::shared_ptr<CMachineConnection>& connection, bool renew = false)
{
    thread_local std::shared_ptr<CMachineConnection> t_Connection;
    if (renew || !t_Connection || t_Connection->IsBroken())
    {
        DWORD rc = CMachineConnection::OwnForThisThread(t_Connection);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    connection = t_Connection;
    return ERROR_SUCCESS;
}

bool OfServer(const std::vector<std::shared_ptr<CServerObject>>& objects,
              const CMachineConnection& connection)
{
    for (const std::shared_ptr<CServerObject>& object : objects)
        if (object->m_Connection->ServerPid() != connection.ServerPid() ||
            object->m_Connection->MachineName() != connection.MachineName())
            return false;
    return true;
}

} // namespace

HANDLE CreateEventW(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    return CreateOrOpen(true, EObjectKind::Event, name, manualReset != FALSE,
                        initialState != FALSE);
}

HANDLE OpenEventW(DWORD, BOOL, LPCWSTR name)
{
    return CreateOrOpen(false, EObjectKind::Event, name, false, false);
}

BOOL SetEvent(HANDLE event)
{
    return EventOperation(event, 1);
}
BOOL ResetEvent(HANDLE event)
{
    return EventOperation(event, 2);
}
BOOL PulseEvent(HANDLE event)
{
    return EventOperation(event, 3);
}

HANDLE CreateMutexW(SECURITY_ATTRIBUTES*, BOOL initialOwner, LPCWSTR name)
{
    return CreateOrOpen(true, EObjectKind::Mutex, name, false, initialOwner != FALSE);
}

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name)
{
    return CreateOrOpen(false, EObjectKind::Mutex, name, false, false);
}

BOOL ReleaseMutex(HANDLE mutex)
{
    SReleaseMutexRequest request;
    request.threadId = GetCurrentThreadId();
    return Operate(mutex, EObjectKind::Mutex, request);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<CServerObject>> objects;
    for (DWORD i = 0; i < count; ++i)
    {
        objects.push_back(ServerObject(handles[i]));
        if (!objects.back())
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    // A handle of a server that has ended since (the machine's server was stopped) is no handle
    // of the one that serves now, whose handles of this process may bear its number. The
    // thread's connection may be the one that is out of date.
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = WaitConnection(connection);
    if (rc == ERROR_SUCCESS && !OfServer(objects, *connection))
    {
        rc = WaitConnection(connection, true);
        if (rc == ERROR_SUCCESS && !OfServer(objects, *connection))
            rc = ERROR_INVALID_HANDLE;
    }
    SWaitRequest request;
    for (const std::shared_ptr<CServerObject>& object : objects)
        request.handles.append(reinterpret_cast<const char*>(&object->m_Handle),
                               sizeof object->m_Handle);
    request.all = waitAll ? 1 : 0;
    request.timeout = milliseconds;
    request.threadId = GetCurrentThreadId();
    SWaitReply reply;
    if (rc == ERROR_SUCCESS)
        rc = connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return WAIT_FAILED;
    }
    return reply.result;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

// ---- Sections ----------------------------------------------------------------------------------

namespace
{

// A section handle: the server object and the file that backs it.
class CSectionObject : public CServerObject
{
public:
    CSectionObject(std::shared_ptr<CMachineConnection> connection, const SSectionReply& reply)
        : CServerObject(std::move(connection), reply.handle, EObjectKind::Section),
          m_Path(reply.path), m_Size(reply.size)
    {
    }
    std::string m_Path;
    uint64_t m_Size;
};

HANDLE SectionHandle(std::shared_ptr<CMachineConnection> connection, const SSectionReply& reply)
{
    HANDLE handle = winport::posix::InsertHandle(
        std::make_shared<CSectionObject>(std::move(connection), reply));
    SetLastError(reply.existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

std::mutex s_ViewLock;
std::map<const void*, size_t> s_Views; // mapped length by address

} // namespace

HANDLE CreateFileMappingW(HANDLE file, SECURITY_ATTRIBUTES*, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCWSTR name)
{
    // Only sections of the paging file: mapped files are not used by the system.
    if (file != INVALID_HANDLE_VALUE)
        return Failed(ERROR_INVALID_HANDLE);
    if (protect != PAGE_READWRITE && protect != PAGE_READONLY)
        return Failed(ERROR_INVALID_PARAMETER);
    SCreateSectionRequest request;
    request.name = name != nullptr ? winport::ToUtf8(name) : std::string();
    request.size = (static_cast<uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
    SSectionReply reply;
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = winport::fleet::AskServer(request, reply, &connection);
    return rc == ERROR_SUCCESS ? SectionHandle(std::move(connection), reply) : Failed(rc);
}

HANDLE OpenFileMappingW(DWORD, BOOL, LPCWSTR name)
{
    if (name == nullptr)
        return Failed(ERROR_INVALID_PARAMETER);
    SOpenSectionRequest request;
    request.name = winport::ToUtf8(name);
    SSectionReply reply;
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = winport::fleet::AskServer(request, reply, &connection);
    return rc == ERROR_SUCCESS ? SectionHandle(std::move(connection), reply) : Failed(rc);
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes)
{
    auto section = std::dynamic_pointer_cast<CSectionObject>(winport::posix::LookupHandle(mapping));
    if (!section)
        return Failed(ERROR_INVALID_HANDLE);
    uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    if (offset % static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) != 0 || offset >= section->m_Size)
        return Failed(ERROR_MAPPED_ALIGNMENT);
    // No length maps from the offset to the end of the section.
    uint64_t length = bytes != 0 ? bytes : section->m_Size - offset;
    if (length > section->m_Size - offset)
        return Failed(ERROR_ACCESS_DENIED);
    bool write = (access & FILE_MAP_WRITE) != 0;
    winport::posix::CFd fd(open(section->m_Path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (fd.Get() < 0)
        return Failed(winport::posix::ErrnoToWin32(errno));
    void* view = mmap(nullptr, length, PROT_READ | (write ? PROT_WRITE : 0), MAP_SHARED, fd.Get(),
                      static_cast<off_t>(offset));
    if (view == MAP_FAILED)
        return Failed(ERROR_NOT_ENOUGH_MEMORY);
    std::lock_guard<std::mutex> guard(s_ViewLock);
    s_Views[view] = length;
    return view;
}

BOOL UnmapViewOfFile(LPCVOID address)
{
    size_t length = 0;
    {
        std::lock_guard<std::mutex> guard(s_ViewLock);
        auto it = s_Views.find(address);
        if (it == s_Views.end())
            return Refused(ERROR_INVALID_ADDRESS);
        length = it->second;
        s_Views.erase(it);
    }
    munmap(const_cast<void*>(address), length);
    return TRUE;
}
