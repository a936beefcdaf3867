// Argument checks that the simulator's programs (boxsim, modemsim, nullmodem) share.
#pragma once
#include <cctype>
#include <string>

namespace qel::sim {

inline std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A port name as the tool takes it: COM followed by digits, in any case.
inline bool ValidPort(const std::string& port) {
    if (port.size() < 4 || Lower(port.substr(0, 3)) != "com") return false;
    for (std::size_t i = 3; i < port.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(port[i]))) return false;
    }
    return true;
}

}  // namespace qel::sim
