// One run of the tool: arguments, port, one download or FPGA update, outcome, exit code.
#pragma once

int RunFrontEnd(int argc, const char* const* argv);
