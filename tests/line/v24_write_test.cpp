#include <atomic>
#include <string>

#include "tests/line/v24_line_fixture.h"

namespace v24test {
namespace {

using Writing = V24Line;

TEST_F(Writing, BytesTextsAndFormattedTextReachTheFarEnd) {
    Open();
    EXPECT_EQ((Ints{V24WriteByte(h, 0x141), V24WriteString(h, "REMOTE"), V24WriteString(h, ""),
                    V24WriteBuffer(h, "\0\xFF", 2), V24WriteBuffer(h, "xyz", -5),
                    V24Printf(h, "%d-%s", 42, "x"), V24Printf(h, "%s", "")}),
              (Ints{0, 6, 0, 2, 0, 4, 0}));
    EXPECT_EQ(Received(), std::string("AREMOTE\0\xFF"
                                      "42-x",
                                      13));

    // Longer text is cut to 255 characters, never written past the formatting area.
    std::string longText(300, 'q');
    longText[254] = 'E';
    EXPECT_EQ(V24Printf(h, "%s", longText.c_str()), 255);
    EXPECT_EQ(Received(), longText.substr(0, 255));

    // A rate of 0 put into the stored settings must not break the completion arithmetic.
    V24LineSettings(h)->BaudRate = 0;
    EXPECT_EQ(V24WriteByte(h, 'z'), 0);
    EXPECT_EQ(Received(), "z");
}

// CTS flow control holds the port's output while the far end drops RTS: each write waits
// its line time (n * 32000 / baud ms), at least the port's time-out.
TEST_F(Writing, AHeldWriteWaitsItsLineTimeOrTheTimeOutAndKeepsEveryByteInOrder) {
    Open();
    SetRate(9600);
    ASSERT_EQ(V24SetHandshake(h, 3), 0);
    line.b->EscapeCommFunction(CLRRTS);
    V24SetTimeout(h, 400);
    double start = NowMs();
    EXPECT_EQ(V24WriteByte(h, 'x'), 0);  // 3 ms of line time, raised to 400
    EXPECT_TRUE(TookBetween(start, 360, 1500));

    V24SetTimeout(h, 100);
    std::string block(150, 'b');  // 150 * 32000 / 9600 = 500 ms
    start = NowMs();
    EXPECT_EQ(V24WriteBuffer(h, block.data(), 150), 150);
    EXPECT_TRUE(TookBetween(start, 450, 1800));
    EXPECT_EQ(Received(), "");
    EXPECT_EQ((Ints{V24GetQueueCount(h, 1), V24IsQueueEmpty(h, 1)}), (Ints{151, 0}));

    // A further write while the others are still queued; all go out in call order.
    EXPECT_EQ(V24WriteString(h, "tail"), 4);
    line.b->EscapeCommFunction(SETRTS);
    EXPECT_EQ(Received(), "x" + block + "tail");
    EXPECT_EQ(V24IsQueueEmpty(h, 1), 1);
}

TEST_F(Writing, BreakIsSetClearedAndPulsed) {
    Open();
    EXPECT_EQ((Ints{V24SetBreak(h), line.b->BreakReceiving(), V24ClearBreak(h),
                    line.b->BreakReceiving()}),
              (Ints{0, 1, 0, 0}));
    int before = line.b->BreaksReceived();

    std::atomic<bool> seenOn{false};
    std::thread watch([&] { seenOn = WaitUntil([&] { return line.b->BreakReceiving(); }, 1000); });
    double start = NowMs();
    EXPECT_EQ(V24PulseBreak(h), 0);
    EXPECT_TRUE(TookBetween(start, 450, 1800));
    watch.join();
    EXPECT_TRUE(seenOn);
    EXPECT_FALSE(line.b->BreakReceiving());
    EXPECT_EQ(line.b->BreaksReceived(), before + 1);
}

TEST_F(Writing, ModemInputsReportTheirOwnBits) {
    Open();
    line.b->EscapeCommFunction(CLRRTS);
    line.b->EscapeCommFunction(CLRDTR);
    EXPECT_EQ(V24GetCts(h) | V24GetDsr(h) | V24GetRlsd(h) | V24GetRing(h), 0);
    line.b->EscapeCommFunction(SETRTS);
    line.b->EscapeCommFunction(SETDTR);
    line.b->SetRing(true);
    EXPECT_EQ((Ints{V24GetCts(h), V24GetDsr(h), V24GetRing(h), V24GetRlsd(h)}),
              (Ints{0x10, 0x20, 0x40, 0x80}));
}

}  // namespace
}  // namespace v24test
