// Argument checks and start-up that the simulator's programs (boxsim, modemsim, nullmodem)
// share.
#pragma once
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "sim/pty_master.h"

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

// A pseudo-terminal whose slave is linked in dir under the port's lower-case name, where the
// tool looks ports up (an old link of that name is replaced). Null, with the reason printed
// under the program's name, when either step fails.
inline std::shared_ptr<PtyMaster> CreateLinkedPty(const char* program, const std::string& dir,
                                                  const std::string& port,
                                                  std::filesystem::path& link) {
    namespace fs = std::filesystem;
    std::string error;
    auto pty = PtyMaster::Create(error);
    if (!pty) {
        std::fprintf(stderr, "%s: %s\n", program, error.c_str());
        return nullptr;
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    link = fs::path(dir) / Lower(port);
    if (fs::is_symlink(fs::symlink_status(link, ec))) fs::remove(link, ec);
    fs::create_symlink(pty->SlavePath(), link, ec);
    if (ec) {
        std::fprintf(stderr, "%s: cannot link %s: %s\n", program, link.c_str(),
                     ec.message().c_str());
        return nullptr;
    }
    return pty;
}

}  // namespace qel::sim
