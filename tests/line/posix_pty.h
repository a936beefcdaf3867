// Pseudo-terminals and a QELFLASH_PORTS folder for the termios backend's tests.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

namespace qel::test {

// A pty whose master the test holds, as boxsim does.
struct Pty {
    int master = -1;
    std::string slave;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    void CloseMaster() {
        if (master >= 0) close(master);
        master = -1;
    }

    // Reads from the master until n bytes came or ms passed without any.
    std::string Read(std::size_t n, int ms = 2000) {
        std::string got;
        while (got.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, ms) != 1) break;
            char buf[4096];
            ssize_t r = read(master, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }

    void Write(const std::string& bytes) {
        [[maybe_unused]] ssize_t r = write(master, bytes.data(), bytes.size());
    }
};

// A temporary folder of port links, named by QELFLASH_PORTS while it lives.
struct PortsFolder {
    std::string dir;

    PortsFolder() {
        char name[] = "/tmp/qelports.XXXXXX";
        if (mkdtemp(name) != nullptr) dir = name;
        setenv("QELFLASH_PORTS", dir.c_str(), 1);
    }
    ~PortsFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);  // the links, never what they point to
        unsetenv("QELFLASH_PORTS");
    }
    PortsFolder(const PortsFolder&) = delete;
    PortsFolder& operator=(const PortsFolder&) = delete;

    void Link(const std::string& name, const std::string& target) {
        [[maybe_unused]] int r = symlink(target.c_str(), (dir + "/" + name).c_str());
    }
};

// A pty linked as COM7 in a ports folder of the test's own.
struct PtyAsCom7 : ::testing::Test {
    Pty pty;
    PortsFolder ports;
    void SetUp() override {
        ASSERT_FALSE(pty.slave.empty());
        ports.Link("com7", pty.slave);
    }
};

// A thread spinning on a device that is gone would use most of the next second's CPU time.
inline void ExpectNoSpinInTheNextSecond() {
    auto cpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
    };
    const double start = cpu();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double used = cpu() - start;
    ::testing::Test::RecordProperty("cpu_ms_after_gone", std::to_string(used));
    EXPECT_LT(used, 200) << "CPU time in the second after the device vanished";
}

}  // namespace qel::test
