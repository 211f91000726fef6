// Processes and threads: the server starts its machine's processes, reaps them through pidfds
// in its loop, and answers for their handles.
#include "fleetsim/server/ProcessObject.h"

#include "fleetsim/server/Handlers.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace machine
{
namespace
{

constexpr uint32_t kStillActive = 259;
constexpr uint32_t kProcessTerminate = 0x0001;
constexpr uint32_t kProcessQueryInformation = 0x0400;
constexpr uint32_t kProcessQueryLimitedInformation = 0x1000;
constexpr uint32_t kSynchronize = 0x00100000;
constexpr uint32_t kProcessAllAccess = 0x1FFFFF;
constexpr uint32_t kThreadAllAccess = 0x1FFFFF;
constexpr uint32_t kThreadSuspendResume = 0x0002;
constexpr uint32_t kThreadQueryInformation = 0x0040;

// A thread: the main thread of a process the server knows, or a thread of a connected process
// that says when it ends.
class CThreadObject : public CObject
{
public:
    CThreadObject() : CObject(g_ThreadOps) {}
    std::weak_ptr<CProcessObject> m_Process; // of a main thread
    CClientProcess* m_pOwner = nullptr;      // of a caller's thread: only compared
    uint32_t m_Id = 0;
    uint32_t m_ProcessId = 0;
    uint32_t m_ExitCode = kStillActive;
    bool m_bEnded = false;
};

bool ThreadEnded(const CThreadObject& thread)
{
    if (thread.m_bEnded)
        return true;
    std::shared_ptr<CProcessObject> process = thread.m_Process.lock();
    return thread.m_pOwner == nullptr && (!process || !process->Running());
}

uint32_t ThreadExitCode(const CThreadObject& thread)
{
    if (thread.m_bEnded || thread.m_pOwner != nullptr)
        return thread.m_ExitCode;
    std::shared_ptr<CProcessObject> process = thread.m_Process.lock();
    return process ? process->ExitCode() : 0;
}

bool ProcessSignalled(const CObject& object, const SWaiter&)
{
    return !static_cast<const CProcessObject&>(object).Running();
}

bool ThreadSignalled(const CObject& object, const SWaiter&)
{
    return ThreadEnded(static_cast<const CThreadObject&>(object));
}

void ThreadOwnerGone(CObject& object, CClientProcess& gone)
{
    // A thread of a process that ended without saying so ended with it.
    auto& thread = static_cast<CThreadObject&>(object);
    if (thread.m_pOwner == &gone && !thread.m_bEnded)
        thread.m_bEnded = true;
}

pid_t PidFdOpen(pid_t pid)
{
    return static_cast<pid_t>(syscall(SYS_pidfd_open, pid, 0));
}

DWORD SpawnError(int error)
{
    switch (error)
    {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    case ENOMEM:
    case EAGAIN:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return winport::posix::ErrnoToWin32(error);
    }
}

bool IsPlacingVariable(const std::string& item)
{
    for (const char* name : {"FLEET_ROOT=", "FLEET_MACHINE=", "FLEET_USER="})
    {
        if (item.compare(0, strlen(name), name) == 0)
            return true;
    }
    return false;
}

} // namespace

const SObjectOps g_ProcessOps = {"Process", ProcessSignalled, nullptr, nullptr, nullptr};
const SObjectOps g_ThreadOps = {"Thread", ThreadSignalled, nullptr, nullptr, ThreadOwnerGone};

CProcessObject::CProcessObject() : CObject(g_ProcessOps)
{
    auto thread = std::make_shared<CThreadObject>();
    m_MainThread = thread;
}

CProcessObject::~CProcessObject()
{
    if (m_PidFd >= 0)
        close(m_PidFd);
    if (m_ResumeFd >= 0)
        close(m_ResumeFd);
}

uint32_t CProcessObject::MainThreadId() const
{
    return static_cast<uint32_t>(m_Pid); // Linux's main thread has the process's id
}

void CProcessObject::OnExit(std::function<void(CProcessObject&)> callback)
{
    if (!m_bRunning)
        callback(*this);
    else
        m_OnExit.push_back(std::move(callback));
}

bool CProcessObject::Terminate(uint32_t exitCode)
{
    if (!m_bRunning)
        return false;
    if (!m_bTerminated)
    {
        m_bTerminated = true;
        m_TerminateCode = exitCode;
    }
    // Through the pidfd, so that a recycled id is never hit.
    return syscall(SYS_pidfd_send_signal, m_PidFd, SIGKILL, nullptr, 0) == 0 || errno == ESRCH;
}

bool CProcessObject::Resume()
{
    if (m_ResumeFd < 0)
        return false;
    char go = 1;
    bool sent = write(m_ResumeFd, &go, 1) == 1;
    close(m_ResumeFd);
    m_ResumeFd = -1;
    return sent;
}

CProcessTable::~CProcessTable()
{
    // Children outlive a server that ends; their pidfds close with their objects.
    m_Running.clear();
}

std::shared_ptr<CProcessObject> CProcessTable::Spawn(const SSpawnParameters& parameters,
                                                     DWORD& error)
{
    error = ERROR_SUCCESS;
    if (parameters.program.empty() || parameters.arguments.empty())
    {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    // Everything the child needs is ready before it exists.
    std::vector<std::string> environment;
    if (parameters.environment.empty())
    {
        for (char** item = environ; *item != nullptr; ++item)
            environment.emplace_back(*item);
    }
    else
        environment = parameters.environment;
    std::erase_if(environment, IsPlacingVariable);
    environment.push_back("FLEET_ROOT=" + m_Server.FleetRoot());
    environment.push_back("FLEET_MACHINE=" + m_Server.MachineName());
    if (!parameters.account.empty())
        environment.push_back("FLEET_USER=" + winport::ToUtf8(parameters.account));
    std::vector<char*> argv, envp;
    for (const std::string& argument : parameters.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const std::string& item : environment)
        envp.push_back(const_cast<char*>(item.c_str()));
    envp.push_back(nullptr);

    int stdio[3];
    int nullFd = -1;
    for (int i = 0; i < 3; ++i)
    {
        if (parameters.stdio[i] >= 0)
            stdio[i] = parameters.stdio[i];
        else
        {
            if (nullFd < 0)
                nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
            stdio[i] = nullFd;
        }
    }
    sigset_t none;
    sigemptyset(&none);

    pid_t pid = -1;
    int resumeFd = -1;
    if (!parameters.suspended)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int i = 0; i < 3; ++i)
            posix_spawn_file_actions_adddup2(&actions, stdio[i], i);
        if (!parameters.folder.empty())
            posix_spawn_file_actions_addchdir_np(&actions, parameters.folder.c_str());
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD})
            sigaddset(&defaults, signal);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        int rc = posix_spawn(&pid, parameters.program.c_str(), &actions, &attributes, argv.data(),
                             envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            error = SpawnError(rc);
    }
    else if (access(parameters.program.c_str(), X_OK) != 0)
        error = SpawnError(errno);
    else
    {
        // A suspended process waits on a pipe before its program runs: ResumeThread writes to
        // it, and a process terminated meanwhile never runs its program.
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            error = SpawnError(errno);
        else
        {
            pid = fork();
            if (pid == 0)
            {
                char go = 0;
                if (read(pipeFds[0], &go, 1) != 1)
                    _exit(1);
                for (int i = 0; i < 3; ++i)
                {
                    if (dup2(stdio[i], i) < 0)
                        _exit(127);
                }
                if (!parameters.folder.empty() && chdir(parameters.folder.c_str()) != 0)
                    _exit(127);
                for (int signal : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD})
                    ::signal(signal, SIG_DFL);
                sigprocmask(SIG_SETMASK, &none, nullptr);
                execve(parameters.program.c_str(), argv.data(), envp.data());
                _exit(127);
            }
            close(pipeFds[0]);
            if (pid < 0)
            {
                error = SpawnError(errno);
                close(pipeFds[1]);
            }
            else
                resumeFd = pipeFds[1];
        }
    }
    if (nullFd >= 0)
        close(nullFd);
    if (error != ERROR_SUCCESS)
        return nullptr;

    auto process = std::make_shared<CProcessObject>();
    process->m_Pid = pid;
    process->m_PidFd = PidFdOpen(pid);
    process->m_ResumeFd = resumeFd;
    process->m_Account = parameters.account;
    process->m_Password = parameters.password;
    auto& thread = static_cast<CThreadObject&>(*process->m_MainThread);
    thread.m_Process = process;
    thread.m_Id = process->MainThreadId();
    thread.m_ProcessId = static_cast<uint32_t>(pid);
    if (process->m_PidFd < 0)
    {
        // Without a pidfd the end would go unnoticed: wait for it now rather than leak it.
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    m_Server.WatchReadable(process->m_PidFd);
    m_Running[process->m_PidFd] = process;
    m_ByPid[pid] = process;
    return process;
}

