#include <string>

#include "tests/line/modem_line_fixture.h"
#include "transfer/modem.h"

namespace v24test {
namespace {

// Two minutes of dialling run in 1.2 s, a 5 s pause in 50 ms.
constexpr unsigned kScale = 100;
// Well past the 5 s pause that ends a piece of the answer, well short of the 2 minutes.
constexpr int kPauseMs = 20000;

using ModemDialing = ModemLine;

struct DialCase {
    const char* what;
    bool echo;
    int dialMs;
    const char* answer;  // the modem's result word; empty: nobody answers
    int tone;
    int expected;
    int portTimeout;  // what the dial leaves behind
};

struct Dialing : ModemLine, ::testing::WithParamInterface<DialCase> {};

TEST_P(Dialing, TheAnswerIsClassified) {
    const DialCase& c = GetParam();
    SetTimeScale(kScale);
    auto options = Modes(c.echo);
    options.dialMs = c.dialMs;
    options.dialResult = c.answer;
    StartModem(options);
    V24SetTimeout(h, 777);
    EXPECT_EQ(ModemDial(h, c.tone, "123"), c.expected);
    EXPECT_EQ(LastCommand(), c.tone ? "ATDT123" : "ATDP123");
    EXPECT_EQ(V24GetTimeout(h), c.portTimeout);
}

INSTANTIATE_TEST_SUITE_P(
    Modem, Dialing,
    ::testing::Values(
        DialCase{"ToneEchoConnectAfterAPause", true, kPauseMs, "CONNECT 9600", 1, 5, 5000},
        DialCase{"PulseNoEchoConnectAtOnce", false, 0, "CONNECT 9600", 0, 5, 5000},
        DialCase{"NoEchoConnectAfterAPause", false, kPauseMs, "CONNECT 9600", 1, 5, 5000},
        // A modem that connects at once sends echo and answer together.
        DialCase{"EchoAndConnectTogether", true, 0, "CONNECT 9600", 1, 5, 5000},
        DialCase{"Ok", true, kPauseMs, "OK", 1, 0, 5000},
        DialCase{"NoCarrier", true, 0, "NO CARRIER", 1, 1, 5000},
        DialCase{"Error", false, 0, "ERROR", 1, 2, 5000},
        DialCase{"Busy", true, kPauseMs, "BUSY", 1, 3, 5000},
        DialCase{"NoDialtone", false, kPauseMs, "NO DIALTONE", 0, 4, 5000},
        DialCase{"RingAlone", false, 0, "RING", 1, -2, 5000},
        DialCase{"EchoThenRingAlone", true, kPauseMs, "RING", 1, -2, 5000},
        // Nothing to classify behind the echo: the dial waits on for the real answer.
        DialCase{"EchoAndRingTogetherThenSilence", true, 0, "RING", 1, -1, 5000},
        DialCase{"EchoThenNobodyAnswers", true, 0, "", 1, -1, 5000},
        DialCase{"NothingAtAll", false, 0, "", 0, -1, 1000}),
    [](const ::testing::TestParamInfo<DialCase>& info) { return std::string(info.param.what); });

TEST_F(ModemDialing, NumericResultsAreNoWordsUntilTheModemIsSetVerbose) {
    SetTimeScale(10);  // the hang-up's guard times stay long enough to tell apart
    StartModem(Modes(false, false));
    EXPECT_EQ(ModemDial(h, 1, "5551234"), -2);  // "12\r" says CONNECT 9600 in numbers
    EXPECT_TRUE(modem->Online());
    EXPECT_EQ(ModemHangUp(h), 0);

    V24SetTimeout(h, 321);
    EXPECT_EQ(ModemSetEchoQuietVerbose(h, 0, 0, 1), 0);
    EXPECT_EQ(LastCommand(), "ATE0Q0V1");
    EXPECT_EQ(V24GetTimeout(h), 321);
    EXPECT_EQ(ModemDial(h, 1, "5551234"), 5);
}

TEST_F(ModemDialing, AnAnswerLongerThanTheTextIsCutNeverOverrun) {
    SetTimeScale(kScale);
    Open();
    // Echo, then a 200-character line before the word: the text holds 80 characters.
    const std::string chatter(200, 'x');
    Send("ATDT123\r\n" + chatter + "\r\nCONNECT 9600\r\n");
    EXPECT_EQ(ModemDial(h, 1, "123"), -2);
    // One piece of 80 characters, then one more character after the echo: the rest waits.
    std::string rest(400, '\0');
    V24SetTimeout(h, 0);
    rest.resize(static_cast<size_t>(V24ReadBuffer(h, rest.data(), 400)));
    EXPECT_EQ(rest, chatter.substr(72) + "\r\nCONNECT 9600\r\n");
}

TEST_F(ModemDialing, APortThatIsNotOpenIsAPortFailure) {
    EXPECT_EQ(ModemDial(-1, 1, "123"), -3);
    EXPECT_EQ(ModemDial(4, 1, "123"), -3);
    EXPECT_EQ(ModemDial(4, 0, nullptr), -3);
}

}  // namespace
}  // namespace v24test
