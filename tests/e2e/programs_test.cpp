// The programs as a newcomer first meets them. Every program answers --help: boxsim and the
// benchmarks with their usage on standard output and exit code 0; bin2plv32 keeps what
// scripts know of it, its usage text and exit code 1. The simulators refuse bad arguments. demo.sh,
// on the programs this build made, ends 0 after a successful flash or FPGA update and leaves no
// temporary folder.
#include "e2e/programs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using qel::test::ChildProcess;
using qel::test::ScratchDir;

namespace {

TEST(DemoE2e, EndsWithZeroAndLeavesNothingBehind) {
    const std::string demo =
        (fs::path(__FILE__).parent_path().parent_path().parent_path() / "demo.sh").string();
    const std::string build = fs::path(BIN2PLV32_PATH).parent_path().parent_path().string();
    const struct {
        const char* option;
        const char* verdict;
    } runs[] = {
        {"", "the simulated box's flash at 0x8000 now holds the image"},
        {"--fpga", "the simulated box's FPGA was programmed with 65522 bytes"},
    };
    for (const auto& run : runs) {
        ScratchDir tmp;  // the demo's mktemp lands here
        std::vector<std::string> argv{"/usr/bin/env", "BUILD_DIR=" + build, "TMPDIR=" + tmp.path,
                                      "bash", demo};
        if (*run.option) argv.push_back(run.option);
        ChildProcess child(argv, tmp.path);
        EXPECT_EQ(child.Finish(120000), 0) << run.option << "\n" << child.output;
        EXPECT_NE(child.output.find(run.verdict), std::string::npos) << child.output;
        EXPECT_TRUE(fs::is_empty(tmp.path)) << run.option;
    }
}

// Every program answers --help; the simulators refuse with 2 what they cannot use.
TEST(ProgramsE2e, HelpAndBadArguments) {
    ScratchDir dir;
    const struct {
        const char* program;
        std::string args;
        int code;
        const char* starts = "";
    } rows[] = {
        {BOXSIM_PATH, "--help", 0, "usage: boxsim --port COMn"},
        {MODEMSIM_PATH, "--help", 0, "usage: modemsim --port COMn"},
        {DOWNLOAD_BENCH_PATH, "--help", 0, "usage: download_bench"},
        {BIN2PLV32_PATH, "--help", 1, "\nORN KALVER QEL-flash\nQEL_flash (bin2Plv32.exe)"},
        {BOXSIM_PATH, "", 2},
        {BOXSIM_PATH, "--port COM9 --fault refuse-block", 2},
        {BOXSIM_PATH, "--port LPT1 --dir " + dir.path, 2},
        {BOXSIM_PATH, "--port COM9 --mode sleepy", 2},
        {MODEMSIM_PATH, "--port LPT1", 2},
        {MODEMSIM_PATH, "--port COM7 --dial-ms soon", 2},
        {MODEMSIM_PATH, "--port COM7 --echo 2", 2},
        {MODEMSIM_PATH, "--port COM7 --dial 555", 2},
        {MODEMSIM_PATH, "--bogus", 2},
    };
    for (const auto& row : rows) {
        std::vector<std::string> argv = qel::test::Words(row.args);
        argv.insert(argv.begin(), row.program);
        ChildProcess child(argv, dir.path);
        const std::string call = row.program + (" " + row.args);
        EXPECT_EQ(child.Finish(10000), row.code) << call;
        EXPECT_EQ(child.output.rfind(row.starts, 0), 0u) << call << "\n" << child.output;
    }
}

}  // namespace
