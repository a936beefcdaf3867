#include "service/read_file.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace qelflash {

namespace {

// The temporary file of the read in progress, for a signal that ends the process before
// the read does. Only async-signal-safe calls touch it there.
char g_pending[4096];

extern "C" void RemovePendingAndDie(int signal) {
    if (g_pending[0] != '\0') unlink(g_pending);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void Watch(const std::string& temp) {
    std::snprintf(g_pending, sizeof g_pending, "%s", temp.c_str());
    for (int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, RemovePendingAndDie);
}

void Unwatch() {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
    g_pending[0] = '\0';
}

}  // namespace

ReadTarget::~ReadTarget() {
    if (!temp_.empty()) {
        std::remove(temp_.c_str());
        Unwatch();
    }
}

bool ReadTarget::Create(const std::string& path) {
    if (path.empty() || path.size() + 16 >= sizeof g_pending) return false;
    std::string name = path + ".part-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) return false;
    // The file is to look as if the read had created it, not private as mkstemp makes it.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    path_ = path;
    temp_ = name;
    Watch(temp_);
    return true;
}

bool ReadTarget::Commit() {
    const bool renamed = std::rename(temp_.c_str(), path_.c_str()) == 0;
    if (!renamed) std::remove(temp_.c_str());
    temp_.clear();
    Unwatch();
    return renamed;
}

}  // namespace qelflash
