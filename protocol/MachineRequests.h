// Every request of the machine server protocol, listed once: its wire number, its request and
// reply messages and the callers it is for. The server's dispatch table and the clients' calls
// are both generated from this list.
#pragma once

#include "protocol/MachineProtocol.h"

#include <iterator>

namespace machine::protocol
{

// ---- Messages ---------------------------------------------------------------------------------

// Every reply starts with the Win32 status of the request.
struct SStatusReply
{
    uint32_t status = 0;
    template <class A> void Fields(A& a) { a(status); }
};

// The caller names the network credentials it acts with ("DOMAIN\user" or "user", and the
// password), or none. The server knows the caller's process and machine from the connection
// itself; a caller of another machine acts only with credentials valid here.
struct SHelloRequest
{
    uint32_t version = kVersion;
    std::string user;
    std::string password;
    template <class A> void Fields(A& a) { a(version, user, password); }
};
struct SHelloReply
{
    uint32_t status = 0;
    uint32_t serverPid = 0;
    uint32_t isAdministrator = 0; // the caller's credentials hold the Administrators group
    uint32_t isLocal = 0;         // the caller runs on this machine
    template <class A> void Fields(A& a) { a(status, serverPid, isAdministrator, isLocal); }
};

struct SShutdownRequest
{
    template <class A> void Fields(A&) {}
};

struct SPingRequest
{
    template <class A> void Fields(A&) {}
};

// Opens (or, for RegCreateKey, creates) sub-key path below key; access is the Win32 mask.
struct SRegOpenKeyRequest
{
    uint64_t key = 0;
    std::string path;
    uint32_t access = 0;
    template <class A> void Fields(A& a) { a(key, path, access); }
};
struct SRegCreateKeyRequest
{
    uint64_t key = 0;
    std::string path;
    uint32_t access = 0;
    template <class A> void Fields(A& a) { a(key, path, access); }
};
struct SRegOpenKeyReply
{
    uint32_t status = 0;
    uint64_t key = 0;
    uint32_t created = 0; // RegCreateKey: 1 when the key is new
    template <class A> void Fields(A& a) { a(status, key, created); }
};

struct SRegCloseKeyRequest
{
    uint64_t key = 0;
    template <class A> void Fields(A& a) { a(key); }
};

struct SRegQueryValueRequest
{
    uint64_t key = 0;
    std::string name;
    template <class A> void Fields(A& a) { a(key, name); }
};
struct SRegValueReply
{
    uint32_t status = 0;
    std::string name; // RegEnumValue only
    uint32_t type = 0;
    std::string data;
    template <class A> void Fields(A& a) { a(status, name, type, data); }
};

struct SRegSetValueRequest
{
    uint64_t key = 0;
    std::string name;
    uint32_t type = 0;
    std::string data;
    template <class A> void Fields(A& a) { a(key, name, type, data); }
};

struct SRegDeleteValueRequest
{
    uint64_t key = 0;
    std::string name;
    template <class A> void Fields(A& a) { a(key, name); }
};

struct SRegDeleteKeyRequest
{
    uint64_t key = 0;
    std::string path;
    template <class A> void Fields(A& a) { a(key, path); }
};

struct SRegEnumKeyRequest
{
    uint64_t key = 0;
    uint32_t index = 0;
    template <class A> void Fields(A& a) { a(key, index); }
};
struct SRegEnumValueRequest : SRegEnumKeyRequest
{
};
struct SRegEnumKeyReply
{
    uint32_t status = 0;
    std::string name;
    template <class A> void Fields(A& a) { a(status, name); }
};

struct SRegQueryInfoKeyRequest
{
    uint64_t key = 0;
    template <class A> void Fields(A& a) { a(key); }
};
struct SRegQueryInfoKeyReply
{
    uint32_t status = 0;
    uint32_t subKeys = 0;
    uint32_t maxSubKeyLength = 0; // characters, without terminator
    uint32_t values = 0;
    uint32_t maxValueNameLength = 0; // characters, without terminator
    uint32_t maxValueLength = 0;     // stored bytes
    int64_t lastWriteTime = 0;       // FILETIME ticks
    template <class A> void Fields(A& a)
    {
        a(status, subKeys, maxSubKeyLength, values, maxValueNameLength, maxValueLength,
          lastWriteTime);
    }
};

// Checks an account's password on the machine (local or of a trusted domain).
struct SCheckCredentialsRequest
{
    std::string user;
    std::string password;
    template <class A> void Fields(A& a) { a(user, password); }
};

// Whether an account of the machine exists and holds its Administrators group (callers of the
// machine only); the reply is an SHelloReply.
struct SAccountInfoRequest
{
    std::string account;
    template <class A> void Fields(A& a) { a(account); }
};

// A share of the machine: its folder as a Windows path of the machine. Administrative shares
// (ADMIN$, C$, ...) answer administrators only.
struct SGetShareRequest
{
    std::string share;
    template <class A> void Fields(A& a) { a(share); }
};
struct SGetShareReply
{
    uint32_t status = 0;
    std::string path;
    std::string remark;
    uint32_t special = 0; // 1 for an administrative share
    template <class A> void Fields(A& a) { a(status, path, remark, special); }
};

// The machine's system environment, as its registry gives it to every process: "NAME=VALUE"
// items, each ended by a NUL, in UTF-8.
struct SGetEnvironmentRequest
{
    template <class A> void Fields(A&) {}
};
struct SEnvironmentReply
{
    uint32_t status = 0;
    std::string block;
    template <class A> void Fields(A& a) { a(status, block); }
};

// The facts of a domain this machine knows (its own domain when empty).
struct SDomainInfoRequest
{
    std::string domain;
    template <class A> void Fields(A& a) { a(domain); }
};
struct SDomainInfoReply
{
    uint32_t status = 0;
    std::string name; // NetBIOS name
    std::string dnsName;
    std::string controllerName;
    template <class A> void Fields(A& a) { a(status, name, dnsName, controllerName); }
};

// ---- Kernel objects ----------------------------------------------------------------------------

// Creates a named or unnamed event or mutex, or opens the named one that exists (existed = 1);
// a name held by another kind of object is ERROR_INVALID_HANDLE, as on Windows.
enum class EObjectKind : uint32_t
{
    Event = 1,
    Mutex = 2,
    Process = 3, // not created by CreateObject: by CreateProcess and OpenProcess
    Thread = 4,
    Section = 5, // by CreateSection and OpenSection
};
struct SCreateObjectRequest
{
    uint32_t kind = 0;
    std::string name; // UTF-8, empty for an unnamed object
    uint32_t manualReset = 0;
    uint32_t initialState = 0; // event signalled, or mutex owned by the calling thread
    uint32_t threadId = 0;
    template <class A> void Fields(A& a) { a(kind, name, manualReset, initialState, threadId); }
};
struct SObjectReply
{
    uint32_t status = 0;
    uint64_t handle = 0;
    uint32_t existed = 0;
    template <class A> void Fields(A& a) { a(status, handle, existed); }
};
// Opens a named object of a kind: ERROR_FILE_NOT_FOUND when no object holds the name.
struct SOpenObjectRequest
{
    uint32_t kind = 0;
    std::string name;
    template <class A> void Fields(A& a) { a(kind, name); }
};
// SetEvent (1), ResetEvent (2), PulseEvent (3).
struct SEventRequest
{
    uint64_t handle = 0;
    uint32_t operation = 0;
    template <class A> void Fields(A& a) { a(handle, operation); }
};
// ERROR_NOT_OWNER unless the calling thread owns the mutex.
struct SReleaseMutexRequest
{
    uint64_t handle = 0;
    uint32_t threadId = 0;
    template <class A> void Fields(A& a) { a(handle, threadId); }
};
struct SCloseHandleRequest
{
    uint64_t handle = 0;
    template <class A> void Fields(A& a) { a(handle); }
};
// Waits on up to 64 handles for one (all = 0) or all of them. The reply comes when the wait is
// over: result is WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i or WAIT_TIMEOUT. A caller that waits
// makes no other request on that connection meanwhile.
struct SWaitRequest
{
    std::string handles; // the handles as consecutive uint64 values
    uint32_t all = 0;
    uint32_t timeout = 0; // milliseconds, INFINITE for none
    uint32_t threadId = 0;
    template <class A> void Fields(A& a) { a(handles, all, timeout, threadId); }
};
struct SWaitReply
{
    uint32_t status = 0;
    uint32_t result = 0;
    template <class A> void Fields(A& a) { a(status, result); }
};

// ---- Processes and threads -------------------------------------------------------------------
// Starts a program on the machine; the server is its parent. Descriptors for its standard
// input, output and error come with the request (SCM_RIGHTS), stdioCount of them.
struct SCreateProcessRequest
{
    std::string program;     // Linux path of the program file
    std::string arguments;   // argv, each ended by a NUL
    std::string environment; // Linux "NAME=VALUE" items, each ended by a NUL
    std::string folder;      // Linux working folder
    std::string user;        // CreateProcessAsUserW: the account of a checked logon
    std::string password;
    uint32_t suspended = 0;
    uint32_t stdioCount = 0;
    template <class A> void Fields(A& a)
    {
        a(program, arguments, environment, folder, user, password, suspended, stdioCount);
    }
};
struct SCreateProcessReply
{
    uint32_t status = 0;
    uint64_t process = 0;
    uint64_t thread = 0;
    uint32_t processId = 0;
    uint32_t threadId = 0;
    template <class A> void Fields(A& a) { a(status, process, thread, processId, threadId); }
};
// A process of this machine by its id, with Win32 process rights; debugPrivilege says that the
// caller's token has the debug privilege enabled.
struct SOpenProcessRequest
{
    uint32_t processId = 0;
    uint32_t access = 0;
    uint32_t debugPrivilege = 0;
    template <class A> void Fields(A& a) { a(processId, access, debugPrivilege); }
};
// What a process or thread handle says: its id, exit code (STILL_ACTIVE while it runs).
struct SQueryObjectRequest
{
    uint64_t handle = 0;
    template <class A> void Fields(A& a) { a(handle); }
};
struct SQueryObjectReply
{
    uint32_t status = 0;
    uint32_t id = 0;
    uint32_t exitCode = 0;
    uint32_t processId = 0; // a thread's process
    template <class A> void Fields(A& a) { a(status, id, exitCode, processId); }
};
// TerminateProcess (a process handle) and the end of a thread of the caller (a thread handle).
struct SEndObjectRequest
{
    uint64_t handle = 0;
    uint32_t exitCode = 0;
    template <class A> void Fields(A& a) { a(handle, exitCode); }
};
// ResumeThread of a process's main thread; the reply's result is the previous suspend count.
struct SResumeThreadRequest
{
    uint64_t handle = 0;
    template <class A> void Fields(A& a) { a(handle); }
};
// A thread of the caller, waitable until it ends (SEndObjectRequest).
struct SCreateThreadRequest
{
    uint32_t threadId = 0;
    template <class A> void Fields(A& a) { a(threadId); }
};
// DuplicateHandle: from the caller's table into the caller's own (targetProcess 0) or into the
// table of the process behind targetProcess, a process handle of the caller.
struct SDuplicateHandleRequest
{
    uint64_t handle = 0;
    uint64_t targetProcess = 0;
    uint32_t access = 0;
    uint32_t sameAccess = 0;
    uint32_t closeSource = 0;
    template <class A> void Fields(A& a) { a(handle, targetProcess, access, sameAccess, closeSource); }
};
// ExitProcess: the caller's full 32-bit exit code, which its Linux exit status cannot carry.
struct SExitCodeRequest
{
    uint32_t exitCode = 0;
    template <class A> void Fields(A& a) { a(exitCode); }
};
// A file-mapping section backed by the paging file: named shared memory of a size. Create
// opens the named one that exists (existed = 1, of its own size); the caller maps the file the
// reply names.
struct SCreateSectionRequest
{
    std::string name; // UTF-8, empty for an unnamed section
    uint64_t size = 0;
    template <class A> void Fields(A& a) { a(name, size); }
};
struct SOpenSectionRequest : SOpenObjectRequest
{
};
struct SSectionReply
{
    uint32_t status = 0;
    uint64_t handle = 0;
    uint32_t existed = 0;
    std::string path; // Linux path of the backing file
    uint64_t size = 0;
    template <class A> void Fields(A& a) { a(status, handle, existed, path, size); }
};
// The network credentials of the logon the caller was started with, if any.
struct SProcessCredentialsRequest
{
    template <class A> void Fields(A&) {}
};
struct SCredentialsReply
{
    uint32_t status = 0;
    std::string user;
    std::string password;
    template <class A> void Fields(A& a) { a(status, user, password); }
};

// ---- Services ----------------------------------------------------------------------------------
// The service control manager. Every request about a manager or service handle names it in
// "handle"; the server checks its kind and rights. Multi-strings are items each ended by a NUL.
// Managers are for the registry's callers: local ones with an account, remote administrators.
struct SScOpenManagerRequest
{
    uint32_t access = 0;
    template <class A> void Fields(A& a) { a(access); }
};
struct SScHandleReply
{
    uint32_t status = 0;
    uint64_t handle = 0;
    template <class A> void Fields(A& a) { a(status, handle); }
};
struct SScCreateServiceRequest
{
    uint64_t handle = 0; // the manager
    std::string name;
    std::string displayName; // empty: the name
    uint32_t access = 0;
    uint32_t type = 0;
    uint32_t start = 0;
    uint32_t errorControl = 0;
    std::string imagePath;
    std::string group;
    std::string dependencies;
    std::string startName;
    template <class A> void Fields(A& a)
    {
        a(handle, name, displayName, access, type, start, errorControl, imagePath, group,
          dependencies, startName);
    }
};
struct SScOpenServiceRequest
{
    uint64_t handle = 0; // the manager
    std::string name;
    uint32_t access = 0;
    template <class A> void Fields(A& a) { a(handle, name, access); }
};
// Requests that name a handle and nothing more.
struct SScHandleRequest
{
    uint64_t handle = 0;
    template <class A> void Fields(A& a) { a(handle); }
};
struct SScQueryStatusRequest : SScHandleRequest
{
};
struct SScQueryConfigRequest : SScHandleRequest
{
};
struct SScDeleteServiceRequest : SScHandleRequest
{
};
struct SScCloseHandleRequest : SScHandleRequest
{
};
// The arguments go to the service's main function, never to its program's command line.
struct SScStartServiceRequest
{
    uint64_t handle = 0;
    std::string arguments;
    template <class A> void Fields(A& a) { a(handle, arguments); }
};
struct SScControlRequest
{
    uint64_t handle = 0;
    uint32_t control = 0;
    template <class A> void Fields(A& a) { a(handle, control); }
};
// SERVICE_STATUS_PROCESS.
struct SScStatusReply
{
    uint32_t status = 0;
    uint32_t type = 0, state = 0, accepted = 0, win32ExitCode = 0, specificExitCode = 0,
             checkPoint = 0, waitHint = 0, processId = 0, flags = 0;
    template <class A> void Fields(A& a)
    {
        a(status, type, state, accepted, win32ExitCode, specificExitCode, checkPoint, waitHint,
          processId, flags);
    }
};
struct SScConfigReply
{
    uint32_t status = 0;
    uint32_t type = 0, start = 0, errorControl = 0, tagId = 0;
    std::string imagePath, group, dependencies, startName, displayName;
    template <class A> void Fields(A& a)
    {
        a(status, type, start, errorControl, tagId, imagePath, group, dependencies, startName,
          displayName);
    }
};
// SERVICE_NO_CHANGE leaves a number as it is; a string changes when its bit of "strings" is set
// (1 image path, 2 group, 4 dependencies, 8 account, 16 display name).
struct SScChangeConfigRequest
{
    uint64_t handle = 0;
    uint32_t type = 0, start = 0, errorControl = 0;
    uint32_t strings = 0;
    std::string imagePath, group, dependencies, startName, displayName;
    template <class A> void Fields(A& a)
    {
        a(handle, type, start, errorControl, strings, imagePath, group, dependencies, startName,
          displayName);
    }
};
struct SScEnumDependentsRequest
{
    uint64_t handle = 0;
    uint32_t state = 0;
    template <class A> void Fields(A& a) { a(handle, state); }
};
// groupSet 0: any group; else only services of "group" ("" for none).
struct SScEnumServicesRequest
{
    uint64_t handle = 0;
    uint32_t type = 0;
    uint32_t state = 0;
    uint32_t groupSet = 0;
    std::string group;
    template <class A> void Fields(A& a) { a(handle, type, state, groupSet, group); }
};
// One service of an enumeration; the reply holds "count" of them one after the other.
struct SScEnumEntry
{
    std::string name, displayName;
    uint32_t type = 0, state = 0, accepted = 0, win32ExitCode = 0, specificExitCode = 0,
             checkPoint = 0, waitHint = 0, processId = 0, flags = 0;
    template <class A> void Fields(A& a)
    {
        a(name, displayName, type, state, accepted, win32ExitCode, specificExitCode, checkPoint,
          waitHint, processId, flags);
    }
};
struct SScEnumReply
{
    uint32_t status = 0;
    uint32_t count = 0;
    std::string entries;
    template <class A> void Fields(A& a) { a(status, count, entries); }
};
// The service program's side: its dispatcher says it is the program the server started for a
// service (the server knows its process from the connection) and gets the service's name, the
// start arguments and a handle it waits on (Wait) until a control comes or the service stopped.
struct SScConnectDispatcherRequest
{
    template <class A> void Fields(A&) {}
};
struct SScDispatcherReply
{
    uint32_t status = 0;
    std::string name;
    std::string arguments;
    uint64_t control = 0;
    template <class A> void Fields(A& a) { a(status, name, arguments, control); }
};
struct SScSetStatusRequest
{
    uint32_t type = 0, state = 0, accepted = 0, win32ExitCode = 0, specificExitCode = 0,
             checkPoint = 0, waitHint = 0;
    template <class A> void Fields(A& a)
    {
        a(type, state, accepted, win32ExitCode, specificExitCode, checkPoint, waitHint);
    }
};
// Takes the next control (0 for none); stopped = 1 once the service reported itself stopped.
struct SScTakeControlRequest
{
    uint64_t control = 0;
    template <class A> void Fields(A& a) { a(control); }
};
struct SScTakeControlReply
{
    uint32_t status = 0;
    uint32_t control = 0;
    uint32_t stopped = 0;
    template <class A> void Fields(A& a) { a(status, control, stopped); }
};

// Who may make a request. A caller is local when its process runs on the server's machine (the
// server finds that out from the process itself); a remote caller is known only by the network
// credentials it gave in its Hello.
enum class EAccess
{
    Anyone,   // before Hello
    Caller,   // any greeted caller
    Local,    // callers on this machine
    Registry, // local callers with an account, and remote administrators; key rights apply
    LocalAdministrator, // administrators on this machine
};

// X(name, wire number, request message, reply message, access rule)
#define FLEET_MACHINE_REQUESTS(X)                                                                  \
    X(Hello, 1, SHelloRequest, SHelloReply, Anyone)                                                \
    X(Shutdown, 2, SShutdownRequest, SStatusReply, LocalAdministrator)                             \
    X(RegOpenKey, 3, SRegOpenKeyRequest, SRegOpenKeyReply, Registry)                               \
    X(RegCreateKey, 4, SRegCreateKeyRequest, SRegOpenKeyReply, Registry)                           \
    X(RegCloseKey, 5, SRegCloseKeyRequest, SStatusReply, Registry)                                 \
    X(RegQueryValue, 6, SRegQueryValueRequest, SRegValueReply, Registry)                           \
    X(RegSetValue, 7, SRegSetValueRequest, SStatusReply, Registry)                                 \
    X(RegDeleteValue, 8, SRegDeleteValueRequest, SStatusReply, Registry)                           \
    X(RegDeleteKey, 9, SRegDeleteKeyRequest, SStatusReply, Registry)                               \
    X(RegEnumKey, 10, SRegEnumKeyRequest, SRegEnumKeyReply, Registry)                              \
    X(RegEnumValue, 11, SRegEnumValueRequest, SRegValueReply, Registry)                            \
    X(RegQueryInfoKey, 12, SRegQueryInfoKeyRequest, SRegQueryInfoKeyReply, Registry)               \
    X(CheckCredentials, 13, SCheckCredentialsRequest, SHelloReply, Caller)                         \
    X(AccountInfo, 14, SAccountInfoRequest, SHelloReply, Local)                                    \
    X(GetShare, 15, SGetShareRequest, SGetShareReply, Caller)                                      \
    X(Ping, 16, SPingRequest, SStatusReply, Caller)                                                \
    X(GetEnvironment, 17, SGetEnvironmentRequest, SEnvironmentReply, Local)                        \
    X(DomainInfo, 18, SDomainInfoRequest, SDomainInfoReply, Local)                                 \
    X(CreateObject, 19, SCreateObjectRequest, SObjectReply, Local)                                 \
    X(OpenObject, 20, SOpenObjectRequest, SObjectReply, Local)                                     \
    X(EventOperation, 21, SEventRequest, SStatusReply, Local)                                      \
    X(ReleaseMutex, 22, SReleaseMutexRequest, SStatusReply, Local)                                 \
    X(CloseHandle, 23, SCloseHandleRequest, SStatusReply, Local)                                   \
    X(Wait, 24, SWaitRequest, SWaitReply, Local)                                                  \
    X(CreateProcess, 25, SCreateProcessRequest, SCreateProcessReply, Local)                        \
    X(OpenProcess, 26, SOpenProcessRequest, SObjectReply, Local)                                   \
    X(QueryObject, 27, SQueryObjectRequest, SQueryObjectReply, Local)                              \
    X(EndObject, 28, SEndObjectRequest, SStatusReply, Local)                                       \
    X(ResumeThread, 29, SResumeThreadRequest, SWaitReply, Local)                                   \
    X(CreateThread, 30, SCreateThreadRequest, SObjectReply, Local)                                 \
    X(DuplicateHandle, 31, SDuplicateHandleRequest, SObjectReply, Local)                           \
    X(ProcessCredentials, 32, SProcessCredentialsRequest, SCredentialsReply, Local)                \
    X(ReportExitCode, 33, SExitCodeRequest, SStatusReply, Local)                                   \
    X(CreateSection, 34, SCreateSectionRequest, SSectionReply, Local)                              \
    X(OpenSection, 35, SOpenSectionRequest, SSectionReply, Local)                                   \
    X(ScOpenManager, 40, SScOpenManagerRequest, SScHandleReply, Registry)                          \
    X(ScCreateService, 41, SScCreateServiceRequest, SScHandleReply, Registry)                      \
    X(ScOpenService, 42, SScOpenServiceRequest, SScHandleReply, Registry)                          \
    X(ScStartService, 43, SScStartServiceRequest, SStatusReply, Registry)                          \
    X(ScControlService, 44, SScControlRequest, SScStatusReply, Registry)                           \
    X(ScQueryStatus, 45, SScQueryStatusRequest, SScStatusReply, Registry)                          \
    X(ScQueryConfig, 46, SScQueryConfigRequest, SScConfigReply, Registry)                          \
    X(ScChangeConfig, 47, SScChangeConfigRequest, SStatusReply, Registry)                          \
    X(ScEnumDependents, 48, SScEnumDependentsRequest, SScEnumReply, Registry)                      \
    X(ScEnumServices, 49, SScEnumServicesRequest, SScEnumReply, Registry)                          \
    X(ScDeleteService, 50, SScDeleteServiceRequest, SStatusReply, Registry)                        \
    X(ScCloseHandle, 51, SScCloseHandleRequest, SStatusReply, Registry)                            \
    X(ScConnectDispatcher, 52, SScConnectDispatcherRequest, SScDispatcherReply, Local)             \
    X(ScSetStatus, 53, SScSetStatusRequest, SStatusReply, Local)                                   \
    X(ScTakeControl, 54, SScTakeControlRequest, SScTakeControlReply, Local)

enum class ERequest : uint16_t
{
#define FLEET_REQUEST_ENUM(name, number, request, reply, access) name = number,
    FLEET_MACHINE_REQUESTS(FLEET_REQUEST_ENUM)
#undef FLEET_REQUEST_ENUM
};

// What the list says of one request message: its code, its reply and its access rule.
template <class TRequest> struct TRequestTraits;
#define FLEET_REQUEST_TRAITS(name, number, request, reply, access)                                 \
    template <> struct TRequestTraits<request>                                                     \
    {                                                                                              \
        static constexpr ERequest kCode = ERequest::name;                                          \
        using TReply = reply;                                                                      \
        static constexpr EAccess kAccess = EAccess::access;                                        \
    };
FLEET_MACHINE_REQUESTS(FLEET_REQUEST_TRAITS)
#undef FLEET_REQUEST_TRAITS

// Wire numbers are unique and fit the dispatch table.
constexpr uint16_t kRequestNumbers[] = {
#define FLEET_REQUEST_NUMBER(name, number, request, reply, access) number,
    FLEET_MACHINE_REQUESTS(FLEET_REQUEST_NUMBER)
#undef FLEET_REQUEST_NUMBER
};
constexpr uint16_t kMaxRequestNumber = 64;
constexpr bool RequestNumbersAreUnique()
{
    for (size_t i = 0; i < std::size(kRequestNumbers); ++i)
    {
        if (kRequestNumbers[i] == 0 || kRequestNumbers[i] >= kMaxRequestNumber)
            return false;
        for (size_t j = i + 1; j < std::size(kRequestNumbers); ++j)
        {
            if (kRequestNumbers[i] == kRequestNumbers[j])
                return false;
        }
    }
    return true;
}
static_assert(RequestNumbersAreUnique(),
              "every request needs its own wire number below kMaxRequestNumber");

} // namespace machine::protocol
