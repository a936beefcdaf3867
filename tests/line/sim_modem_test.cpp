// The scripted modem as a host sees it on the line: the texts it answers, the results of a
// dial, and what in a call is no escape. The modem layer's tests show its escapes.
#include <string>

#include "tests/line/modem_line_fixture.h"

namespace v24test {
namespace {

using SimModem = ModemLine;

TEST_F(SimModem, AnswersFollowEchoVerboseAndQuiet) {
    struct Case {
        bool echo, verbose, quiet;
        const char* command;
        const char* heard;
    } const cases[] = {
        {true, true, false, "AT\r", "AT\r\r\nOK\r\n"},
        {false, true, false, "at e0 v1 x4 &f1 l2\r", "\r\nOK\r\n"},
        {false, false, false, "AT\r", "0\r"},
        {false, false, false, "ATD\x08Y\r", "4\r"},  // backspace, then an unknown command
        {false, true, true, "AT\r", ""},
        {false, true, true, "ATQ0\r", "\r\nOK\r\n"},
        {false, true, false, "ATS7=45S7?\r", "\r\n45\r\n\r\nOK\r\n"},
        {false, true, false, "noise\rATV0\r", "0\r"},         // a line without AT is ignored
        {false, true, false, "ATO\r", "\r\nNO CARRIER\r\n"},  // no call to go back to
        {true, false, false, "ATE0\rAT\r", "ATE0\r0\r0\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        StartModem(Modes(c.echo, c.verbose, c.quiet));
        V24WriteString(h, c.command);
        EXPECT_EQ(Heard(), c.heard);
        modem->Stop();
        V24Close(h);
    }
}

// Pluses the guard time does not follow are data; a far end that leaves ends the call.
TEST_F(SimModem, ACallRelaysPlusesWithoutTheGuardTimeAfterThem) {
    auto options = Modes(false);
    options.guardMs = 100;
    StartModem(options);
    V24WriteString(h, "ATDT42\r");
    EXPECT_EQ(Heard(), "\r\nCONNECT 9600\r\n");
    SleepMs(200);
    V24WriteString(h, "+++");
    V24WriteString(h, "x");
    ASSERT_TRUE(WaitUntil([&] { return peer->Received() == "+++x"; })) << peer->Received();
    EXPECT_EQ(modem->Escapes(), 0);
    // With the guard time after them they escape, and ATO goes back to the call.
    SleepMs(200);
    V24WriteString(h, "+++");
    EXPECT_EQ(Heard(), "\r\nOK\r\n");
    V24WriteString(h, "ATO\r");
    EXPECT_EQ(Heard(), "\r\nCONNECT 9600\r\n");
    peer->Leave();
    EXPECT_EQ(Heard(), "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(modem->InCall());
}

TEST_F(SimModem, DialsAreAnsweredByNumberAndAKeyEndsAnUnansweredOne) {
    auto options = Modes(false);
    options.dialResults["555"] = "BUSY";
    options.dialResults["777"] = "";
    options.connect = [](const std::string&) { return nullptr; };  // nobody picks up
    StartModem(options);
    V24WriteString(h, "ATDP 555\r");
    EXPECT_EQ(Heard(), "\r\nBUSY\r\n");
    V24WriteString(h, "ATDT123\r");
    EXPECT_EQ(Heard(), "\r\nNO CARRIER\r\n");
    V24WriteString(h, "ATDT777\r");
    EXPECT_EQ(Heard(), "");
    V24WriteString(h, " ");
    EXPECT_EQ(Heard(), "\r\nNO CARRIER\r\n");
}

}  // namespace
}  // namespace v24test
