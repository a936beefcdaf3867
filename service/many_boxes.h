// One operation on several boxes at once: a process per box, each box's events relayed as
// they come, one result per box at the end.
#pragma once
#include "service/command_line.h"
#include "service/reporter.h"

namespace qelflash {

// Runs options' operation on every port of options; returns the worst result code.
int RunManyBoxes(const Options& options, Reporter& reporter);

// How bad a result is, for choosing the exit code of several boxes: success first, then 20
// (nothing needed doing), then every failure by its code.
int Severity(int code);

}  // namespace qelflash
