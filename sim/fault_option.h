// Faults and FPGA targets as boxsim takes them on its command line.
#pragma once
#include <string>

#include "sim/box.h"

namespace qel::sim {

// One fault: "silent", "needs-break", "refuse-block=K", "refuse-program=K",
// "corrupt-block=K", "die-after=K", "wrong-echo=N", "refuse-erase=N", "short-read=N",
// "fpga-status=OP[:K]:CODE", "fpga-silent=OP[:K]" (OP: version, start, data, end; K counts
// that operation's requests from 0). False when the text is not one of them.
bool ParseFault(const std::string& text, Faults& faults);

// "OP" or "OP:K".
bool ParseFpgaTarget(const std::string& text, FpgaTarget& target);

// A number in decimal or, with 0x, hexadecimal; false unless the whole text is one.
bool ParseNumber(const std::string& text, long long& value);

}  // namespace qel::sim
