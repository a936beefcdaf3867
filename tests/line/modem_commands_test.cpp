#include <atomic>
#include <string>
#include <thread>

#include "tests/line/modem_line_fixture.h"
#include "transfer/modem.h"

namespace v24test {
namespace {

// The hang-up's 2 s guard pauses run in 200 ms: far apart from the modem's 100 ms guard time.
constexpr unsigned kScale = 10;

using ModemCommands = ModemLine;

TEST_F(ModemCommands, HangUpEscapesWithGuardTimesEndsTheCallAndPutsTheTimeOutBack) {
    SetTimeScale(kScale);
    StartModem();
    ASSERT_EQ(ModemDial(h, 1, "123"), 5);
    ASSERT_EQ(V24WriteString(h, "data+++more"), 11);
    V24SetTimeout(h, 4321);

    const double start = NowMs();
    EXPECT_EQ(ModemHangUp(h), 0);
    EXPECT_TRUE(TookBetween(start, 4500.0 / kScale, 30000.0 / kScale));
    EXPECT_EQ(V24GetTimeout(h), 4321);
    EXPECT_EQ(modem->Escapes(), 1);
    EXPECT_FALSE(modem->InCall());
    EXPECT_TRUE(peer->HungUpByModem());
    EXPECT_EQ(LastCommand(), "ATH");
    // Pluses without the guard time were data; the escape itself never reached the far end.
    EXPECT_EQ(peer->Received(), "data+++more");
    EXPECT_EQ(V24PeekByte(h), -1);  // the modem's answers were discarded

    EXPECT_EQ(ModemHangUp(-1), V24_BAD_HANDLE);
    EXPECT_EQ(ModemHangUp(5), V24_NOT_OPEN);
}

TEST_F(ModemCommands, CommandTextsAndTheirResults) {
    SetTimeScale(kScale);
    StartModem(Modes(false));
    V24SetTimeout(h, 2500);

    EXPECT_EQ(ModemInit(h), 0);
    EXPECT_EQ(LastCommand(), "ATE1V1Q0S0=0");
    EXPECT_EQ(ModemInit(h, "S0=2"), 0);
    EXPECT_EQ(LastCommand(), "ATS0=2");
    EXPECT_EQ(ModemSetEchoQuietVerbose(h, 0, 1, 0), 0);
    EXPECT_EQ(LastCommand(), "ATE0Q1V0");
    EXPECT_EQ(V24GetTimeout(h), 2500);
    EXPECT_EQ(V24PeekByte(h), -1);

    EXPECT_EQ(ModemReset(h), 4);
    ASSERT_TRUE(WaitUntil([&] { return LastCommand() == "ATZ"; }));
    EXPECT_EQ(Heard(), "\r\nOK\r\n");  // ATZ put back the verbose, talking modem

    EXPECT_EQ(ModemInit(-1), V24_BAD_HANDLE);
    EXPECT_EQ(ModemSetEchoQuietVerbose(7, 0, 0, 1), V24_NOT_OPEN);
    EXPECT_EQ(ModemAnswer(7), V24_NOT_OPEN);
    EXPECT_EQ(ModemReset(10), V24_BAD_HANDLE);
}

TEST_F(ModemCommands, AnswerTakesAnIncomingCall) {
    StartModem(Modes(false));
    modem->Ring(3);
    EXPECT_EQ(Heard(), "\r\nRING\r\n");
    EXPECT_EQ(ModemAnswer(h), 4);
    EXPECT_EQ(Heard(), "\r\nCONNECT 9600\r\n");
    EXPECT_TRUE(modem->Online());
    peer->Send("hello");
    EXPECT_EQ(Heard(), "hello");
}

// A line that never falls quiet (a modem still passing data) must not hold the caller.
TEST_F(ModemCommands, DiscardingTheAnswerOfAChatteringLineEnds) {
    SetTimeScale(100);
    Open();
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        const double end = NowMs() + 5000;
        while (!stop && NowMs() < end) {
            Send("x");
            SleepMs(2);
        }
    });
    const double start = NowMs();
    EXPECT_EQ(ModemSetEchoQuietVerbose(h, 0, 0, 1), 0);
    EXPECT_EQ(ModemHangUp(h), 0);
    EXPECT_TRUE(TookBetween(start, 0, 2500));
    stop = true;
    chatter.join();
}

}  // namespace
}  // namespace v24test