std::shared_ptr<CProcessObject> CProcessTable::Find(pid_t pid)
{
    auto it = m_ByPid.find(pid);
    if (it != m_ByPid.end())
    {
        if (std::shared_ptr<CProcessObject> known = it->second.lock())
            return known;
        m_ByPid.erase(it);
    }
    // Another process of this machine: known from its pidfd on, its end seen but not its code.
    if (pid <= 0 || !winport::fleet::IsProcessOfThisMachine(pid))
        return nullptr;
    int pidFd = PidFdOpen(pid);
    if (pidFd < 0)
        return nullptr;
    auto process = std::make_shared<CProcessObject>();
    process->m_Pid = pid;
    process->m_PidFd = pidFd;
    process->m_bChild = false;
    winport::fleet::SProcessStart start;
    if (winport::fleet::ReadProcessStart(pid, start))
        process->m_Account = start.account;
    auto& thread = static_cast<CThreadObject&>(*process->m_MainThread);
    thread.m_Process = process;
    thread.m_Id = static_cast<uint32_t>(pid);
    thread.m_ProcessId = static_cast<uint32_t>(pid);
    m_Server.WatchReadable(pidFd);
    m_Running[pidFd] = process;
    m_ByPid[pid] = process;
    return process;
}

bool CProcessTable::Owns(int fd) const
{
    return m_Running.count(fd) != 0;
}

