#include "sim/fault_option.h"

#include <cerrno>
#include <cstdlib>

namespace qel::sim {

bool ParseNumber(const std::string& text, long long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0';
}

bool ParseFpgaTarget(const std::string& text, FpgaTarget& target) {
    std::string op = text;
    long long index = 0;
    auto colon = text.find(':');
    if (colon != std::string::npos) {
        op = text.substr(0, colon);
        if (!ParseNumber(text.substr(colon + 1), index) || index < 0) return false;
    }
    if (op == "version") {
        target.op = kFpgaVersion;
    } else if (op == "start") {
        target.op = kFpgaStart;
    } else if (op == "data") {
        target.op = kFpgaData;
    } else if (op == "end") {
        target.op = kFpgaEnd;
    } else {
        return false;
    }
    target.index = static_cast<int>(index);
    return true;
}

bool ParseFault(const std::string& text, Faults& faults) {
    if (text == "silent") return faults.silent = true;
    if (text == "needs-break") return faults.needsBreak = true;
    auto eq = text.find('=');
    if (eq == std::string::npos) return false;
    const std::string name = text.substr(0, eq);
    const std::string arg = text.substr(eq + 1);
    if (name == "fpga-silent") return ParseFpgaTarget(arg, faults.fpgaSilentFrom);
    if (name == "fpga-status") {
        auto colon = arg.rfind(':');
        long long code = 0;
        if (colon == std::string::npos || !ParseNumber(arg.substr(colon + 1), code) || code < 0 ||
            code > 255 || !ParseFpgaTarget(arg.substr(0, colon), faults.fpgaStatusAt)) {
            return false;
        }
        faults.fpgaStatus = static_cast<std::uint8_t>(code);
        return true;
    }
    long long n = 0;
    if (!ParseNumber(arg, n) || n < 0 || n > 1000000) return false;
    const int k = static_cast<int>(n);
    if (name == "refuse-block" || name == "refuse-program") {
        faults.refuseBlock = k;
        faults.refuseAtProgram = name == "refuse-program";
    } else if (name == "corrupt-block") {
        faults.corruptBlock = k;
    } else if (name == "die-after") {
        faults.dieAfterBlock = k;
    } else if (name == "wrong-echo") {
        faults.wrongEchoCommand = k;
    } else if (name == "refuse-erase") {
        faults.refuseErase = k;
    } else if (name == "short-read") {
        faults.shortRead = k;
    } else {
        return false;
    }
    return true;
}

}  // namespace qel::sim
