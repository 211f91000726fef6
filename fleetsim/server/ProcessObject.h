// Processes and threads as objects of the machine server. The server starts the processes of
// its machine itself (CreateProcessW asks it to, and so does a service start), so it is their
// parent and always learns their true end and exit code; a pidfd in its loop tells it at once.
#pragma once

#include "fleetsim/server/Object.h"
#include "winport/WinTypes.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace machine
{

class CMachineServer;

extern const SObjectOps g_ProcessOps;
extern const SObjectOps g_ThreadOps;

// What a new process is started with. The server adds the variables that place the process
// on its machine (FLEET_ROOT, FLEET_MACHINE, FLEET_USER) and drops any the caller gave.
struct SSpawnParameters
{
    std::string program;                  // Linux path of the program file
    std::vector<std::string> arguments;   // argv, the program's name first
    std::vector<std::string> environment; // "NAME=VALUE", without the placing variables
    std::string folder;                   // Linux working folder; empty: the server's
    std::wstring account;                 // the account it runs as ("SYSTEM" for services)
    std::wstring password;                // of a checked logon: the process's network credentials
    int stdio[3] = {-1, -1, -1};          // descriptors for 0, 1, 2; -1 is /dev/null
    bool suspended = false;               // it waits before its program runs (ResumeThread)
};

class CProcessObject : public CObject
{
public:
    CProcessObject();
    ~CProcessObject() override;

    pid_t Pid() const { return m_Pid; }
    bool Running() const { return m_bRunning; }
    // STILL_ACTIVE (259) while it runs.
    uint32_t ExitCode() const { return m_ExitCode; }
    const std::wstring& Account() const { return m_Account; }
    // The credentials of the logon it was started with (CreateProcessAsUserW), else empty.
    const std::wstring& Password() const { return m_Password; }
    bool IsChild() const { return m_bChild; }
    // The main thread: signalled with the process, resumed by ResumeThread.
    const std::shared_ptr<CObject>& MainThread() const { return m_MainThread; }
    uint32_t MainThreadId() const;

    // Called once when the process has ended (after its exit code is known).
    void OnExit(std::function<void(CProcessObject&)> callback);
    // Ends it with an exit code (SIGKILL); false when it has already ended.
    bool Terminate(uint32_t exitCode);
    // Lets a suspended process run; false when it was not suspended.
    bool Resume();
    // The full exit code the process says it ends with (its exit status keeps the low byte).
    void ReportExitCode(uint32_t exitCode)
    {
        m_ReportedExitCode = exitCode;
        m_bReported = true;
    }

    // The handle table of the process, kept from a DuplicateHandle into it until it connects
    // or ends.
    std::shared_ptr<CClientProcess> m_Table;

private:
    friend class CProcessTable;
    pid_t m_Pid = 0;
    int m_PidFd = -1;
    int m_ResumeFd = -1; // write end of the pipe a suspended child waits on
    bool m_bRunning = true;
    bool m_bChild = true; // started by this server, so it reaps it
    uint32_t m_ExitCode = 259;
    uint32_t m_TerminateCode = 0;
    uint32_t m_ReportedExitCode = 0;
    bool m_bReported = false;
    bool m_bTerminated = false;
    std::wstring m_Account;
    std::wstring m_Password;
    std::shared_ptr<CObject> m_MainThread;
    std::vector<std::function<void(CProcessObject&)>> m_OnExit;
};

// The processes the server knows: those it started, and those of its machine that a caller
// opened by id.
class CProcessTable
{
public:
    explicit CProcessTable(CMachineServer& server) : m_Server(server) {}
    ~CProcessTable();

    // Starts a process; null with a Win32 error when it cannot.
    std::shared_ptr<CProcessObject> Spawn(const SSpawnParameters& parameters, DWORD& error);
    // The object of a process of this machine by its id (opened on first use; null when no
    // process of this machine has that id).
    std::shared_ptr<CProcessObject> Find(pid_t pid);
    // The pidfd of a process became readable: it ended.
    void Reap(int pidFd);
    // Whether a descriptor the loop reports is one of the table's.
    bool Owns(int fd) const;
    // Processes started by the server that still run.
    size_t RunningChildren() const;

private:
    CMachineServer& m_Server;
    std::map<pid_t, std::weak_ptr<CProcessObject>> m_ByPid;
    std::map<int, std::shared_ptr<CProcessObject>> m_Running; // by pidfd, until reaped
};

} // namespace machine
