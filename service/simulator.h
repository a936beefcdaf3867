// sim: the simulated box on the lowest free COM number of the ports folder.
#pragma once
#include "service/command_line.h"
#include "service/reporter.h"

namespace qelflash {

// Starts boxsim and reports its port; without --detach runs until SIGINT or SIGTERM and
// stops it then. 0 when it ran, 1 when it could not be started.
int RunSimulator(const Options& options, Reporter& reporter);

}  // namespace qelflash
