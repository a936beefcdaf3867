// The nullmodem program between our port library on its pseudo-terminal and a command on
// pipes (cat sends every byte straight back, so each byte crosses the line twice): the
// line's pace, each fault on its own, and how the line ends.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "e2e/nullmodem_line.h"
#include "serial/device/sync.h"

using qel::dev::NowMs;
using qel::test::NullModemLine;

namespace {

std::string Counting(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(i);
    return s;
}

}  // namespace

TEST(NullModem, CarriesEachByteAtTheRateOurPortIsSetTo) {
    for (int baud : {9600, 38400}) {
        SCOPED_TRACE(baud);
        NullModemLine line;
        line.Start({});
        ASSERT_EQ(V24SetLine(line.port, baud, 8, 'N', 1), 0);
        const std::string data = Counting(256) + Counting(256) + Counting(256) + Counting(256);
        const double start = NowMs();
        line.Send(data);
        EXPECT_EQ(line.Receive(data.size()), data);
        // Both directions run at once, so the echo takes one line time plus a byte. Never
        // faster than the wire; the upper bound leaves room for a loaded machine.
        const double lineMs = data.size() * 10 * 1000.0 / baud;
        const double took = NowMs() - start;
        EXPECT_GE(took, lineMs * 0.97);
        EXPECT_LE(took, lineMs * 2 + 500);
    }
}

TEST(NullModem, EachFaultHitsTheByteItNames) {
    const std::string data = Counting(40);
    // The data with the bytes at the offsets given flipped, or left out.
    auto hit = [&](std::initializer_list<int> at, bool drop = false) {
        std::string s;
        for (int i = 0; i < 40; ++i) {
            const bool named = std::find(at.begin(), at.end(), i) != at.end();
            if (!named || !drop) s += static_cast<char>(named ? ~data[i] : data[i]);
        }
        return s;
    };
    const struct {
        std::vector<std::string> options;
        std::string expected;
    } cases[] = {
        {{"--corrupt-at", "0", "--corrupt-at", "17"}, hit({0, 17})},
        {{"--corrupt-every", "10"}, hit({9, 19, 29, 39})},
        {{"--drop-at", "5"}, hit({5}, true)},
        {{"--drop-every", "15"}, hit({14, 29}, true)},
        // With both directions hit, the echo meets the fault a second time.
        {{"--corrupt-at", "3", "--fault-direction", "both"}, data},
        {{"--drop-at", "20", "--fault-direction", "both"}, hit({20, 21}, true)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        NullModemLine line;
        std::vector<std::string> options{"--unpaced", "--fault-direction", "out"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        line.Start(options);
        line.Send(data);
        EXPECT_EQ(line.Receive(data.size(), 300), c.expected);
    }
}

TEST(NullModem, AStallHoldsTheLineAndAHangUpCutsIt) {
    {
        NullModemLine line;
        line.Start({"--unpaced", "--fault-direction", "in", "--stall-at", "10:700"});
        line.Send(Counting(20));
        EXPECT_EQ(line.Receive(10, 300), Counting(10));
        const double start = NowMs();
        EXPECT_EQ(line.Receive(10, 2000), Counting(20).substr(10));
        const double took = NowMs() - start;
        EXPECT_GE(took, 600);
        EXPECT_LE(took, 1500);
    }
    // Cut before the sixth byte back: five arrive, then our port sees the device gone, the
    // command its hang-up, and the null-modem passes on the code the hang-up gave it.
    NullModemLine line;
    line.Start({"--unpaced", "--fault-direction", "in", "--hangup-at", "5"});
    line.Send(Counting(20));
    EXPECT_EQ(line.Receive(20, 500), Counting(5));
    const double start = NowMs();
    EXPECT_EQ(V24ReadByte(line.port), V24_TIMEOUT);
    EXPECT_LE(NowMs() - start, 300) << "a vanished device ends the wait at once";
    EXPECT_EQ(line.modem->Finish(10000), 128 + SIGHUP);
}

TEST(NullModem, EndsWithTheCommandOrWhenOurSideClosesForGood) {
    {
        // The command's last words reach our side before the line ends with its code.
        NullModemLine line;
        line.Start({"--baud", "9600"}, "printf bye; exit 7");
        EXPECT_EQ(line.Receive(3), "bye");
        EXPECT_EQ(line.Finish(5000), 7);
        EXPECT_LE(line.modem->ms, 4000);
    }
    // Our port closed and opened again within the grace keeps the line; closed for good, the
    // command hears end of file (cat then ends by itself, with 0).
    NullModemLine line;
    line.Start({"--grace-ms", "500"});
    V24Close(line.port);
    line.port = V24Open("COM9", 1);
    ASSERT_GE(line.port, 0);
    line.Send("again");
    EXPECT_EQ(line.Receive(5), "again");
    EXPECT_TRUE(line.modem->Running());
    const double start = NowMs();
    EXPECT_EQ(line.Finish(5000), 0);
    EXPECT_GE(NowMs() - start, 400);
}