size_t CProcessTable::RunningChildren() const
{
    size_t count = 0;
    for (const auto& [fd, process] : m_Running)
        count += process->m_bChild ? 1 : 0;
    return count;
}

void CProcessTable::Reap(int pidFd)
{
    auto it = m_Running.find(pidFd);
    if (it == m_Running.end())
        return;
    std::shared_ptr<CProcessObject> process = it->second;
    uint32_t exitCode = 0;
    if (process->m_bChild)
    {
        siginfo_t info{};
        int rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidFd), &info,
                        WEXITED | WNOHANG);
        if (rc != 0 && errno != ECHILD)
            return;
        if (rc == 0 && info.si_pid == 0)
            return; // not over yet
        if (rc != 0)
            exitCode = 0; // reaped already: its code is gone
        else if (info.si_code == CLD_EXITED)
            exitCode = static_cast<uint32_t>(info.si_status);
        else
            exitCode = 128 + static_cast<uint32_t>(info.si_status); // killed by a signal
    }
    if (process->m_bTerminated)
        exitCode = process->m_TerminateCode;
    else if (process->m_bReported && (process->m_ReportedExitCode & 0xFF) == exitCode)
        exitCode = process->m_ReportedExitCode;
    m_Server.UnwatchReadable(pidFd);
    m_Running.erase(it);
    process->m_Table.reset();
    process->m_ExitCode = exitCode;
    process->m_bRunning = false;
    if (process->m_ResumeFd >= 0)
    {
        close(process->m_ResumeFd);
        process->m_ResumeFd = -1;
    }
    std::vector<std::function<void(CProcessObject&)>> callbacks;
    callbacks.swap(process->m_OnExit);
    for (auto& callback : callbacks)
        callback(*process);
    m_Server.WakeWaiters();
}

// ---- Requests ----------------------------------------------------------------------------------

