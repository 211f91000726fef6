// The fleet tool's commands that run as a process of a machine (ps, services, exec, kill).
#pragma once

#include <string>
#include <vector>

namespace fleetsim
{

// Whether this run of the tool is its copy on a machine ("--on-machine COMMAND ...").
bool IsOnMachineRun(int argc, char** argv);
// Runs the command of such a copy; returns its exit code.
int RunOnMachineCommand(int argc, char** argv);
// Starts the tool again on a machine of the fleet with the command and its arguments, and
// returns its exit code.
int RunOnMachine(const std::string& root, const std::string& machine,
                 const std::vector<std::string>& arguments);

} // namespace fleetsim
