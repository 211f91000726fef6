// Shared helpers of the test suites: each suite runs in a fleet of its own in a temporary
// folder, on the default machine (an administrator's workstation), unless a test re-runs the
// binary as a child on another machine.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport
{

// The Linux folder of this run's fleet.
std::string FleetRoot();

// The Linux path of a Windows path on this process's machine (fails the test when unmapped).
std::string HostPath(const std::wstring& windowsPath);

std::string ReadHostFile(const std::string& path);
void WriteHostFile(const std::string& path, const std::string& bytes);

// Polls a condition every 20 ms until it holds (true) or the guard time is up (false); the
// guard only keeps a test from hanging.
template <class TCondition> bool WaitFor(TCondition condition, std::chrono::milliseconds guard)
{
    auto end = std::chrono::steady_clock::now() + guard;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The Windows folder of the running test binary, where the build puts the stand-in programs.
std::wstring ProgramFolder();

// Runs a Windows command line on this process's machine (current folder as given, or this
// process's) and waits for it: its exit code, or ~0u - 1 when it cannot be started.
unsigned long RunProgram(const std::wstring& commandLine, const wchar_t* folder = nullptr);

// Copies a Windows folder with everything below it to another place of this machine.
void CopyTree(const std::wstring& from, const std::wstring& to);

// Runs a Linux program (arguments[0] is its path) with the extra environment and waits for it:
// its exit code (128 + signal when killed); output gets what it printed.
int RunHostProgram(const std::vector<std::string>& arguments,
                   const std::vector<std::pair<std::string, std::string>>& environment,
                   std::string* output = nullptr);

// Runs the build's front end rolloutcli.exe with the arguments on this machine of the fleet at
// fleetRoot, the account's password in ROLLOUT_PASSWORD: its exit code and what it printed.
int RunFrontEnd(const std::string& fleetRoot, const std::vector<std::string>& arguments,
                const std::string& password, std::string* output = nullptr);

// As RunHostProgram, on a terminal of its own: once the program has printed prompt, answer and a
// line end are typed; output gets all the terminal showed.
int RunHostProgramOnTerminal(const std::vector<std::string>& arguments,
                             const std::vector<std::pair<std::string, std::string>>& environment,
                             const std::string& prompt, const std::string& answer,
                             std::string* output = nullptr);

// The files below a folder whose bytes hold the text, also as UTF-16 or UTF-32 (files that
// vanish while the folder is read, as a machine server's do, are passed over).
std::vector<std::string> FilesHolding(const std::string& folder, const std::string& text);

// A Linux process of a fleet: its pid, program (the first word of its command line), the whole
// command line and its environment (each item ends in a NUL).
struct SFleetProcess
{
    int pid = 0;
    std::string program;
    std::string commandLine;
    std::string environment;
    // Whether the environment holds name=value exactly.
    bool Has(const std::string& name, const std::string& value) const;
};

// The processes whose environment names this fleet (FLEET_ROOT), but this one; processes that
// end while they are read are passed over.
std::vector<SFleetProcess> FleetProcesses(const std::string& fleetRoot);

// True while this process runs as a child started by RunChild.
bool IsChild();

// Re-runs this test binary with --gtest_filter=filter and the given extra environment (the
// child sees FLEET_TEST_CHILD=1 and the fleet of its parent); returns its exit code and
// fills output with what it printed.
int RunChild(const std::string& filter,
             const std::vector<std::pair<std::string, std::string>>& environment,
             std::string* output = nullptr);

// A Unix socket at path that takes every connection and drops it at once, as a machine server
// that is being stopped does; the path is removed again at the end.
class CDroppingListener
{
public:
    explicit CDroppingListener(const std::string& path);
    ~CDroppingListener();
    CDroppingListener(const CDroppingListener&) = delete;
    CDroppingListener& operator=(const CDroppingListener&) = delete;
    bool Listening() const { return m_Fd >= 0; }

private:
    std::string m_Path;
    int m_Fd = -1;
    std::atomic<bool> m_bStop{false};
    std::thread m_Thread;
};

} // namespace testsupport