namespace handlers
{

void CreateProcess(SRequestContext& context, SCreateProcessRequest& in, SCreateProcessReply& out)
{
    CClientProcess& caller = *context.connection.process;
    std::vector<int> descriptors = context.server.TakeDescriptors(context.connection);
    SSpawnParameters parameters;
    parameters.program = in.program;
    parameters.arguments = SplitNulItems(in.arguments);
    parameters.environment = SplitNulItems(in.environment);
    parameters.folder = in.folder;
    parameters.suspended = in.suspended != 0;
    for (size_t i = 0; i < 3 && i < descriptors.size() && i < in.stdioCount; ++i)
        parameters.stdio[i] = descriptors[i];
    if (!in.user.empty())
    {
        // The token of a logon: the server checks its credentials itself.
        bool administrator = false;
        out.status = context.server.CheckAccount(winport::FromUtf8(in.user),
                                                 winport::FromUtf8(in.password), administrator);
        parameters.account = winport::FromUtf8(in.user);
        parameters.password = winport::FromUtf8(in.password);
        std::fill(in.password.begin(), in.password.end(), '\0');
    }
    else
        parameters.account = caller.Identity().account;
    std::shared_ptr<CProcessObject> process;
    if (out.status == ERROR_SUCCESS)
    {
        DWORD error = ERROR_SUCCESS;
        process = context.server.Processes().Spawn(parameters, error);
        out.status = error;
    }
    for (int fd : descriptors)
        close(fd);
    std::fill(parameters.password.begin(), parameters.password.end(), L'\0');
    if (!process)
        return;
    out.processId = static_cast<uint32_t>(process->Pid());
    out.threadId = process->MainThreadId();
    out.thread = caller.Insert(process->MainThread(), kThreadAllAccess);
    out.process = caller.Insert(std::move(process), kProcessAllAccess);
}

void OpenProcess(SRequestContext& context, SOpenProcessRequest& in, SObjectReply& out)
{
    CClientProcess& caller = *context.connection.process;
    std::shared_ptr<CProcessObject> process =
        context.server.Processes().Find(static_cast<pid_t>(in.processId));
    if (!process || !process->Running())
    {
        out.status = ERROR_INVALID_PARAMETER; // as Windows answers for an id it does not know
        return;
    }
    // A process of one's own account is open to its owner; an administrator opens those of
    // other accounts, and those of the system only with the debug privilege.
    const SCallerIdentity& identity = caller.Identity();
    bool own = winport::fleet::NamesEqual(process->Account(), identity.account);
    bool system = winport::fleet::NamesEqual(process->Account(), L"SYSTEM");
    uint32_t asked = in.access == MAXIMUM_ALLOWED ? kProcessAllAccess : in.access;
    bool limited = (asked & ~(kProcessQueryLimitedInformation | kSynchronize)) == 0;
    if (!own && !limited && !(identity.administrator && (!system || in.debugPrivilege != 0)))
    {
        out.status = ERROR_ACCESS_DENIED;
        return;
    }
    out.handle = caller.Insert(std::move(process), asked);
}

void QueryObject(SRequestContext& context, SQueryObjectRequest& in, SQueryObjectReply& out)
{
    CClientProcess& caller = *context.connection.process;
    std::shared_ptr<CObject> object;
    uint32_t granted = 0;
    if (caller.Get(in.handle, g_ProcessOps, 0, object, &granted) == ERROR_SUCCESS)
    {
        if ((granted & (kProcessQueryInformation | kProcessQueryLimitedInformation)) == 0)
        {
            out.status = ERROR_ACCESS_DENIED;
            return;
        }
        auto& process = static_cast<CProcessObject&>(*object);
        out.id = static_cast<uint32_t>(process.Pid());
        out.processId = out.id;
        out.exitCode = process.ExitCode();
        return;
    }
    out.status = caller.Get(in.handle, g_ThreadOps, 0, object);
    if (out.status != ERROR_SUCCESS)
        return;
    auto& thread = static_cast<CThreadObject&>(*object);
    out.id = thread.m_Id;
    out.processId = thread.m_ProcessId;
    out.exitCode = ThreadExitCode(thread);
}

void EndObject(SRequestContext& context, SEndObjectRequest& in, SStatusReply& out)
{
    CClientProcess& caller = *context.connection.process;
    std::shared_ptr<CObject> object;
    DWORD rc = caller.Get(in.handle, g_ProcessOps, kProcessTerminate, object);
    if (rc == ERROR_SUCCESS)
    {
        auto& process = static_cast<CProcessObject&>(*object);
        // Ending a process that has ended already is refused, as on Windows.
        out.status = process.Terminate(in.exitCode) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
        return;
    }
    if (rc == ERROR_ACCESS_DENIED)
    {
        out.status = rc;
        return;
    }
    // A thread of the caller's own that has ended.
    out.status = caller.Get(in.handle, g_ThreadOps, 0, object);
    if (out.status != ERROR_SUCCESS)
        return;
    auto& thread = static_cast<CThreadObject&>(*object);
    if (thread.m_pOwner != &caller)
    {
        out.status = ERROR_ACCESS_DENIED;
        return;
    }
    if (!thread.m_bEnded)
    {
        thread.m_bEnded = true;
        thread.m_ExitCode = in.exitCode;
        context.server.WakeWaiters();
    }
}

void ResumeThread(SRequestContext& context, SResumeThreadRequest& in, SWaitReply& out)
{
    CClientProcess& caller = *context.connection.process;
    std::shared_ptr<CObject> object;
    out.status = caller.Get(in.handle, g_ThreadOps, kThreadSuspendResume, object);
    if (out.status != ERROR_SUCCESS)
        return;
    std::shared_ptr<CProcessObject> process = static_cast<CThreadObject&>(*object).m_Process.lock();
    out.result = process && process->Resume() ? 1 : 0;
}

void CreateThread(SRequestContext& context, SCreateThreadRequest& in, SObjectReply& out)
{
    CClientProcess& caller = *context.connection.process;
    auto thread = std::make_shared<CThreadObject>();
    thread->m_pOwner = &caller;
    thread->m_Id = in.threadId;
    thread->m_ProcessId = static_cast<uint32_t>(caller.Identity().pid);
    caller.Watch(thread);
    out.handle = caller.Insert(std::move(thread), kThreadAllAccess);
}

void DuplicateHandle(SRequestContext& context, SDuplicateHandleRequest& in, SObjectReply& out)
{
    CClientProcess& caller = *context.connection.process;
    std::shared_ptr<CObject> object;
    uint32_t granted = 0;
    out.status = caller.GetAny(in.handle, object);
    if (out.status != ERROR_SUCCESS)
        return;
    caller.Get(in.handle, object->Ops(), 0, object, &granted);
    uint32_t access = in.sameAccess != 0 ? granted : in.access;
    std::shared_ptr<CClientProcess> target;
    if (in.targetProcess != 0)
    {
        std::shared_ptr<CObject> targetObject;
        out.status = caller.Get(in.targetProcess, g_ProcessOps, 0x0040 /* PROCESS_DUP_HANDLE */,
                                targetObject);
        if (out.status != ERROR_SUCCESS)
            return;
        auto& process = static_cast<CProcessObject&>(*targetObject);
        target = context.server.TableOfProcess(process);
        if (!target)
        {
            out.status = ERROR_INVALID_PARAMETER;
            return;
        }
    }
    CClientProcess& into = target ? *target : caller;
    out.handle = into.Insert(object, access);
    if (in.closeSource != 0)
        caller.Close(in.handle);
}

void ReportExitCode(SRequestContext& context, SExitCodeRequest& in, SStatusReply& out)
{
    std::shared_ptr<CProcessObject> process =
        context.server.Processes().Find(context.connection.peerPid);
    if (!process)
    {
        out.status = ERROR_INVALID_PARAMETER;
        return;
    }
    process->ReportExitCode(in.exitCode);
}

void ProcessCredentials(SRequestContext& context, SProcessCredentialsRequest&,
                        SCredentialsReply& out)
{
    // Only the process itself hears the credentials of the logon it was started with.
    std::shared_ptr<CProcessObject> process =
        context.server.Processes().Find(context.connection.peerPid);
    if (!process || !process->IsChild() || process->Password().empty())
    {
        out.status = ERROR_NO_SUCH_LOGON_SESSION;
        return;
    }
    out.user = winport::ToUtf8(process->Account());
    out.password = winport::ToUtf8(process->Password());
}

} // namespace handlers
} // namespace machine
