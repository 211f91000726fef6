// Linux only: machine server sockets.
#include "winport/posix/MachineSocket.h"

#include "protocol/MachineProtocol.h"
#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace winport::posix
{
namespace
{

// A socket address for path; a path too long for sun_path goes through /proc/self/fd of its
// folder, which keeps the address short. dirFd receives the folder's descriptor to close.
bool MakeAddress(const std::string& path, sockaddr_un& address, int& dirFd)
{
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    dirFd = -1;
    std::string target = path;
    if (target.size() >= sizeof address.sun_path)
    {
        std::string folder = path.substr(0, path.rfind('/'));
        dirFd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0)
            return false;
        target = "/proc/self/fd/" + std::to_string(dirFd) + path.substr(path.rfind('/'));
    }
    memcpy(address.sun_path, target.c_str(), target.size() + 1);
    return true;
}

} // namespace

std::string MachineSocketPath(const std::string& machineFolder)
{
    return machineFolder + "/runtime/machined.sock";
}

int ConnectMachineSocket(const std::string& machineFolder)
{
    return ConnectUnixSocket(MachineSocketPath(machineFolder));
}

int ListenMachineSocket(const std::string& machineFolder)
{
    return ListenUnixSocket(MachineSocketPath(machineFolder), 128);
}

int ConnectUnixSocket(const std::string& path)
{
    sockaddr_un address;
    int dirFd;
    if (!MakeAddress(path, address, dirFd))
        return -1;
    CFd folder(dirFd);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int ListenUnixSocket(const std::string& path, int backlog)
{
    sockaddr_un address;
    int dirFd;
    if (!MakeAddress(path, address, dirFd))
        return -1;
    CFd folder(dirFd);
    unlink(path.c_str()); // a stale socket of a server that died; the caller holds the lock
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0)
    {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool SendFrame(int fd, const std::string& frame, const std::vector<int>& descriptors)
{
    const char* p = frame.data();
    size_t left = frame.size();
    if (!descriptors.empty() && left > 0)
    {
        // The descriptors travel with the frame's first bytes.
        std::vector<char> control(CMSG_SPACE(sizeof(int) * descriptors.size()));
        iovec part{const_cast<char*>(p), left};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        memcpy(CMSG_DATA(header), descriptors.data(), sizeof(int) * descriptors.size());
        ssize_t n;
        do
            n = sendmsg(fd, &message, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    while (left > 0)
    {
        ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool ReceiveExactly(int fd, char* p, size_t n)
{
    while (n > 0)
    {
        ssize_t got = recv(fd, p, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool ReceiveFrame(int fd, uint16_t& code, std::string& body)
{
    // A reply usually comes whole in one read; the rest of a larger one follows. Only one reply
    // is ever in flight on a connection, so nothing past it can arrive.
    char first[4096];
    ssize_t got;
    do
        got = recv(fd, first, sizeof first, 0);
    while (got < 0 && errno == EINTR);
    if (got < static_cast<ssize_t>(sizeof(machine::protocol::SHeader)))
    {
        if (got <= 0)
            return false;
        size_t have = static_cast<size_t>(got);
        if (!ReceiveExactly(fd, first + have, sizeof(machine::protocol::SHeader) - have))
            return false;
        got = sizeof(machine::protocol::SHeader);
    }
    machine::protocol::SHeader header;
    memcpy(&header, first, sizeof header);
    if (header.length < sizeof header - sizeof(uint32_t) ||
        header.length > machine::protocol::kMaxMessage)
        return false;
    size_t total = header.length + sizeof(uint32_t);
    if (static_cast<size_t>(got) > total)
        return false; // more than one reply: the other side broke the protocol
    code = header.code;
    body.assign(first + sizeof header, static_cast<size_t>(got) - sizeof header);
    size_t rest = total - static_cast<size_t>(got);
    if (rest == 0)
        return true;
    size_t already = body.size();
    body.resize(already + rest);
    return ReceiveExactly(fd, body.data() + already, rest);
}

} // namespace winport::posix
