// The subcommands that need no box or modem (ports, sim), the command line, and help.
#include <signal.h>

#include <filesystem>

#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

TEST_F(Qelflash, PortsListsTheFoldersPortsAndWhetherTheyOpen) {
    StartBox(2);
    std::filesystem::create_symlink(Path("gone"), Path("com7"));
    auto events = Run({"ports"});
    EXPECT_EQ(code, 0) << out;
    ASSERT_EQ(events.size(), 2u) << out;
    ExpectEvents({events[0]},
                 {"port.name=COM2", "port.state=free",
                  "port.device=" + std::filesystem::read_symlink(Path("com2")).string()});
    ExpectEvents({events[1]}, {"port.name=COM7", "port.state=missing"});
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

TEST_F(Qelflash, BadArgumentsGiveCodeOneAndTouchNothingAndHelpIsThereForEach) {
    // Each ;-separated list is one command line.
    const std::string bad =
        ";burn;flash|fw.bin;flash|fw.bin|--port|0;flash|fw.bin|--port|256;"
        "flash|fw.bin|--port|3,3;flash|fw.bin|--port|3|--address|zz;flash|--port|3;"
        "read|x.bin|--port|3|--from|9000|--to|8000;"
        "read|x.bin|--port|3,4|--from|8000|--to|9000;info|--port|3|--frobnicate;strings;dial;"
        "dial|COM7;dial|COM7|0815|0816;dial|COM7|0815\rATZ;dial|COM7|;dial|7,8|0815;"
        "dial|COM7|0815|--baud|x;dial|COM7|0815|--target|PLV 200;hangup;hangup|COM7|0815;"
        "hangup|COM7|--pulse";
    for (const std::string& list : Split(bad, ';')) {
        EXPECT_EQ(RunPlain(Split(list)), 1) << list;
        EXPECT_EQ(out, "") << list;
    }
    for (const char* command :
         {"flash", "fpga", "verify", "read", "info", "strings", "ports", "sim", "dial", "hangup"}) {
        EXPECT_EQ(RunPlain({command, "--help"}), 0) << command;
        EXPECT_EQ(out.rfind(std::string("usage: qelflash ") + command + " ", 0), 0u) << out;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

}  // namespace
}  // namespace service_test
