// ports: every COM number the port library can reach here, the device behind it, and
// whether it can be opened now.
#pragma once
#include "service/reporter.h"

namespace qelflash {

int RunPorts(Reporter& reporter);

}  // namespace qelflash
