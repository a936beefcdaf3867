// The real bin2plv32 updating the FPGA of boxsim's firmware over a pseudo-terminal: exact
// console text, exit code, and the frames the box logged.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "e2e/child_process.h"

namespace {

using qel::test::ChildProcess;

class FpgaEndToEnd : public ::testing::Test {
  protected:
    // Starts boxsim's firmware (version 100) on COM7 with extra options, makes a .vme file
    // and runs the tool on it; the box is stopped afterwards so that its log is complete.
    int Run(int size, int version, const std::vector<std::string>& options, int limitMs) {
        std::vector<std::string> argv{BOXSIM_PATH, "--port", "COM7",           "--mode",
                                      "firmware",  "--log",  dir.path + "/log"};
        argv.insert(argv.end(), options.begin(), options.end());
        ChildProcess box(argv, dir.path);
        EXPECT_TRUE(box.ReadUntil("boxsim ready", 10000)) << box.output;
        EXPECT_EQ(ChildProcess({BOXSIM_PATH, "--make-vme", path, "--size", std::to_string(size),
                                "--version", std::to_string(version)},
                               dir.path)
                      .Finish(10000),
                  0);
        ChildProcess tool({BIN2PLV32_PATH, path, "7"}, dir.path);
        const int code = tool.Finish(limitMs);
        out = tool.output;
        ms = tool.ms;
        box.Terminate();
        box.Finish(5000);
        // The frames the box heard, one "frame ..." line each.
        std::string log = dir.Read("log");
        for (std::size_t at = log.find("frame "); at != std::string::npos;
             at = log.find("frame ", at + 1))
            frames.push_back(log.substr(at, log.find('\n', at) - at));
        return code;
    }
    std::string Heading() const {
        return "\nORN KALVER QEL-flash\nFPGA-Programmierung \nFile: " + path + "\nPort:7\n";
    }

    qel::test::ScratchDir dir;
    const std::string path = dir.path + "/fpga.vme";
    std::string out;
    double ms = 0;
    std::vector<std::string> frames;
};

TEST_F(FpgaEndToEnd, FullUpdate) {
    EXPECT_EQ(Run(65536, 101, {}, 120000), 0);
    std::string expected = Heading();
    char line[32];
    for (int frame = 0; frame < 128; frame += 5) {
        std::snprintf(line, sizeof line, "%4.1f%% \n", frame * 512 * 100.0 / 65536);
        expected += line;
    }
    // The box answers the end request within the first wait of its programming time.
    expected += " 0.0%\nProgramming finished 65522\nFPGA-Update erfolgreich";
    EXPECT_EQ(out, expected);
    const std::string log = dir.Read("log");
    EXPECT_NE(log.find("fpga programmed with 65522 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("violations=0"), std::string::npos) << log;
}

TEST_F(FpgaEndToEnd, EqualVersionsEndAfterOneQueryAndOneHandshake) {
    EXPECT_EQ(Run(393216, 100, {}, 20000), 20);  // the largest file the tool takes
    EXPECT_EQ(out, Heading() + "Error: 20 no Update necessary     ");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].rfind("frame 0x1C version", 0), 0u) << frames[0];
    EXPECT_EQ(frames[1].rfind("frame 0x9 ", 0), 0u) << frames[1];
}

TEST_F(FpgaEndToEnd, BoxStatusOnADataFrameIsTheExitCodeAndNothingFollows) {
    EXPECT_EQ(Run(65536, 101, {"--fault", "fpga-status=data:2:22"}, 60000), 22);
    EXPECT_EQ(out, Heading() + " 0.0% \nerror 104 9c <> 9c 03 16 00 \n" +
                       "Error: 22 FPGA-Data CRC error");
    // Query, start and two data frames, each with its handshake; then the refused third
    // data frame, and not even its handshake after it.
    ASSERT_EQ(frames.size(), 9u);
    EXPECT_EQ(frames.back().rfind("frame 0x1C data", 0), 0u) << frames.back();
}

TEST_F(FpgaEndToEnd, SilentBoxEndsInBoundedTime) {
    EXPECT_EQ(Run(65536, 101, {"--fault", "silent"}, 20000), 19);
    EXPECT_EQ(out, Heading() + "error 101 30\nError: 19 no Answer               ");
    // 50 waits of 10 ms for the version reply, plus the program's start and end.
    EXPECT_GE(ms, 0.9 * 500);
    EXPECT_LE(ms, 3 * 500 + 300 + 2000);
}

}  // namespace
