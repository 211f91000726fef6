#include "testsupport/TemporaryFleet.h"

#include "winport/WinMachine.h"
#include "winport/posix/PosixSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport
{

std::string EnterTemporaryFleet(const char* prefix, char** argv)
{
    const char* owned = getenv("FLEET_TEMPORARY_FLEET");
    const char* root = getenv("FLEET_ROOT");
    if (owned == nullptr || root == nullptr || strcmp(owned, root) != 0)
    {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
        {
            perror("mkdtemp");
            exit(1);
        }
        setenv("FLEET_ROOT", pattern.c_str(), 1);
        setenv("FLEET_TEMPORARY_FLEET", pattern.c_str(), 1);
        unsetenv("FLEET_MACHINE");
        execv("/proc/self/exe", argv);
        perror("execv");
        rmdir(pattern.c_str());
        exit(1);
    }
    std::string fleet = root;
    unsetenv("FLEET_TEMPORARY_FLEET"); // children of the run do not own the fleet
    DWORD rc = winport::fleet::PrepareCurrentMachine();
    if (rc != ERROR_SUCCESS)
    {
        fprintf(stderr, "cannot prepare the default machine of %s (error %u)\n", fleet.c_str(),
                static_cast<unsigned>(rc));
        LeaveTemporaryFleet(fleet);
        exit(1);
    }
    return fleet;
}

void LeaveTemporaryFleet(const std::string& root)
{
    winport::fleet::StopMachineServers(root);
    if (getenv("FLEET_TEST_KEEP") == nullptr)
        winport::posix::RemoveTree(root);
}

} // namespace testsupport
