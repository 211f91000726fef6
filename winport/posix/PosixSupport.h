// Linux only: helpers shared by the Linux side of winport.
#pragma once

#include "winport/WinTypes.h"

#include <unistd.h>

#include <memory>
#include <string>

namespace winport::posix
{

// The Win32 code for an errno value.
DWORD ErrnoToWin32(int error);

// Owns a file descriptor.
class CFd
{
public:
    explicit CFd(int fd = -1) : m_Fd(fd) {}
    ~CFd()
    {
        if (m_Fd >= 0)
            close(m_Fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_Fd; }
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
// The Win32 code of a failed call on a path (ENOENT under a missing folder is "path not found").
DWORD ErrnoForPath(int error, const std::string& host);
// Whether a process of the machine has the file loaded as a module.
bool IsLoadedModule(const std::string& host);
DWORD MakeDirectories(const std::string& path);

// Process-local kernel objects behind handles.
class CKernelObject
{
public:
    virtual ~CKernelObject() = default;
};

HANDLE InsertHandle(std::shared_ptr<CKernelObject> object);
std::shared_ptr<CKernelObject> LookupHandle(HANDLE handle);
bool RemoveHandle(HANDLE handle);

} // namespace winport::posix
