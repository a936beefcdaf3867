// The subcommands that need no box (ports, sim, and dial and hangup against modemsim), the
// command line, and help.
#include <signal.h>

#include <filesystem>

#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

TEST_F(Qelflash, PortsListsTheFoldersPortsAndSimStartsABoxOnTheFirstFreeNumber) {
    StartBox(1);
    std::filesystem::create_symlink(Path("gone"), Path("com7"));
    auto events = Run({"ports"});
    EXPECT_EQ(code, 0) << out;
    ASSERT_EQ(events.size(), 2u) << out;
    ExpectEvents({events[0]},
                 {"port.name=COM1", "port.state=free",
                  "port.device=" + std::filesystem::read_symlink(Path("com1")).string()});
    ExpectEvents({events[1]}, {"port.name=COM7", "port.state=missing"});

    events = Run({"sim", "--detach"});
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

TEST_F(Qelflash, DialAndHangupReportTheModemsAnswerAndItsExitCode) {
    // No modem in the folder: the port's own code, as the shell shows it.
    auto events = Run({"dial", "COM7", "0815"});
    EXPECT_EQ(code, 254) << out;
    EXPECT_EQ(Names(events), Split("started|port_error|finished"));

    ChildProcess modem({MODEMSIM_PATH, "--port", "COM7", "--dir", dir.path, "--dial",
                        "0815=CONNECT 9600", "--dial", "0816=BUSY", "--dial", "0817=NO CARRIER",
                        "--guard-ms", "500", "--log", Path("modem.log")},
                       dir.path);
    ASSERT_TRUE(modem.ReadUntil("modemsim ready", 10000)) << modem.output;
    const struct {
        const char* args;
        int code;
        const char* wants;
    } calls[] = {
        {"dial|7|0816|--pulse", 33,
         "answer.port=COM7|answer.result=3|answer.word=BUSY|finished.message=BUSY"},
        {"dial|--port|COM7|0817", 31,
         "answer.result=1|answer.word=NO CARRIER|finished.message=NO CARRIER"},
        {"dial|COM7|0815", 0, "answer.result=5|answer.word=CONNECT|finished.message=CONNECT"},
        {"hangup|COM7", 0, "finished.message=hung up"},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.args);
        events = Run(Split(call.args), 60000);
        EXPECT_EQ(code, call.code) << out;
        if (call.args[0] == 'd') {
            EXPECT_EQ(Names(events), Split("started|answer|finished")) << out;
        }
        ExpectEvents(
            events, Split(call.wants + std::string("|finished.code=") + std::to_string(call.code)));
    }
    modem.Terminate();
    modem.Finish(10000);
    const std::string log = dir.Read("modem.log");
    std::size_t at = 0;
    for (const char* said :
         {"command ATDP0816", "command ATDT0817", "command ATDT0815", "escape", "hung up"}) {
        at = log.find(said, at);
        EXPECT_NE(at, std::string::npos) << said << " in\n" << log;
    }
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
