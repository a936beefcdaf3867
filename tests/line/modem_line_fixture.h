// A port of the library on one end of the in-memory line and the scripted Hayes modem on the
// other; a call's far end is a peer the test plays.
#pragma once
#include <memory>
#include <string>

#include "sim/hayes_modem.h"
#include "sim/wire.h"
#include "tests/line/v24_line_fixture.h"

namespace v24test {

struct ModemLine : V24Line {
    std::shared_ptr<qel::sim::MemoryPeer> peer = std::make_shared<qel::sim::MemoryPeer>();
    std::unique_ptr<qel::sim::HayesModem> modem;

    // The modem's settings at power-on, as given.
    static qel::sim::ModemOptions Modes(bool echo, bool verbose = true, bool quiet = false) {
        qel::sim::ModemOptions options;
        options.echo = echo;
        options.verbose = verbose;
        options.quiet = quiet;
        return options;
    }
    // Opens the port with the modem behind it.
    void StartModem(qel::sim::ModemOptions options = {}) {
        if (!options.connect) options.connect = [this](const std::string&) { return peer; };
        modem = std::make_unique<qel::sim::HayesModem>(qel::sim::MakeVirtualWire(line.b, line.a),
                                                       std::move(options));
        modem->Start();
        Open();
    }
    void TearDown() override {
        if (modem) modem->Stop();
        V24Line::TearDown();
    }

    // What the modem sends until it has been quiet for ms (real time).
    std::string Heard(int ms = 300) {
        V24SetTimeout(h, ms * static_cast<int>(TimeScale()));
        char buf[512];
        const int n = V24ReadBuffer(h, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    std::string LastCommand() const {
        auto commands = modem->Commands();
        return commands.empty() ? std::string() : commands.back();
    }
};

}  // namespace v24test
