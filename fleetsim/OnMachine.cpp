// The fleet tool's commands that act on a machine as one of its processes: the tool starts
// itself again on that machine (a process's machine is what it was started with), as the
// machine's Administrator, and the copy works through the Win32 calls.
#include "fleetsim/OnMachine.h"

#include "fleetsim/Fleet.h"
#include "setupsupport/CProcessOperation.h"
#include "winport/TlHelp32.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

extern char** environ;

namespace fleetsim
{
namespace
{

constexpr char kOnMachine[] = "--on-machine";

int Failed(const char* what, DWORD code)
{
    wchar_t text[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, 512, nullptr);
    fprintf(stderr, "fleetsim: %s: error %u: %s", what, static_cast<unsigned>(code),
            winport::ToUtf8(text).c_str());
    if (text[0] == L'\0' || text[wcslen(text) - 1] != L'\n')
        fputc('\n', stderr);
    return 1;
}

int ListProcesses(bool withModules)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return Failed("cannot list the processes", GetLastError());
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    printf("%8s %8s  %s\n", "PID", "PARENT", "PROGRAM");
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
    {
        if (entry.th32ProcessID == GetCurrentProcessId())
            continue; // the tool's own copy
        printf("%8u %8u  %s\n", entry.th32ProcessID, entry.th32ParentProcessID,
               winport::ToUtf8(entry.szExeFile).c_str());
        if (!withModules)
            continue;
        HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, entry.th32ProcessID);
        if (modules == INVALID_HANDLE_VALUE)
            continue; // it ended meanwhile
        MODULEENTRY32W module{};
        module.dwSize = sizeof module;
        for (BOOL next = Module32FirstW(modules, &module); next;
             next = Module32NextW(modules, &module))
            printf("%19s%s\n", "", winport::ToUtf8(module.szExePath).c_str());
        CloseHandle(modules);
    }
    CloseHandle(snapshot);
    return 0;
}

const char* StateName(DWORD state)
{
    static const char* const kNames[] = {
        "?",       "STOPPED",          "START_PENDING", "STOP_PENDING",
        "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return state < 8 ? kNames[state] : "?";
}

int ListServices()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (manager == nullptr)
        return Failed("cannot open the service manager", GetLastError());
    std::vector<BYTE> buffer(64 * 1024);
    DWORD needed = 0, count = 0, resume = 0;
    printf("%-32s %-16s %8s  %s\n", "SERVICE", "STATE", "PID", "DISPLAY NAME");
    for (;;)
    {
        BOOL done = EnumServicesStatusExW(
            manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
            static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
        DWORD error = GetLastError();
        auto* entries = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
        {
            const SERVICE_STATUS_PROCESS& status = entries[i].ServiceStatusProcess;
            printf("%-32s %-16s %8u  %s\n", winport::ToUtf8(entries[i].lpServiceName).c_str(),
                   StateName(status.dwCurrentState), static_cast<unsigned>(status.dwProcessId),
                   winport::ToUtf8(entries[i].lpDisplayName).c_str());
        }
        if (done)
            break;
        if (error != ERROR_MORE_DATA)
        {
            CloseServiceHandle(manager);
            return Failed("cannot list the services", error);
        }
        if (count == 0)
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
    }
    CloseServiceHandle(manager);
    return 0;
}

int Execute(const std::string& commandLine)
{
    std::wstring line = winport::FromUtf8(commandLine);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, nullptr, &info))
        return Failed("cannot start the program", GetLastError());
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}

int Kill(const std::string& id)
{
    char* end = nullptr;
    unsigned long pid = strtoul(id.c_str(), &end, 10);
    if (id.empty() || *end != '\0' || pid == 0)
    {
        fprintf(stderr, "fleetsim: '%s' is no process id\n", id.c_str());
        return 2;
    }
    // As Windows' own kill tools do, with the debug privilege, so that services can be ended.
    CProcessOperation::EnableDebugPrivilege(true);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return Failed("cannot open the process", GetLastError());
    BOOL ended = TerminateProcess(process, 1);
    DWORD error = GetLastError();
    if (ended)
        WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    return ended ? 0 : Failed("cannot end the process", error);
}

} // namespace

bool IsOnMachineRun(int argc, char** argv)
{
    return argc >= 3 && strcmp(argv[1], kOnMachine) == 0;
}

int RunOnMachineCommand(int argc, char** argv)
{
    std::string command = argv[2];
    if (winport::fleet::PrepareCurrentMachine() != ERROR_SUCCESS)
        return Failed("the machine is not there", ERROR_BAD_NETPATH);
    if (command == "ps")
        return ListProcesses(argc > 3 && strcmp(argv[3], "--modules") == 0);
    if (command == "services")
        return ListServices();
    if (command == "exec" && argc == 4)
        return Execute(argv[3]);
    if (command == "kill" && argc == 4)
        return Kill(argv[3]);
    fprintf(stderr, "fleetsim: unknown machine command '%s'\n", command.c_str());
    return 2;
}

int RunOnMachine(const std::string& root, const std::string& machine,
                 const std::vector<std::string>& arguments)
{
    std::string folder = winport::fleet::FindMachineFolder(root, machine);
    if (folder.empty())
    {
        fprintf(stderr, "fleetsim: there is no machine '%s' in the fleet\n", machine.c_str());
        return 1;
    }
    std::vector<std::string> environment;
    for (char** item = environ; *item != nullptr; ++item)
    {
        if (strncmp(*item, "FLEET_ROOT=", 11) != 0 && strncmp(*item, "FLEET_MACHINE=", 14) != 0 &&
            strncmp(*item, "FLEET_USER=", 11) != 0 &&
            strncmp(*item, "FLEET_ENVIRONMENT=", 18) != 0 &&
            strncmp(*item, "FLEET_COMMAND_LINE=", 19) != 0)
            environment.emplace_back(*item);
    }
    environment.push_back("FLEET_ROOT=" + root);
    environment.push_back("FLEET_MACHINE=" + folder);
    std::vector<std::string> argv = {"/proc/self/exe", kOnMachine};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args, envp;
    for (std::string& argument : argv)
        args.push_back(argument.data());
    args.push_back(nullptr);
    for (std::string& item : environment)
        envp.push_back(item.data());
    envp.push_back(nullptr);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = '\0';
    pid_t pid = 0;
    if (posix_spawn(&pid, self, nullptr, nullptr, args.data(), envp.data()) != 0)
    {
        perror("fleetsim");
        return 1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace fleetsim
