// README.md's examples, read from the file itself and run as written (through the shell, the
// programs found on PATH) against boxsim started as the README says, so that the README and
// the tool cannot drift apart again. In README.md's indented code:
//   boxsim --make-...        a sample file every example may use
//   bin2plv32 ARGS  # ...    an example: ends with exit code 0
//   $ bin2plv32 ARGS  # ...  a sample run: the lines after it are its output ("..." stands
//                            for any lines; trailing blanks are not compared)
// "(box: OPTIONS)" on such a line: the box is started with these options.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/child_process.h"

namespace fs = std::filesystem;
using qel::test::ChildProcess;
using qel::test::ScratchDir;

namespace {

const std::string kIndent = "    ";

struct Call {
    std::string command;           // as typed, for the shell
    std::vector<std::string> box;  // boxsim's options beyond the port
    std::string port;              // COMn, from the command's last word
    int line = 0;                  // in README.md
};

struct Sample {
    Call call;
    std::vector<std::string> output;
};

struct Readme {
    std::vector<std::string> setup;
    std::vector<Call> examples;
    std::vector<Sample> samples;
};

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::string TrimRight(std::string s) {
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

Call ParseCall(const std::string& text, int line) {
    Call call;
    call.line = line;
    call.command = TrimRight(text.substr(0, text.find(" #")));
    const std::size_t box = text.find("(box: ");
    if (box != std::string::npos) {
        const std::size_t from = box + 6;
        call.box = Words(text.substr(from, text.find(')', from) - from));
    }
    const std::vector<std::string> words = Words(call.command);
    call.port = "COM" + (words.empty() ? std::string() : words.back());
    return call;
}

Readme ParseReadme(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    Readme readme;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, kIndent.size(), kIndent) != 0) continue;
        const std::string code = lines[i].substr(kIndent.size());
        const int number = static_cast<int>(i + 1);
        if (code.rfind("boxsim --make-", 0) == 0) {
            readme.setup.push_back(code);
        } else if (code.rfind("bin2plv32 ", 0) == 0 && code.find('[') == std::string::npos) {
            readme.examples.push_back(ParseCall(code, number));  // not the synopsis
        } else if (code.rfind("$ bin2plv32 ", 0) == 0) {
            Sample sample{ParseCall(code.substr(2), number), {}};
            // The output runs to the end of the code block; an empty line stays inside it.
            for (std::size_t j = i + 1; j < lines.size(); ++j) {
                if (!lines[j].empty() && lines[j].compare(0, kIndent.size(), kIndent) != 0) break;
                sample.output.push_back(
                    TrimRight(lines[j].substr(std::min(lines[j].size(), kIndent.size()))));
            }
            while (!sample.output.empty() && sample.output.back().empty()) sample.output.pop_back();
            readme.samples.push_back(sample);
        }
    }
    return readme;
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

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(TrimRight(l));
    return lines;
}

std::string Shell(const std::string& dir, const std::string& command) {
    return "cd '" + dir + "' && " + command;
}

struct Outcome {
    int code = -1;
    std::string output;
};

TEST(ReadmeE2e, EveryExampleRunsAsWrittenAgainstTheSimulatedBox) {
    const fs::path readmePath =
        fs::path(__FILE__).parent_path().parent_path().parent_path() / "README.md";
    const Readme readme = ParseReadme(readmePath.string());
    // Finding none would pass everything: the README's form and this reader must agree.
    ASSERT_GE(readme.setup.size(), 2u);
    ASSERT_GE(readme.examples.size(), 5u);
    ASSERT_GE(readme.samples.size(), 4u);

    // As "Trying it by hand" sets it up: the programs on PATH, one folder for the files and
    // the ports.
    const std::string path = fs::path(BIN2PLV32_PATH).parent_path().string() + ":" +
                             fs::path(BOXSIM_PATH).parent_path().string() + ":" +
                             (getenv("PATH") ? getenv("PATH") : "");
    ASSERT_EQ(setenv("PATH", path.c_str(), 1), 0);
    ScratchDir dir;
    for (const std::string& line : readme.setup) {
        ChildProcess make({"/bin/sh", "-c", Shell(dir.path, line)}, dir.path);
        ASSERT_EQ(make.Finish(20000), 0) << line;
    }

    // A call that is both an example and a sample runs once.
    std::map<std::pair<std::string, std::vector<std::string>>, Outcome> outcomes;
    auto run = [&](const Call& call) -> const Outcome& {
        auto key = std::make_pair(call.command, call.box);
        auto found = outcomes.find(key);
        if (found != outcomes.end()) return found->second;
        std::vector<std::string> argv{BOXSIM_PATH, "--port", call.port};
        argv.insert(argv.end(), call.box.begin(), call.box.end());
        ChildProcess box(argv, dir.path);
        EXPECT_TRUE(box.ReadUntil("boxsim ready", 10000)) << box.output;
        ChildProcess tool({"/bin/sh", "-c", Shell(dir.path, call.command)}, dir.path);
        Outcome outcome;
        outcome.code = tool.Finish(120000);
        outcome.output = tool.output;
        box.Terminate();
        box.Finish(10000);
        return outcomes[key] = outcome;
    };

    for (const Call& example : readme.examples) {
        const Outcome& outcome = run(example);
        EXPECT_EQ(outcome.code, 0)
            << "README.md:" << example.line << ": " << example.command << "\n"
            << outcome.output;
    }
    for (const Sample& sample : readme.samples) {
        const Outcome& outcome = run(sample.call);
        EXPECT_TRUE(Matches(sample.output, 0, Lines(outcome.output), 0))
            << "README.md:" << sample.call.line << ": " << sample.call.command << "\n"
            << outcome.output;
    }
}

}  // namespace
