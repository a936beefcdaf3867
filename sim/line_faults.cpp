#include "sim/line_faults.h"

#include <algorithm>

#include "sim/fault_option.h"

namespace qel::sim {

namespace {

bool Listed(const std::vector<long long>& offsets, long long offset) {
    return std::find(offsets.begin(), offsets.end(), offset) != offsets.end();
}

bool Every(long long n, long long offset) {
    return n > 0 && (offset + 1) % n == 0;
}

bool Offset(const std::string& text, long long& out) {
    return ParseNumber(text, out) && out >= 0;
}

}  // namespace

ByteFate FateOf(const LineFaults& faults, long long offset) {
    ByteFate fate;
    fate.drop = Every(faults.dropEvery, offset) || Listed(faults.dropAt, offset);
    fate.corrupt =
        !fate.drop && (Every(faults.corruptEvery, offset) || Listed(faults.corruptAt, offset));
    fate.hangup = faults.hangupAt >= 0 && offset >= faults.hangupAt;
    for (const auto& stall : faults.stalls) {
        if (stall.at == offset) fate.stallMs += stall.ms;
    }
    return fate;
}

bool IsLineFaultOption(const std::string& option) {
    static const char* const kOptions[] = {"--corrupt-every",  "--drop-every", "--corrupt-at",
                                           "--drop-at",        "--stall-at",   "--hangup-at",
                                           "--fault-direction"};
    return std::find(std::begin(kOptions), std::end(kOptions), option) != std::end(kOptions);
}

bool ParseLineFault(const std::string& option, const std::string& value, LineFaults& faults,
                    std::string& error) {
    long long n = 0;
    bool ok = true;
    if (option == "--corrupt-every") {
        ok = Offset(value, faults.corruptEvery) && faults.corruptEvery > 0;
    } else if (option == "--drop-every") {
        ok = Offset(value, faults.dropEvery) && faults.dropEvery > 0;
    } else if (option == "--corrupt-at") {
        ok = Offset(value, n);
        faults.corruptAt.push_back(n);
    } else if (option == "--drop-at") {
        ok = Offset(value, n);
        faults.dropAt.push_back(n);
    } else if (option == "--hangup-at") {
        ok = Offset(value, faults.hangupAt);
    } else if (option == "--stall-at") {
        const auto colon = value.find(':');
        long long ms = 0;
        ok = colon != std::string::npos && Offset(value.substr(0, colon), n) &&
             Offset(value.substr(colon + 1), ms) && ms <= 3600000;
        faults.stalls.push_back({n, static_cast<int>(ms)});
    } else if (option == "--fault-direction") {
        if (value == "out") {
            faults.direction = FaultDirection::Out;
        } else if (value == "in") {
            faults.direction = FaultDirection::In;
        } else if (value == "both") {
            faults.direction = FaultDirection::Both;
        } else {
            ok = false;
        }
    } else {
        error = "not a fault option: " + option;
        return false;
    }
    if (!ok) error = "bad value for " + option + ": " + value;
    return ok;
}

}  // namespace qel::sim
