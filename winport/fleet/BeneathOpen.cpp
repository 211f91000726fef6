// Linux only: opening beneath a drive's root (openat2, or a walk one component at a time where
// the kernel lacks it) and the checks that keep the Linux drive out of the fleet's folder.
#include "winport/fleet/BeneathOpen.h"

#include "winport/posix/PosixSupport.h"

#include "winport/WinMachine.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace winport::posix
{
namespace
{

std::atomic<bool> s_UseOpenat2{true};

using CFdGuard = winport::posix::CFd;

int Refuse()
{
    errno = EACCES;
    return -1;
}

// Whether path is folder or lies below it.
bool Within(const std::string& path, const std::string& folder)
{
    if (folder == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

// The fleet's folder with its links resolved (once it exists, which it does once the machine
// of the process is known; the fleet tool's folder may not exist at all).
std::string FleetFolder()
{
    static std::mutex s_Lock;
    static std::string s_Resolved;
    const std::string& root = fleet::CurrentFleetRoot();
    std::lock_guard<std::mutex> guard(s_Lock);
    if (s_Resolved.empty())
    {
        char resolved[PATH_MAX];
        if (realpath(root.c_str(), resolved) == nullptr)
            return root;
        s_Resolved = resolved;
    }
    return s_Resolved;
}

// Where an open descriptor is, as the kernel names it; empty when it cannot tell.
std::string DescriptorPath(int fd)
{
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0 || target[0] != '/')
        return std::string();
    return std::string(target, static_cast<size_t>(n));
}

// A descriptor on the Linux drive may be used only when it is outside the fleet's folder;
// when that cannot be told, it is not.
bool OutsideFleet(int fd)
{
    std::string where = DescriptorPath(fd);
    return !where.empty() && !Within(where, FleetFolder());
}

// Splits a path below a drive's root (FLEET_ROOT/machines/NAME/drive/X) into the root and the
// rest; false for any other path, which is on the Linux drive (so are the machines of another
// fleet, which only the fleet tool reaches).
bool SplitDrive(const std::string& host, std::string& root, std::string& rest)
{
    const std::string machines = fleet::CurrentFleetRoot() + "/machines/";
    if (host.compare(0, machines.size(), machines) != 0)
        return false;
    size_t slash = host.find('/', machines.size());
    static const std::string kDrive = "/drive/";
    if (slash == std::string::npos || slash == machines.size() ||
        host.compare(slash, kDrive.size(), kDrive) != 0)
        return false;
    size_t letter = slash + kDrive.size();
    if (letter >= host.size() || host[letter] < 'a' || host[letter] > 'z')
        return false;
    size_t end = letter + 1;
    if (end < host.size() && host[end] != '/')
        return false;
    root = host.substr(0, end);
    rest = end < host.size() ? host.substr(end + 1) : std::string();
    return true;
}

std::vector<std::string> Components(const std::string& rest)
{
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= rest.size())
    {
        size_t end = rest.find('/', i);
        if (end == std::string::npos)
            end = rest.size();
        if (end > i)
            parts.push_back(rest.substr(i, end - i));
        i = end + 1;
    }
    return parts;
}

// Without openat2: each folder is opened relative to the one before without following a link,
// the last component too; the result is checked once more through /proc/self/fd.
int WalkBeneath(int rootFd, const std::string& rest, int flags, mode_t mode)
{
    std::vector<std::string> parts = Components(rest);
    if (parts.empty())
        return openat(rootFd, ".", flags | O_CLOEXEC, mode);
    CFdGuard dir(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (dir.Get() < 0)
        return -1;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
    {
        int next =
            openat(dir.Get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
        {
            struct stat st;
            if ((errno == ENOTDIR || errno == ELOOP) &&
                fstatat(dir.Get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode))
                return Refuse();
            return -1;
        }
        dir.Reset(next);
    }
    CFdGuard fd(openat(dir.Get(), parts.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.Get() < 0)
        return errno == ELOOP ? Refuse() : -1;
    struct stat st;
    if ((flags & O_PATH) && (fstat(fd.Get(), &st) != 0 || S_ISLNK(st.st_mode)))
        return Refuse();
    std::string rootPath = DescriptorPath(rootFd);
    std::string where = DescriptorPath(fd.Get());
    if (rootPath.empty() || where.empty() || !Within(where, rootPath))
        return Refuse();
    return fd.Release();
}

int OpenBeneath(int rootFd, const std::string& rest, int flags, mode_t mode)
{
    if (s_UseOpenat2.load())
    {
        struct open_how how = {};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        const char* path = rest.empty() ? "." : rest.c_str();
        for (int attempt = 0; attempt < 16; ++attempt)
        {
            long fd = syscall(SYS_openat2, rootFd, path, &how, sizeof how);
            if (fd >= 0)
                return static_cast<int>(fd);
            if (errno == EINTR || errno == EAGAIN)
                continue; // a rename raced the lookup: the kernel asks to look again
            if (errno == ENOSYS)
                break;
            // A link, or a way out of the drive's root.
            return errno == ELOOP || errno == EXDEV ? Refuse() : -1;
        }
        if (errno != ENOSYS)
            return -1;
        s_UseOpenat2.store(false);
    }
    return WalkBeneath(rootFd, rest, flags, mode);
}

// The Linux drive: links are followed, but the object is found first without any effect on
// it (O_PATH), checked, and only then opened through its descriptor, so that neither a
// truncation nor a write ever reaches the fleet's folder.
int OpenLinux(const std::string& host, int flags, mode_t mode)
{
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        CFdGuard found(
            open(host.c_str(), O_PATH | O_CLOEXEC | (flags & (O_DIRECTORY | O_NOFOLLOW))));
        if (found.Get() >= 0)
        {
            if (!OutsideFleet(found.Get()))
                return Refuse();
            if ((flags & O_CREAT) && (flags & O_EXCL))
            {
                errno = EEXIST;
                return -1;
            }
            if (flags & O_PATH)
                return found.Release();
            std::string self = "/proc/self/fd/" + std::to_string(found.Get());
            return open(self.c_str(), (flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)) | O_CLOEXEC);
        }
        if (errno != ENOENT || !(flags & O_CREAT))
            return -1;
        // A new file is made in a folder that is checked first, and never through a link.
        size_t slash = host.find_last_of('/');
        if (slash == std::string::npos || slash + 1 == host.size())
            return -1;
        CFdGuard parent(open(slash == 0 ? "/" : host.substr(0, slash).c_str(),
                             O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (parent.Get() < 0)
            return -1;
        if (!OutsideFleet(parent.Get()))
            return Refuse();
        int fd =
            openat(parent.Get(), host.c_str() + slash + 1, flags | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != ELOOP)
            return fd;
        // A link appeared meanwhile: look again through it.
    }
    errno = ELOOP;
    return -1;
}

} // namespace

namespace
{

// The drive roots this process opens beneath, each opened once: every file call starts at one.
// A root that was removed (its machine made anew) is opened again. Whether a kept descriptor
// is still the root is asked only when a call needs it: a look-up below a removed folder fails
// with ENOENT, and only then, or for the root itself, is the descriptor checked.
class CRootDescriptors
{
public:
    // A descriptor of the root that stays open (not the caller's to close), or -1 with errno.
    // check: whether a kept descriptor must be seen to name a folder that still exists;
    // opened tells whether the descriptor is a new one.
    int Get(const std::string& root, bool check, bool* opened = nullptr)
    {
        if (opened != nullptr)
            *opened = false;
        std::lock_guard<std::mutex> guard(m_Lock);
        auto found = m_Roots.find(root);
        struct stat st;
        if (found != m_Roots.end())
        {
            if (!check || (fstat(found->second, &st) == 0 && st.st_nlink > 0))
                return found->second;
            close(found->second);
            m_Roots.erase(found);
        }
        // The root itself must be a folder, not a link (drive/z is the Linux drive's).
        int fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return errno == ENOTDIR || errno == ELOOP ? Refuse() : -1;
        if (m_Roots.size() >= 64) // many machines' drives: keep the number of descriptors low
        {
            for (auto& [name, descriptor] : m_Roots)
                close(descriptor);
            m_Roots.clear();
        }
        m_Roots[root] = fd;
        if (opened != nullptr)
            *opened = true;
        return fd;
    }

private:
    std::mutex m_Lock;
    std::map<std::string, int> m_Roots;
};

CRootDescriptors& RootDescriptors()
{
    static CRootDescriptors* s_Roots = new CRootDescriptors(); // lives as long as the process
    return *s_Roots;
}

// recheck: a missing path is looked for once more below a drive's root made anew meanwhile.
int OpenOnDrive(const std::string& host, int flags, mode_t mode, bool recheck)
{
    std::string root, rest;
    if (!SplitDrive(host, root, rest))
        return OpenLinux(host, flags, mode);
    int rootFd = RootDescriptors().Get(root, rest.empty());
    if (rootFd < 0)
        return -1;
    int fd = OpenBeneath(rootFd, rest, flags, mode);
    if (fd >= 0 || errno != ENOENT || rest.empty() || !recheck)
        return fd;
    // Missing: perhaps below a root that was removed since; then once more below the new one.
    bool opened = false;
    int checked = RootDescriptors().Get(root, true, &opened);
    if (checked < 0)
        return -1;
    if (!opened && checked == rootFd) // the same root: the path is missing indeed
    {
        errno = ENOENT;
        return -1;
    }
    return OpenBeneath(checked, rest, flags, mode);
}

} // namespace

int OpenOnMachine(const std::string& host, int flags, mode_t mode)
{
    return OpenOnDrive(host, flags, mode, true);
}

int TryOpenOnMachine(const std::string& host, int flags)
{
    return OpenOnDrive(host, flags, 0, false);
}

int OpenParentOnMachine(const std::string& host, std::string& leaf)
{
    std::string root, rest;
    if (SplitDrive(host, root, rest))
    {
        std::vector<std::string> parts = Components(rest);
        if (parts.empty())
            return Refuse(); // a drive's root is neither removed nor moved
        leaf = parts.back();
        size_t slash = rest.find_last_of('/');
        return OpenOnMachine(slash == std::string::npos ? root : root + "/" + rest.substr(0, slash),
                             O_PATH | O_DIRECTORY);
    }
    size_t slash = host.find_last_of('/');
    if (slash == std::string::npos || slash + 1 == host.size())
        return Refuse();
    leaf = host.substr(slash + 1);
    CFdGuard parent(OpenLinux(slash == 0 ? "/" : host.substr(0, slash), O_PATH | O_DIRECTORY, 0));
    if (parent.Get() < 0)
        return -1;
    // The entry itself (not followed) must be neither the fleet's folder nor one above it.
    std::string where = DescriptorPath(parent.Get());
    std::string entry = (where == "/" ? std::string() : where) + "/" + leaf;
    if (where.empty() || Within(FleetFolder(), entry))
        return Refuse();
    return parent.Release();
}

bool IsInFleetFolder(const std::string& path)
{
    // The part of the path that exists, resolved; the rest as written.
    std::string existing = path;
    std::string missing;
    char resolved[PATH_MAX];
    while (realpath(existing.c_str(), resolved) == nullptr)
    {
        size_t slash = existing.find_last_of('/');
        if (slash == std::string::npos || existing == "/")
            return false;
        missing = existing.substr(slash) + missing;
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
    std::string full = resolved;
    if (!missing.empty())
        full = (full == "/" ? std::string() : full) + missing;
    return Within(full, FleetFolder());
}

void UseOpenat2ForTests(bool use)
{
    s_UseOpenat2.store(use);
}

} // namespace winport::posix
