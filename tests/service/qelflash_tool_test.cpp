// The subcommands that need no box (strings, ports, sim), the command line, and help.
#include <signal.h>

#include <filesystem>

#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

TEST_F(Qelflash, StringsListsTheImagesTextsOrSaysWhyNot) {
    auto events =
        Run({"strings", File("fw.bin", qel::sim::MakeFirmwareImage(5000, "NUX_1000 fw", "02.00"))});
    EXPECT_EQ(code, 0) << out;
    std::vector<std::string> texts;
    for (const Event& e : events)
        if (e.Name() == "string") texts.push_back(e.Text("text"));
    EXPECT_EQ(texts, (std::vector<std::string>{"NUX_1000 fw", "Release :: 02.00"}));

    Run({"strings", Path("none.bin")});
    EXPECT_EQ(code, 4);
    Run({"strings", File("one.bin", {1})});
    EXPECT_EQ(code, 5);
}

TEST_F(Qelflash, PortsListsTheFoldersPortsAndWhetherTheyOpen) {
    StartBox(2);
    std::filesystem::create_symlink(Path("gone"), Path("com7"));
    auto events = Run({"ports"});
    EXPECT_EQ(code, 0) << out;
    ASSERT_EQ(events.size(), 2u) << out;
    EXPECT_EQ(events[0].Text("name"), "COM2");
    EXPECT_EQ(events[0].Text("device"), std::filesystem::read_symlink(Path("com2")).string());
    EXPECT_EQ(events[0].Text("state"), "free");
    EXPECT_EQ(events[1].Text("name"), "COM7");
    EXPECT_EQ(events[1].Text("state"), "missing");
}

TEST_F(Qelflash, SimStartsABoxOnTheFirstFreeNumber) {
    StartBox(1);
    auto events = Run({"sim", "--detach"});
    EXPECT_EQ(code, 0) << out;
    ASSERT_EQ(events.size(), 1u) << out;
    EXPECT_EQ(events[0].Text("port"), "COM2");
    const pid_t pid = static_cast<pid_t>(events[0].Number("pid"));
    ASSERT_GT(pid, 0);
    Run({"info", "-p", "COM2"});
    EXPECT_EQ(code, 0) << out;
    kill(pid, SIGTERM);

    // Without a ports folder there is nowhere to put it.
    ChildProcess tool({QELFLASH_PATH, "sim"}, "");
    EXPECT_EQ(tool.Finish(10000), 1);
    EXPECT_EQ(tool.output, "");
}

TEST_F(Qelflash, BadArgumentsGiveCodeOneAndHelpIsThereForEach) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"burn"},
        {"flash", "fw.bin"},
        {"flash", "fw.bin", "--port", "0"},
        {"flash", "fw.bin", "--port", "256"},
        {"flash", "fw.bin", "--port", "3,3"},
        {"flash", "fw.bin", "--port", "3", "--address", "zz"},
        {"flash", "--port", "3"},
        {"read", "x.bin", "--port", "3", "--from", "9000", "--to", "8000"},
        {"read", "x.bin", "--port", "3,4", "--from", "8000", "--to", "9000"},
        {"info", "--port", "3", "--frobnicate"},
        {"strings"},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(RunPlain(args), 1) << ::testing::PrintToString(args);
        EXPECT_EQ(out, "") << ::testing::PrintToString(args);
    }
    for (const char* command :
         {"flash", "fpga", "verify", "read", "info", "strings", "ports", "sim"}) {
        EXPECT_EQ(RunPlain({command, "--help"}), 0) << command;
        EXPECT_EQ(out.rfind(std::string("usage: qelflash ") + command + " ", 0), 0u) << out;
    }
    // Nothing was written for any of them.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

}  // namespace
}  // namespace service_test
