// The modem layer against the modemsim program on a pseudo-terminal: dial, a call whose far
// end is a real program, hang up.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "serial/device/sync.h"
#include "serial/v24.h"
#include "transfer/modem.h"

using qel::test::ChildProcess;
using qel::test::ScratchDir;

namespace {

// The dial's 5 s pause and the hang-up's 2 s guard pauses run ten times faster here; the
// modem's guard time is cut to match.
constexpr unsigned kScale = 10;

// modemsim as COM7, the far end of every call the given command line.
struct ModemCall {
    ScratchDir dir;
    std::unique_ptr<ChildProcess> sim;
    int port = -1;

    void Start(const std::string& farEnd) {
        sim = std::make_unique<ChildProcess>(
            std::vector<std::string>{MODEMSIM_PATH, "--port", "COM7", "--data-command", farEnd,
                                     "--guard-ms", "50", "--log", dir.path + "/modem.log"},
            dir.path);
        ASSERT_TRUE(sim->ReadUntil("\n", 5000)) << sim->output;
        ASSERT_EQ(sim->output.rfind("modemsim ready COM7 ", 0), 0u) << sim->output;
        setenv("QELFLASH_PORTS", dir.path.c_str(), 1);
        port = V24Open("COM7", 1);
        ASSERT_GE(port, 0);
        qel::dev::SetTimeScale(kScale);
    }
    ~ModemCall() { qel::dev::SetTimeScale(1); }
    // Hangs up, closes the port, stops the modem; its log.
    std::string End() {
        EXPECT_EQ(ModemHangUp(port), 0);
        EXPECT_EQ(V24Close(port), 0);
        sim->Terminate();
        EXPECT_EQ(sim->Finish(5000), 0);
        unsetenv("QELFLASH_PORTS");
        return dir.Read("modem.log");
    }
};

TEST(ModemE2e, ACallCarriesEveryByteValueBothWaysUntilHungUp) {
    ModemCall call;
    ASSERT_NO_FATAL_FAILURE(call.Start("cat"));  // the far end sends back what it gets
    ASSERT_EQ(ModemDial(call.port, 1, "0815"), MODEM_CONNECT);

    // Every byte value, escapes and commands among them: all of it is data now.
    std::string data = "+++ATH\r";
    std::mt19937 random(7);
    while (data.size() < 20000) data += static_cast<char>(random());
    const int n = static_cast<int>(data.size());
    ASSERT_EQ(V24WriteBuffer(call.port, data.data(), n), n);
    std::string back(data.size(), '\0');
    V24SetTimeout(call.port, 3000);
    back.resize(static_cast<size_t>(V24ReadBuffer(call.port, back.data(), n)));
    EXPECT_TRUE(back == data) << back.size() << " of " << n << " bytes came back";

    const std::string log = call.End();
    EXPECT_NE(log.find("command ATDT0815"), std::string::npos) << log;
    EXPECT_NE(log.find("escape"), std::string::npos) << log;
    EXPECT_NE(log.find("command ATH"), std::string::npos) << log;
    EXPECT_NE(log.find("hung up"), std::string::npos) << log;
}

TEST(ModemE2e, ModemsimRefusesBadArguments) {
    ScratchDir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{"--port", "LPT1"},
                                          {"--port", "COM7", "--dial-ms", "soon"},
                                          {"--port", "COM7", "--echo", "2"},
                                          {"--port", "COM7", "--dial", "555"},
                                          {"--bogus"}}) {
        args.insert(args.begin(), MODEMSIM_PATH);
        ChildProcess sim(args, dir.path);
        EXPECT_EQ(sim.Finish(5000), 2) << args[1] << " " << args.back();
    }
}

}  // namespace
