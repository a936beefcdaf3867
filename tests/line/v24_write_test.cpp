#include <string>

#include "tests/line/v24_line_fixture.h"

namespace v24test {
namespace {

using Writing = V24Line;

TEST_F(Writing, BytesTextsAndFormattedTextReachTheFarEnd) {
    Open();
    EXPECT_EQ(V24WriteByte(h, 0x141), 0);
    EXPECT_EQ(Received(), "A");
    EXPECT_EQ(V24WriteString(h, "REMOTE"), 6);
    EXPECT_EQ(V24WriteString(h, ""), 0);
    EXPECT_EQ(V24WriteBuffer(h, "\0\xFF", 2), 2);
    EXPECT_EQ(V24WriteBuffer(h, "xyz", -5), 0);
    EXPECT_EQ(Received(), std::string("REMOTE\0\xFF", 8));

    EXPECT_EQ(V24Printf(h, "%d-%s", 42, "x"), 4);
    EXPECT_EQ(V24Printf(h, "%s", ""), 0);
    EXPECT_EQ(Received(), "42-x");

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

// Holds the port's output with CTS flow control: the far end drops RTS.
struct HeldWriting : V24Line {
    void SetUp() override {
        V24Line::SetUp();
        Open();
        SetRate(9600);
        ASSERT_EQ(V24SetHandshake(h, 3), 0);
        line.b->EscapeCommFunction(CLRRTS);
    }
};

TEST_F(HeldWriting, AHeldWriteWaitsItsLineTimeAndCountsEveryByte) {
    V24SetTimeout(h, 100);
    std::string block(150, 'b');  // 150 * 32000 / 9600 = 500 ms
    double start = NowMs();
    EXPECT_EQ(V24WriteBuffer(h, block.data(), 150), 150);
    double took = NowMs() - start;
    EXPECT_GE(took, 450);
    EXPECT_LE(took, 1800);
    EXPECT_EQ(Received(), "");
    EXPECT_EQ(V24GetQueueCount(h, 1), 150);
    EXPECT_EQ(V24IsQueueEmpty(h, 1), 0);

    // A second write while the first is still queued; both go out in call order.
    EXPECT_EQ(V24WriteString(h, "tail"), 4);
    line.b->EscapeCommFunction(SETRTS);
    EXPECT_EQ(Received(), block + "tail");
    EXPECT_EQ(V24IsQueueEmpty(h, 1), 1);
}

TEST_F(HeldWriting, AShortWriteWaitsAtLeastThePortTimeOut) {
    V24SetTimeout(h, 400);
    double start = NowMs();
    EXPECT_EQ(V24WriteByte(h, 'x'), 0);  // 3 ms of line time, raised to 400
    double took = NowMs() - start;
    EXPECT_GE(took, 360);
    EXPECT_LE(took, 1500);
    line.b->EscapeCommFunction(SETRTS);
    EXPECT_EQ(Received(), "x");
}

TEST_F(Writing, BreakIsSetClearedAndPulsed) {
    Open();
    EXPECT_EQ(V24SetBreak(h), 0);
    EXPECT_TRUE(line.b->BreakReceiving());
    EXPECT_EQ(V24ClearBreak(h), 0);
    EXPECT_FALSE(line.b->BreakReceiving());
    int before = line.b->BreaksReceived();

    std::atomic<bool> seenOn{false};
    std::thread watch([&] { seenOn = WaitUntil([&] { return line.b->BreakReceiving(); }, 1000); });
    double start = NowMs();
    EXPECT_EQ(V24PulseBreak(h), 0);
    double took = NowMs() - start;
    watch.join();
    EXPECT_TRUE(seenOn);
    EXPECT_GE(took, 450);
    EXPECT_LE(took, 1800);
    EXPECT_FALSE(line.b->BreakReceiving());
    EXPECT_EQ(line.b->BreaksReceived(), before + 1);
}

TEST_F(Writing, ModemInputsReportTheirOwnBits) {
    Open();
    line.b->EscapeCommFunction(CLRRTS);
    line.b->EscapeCommFunction(CLRDTR);
    EXPECT_EQ(V24GetCts(h), 0);
    EXPECT_EQ(V24GetDsr(h), 0);
    EXPECT_EQ(V24GetRlsd(h), 0);
    EXPECT_EQ(V24GetRing(h), 0);
    line.b->EscapeCommFunction(SETRTS);
    line.b->EscapeCommFunction(SETDTR);
    line.b->SetRing(true);
    EXPECT_EQ(V24GetCts(h), 0x10);
    EXPECT_EQ(V24GetDsr(h), 0x20);
    EXPECT_EQ(V24GetRing(h), 0x40);
    EXPECT_EQ(V24GetRlsd(h), 0x80);
}

}  // namespace
}  // namespace v24test
