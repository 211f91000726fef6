// Linux only: access to other machines' shares, for the path mapping.
#pragma once

#include "winport/WinMachine.h"

#include <memory>

namespace winport::posix
{

// Places \\server\share\rest: resolves the server through the hosts file, checks access on
// the target with the caller's credentials (the process's connection to that server, else the
// calling thread's network credentials) and maps the rest below the share's folder.
DWORD MapUncPath(const fleet::SParsedPath& parsed, std::string& hostPath);

class CMachineConnection;
// The connection to use for a machine (by folder name): this machine's own, the process's WNet
// connection to that server, else one with the calling thread's network credentials.
DWORD ConnectionForServer(const std::string& folder, std::shared_ptr<CMachineConnection>& connection);

} // namespace winport::posix
