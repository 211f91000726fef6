// The service control manager of the machine: what the server's loop needs of it. The service
// configuration is the registry's SYSTEM\CurrentControlSet\Services; what runs is known from
// the processes the server started (or adopted after a restart, from runtime/services).
#pragma once

#include <cstddef>

namespace machine
{

class CMachineServer;

// Takes over the services a previous server of the machine left running (those still alive
// are adopted, the others are stopped) and removes services marked for delete that nothing
// holds any more. Done on the first service request at the latest.
void StartServices(CMachineServer& server);
// Services whose program runs: while there are, the server is not idle.
size_t RunningServices(CMachineServer& server);
// The machine shuts down (the server was asked to end): the programs of running services end
// with it, so that none of them starts a server again. A server that is killed leaves them
// running for the next one instead.
void EndServices(CMachineServer& server);

} // namespace machine
