// Linux only: helpers shared by the Linux side of winport.
#pragma once

#include "winport/WinTypes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace winport::posix
{

// The Win32 code for an errno value.
DWORD ErrnoToWin32(int error);

// The program's Linux path, read once: Windows keeps the name a program was started from even
// when its file is renamed aside later. Empty when it cannot be read.
const std::string& ProgramHostPath();

// Owns a file descriptor; closing it keeps errno, so a failure found before stays readable.
class CFd
{
public:
    explicit CFd(int fd = -1) : m_Fd(fd) {}
    ~CFd()
    {
        if (m_Fd >= 0)
        {
            int saved = errno;
            close(m_Fd);
            errno = saved;
        }
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_Fd; }
    void Reset(int fd)
    {
        CFd old(m_Fd);
        m_Fd = fd;
    }
    int Release()
    {
        int fd = m_Fd;
        m_Fd = -1;
        return fd;
    }

private:
    int m_Fd;
};

bool WriteAll(int fd, const void* data, size_t size);

// A Windows path of a call mapped to its Linux path; on failure the code is in GetLastError.
bool MapForCall(const wchar_t* path, std::string& host);
// A path below a drive's root of this machine, as the calls that act on a name in a folder
// take it: the folder opened beneath the drive's root (readable when it may be, else O_PATH),
// the last name as it is on disk (matched without regard to case), and whether it is there,
// with its stat.
struct SDriveEntry
{
    std::string host;
    CFd folder;
    std::string name;
    bool exists = false;
    struct stat st = {};
};
// Maps a call's path so, in one open; false for any other path (the Linux drive, a share, a
// drive's root, a link, a folder that cannot be opened): the call then takes the general way,
// which gives the path's error.
bool MapEntryOnDrive(const wchar_t* path, SDriveEntry& entry);
// The Win32 code of a failed call on a path (ENOENT under a missing folder is "path not found").
DWORD ErrnoForPath(int error, const std::string& host);
// Whether a process of the machine has the file loaded as a module; the second form takes
// the file by its name in an open folder, with what a stat of it (not following a link) gave
// when the caller has that.
bool IsLoadedModule(const std::string& host);
bool IsLoadedModuleAt(int folder, const char* name, const struct stat* known = nullptr);
DWORD MakeDirectories(const std::string& path);
// Removes a folder and everything below it, carrying on past entries that vanish meanwhile or
// cannot be removed; false when something is left.
bool RemoveTree(const std::string& path);
// The whole content of a file, or what is left to read of a descriptor; false (errno set) when
// it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& content);
bool ReadRest(int fd, std::string& content);
// Runs a program (a path) with exactly the environment given and waits for it: its exit code,
// 128 + the signal that ended it, or -1 when it could not be started.
int RunProgram(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment);

// Process-local kernel objects behind handles.
class CKernelObject
{
public:
    virtual ~CKernelObject() = default;
    // What DuplicateHandle gives for it: the same object, unless its kind says otherwise.
    virtual std::shared_ptr<CKernelObject> Duplicate(const std::shared_ptr<CKernelObject>& self,
                                                     DWORD /*access*/, bool /*sameAccess*/)
    {
        return self;
    }
};

// Events belong to the machine (the fleet layer), which registers how one is signalled; the
// base layer (timer queues) signals through it.
void SetEventSignal(BOOL (*signal)(HANDLE));
void SignalEvent(HANDLE event);

HANDLE InsertHandle(std::shared_ptr<CKernelObject> object);
std::shared_ptr<CKernelObject> LookupHandle(HANDLE handle);
bool RemoveHandle(HANDLE handle);

} // namespace winport::posix
