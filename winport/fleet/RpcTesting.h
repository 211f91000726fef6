// Linux only: a way into the RPC run time's server side for the frame reader's fuzz target.
#pragma once

namespace winport::rpc::testing
{
// Serves one connection on the calling thread, as if this process had accepted it on an
// endpoint of that kind, until the other side ends; closes fd.
void ServeConnection(int fd, bool namedPipe);
} // namespace winport::rpc::testing
