// The real bin2plv32 updating the FPGA of boxsim's firmware over a pseudo-terminal: exact
// console text, exit code, and the frames the box logged.


#include "e2e/programs.h"

namespace {

using namespace qel::test;

TEST(FpgaEndToEnd, UpdatesAndRefusalsEndWithTheirTextAndCode) {
    qel::test::ScratchDir dir;
    const std::string path = dir.path + "/fpga.vme";
    const std::string heading = FpgaHeading(path), full = FpgaWholeUpdateText();
    const struct {
        const char* what;
        int size, version;
        const char* box;  // boxsim's options
        int code;
        std::size_t frames;  // the box heard, the last one starting with lastFrame
        const char* lastFrame;
        double maxMs;
        std::string out;  // after the heading
    } rows[] = {
        {"full update", 65536, 101, "", 0, 2 * 131, "frame 0x9 ", 120000, full},
        // The largest file the tool takes: one query and one handshake.
        {"equal versions", 393216, 100, "", 20, 2, "frame 0x9 ", 20000,
         "Error: 20 no Update necessary     "},
        // Query, start and two data frames, each with its handshake; then the refused third
        // data frame, and not even its handshake after it.
        {"status on a data frame", 65536, 101, "--fault fpga-status=data:2:22", 22, 9,
         "frame 0x1C data", 60000,
         " 0.0% \nerror 104 9c <> 9c 03 16 00 \nError: 22 FPGA-Data CRC error"},
        // 50 waits of 10 ms for the version reply, plus the program's start and end.
        {"silent box", 65536, 101, "--fault silent", 19, 0, "", 3 * 500 + 2300,
         "error 101 30\nError: 19 no Answer               "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string logName = "log" + std::to_string(&row - rows);
        auto box = StartBoxsim("COM7", dir.path,
                               "--mode firmware --log " + dir.path + "/" + logName + " " + row.box);
        EXPECT_EQ(ChildProcess({BOXSIM_PATH, "--make-vme", path, "--size", std::to_string(row.size),
                                "--version", std::to_string(row.version)},
                               dir.path)
                      .Finish(10000),
                  0);
        ChildProcess tool({BIN2PLV32_PATH, path, "7"}, dir.path);
        EXPECT_EQ(tool.Finish(120000), row.code);
        EXPECT_EQ(tool.output, heading + row.out);
        EXPECT_LE(tool.ms, row.maxMs);
        StopBoxsim(box);
        const std::string log = dir.Read(logName);
        std::vector<std::string> frames;
        for (std::size_t at = log.find("frame "); at != std::string::npos;
             at = log.find("frame ", at + 1))
            frames.push_back(log.substr(at, log.find('\n', at) - at));
        ASSERT_EQ(frames.size(), row.frames) << log;
        if (!frames.empty()) {
            EXPECT_EQ(frames.back().rfind(row.lastFrame, 0), 0u) << frames.back();
        }
        EXPECT_NE(log.find("violations=0"), std::string::npos) << log;
    }
}

}  // namespace
