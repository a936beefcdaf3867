// The real bin2plv32 updating the FPGA of boxsim's firmware over a pseudo-terminal: exact
// console text, exit code, and what the box says it programmed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/child_process.h"

namespace {

using qel::test::ChildProcess;

const std::string kBanner = "\nORN KALVER QEL-flash\n";

class FpgaEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/qelflash-fpga.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override {
        box_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Starts boxsim's firmware on COM7 in our folder, with extra options.
    void StartBox(const std::vector<std::string>& options) {
        std::vector<std::string> argv{BOXSIM_PATH, "--port", "COM7",       "--dir",
                                      dir_,        "--mode", "firmware",   "--fpga-version",
                                      "100",       "--log",  dir_ + "/log"};
        argv.insert(argv.end(), options.begin(), options.end());
        box_ = std::make_unique<ChildProcess>(argv, dir_);
        ASSERT_TRUE(box_->ReadUntil("boxsim ready", 10000)) << box_->output;
    }

    std::string MakeVme(int size, int version) {
        const std::string path = dir_ + "/fpga.vme";
        ChildProcess maker({BOXSIM_PATH, "--make-vme", path, "--size", std::to_string(size),
                            "--version", std::to_string(version)},
                           dir_);
        EXPECT_EQ(maker.Finish(10000), 0);
        return path;
    }

    // Runs the tool on the file and COM7; the box is stopped afterwards so that its log is
    // complete.
    int Run(const std::string& path, int limitMs) {
        ChildProcess tool({BIN2PLV32_PATH, path, "7"}, dir_);
        const int code = tool.Finish(limitMs);
        out = tool.output;
        ms = tool.ms;
        box_->Terminate();
        box_->Finish(5000);
        return code;
    }

    std::string Log() const {
        std::ifstream in(dir_ + "/log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string Heading(const std::string& path) const {
        return kBanner + "FPGA-Programmierung \nFile: " + path + "\nPort:7\n";
    }

    std::string out;
    double ms = 0;

  private:
    std::string dir_;
    std::unique_ptr<ChildProcess> box_;
};

TEST_F(FpgaEndToEnd, FullUpdate) {
    StartBox({});
    const std::string path = MakeVme(65536, 101);
    const int code = Run(path, 120000);

    std::string expected = Heading(path);
    char line[32];
    for (int frame = 0; frame < 128; frame += 5) {
        std::snprintf(line, sizeof line, "%4.1f%% \n", frame * 512 * 100.0 / 65536);
        expected += line;
    }
    // The box answers the end request within the first wait of its programming time.
    expected += " 0.0%\nProgramming finished 65522\nFPGA-Update erfolgreich";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(code, 0);

    const std::string log = Log();
    EXPECT_NE(log.find("fpga programmed with 65522 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("violations=0"), std::string::npos) << log;
}

TEST_F(FpgaEndToEnd, EqualVersionsNeedNoUpdate) {
    StartBox({});
    const std::string path = MakeVme(65536, 100);
    EXPECT_EQ(Run(path, 20000), 20);
    EXPECT_EQ(out, Heading(path) + "Error: 20 no Update necessary     ");
    EXPECT_EQ(Log().find("frame 1c data"), std::string::npos);
}

TEST_F(FpgaEndToEnd, BoxStatusOnADataFrameIsTheExitCode) {
    StartBox({"--fault", "fpga-status=data:2:22"});
    const std::string path = MakeVme(65536, 101);
    EXPECT_EQ(Run(path, 60000), 22);
    EXPECT_EQ(out, Heading(path) + " 0.0% \nerror 104 9c <> 9c 03 16 00 \n" +
                       "Error: 22 FPGA-Data CRC error");
}

TEST_F(FpgaEndToEnd, SilentBoxEndsInBoundedTime) {
    StartBox({"--fault", "silent"});
    const std::string path = MakeVme(65536, 101);
    EXPECT_EQ(Run(path, 20000), 19);
    EXPECT_EQ(out, Heading(path) + "error 101 30\nError: 19 no Answer               ");
    // 50 waits of 10 ms for the version reply, plus the program's start and end.
    EXPECT_GE(ms, 0.9 * 500);
    EXPECT_LE(ms, 3 * 500 + 300 + 2000);
}

}  // namespace
