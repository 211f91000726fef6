// Linux only: reading the file whose version is asked for; the parsing is in WinVersion.cpp.
#include "winport/WinVersion.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace
{

// Reads the file where the parser asks, so that a large image is never read whole.
class CFileSource : public winport::version::IByteSource
{
public:
    CFileSource(int fd, uint64_t size) : m_Fd(fd), m_Size(size) {}
    uint64_t Size() const override { return m_Size; }
    bool Read(uint64_t offset, void* out, size_t size) const override
    {
        if (offset > m_Size || size > m_Size - offset)
            return false;
        auto* p = static_cast<char*>(out);
        while (size > 0)
        {
            ssize_t n = pread(m_Fd, p, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false; // an error, or the file shrank meanwhile
            p += n;
            offset += static_cast<uint64_t>(n);
            size -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int m_Fd;
    uint64_t m_Size;
};

DWORD MissingCode(const std::string& host)
{
    std::string parent = host.substr(0, host.find_last_of('/'));
    struct stat st;
    if (!parent.empty() && stat(parent.c_str(), &st) != 0)
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

// The buffer GetFileVersionInfoW hands out for a file.
DWORD VersionBuffer(LPCWSTR fileName, std::vector<BYTE>& buffer)
{
    if (fileName == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::string host;
    if (DWORD rc = winport::fleet::MapPath(fileName, host); rc != ERROR_SUCCESS)
        return rc;
    // Non-blocking so that a FIFO does not hang the open; only regular files are read.
    winport::posix::CFd fd(open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0)
        return errno == ENOENT ? MissingCode(host) : winport::posix::ErrnoToWin32(errno);
    struct stat st;
    if (fstat(fd.Get(), &st) != 0)
        return winport::posix::ErrnoToWin32(errno);
    if (!S_ISREG(st.st_mode))
        return ERROR_ACCESS_DENIED;
    std::vector<BYTE> block;
    CFileSource source(fd.Get(), static_cast<uint64_t>(st.st_size));
    if (DWORD rc = winport::version::FindVersionBlock(source, block); rc != ERROR_SUCCESS)
        return rc;
    buffer = winport::version::BuildVersionBuffer(block);
    return ERROR_SUCCESS;
}

} // namespace

DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle)
{
    if (handle != nullptr)
        *handle = 0;
    std::vector<BYTE> buffer;
    if (DWORD rc = VersionBuffer(fileName, buffer); rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(buffer.size());
}

BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD size, LPVOID data)
{
    if (data == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<BYTE> buffer;
    if (DWORD rc = VersionBuffer(fileName, buffer); rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return FALSE;
    }
    if (size < buffer.size())
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(data, buffer.data(), buffer.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
