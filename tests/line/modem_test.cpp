// The modem layer against the scripted Hayes modem on the in-memory line, and that modem as a
// host sees it; a call's far end is a peer the test plays.
#include "transfer/modem.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "sim/hayes_modem.h"
#include "sim/wire.h"
#include "tests/line/v24_line_fixture.h"

namespace v24test {
namespace {

struct ModemLine : V24Line {
    std::shared_ptr<qel::sim::MemoryPeer> peer = std::make_shared<qel::sim::MemoryPeer>();
    std::unique_ptr<qel::sim::HayesModem> modem;

    static qel::sim::ModemOptions Modes(bool echo, bool verbose = true, bool quiet = false) {
        qel::sim::ModemOptions options;
        options.echo = echo;
        options.verbose = verbose;
        options.quiet = quiet;
        return options;
    }
    // Opens the port with the modem behind it.
    void StartModem(qel::sim::ModemOptions options = {}) {
        if (!options.connect) options.connect = [this](const std::string&) { return peer; };
        modem = std::make_unique<qel::sim::HayesModem>(qel::sim::MakeVirtualWire(line.b, line.a),
                                                       std::move(options));
        modem->Start();
        Open();
    }
    void StopModem() {
        modem->Stop();
        V24Close(h);
    }
    void TearDown() override {
        if (modem) modem->Stop();
        V24Line::TearDown();
    }
    // What the modem sends until it has been quiet for ms (real time).
    std::string Heard(int ms = 300) {
        V24SetTimeout(h, ms * static_cast<int>(TimeScale()));
        return Take(h, 512);
    }
    std::string LastCommand() const {
        auto commands = modem->Commands();
        return commands.empty() ? std::string() : commands.back();
    }
};

// Well past the 5 s pause that ends a piece of the answer, well short of the 2 minutes.
constexpr int kPauseMs = 20000;

// Each row on a fresh modem: its echo, how long it takes to answer, its result word (empty:
// nobody answers), the dial's result and the time-out the dial leaves on the port.
TEST_F(ModemLine, TheAnswerToADialIsClassified) {
    const struct {
        const char* what;
        bool echo;
        int dialMs;
        const char* answer;
        int tone, expected, portTimeout;
    } rows[] = {
        {"tone, echo, connect after a pause", true, kPauseMs, "CONNECT 9600", 1, 5, 5000},
        {"pulse, no echo, connect at once", false, 0, "CONNECT 9600", 0, 5, 5000},
        {"no echo, connect after a pause", false, kPauseMs, "CONNECT 9600", 1, 5, 5000},
        {"echo and connect together", true, 0, "CONNECT 9600", 1, 5, 5000},
        {"OK", true, kPauseMs, "OK", 1, 0, 5000},
        {"NO CARRIER", true, 0, "NO CARRIER", 1, 1, 5000},
        {"ERROR", false, 0, "ERROR", 1, 2, 5000},
        {"BUSY", true, kPauseMs, "BUSY", 1, 3, 5000},
        {"NO DIALTONE", false, kPauseMs, "NO DIALTONE", 0, 4, 5000},
        {"RING alone", false, 0, "RING", 1, -2, 5000},
        {"echo, then RING alone", true, kPauseMs, "RING", 1, -2, 5000},
        // Nothing to classify behind the echo: the dial waits on for the real answer.
        {"echo and RING together, then silence", true, 0, "RING", 1, -1, 5000},
        {"echo, then nobody answers", true, 0, "", 1, -1, 5000},
        {"nothing at all", false, 0, "", 0, -1, 1000},
    };
    SetTimeScale(100);  // two minutes of dialling in 1.2 s
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        auto options = Modes(r.echo);
        options.dialMs = r.dialMs;
        options.dialResult = r.answer;
        StartModem(options);
        V24SetTimeout(h, 777);
        EXPECT_EQ(ModemDial(h, r.tone, "123"), r.expected);
        EXPECT_EQ(LastCommand(), r.tone ? "ATDT123" : "ATDP123");
        EXPECT_EQ(V24GetTimeout(h), r.portTimeout);
        StopModem();
    }
    EXPECT_EQ(ModemDial(-1, 1, "123"), -3);
    EXPECT_EQ(ModemDial(4, 0, nullptr), -3);
}

TEST_F(ModemLine, NumericResultsAreNoWordsUntilTheModemIsSetVerbose) {
    SetTimeScale(10);  // the hang-up's guard times stay long enough to tell apart
    StartModem(Modes(false, false));
    EXPECT_EQ(ModemDial(h, 1, "5551234"), -2);  // "12\r" says CONNECT 9600 in numbers
    EXPECT_TRUE(modem->Online());
    EXPECT_EQ(ModemHangUp(h), 0);
    EXPECT_EQ(ModemSetEchoQuietVerbose(h, 0, 0, 1), 0);
    EXPECT_EQ(ModemDial(h, 1, "5551234"), 5);
}

TEST_F(ModemLine, AnAnswerLongerThanTheTextIsCutNeverOverrun) {
    SetTimeScale(100);
    Open();
    // Echo, then a 200-character line before the word: the text holds 80 characters.
    const std::string chatter(200, 'x');
    Send("ATDT123\r\n" + chatter + "\r\nCONNECT 9600\r\n");
    EXPECT_EQ(ModemDial(h, 1, "123"), -2);
    // One piece of 80 characters, then one more character after the echo: the rest waits.
    V24SetTimeout(h, 0);
    EXPECT_EQ(Take(h, 400), chatter.substr(72) + "\r\nCONNECT 9600\r\n");
}

// The hang-up's 2 s guard pauses run in 200 ms, far apart from the modem's 100 ms guard time.
TEST_F(ModemLine, HangUpEscapesWithGuardTimesEndsTheCallAndPutsTheTimeOutBack) {
    SetTimeScale(10);
    StartModem();
    ASSERT_EQ(ModemDial(h, 1, "123"), 5);
    ASSERT_EQ(V24WriteString(h, "data+++more"), 11);
    V24SetTimeout(h, 4321);
    const double start = NowMs();
    EXPECT_EQ(ModemHangUp(h), 0);
    EXPECT_TRUE(TookBetween(start, 450, 3000));
    EXPECT_EQ(V24GetTimeout(h), 4321);
    EXPECT_EQ(modem->Escapes(), 1);
    EXPECT_FALSE(modem->InCall());
    EXPECT_TRUE(peer->HungUpByModem());
    EXPECT_EQ(LastCommand(), "ATH");
    // Pluses without the guard time after them were data; the escape never reached the far end.
    EXPECT_EQ(peer->Received(), "data+++more");
    EXPECT_EQ(V24PeekByte(h), -1);  // the modem's answers were discarded
    EXPECT_EQ(ModemHangUp(-1), V24_BAD_HANDLE);
    EXPECT_EQ(ModemHangUp(5), V24_NOT_OPEN);
}

TEST_F(ModemLine, CommandTextsAndTheirResults) {
    SetTimeScale(10);
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

    modem->Ring(3);
    EXPECT_EQ(Heard(), "\r\nRING\r\n");
    EXPECT_EQ(ModemAnswer(h), 4);
    EXPECT_EQ(Heard(), "\r\nCONNECT 9600\r\n");
    peer->Send("hello");
    EXPECT_EQ(Heard(), "hello");
}

// A line that never falls quiet (a modem still passing data) must not hold the caller.
TEST_F(ModemLine, DiscardingTheAnswerOfAChatteringLineEnds) {
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

TEST_F(ModemLine, TheModemsAnswersFollowEchoVerboseAndQuiet) {
    const struct {
        bool echo, verbose, quiet;
        const char* command;
        const char* heard;
    } rows[] = {
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
    for (const auto& r : rows) {
        SCOPED_TRACE(r.command);
        StartModem(Modes(r.echo, r.verbose, r.quiet));
        V24WriteString(h, r.command);
        EXPECT_EQ(Heard(), r.heard);
        StopModem();
    }
}

// Escaped with the guard time around the pluses, ATO goes back to the call; a far end that
// leaves ends it.
TEST_F(ModemLine, TheModemEscapesAndGoesBackToTheCall) {
    auto options = Modes(false);
    options.guardMs = 500;
    StartModem(options);
    V24WriteString(h, "ATDT42\r");
    EXPECT_EQ(Heard(), "\r\nCONNECT 9600\r\n");
    SleepMs(600);
    // Pluses the guard time does not follow are data.
    V24WriteString(h, "+++");
    SleepMs(20);
    V24WriteString(h, "x");
    ASSERT_TRUE(WaitUntil([&] { return peer->Received() == "+++x"; })) << peer->Received();
    SleepMs(600);
    V24WriteString(h, "+++");
    EXPECT_EQ(Heard(1500), "\r\nOK\r\n");
    V24WriteString(h, "ATO\r");
    EXPECT_EQ(Heard(), "\r\nCONNECT 9600\r\n");
    peer->Leave();
    EXPECT_EQ(Heard(), "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(modem->InCall());
}

TEST_F(ModemLine, TheModemAnswersDialsByNumberAndAKeyEndsAnUnansweredOne) {
    auto options = Modes(false);
    options.dialResults["555"] = "BUSY";
    options.dialResults["777"] = "";
    options.connect = [](const std::string&) { return nullptr; };  // nobody picks up
    StartModem(options);
    const std::pair<const char*, const char*> rows[] = {
        {"ATDP 555\r", "\r\nBUSY\r\n"},
        {"ATDT123\r", "\r\nNO CARRIER\r\n"},
        {"ATDT777\r", ""},
        {" ", "\r\nNO CARRIER\r\n"},
    };
    for (const auto& [command, heard] : rows) {
        V24WriteString(h, command);
        EXPECT_EQ(Heard(), heard) << command;
    }
}

}  // namespace
}  // namespace v24test
