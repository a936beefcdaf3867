// The modem layer against the modemsim program on a pseudo-terminal: dial, a call whose far
// end is a real program, hang up.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "e2e/transfer_files.h"
#include "serial/cv24/cv24.h"
#include "serial/device/sync.h"
#include "serial/v24.h"
#include "transfer/modem.h"

using namespace qel::test;

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

// Debian's lrzsz answers the call; the file it keeps must equal the one the port object sent,
// every byte value among it (XMODEM sends them raw); it hangs up after the far end.
TEST(ModemE2e, DialSendAFileThroughTheCallHangUp) {
    const struct {
        const char* protocol;
        const char* tool;
        const char* receiver;  // run in the far end's folder, keeping upload.bin
        std::function<int(CV24&, int, const char*)> send;
    } rows[] = {
        {"XMODEM", "rx", "rx -c upload.bin",
         [](CV24& o, int p, const char* path) { return o.SendFile(p, path, 1, nullptr); }},
        {"ZMODEM", "rz", "rz -y",
         [](CV24& o, int p, const char* path) { return o.StreamSendFile(p, path, 1, nullptr); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.protocol);
        ASSERT_NE(ToolPath(row.tool), "") << "install lrzsz";
        ScratchDir farEnd;
        ModemCall call;
        // The receiver starts a moment after the call, as someone at the far end would: its
        // first request would otherwise go into the dial's answer and cost a retry.
        ASSERT_NO_FATAL_FAILURE(
            call.Start("cd '" + farEnd.path + "' && sleep 1 && exec " + row.receiver));
        const std::string content = RandomBytes(64 * 1024, 11);  // whole blocks: no padding
        const std::string path = call.dir.Write("upload.bin", content);

        CV24 port;
        ASSERT_EQ(port.Dial(call.port, 1, "0815"), MODEM_CONNECT);
        qel::dev::SetTimeScale(1);  // the transfer's own time-outs, against a real receiver
        EXPECT_EQ(row.send(port, call.port, path.c_str()), 0);
        qel::dev::SetTimeScale(kScale);
        const std::string log = call.End();
        EXPECT_TRUE(farEnd.Read("upload.bin") == content) << log;
        for (const char* event : {"command ATDT0815", "far end hung up", "command ATH"})
            EXPECT_NE(log.find(event), std::string::npos) << event << "\n" << log;
    }
}

}  // namespace
