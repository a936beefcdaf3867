// dial and hangup run for real against modemsim on a pseudo-terminal: exit code, the JSON
// events, and what the modem was told.
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

class QelflashModem : public Qelflash {
  protected:
    void StartModem() {
        modem_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{MODEMSIM_PATH, "--port", "COM7", "--dir", dir.path, "--dial",
                                     "0815=CONNECT 9600", "--dial", "0816=BUSY", "--dial",
                                     "0817=NO CARRIER", "--guard-ms", "500", "--log",
                                     Path("modem.log")},
            dir.path);
        ASSERT_TRUE(modem_->ReadUntil("modemsim ready", 10000)) << modem_->output;
    }
    // Stops the modem; its log.
    std::string ModemLog() {
        modem_->Terminate();
        modem_->Finish(10000);
        return dir.Read("modem.log");
    }
    void TearDown() override {
        if (modem_) modem_->Terminate();
        Qelflash::TearDown();
    }
    std::unique_ptr<ChildProcess> modem_;
};

struct DialCase {
    const char* name;
    std::vector<std::string> args;
    int code;
    int result;
    const char* word;
    const char* command;  // what the modem must have been sent
};

void PrintTo(const DialCase& c, std::ostream* os) {
    *os << c.name;
}

class QelflashDial : public QelflashModem, public ::testing::WithParamInterface<DialCase> {};

TEST_P(QelflashDial, ReportsTheModemsAnswerAndItsExitCode) {
    const DialCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartModem());
    std::vector<std::string> args{"dial"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const std::vector<Event> events = Run(args, 60000);
    EXPECT_EQ(code, c.code) << out;
    EXPECT_EQ(Names(events), (std::vector<std::string>{"started", "answer", "finished"})) << out;
    const Event* answer = Last(events, "answer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->Text("port"), "COM7");
    EXPECT_EQ(answer->Number("result", -99), c.result);
    EXPECT_EQ(answer->Text("word"), c.word);
    const Event* finished = Last(events, "finished");
    ASSERT_NE(finished, nullptr);
    EXPECT_EQ(finished->Number("code", -99), c.code);
    EXPECT_EQ(finished->Text("message"), c.word);
    EXPECT_NE(ModemLog().find(std::string("command ") + c.command), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, QelflashDial,
    ::testing::Values(
        DialCase{"Connect", {"COM7", "0815"}, 0, 5, "CONNECT", "ATDT0815"},
        DialCase{"BusyByPulse", {"7", "0816", "--pulse"}, 33, 3, "BUSY", "ATDP0816"},
        DialCase{"NoCarrier", {"--port", "COM7", "0817"}, 31, 1, "NO CARRIER", "ATDT0817"}),
    [](const ::testing::TestParamInfo<DialCase>& info) { return info.param.name; });

TEST_F(QelflashModem, HangupEndsTheCallADialLeftUp) {
    ASSERT_NO_FATAL_FAILURE(StartModem());
    Run({"dial", "COM7", "0815"}, 60000);
    ASSERT_EQ(code, 0) << out;
    const std::vector<Event> events = Run({"hangup", "COM7"}, 60000);
    EXPECT_EQ(code, 0) << out;
    const Event* finished = Last(events, "finished");
    ASSERT_NE(finished, nullptr);
    EXPECT_EQ(finished->Text("message"), "hung up");
    const std::string log = ModemLog();
    EXPECT_NE(log.find("escape"), std::string::npos) << log;
    EXPECT_NE(log.find("hung up"), std::string::npos) << log;
}

TEST_F(QelflashModem, AMissingPortOrBadArgumentsTouchNoModem) {
    const std::vector<std::vector<std::string>> bad{
        {"dial"},
        {"dial", "COM7"},
        {"dial", "COM7", "0815", "0816"},
        {"dial", "COM7", "0815\rATZ"},
        {"dial", "COM7", ""},
        {"dial", "7,8", "0815"},
        {"dial", "COM7", "0815", "--baud", "x"},
        {"hangup"},
        {"hangup", "COM7", "0815"},
        {"hangup", "COM7", "--pulse"},
        {"dial", "COM7", "0815", "--target", "PLV 200"},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(RunPlain(args), 1) << ::testing::PrintToString(args);
        EXPECT_EQ(out, "") << ::testing::PrintToString(args);
    }
    for (const char* command : {"dial", "hangup"}) {
        EXPECT_EQ(RunPlain({command, "--help"}), 0) << command;
        EXPECT_EQ(out.rfind(std::string("usage: qelflash ") + command + " ", 0), 0u) << out;
    }
    // No modem in the folder: the port's own code, as the shell shows it.
    const std::vector<Event> events = Run({"dial", "COM7", "0815"});
    EXPECT_EQ(code, 254) << out;
    EXPECT_EQ(Names(events), (std::vector<std::string>{"started", "port_error", "finished"}));
}

}  // namespace
}  // namespace service_test
