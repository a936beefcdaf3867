// README.md's examples, read from the file itself and run as written (through the shell, the
// programs found on PATH) against boxsim started as the README says, so that the README and
// the tool cannot drift apart again. In README.md's indented code:
//   boxsim --make-...        a sample file every example may use
//   bin2plv32 ARGS  # ...    an example: ends with exit code 0
//   $ bin2plv32 ARGS  # ...  a sample run: the lines after it are its output ("..." stands
//                            for any lines; trailing blanks are not compared)
// "(box: OPTIONS)" on such a line: the box is started with these options.
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "e2e/programs.h"

namespace fs = std::filesystem;
using namespace qel::test;

namespace {

struct Call {
    std::string where, command, box;  // README.md:line, as typed for the shell, boxsim's options
    bool sample;                      // else an example
    std::vector<std::string> output;
};

std::vector<std::string> Lines(std::istream&& in) {
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l.erase(l.find_last_not_of(' ') + 1));
    return lines;
}

// The lines of the output against the README's, where "..." takes any number of lines.
bool Matches(const std::vector<std::string>& want, std::size_t w,
             const std::vector<std::string>& got, std::size_t g) {
    if (w == want.size()) return g == got.size();
    if (want[w] == "...") {
        for (std::size_t skip = g; skip <= got.size(); ++skip)
            if (Matches(want, w + 1, got, skip)) return true;
        return false;
    }
    return g < got.size() && want[w] == got[g] && Matches(want, w + 1, got, g + 1);
}

TEST(ReadmeE2e, EveryExampleRunsAsWrittenAgainstTheSimulatedBox) {
    const fs::path root = fs::path(__FILE__).parent_path().parent_path().parent_path();
    const std::vector<std::string> lines = Lines(std::ifstream(root / "README.md"));
    std::vector<std::string> setup;
    std::vector<Call> runs;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("    ", 0) != 0) continue;
        std::string code = lines[i].substr(4);
        if (code.rfind("boxsim --make-", 0) == 0) setup.push_back(code);
        const bool sample = code.rfind("$ ", 0) == 0;
        if (sample) code.erase(0, 2);
        // Not the synopsis with its [optional] part.
        if (code.rfind("bin2plv32 ", 0) != 0 || code.find('[') != std::string::npos) continue;
        Call run{
            "README.md:" + std::to_string(i + 1), code.substr(0, code.find(" #")), "", sample, {}};
        run.command.erase(run.command.find_last_not_of(' ') + 1);
        const std::size_t box = code.find("(box: ");
        if (box != std::string::npos) run.box = code.substr(box + 6, code.find(')', box) - box - 6);
        // A sample's output runs to the end of the code block; an empty line stays inside it.
        for (std::size_t j = i + 1; sample && j < lines.size(); ++j) {
            if (!lines[j].empty() && lines[j].rfind("    ", 0) != 0) break;
            run.output.push_back(lines[j].substr(std::min<std::size_t>(lines[j].size(), 4)));
        }
        while (!run.output.empty() && run.output.back().empty()) run.output.pop_back();
        runs.push_back(run);
    }
    // Finding none would pass everything: the README's form and this reader must agree.
    ASSERT_GE(setup.size(), 2u);
    ASSERT_GE(runs.size(), 9u);

    // As "Trying it by hand" sets it up: the programs on PATH, one folder for the files and
    // the ports.
    const std::string path = fs::path(BIN2PLV32_PATH).parent_path().string() + ":" +
                             fs::path(BOXSIM_PATH).parent_path().string() + ":" +
                             (getenv("PATH") ? getenv("PATH") : "");
    ASSERT_EQ(setenv("PATH", path.c_str(), 1), 0);
    ScratchDir dir;
    auto shell = [&](const std::string& command) {
        return ChildProcess({"/bin/sh", "-c", "cd '" + dir.path + "' && " + command}, dir.path);
    };
    for (const std::string& line : setup) ASSERT_EQ(shell(line).Finish(20000), 0) << line;

    for (const Call& run : runs) {
        auto box = StartBoxsim("COM" + Words(run.command).back(), dir.path, run.box);
        ChildProcess tool = shell(run.command);
        const int code = tool.Finish(120000);
        StopBoxsim(box);
        SCOPED_TRACE(run.where + ": " + run.command + "\n" + tool.output);
        EXPECT_TRUE(run.sample ? Matches(run.output, 0, Lines(std::istringstream(tool.output)), 0)
                               : code == 0)
            << "exit code " << code;
    }
}

}  // namespace
