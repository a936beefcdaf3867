// Every program answers --help: boxsim and the benchmarks with their usage on standard output
// and exit code 0. bin2plv32 keeps what scripts know of it: its usage text and exit code 1.
#include <gtest/gtest.h>

#include <string>

#include "e2e/child_process.h"

namespace {

using qel::test::ChildProcess;
using qel::test::ScratchDir;

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
