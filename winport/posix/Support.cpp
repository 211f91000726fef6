// Linux only: small file helpers shared by the Linux side of winport and the fleet tools.
#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>

namespace winport::posix
{
namespace
{

thread_local bool t_bTreeLeft = false;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    if (remove(path) != 0 && errno != ENOENT)
        t_bTreeLeft = true;
    return 0; // a failure leaves that entry, not the rest
}

} // namespace

bool RemoveTree(const std::string& path)
{
    t_bTreeLeft = false;
    if (nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) != 0 && errno != ENOENT)
        return false;
    return !t_bTreeLeft;
}

bool ReadWholeFile(const std::string& path, std::string& content)
{
    content.clear();
    CFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.Get() >= 0 && ReadRest(fd.Get(), content);
}

int RunProgram(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment)
{
    std::vector<char*> argv, envp;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const std::string& variable : environment)
        envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    pid_t pid;
    if (arguments.empty() ||
        posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
    {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ReadRest(int fd, std::string& content)
{
    char buffer[8192];
    for (;;)
    {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        content.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace winport::posix
