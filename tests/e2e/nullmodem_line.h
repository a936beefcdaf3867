// The nullmodem program with a command on its far side and our port open on its
// pseudo-terminal, in a folder of its own.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "serial/v24.h"

namespace qel::test {

struct NullModemLine {
    ScratchDir dir;
    std::unique_ptr<ChildProcess> modem;
    int port = -1;

    void Start(std::vector<std::string> options, const std::string& command = "cat") {
        std::vector<std::string> argv{NULLMODEM_PATH, "--port", "COM9", "--exec", command};
        argv.insert(argv.end(), options.begin(), options.end());
        modem = std::make_unique<ChildProcess>(argv, dir.path);
        ASSERT_TRUE(modem->ReadUntil("\n", 5000)) << modem->output;
        ASSERT_EQ(modem->output.rfind("nullmodem ready /dev/", 0), 0u) << modem->output;
        setenv("QELFLASH_PORTS", dir.path.c_str(), 1);
        port = V24Open("COM9", 1);
        ASSERT_GE(port, 0);
    }
    // The command run in the line's folder (where lrzsz keeps its files), our side at baud.
    void StartInDir(const std::string& command, const std::vector<std::string>& options, int baud) {
        Start(options, "cd " + dir.path + " && exec " + command);
        ASSERT_EQ(V24SetLine(port, baud, 8, 'N', 1), 0);
    }
    // Closes our port; the null-modem's exit code, which is its command's.
    int Finish(int ms) {
        V24Close(port);
        port = -1;
        return modem->Finish(ms);
    }
    ~NullModemLine() {
        if (port >= 0) V24Close(port);
        unsetenv("QELFLASH_PORTS");
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(V24WriteBuffer(port, bytes.data(), static_cast<int>(bytes.size())),
                  static_cast<int>(bytes.size()));
    }
    // Up to n bytes; each silence may last ms.
    std::string Receive(std::size_t n, int ms = 1000) {
        V24SetTimeout(port, ms);
        std::string got(n, '\0');
        got.resize(static_cast<std::size_t>(V24ReadBuffer(port, got.data(), static_cast<int>(n))));
        return got;
    }
};

}  // namespace qel::test
