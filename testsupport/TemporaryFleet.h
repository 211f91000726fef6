// A fresh fleet in a temporary folder for a test or benchmark run. A process's machine is what
// it was started with, so the run re-starts itself once inside the fleet, and the program's
// start-up then prepares its default machine.
#pragma once

#include <string>

namespace testsupport
{

// In the first run: makes the fleet and re-runs this program (argv as main got it) inside it;
// does not return unless that fails. In the re-run: prepares the default machine and returns
// the fleet folder, which the re-run owns. Exits with 1 when the fleet cannot be had.
std::string EnterTemporaryFleet(const char* prefix, char** argv);

// Stops the fleet's machine servers and removes it (unless FLEET_TEST_KEEP is set).
void LeaveTemporaryFleet(const std::string& root);

} // namespace testsupport
