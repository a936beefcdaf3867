// The programs as a newcomer first meets them. Every program answers --help: boxsim and the
// benchmarks with their usage on standard output and exit code 0; bin2plv32 keeps what
// scripts know of it, its usage text and exit code 1. demo.sh, on the programs this build
// made, ends 0 after a successful flash or FPGA update and leaves no temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/child_process.h"

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

TEST(HelpE2e, EveryProgramAnswersHelp) {
    ScratchDir dir;
    const struct {
        const char* program;
        int code;
        const char* starts;
    } rows[] = {
        {BOXSIM_PATH, 0, "usage: boxsim --port COMn"},
        {MODEMSIM_PATH, 0, "usage: modemsim --port COMn"},
        {DOWNLOAD_BENCH_PATH, 0, "usage: download_bench"},
        {BIN2PLV32_PATH, 1, "\nORN KALVER QEL-flash\nQEL_flash (bin2Plv32.exe)"},
    };
    for (const auto& row : rows) {
        ChildProcess child({row.program, "--help"}, dir.path);
        EXPECT_EQ(child.Finish(10000), row.code) << row.program;
        EXPECT_EQ(child.output.rfind(row.starts, 0), 0u) << row.program << "\n" << child.output;
    }
}

}  // namespace
