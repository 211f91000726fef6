// Linux only: the Unix sockets of machine servers and blocking message framing over them.
#pragma once

#include "winport/WinTypes.h"

#include <string>
#include <vector>

namespace winport::posix
{

// FLEET_ROOT/machines/NAME/runtime/machined.sock of a machine folder.
std::string MachineSocketPath(const std::string& machineFolder);

// Connects to a machine's server; -1 with errno when it does not answer.
int ConnectMachineSocket(const std::string& machineFolder);
// Binds and listens (non-blocking); -1 with errno on failure.
int ListenMachineSocket(const std::string& machineFolder);

// Unix stream sockets at paths of any length (sun_path holds 108 bytes); CLOEXEC. Connect gives
// a blocking socket; listen a non-blocking one, after removing a stale socket file (the caller
// holds the lock that owns the path). -1 with errno on failure.
int ConnectUnixSocket(const std::string& path);
int ListenUnixSocket(const std::string& path, int backlog);

// Descriptors given go along with the frame (SCM_RIGHTS).
bool SendFrame(int fd, const std::string& frame, const std::vector<int>& descriptors = {});
// Reads one message: code and body. False when the connection ended or broke.
bool ReceiveFrame(int fd, uint16_t& code, std::string& body);
// Reads exactly n bytes (retrying on signals); false when the connection ends or fails first.
bool ReceiveExactly(int fd, char* p, size_t n);

} // namespace winport::posix
