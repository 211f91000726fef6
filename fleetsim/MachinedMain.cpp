// machined: the server of one simulated machine (FLEET_ROOT, FLEET_MACHINE).
//
// "machined --create-workstation" instead makes the machine as an administrator's workstation
// when it does not exist yet: the start-up of a process on a Linux host's default machine asks
// for it, since only the fleet tools write a machine's database.
#include "fleetsim/server/Server.h"
#include "fleetsim/store/MachineCreation.h"
#include "fleetsim/store/RegistryStore.h"
#include "winport/WinMachine.h"

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    const char* root = getenv("FLEET_ROOT");
    const char* name = getenv("FLEET_MACHINE");
    if (root == nullptr || *root == '\0' || name == nullptr || *name == '\0')
    {
        fprintf(stderr, "machined: FLEET_ROOT and FLEET_MACHINE must name the machine to serve\n");
        return 2;
    }
    if (argc == 2 && strcmp(argv[1], "--create-workstation") == 0)
    {
        DWORD rc = machine::CreateMachine(root, name, machine::EMachineProfile::Workstation);
        if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS)
        {
            fprintf(stderr, "machined: cannot create the workstation %s (error %u)\n", name,
                    static_cast<unsigned>(rc));
            return 2;
        }
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);
    // Every thread that waits holds a connection: an agent with a thousand calls waiting is
    // more than the default descriptor limit.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max)
    {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // Its own environment comes from its own registry, not from a request to itself.
    machine::CMachineServer server(root, name);
    if (const char* idle = getenv("FLEET_MACHINED_IDLE_MS"))
        server.SetIdleMilliseconds(atoi(idle));
    if (const char* connections = getenv("FLEET_MACHINED_MAX_CONNECTIONS"))
        server.SetMaxConnections(static_cast<size_t>(atoi(connections)));
    int rc = server.Start();
    if (rc == 1)
        return 0; // another server already serves the machine
    if (rc != 0)
        return rc;
    winport::fleet::SetEnvironmentSource(
        [&server] { return machine::BuildEnvironment(server.Store(), server.MachineName()); });
    return server.Run();
}
