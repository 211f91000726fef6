#include "testsupport/TestSupport.h"
#include "testsupport/TemporaryFleet.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinProcess.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport
{

std::string FleetRoot()
{
    const char* root = getenv("FLEET_ROOT");
    return root != nullptr ? root : "";
}

std::string HostPath(const std::wstring& windowsPath)
{
    std::string host;
    DWORD rc = winport::fleet::MapPath(windowsPath, host);
    EXPECT_EQ(rc, 0u) << "cannot map the path";
    return host;
}

std::string ReadHostFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteHostFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring self(path, n < MAX_PATH ? n : 0);
    return self.substr(0, self.rfind(L'\\'));
}

unsigned long RunProgram(const std::wstring& commandLine, const wchar_t* folder)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder, &startup,
                        &process))
        return ~0ul - 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

void CopyTree(const std::wstring& from, const std::wstring& to)
{
    std::filesystem::path target = HostPath(to);
    std::filesystem::remove_all(target);
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy(HostPath(from), target, std::filesystem::copy_options::recursive);
}

bool IsChild()
{
    return getenv("FLEET_TEST_CHILD") != nullptr;
}

std::vector<std::string> FilesHolding(const std::string& folder, const std::string& text)
{
    // The text as UTF-8, and widened code unit by code unit (ASCII secrets) as UTF-16 and UTF-32.
    std::vector<std::string> forms = {text, std::string(), std::string()};
    for (char c : text)
    {
        forms[1] += std::string(1, c) + std::string(1, '\0');
        forms[2] += std::string(1, c) + std::string(3, '\0');
    }
    std::vector<std::string> found;
    std::error_code error;
    auto end = std::filesystem::recursive_directory_iterator();
    for (auto it = std::filesystem::recursive_directory_iterator(
             folder, std::filesystem::directory_options::skip_permission_denied, error);
         !error && it != end; it.increment(error))
    {
        std::error_code ignored;
        if (!it->is_regular_file(ignored))
            continue;
        std::ifstream file(it->path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), {});
        for (const std::string& form : forms)
            if (!form.empty() && bytes.find(form) != std::string::npos)
            {
                found.push_back(it->path().string());
                break;
            }
    }
    return found;
}

namespace
{

// In a forked child: the program with the extra environment, never returning.
[[noreturn]] void ExecWith(const std::vector<std::string>& arguments,
                           const std::vector<std::pair<std::string, std::string>>& environment)
{
    for (const auto& [name, value] : environment)
        setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

} // namespace

int RunHostProgram(const std::vector<std::string>& arguments,
                   const std::vector<std::pair<std::string, std::string>>& environment,
                   std::string* output)
{
    int pipeFds[2];
    if (arguments.empty() || pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0)
    {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        // Nothing to read: a program that would ask finds no terminal.
        int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        close(nothing);
        ExecWith(arguments, environment);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunFrontEnd(const std::string& fleetRoot, const std::vector<std::string>& arguments,
                const std::string& password, std::string* output)
{
    std::vector<std::string> argv = {HostPath(ProgramFolder() + L"\\rolloutcli.exe")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunHostProgram(argv,
                          {{"FLEET_ROOT", fleetRoot},
                           {"FLEET_MACHINE", winport::fleet::CurrentMachine().name},
                           {"ROLLOUT_PASSWORD", password}},
                          output);
}

int RunHostProgramOnTerminal(const std::vector<std::string>& arguments,
                             const std::vector<std::pair<std::string, std::string>>& environment,
                             const std::string& prompt, const std::string& answer,
                             std::string* output)
{
    if (arguments.empty())
        return -1;
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0)
        return -1;
    if (pid == 0)
    {
        ExecWith(arguments, environment);
    }
    std::string text;
    bool answered = false;
    char buffer[4096];
    ssize_t n;
    // The terminal's end reads as EIO once the program and its children have closed it.
    while ((n = read(terminal, buffer, sizeof buffer)) > 0)
    {
        text.append(buffer, static_cast<size_t>(n));
        if (!answered && text.find(prompt) != std::string::npos)
        {
            std::string line = answer + "\n";
            answered =
                write(terminal, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        }
    }
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunChild(const std::string& filter,
             const std::vector<std::pair<std::string, std::string>>& environment,
             std::string* output)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return -1;
    self[n] = '\0';
    std::vector<std::pair<std::string, std::string>> childEnvironment = environment;
    childEnvironment.insert(childEnvironment.begin(), {"FLEET_TEST_CHILD", "1"});
    return RunHostProgram({self, "--gtest_filter=" + filter}, childEnvironment, output);
}

bool SFleetProcess::Has(const std::string& name, const std::string& value) const
{
    std::string item = name + "=" + value + '\0';
    return environment.compare(0, item.size(), item) == 0 ||
           environment.find('\0' + item) != std::string::npos;
}

std::vector<SFleetProcess> FleetProcesses(const std::string& fleetRoot)
{
    // readdir, unlike a directory iterator, never fails on an entry that goes meanwhile.
    std::vector<SFleetProcess> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr)
    {
        std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos ||
            name == std::to_string(getpid()))
            continue;
        SFleetProcess process;
        process.pid = atoi(name.c_str());
        process.environment = ReadHostFile("/proc/" + name + "/environ");
        if (!process.Has("FLEET_ROOT", fleetRoot))
            continue;
        process.commandLine = ReadHostFile("/proc/" + name + "/cmdline");
        process.program = process.commandLine.substr(0, process.commandLine.find('\0'));
        found.push_back(std::move(process));
    }
    if (proc != nullptr)
        closedir(proc);
    return found;
}

CDroppingListener::CDroppingListener(const std::string& path) : m_Path(path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    m_Fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_Fd < 0)
        return;
    if (bind(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_Fd, 16) != 0)
    {
        close(m_Fd);
        m_Fd = -1;
        return;
    }
    m_Thread = std::thread(
        [this]
        {
            while (!m_bStop)
            {
                pollfd wait = {m_Fd, POLLIN, 0};
                if (poll(&wait, 1, 50) > 0)
                {
                    int connection = accept(m_Fd, nullptr, nullptr);
                    if (connection >= 0)
                        close(connection);
                }
            }
        });
}

CDroppingListener::~CDroppingListener()
{
    m_bStop = true;
    if (m_Thread.joinable())
        m_Thread.join();
    if (m_Fd >= 0)
    {
        close(m_Fd);
        unlink(m_Path.c_str());
    }
}

} // namespace testsupport
