// dial and hangup run for real against modemsim on a pseudo-terminal: exit code, the JSON
// events, and what the modem was told.
#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

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
        EXPECT_EQ(events.back().Number("code", -99), call.code);
        ExpectEvents(events, Split(call.wants));
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

}  // namespace
}  // namespace service_test
