// machined: the server of one simulated machine (FLEET_ROOT, FLEET_MACHINE).
#include "fleetsim/MachineServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

int main()
{
    const char* root = getenv("FLEET_ROOT");
    const char* name = getenv("FLEET_MACHINE");
    if (root == nullptr || *root == '\0' || name == nullptr || *name == '\0')
    {
        fprintf(stderr, "machined: FLEET_ROOT and FLEET_MACHINE must name the machine to serve\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    setenv("FLEET_IS_MACHINED", "1", 1); // its own environment must not ask itself
    machine::CMachineServer server(root, name);
    if (const char* idle = getenv("FLEET_MACHINED_IDLE_MS"))
        server.SetIdleMilliseconds(atoi(idle));
    int rc = server.Start();
    if (rc == 1)
        return 0; // another server already serves the machine
    if (rc != 0)
        return rc;
    return server.Run();
}
