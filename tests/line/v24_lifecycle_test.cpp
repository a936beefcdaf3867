// Opening, closing and the receive thread when things go wrong: a thread that does not end
// or does not start in time, a device that vanishes.
#include <atomic>

#include "serial/port_table.h"
#include "tests/line/v24_line_fixture.h"

namespace v24test {
namespace {

using qel::serial::LiveReceiveThreads;

// Counts the reports; holds the receive thread in the call-back while g_holdNotify is set.
std::atomic<bool> g_holdNotify{false};
std::atomic<int> g_reports{0};
void Report(unsigned, int) {
    g_reports++;
    while (g_holdNotify) SleepMs(5);
}

struct Lifecycle : V24Line {
    void SetUp() override {
        V24Line::SetUp();
        // Threads of earlier tests in this process are gone before we count ours.
        ASSERT_TRUE(WaitUntil([] { return LiveReceiveThreads() == 0; }, 5000));
        g_reports = 0;
    }
};

TEST_F(Lifecycle, CloseWaitsNoLongerThanFiveSecondsForAThreadThatDoesNotEnd) {
    SetTimeScale(10);  // 5000 ms become 500
    g_holdNotify = true;
    Open();
    V24SetNotify(h, Report, 0x400);
    Send("x");
    ASSERT_TRUE(WaitUntil([] { return g_reports > 0; }));
    double start = NowMs();
    EXPECT_EQ(V24Close(h), 0);
    EXPECT_TRUE(TookBetween(start, 450, 1800));

    // The slot serves a new opening while the old thread is still stuck in the call-back.
    Open();
    EXPECT_EQ(h, 0);
    EXPECT_EQ(LiveReceiveThreads(), 2);
    g_holdNotify = false;
    EXPECT_TRUE(WaitUntil([] { return LiveReceiveThreads() == 1; }));
    V24SetTimeout(h, 1000);
    EXPECT_EQ(V24ReadByte(h), 'x');
    Send("y");
    EXPECT_EQ(V24ReadByte(h), 'y');
}

TEST_F(Lifecycle, OpenGivesUpOnAThreadThatCannotStartOrStartsLateAndHarmsNothing) {
    SetTimeScale(10);
    line.a->SetMaskHook([](DWORD) { return false; });
    EXPECT_EQ(V24Open("COM9", 1), V24_THREAD_START);
    EXPECT_EQ(LiveReceiveThreads(), 0);

    std::atomic<bool> hold{true};
    std::atomic<int> calls{0};
    line.a->SetMaskHook([&](DWORD) {
        if (calls++ == 0) {
            while (hold) SleepMs(5);
        }
        return true;
    });
    double start = NowMs();
    EXPECT_EQ(V24Open("COM9", 1), V24_THREAD_START);
    EXPECT_TRUE(TookBetween(start, 450, 1800));
    EXPECT_EQ(V24Close(0), V24_NOT_OPEN);

    // The device was released: the port opens again, exclusively, with a thread that starts.
    Open();
    EXPECT_EQ(h, 0);
    hold = false;
    EXPECT_TRUE(WaitUntil([] { return LiveReceiveThreads() == 1; }));
    Send("ok");
    EXPECT_EQ(Take(h, 2), "ok");
    EXPECT_EQ(V24Close(h), 0);
    EXPECT_TRUE(WaitUntil([] { return LiveReceiveThreads() == 0; }));
}

TEST_F(Lifecycle, AVanishedLineEndsEveryWaitAtOnceAndTheThreadDoesNotSpin) {
    Open();
    V24SetNotify(h, Report, 0x400);
    V24SetTimeout(h, 3000);
    Send("abc");
    ASSERT_TRUE(WaitUntil([] { return g_reports > 0; }));
    std::thread pull([this] {
        SleepMs(100);
        line.b->Disconnect();
    });
    char buf[16];
    double start = NowMs();
    EXPECT_EQ(V24ReadBuffer(h, buf, 10), 3);  // what it has, when the line goes
    pull.join();
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ((Ints{V24ReadByte(h), V24WaitByte(h), V24ReadLine(h, buf, 10, '\r'),
                    V24WriteByte(h, 'x'), V24WriteString(h, "xy")}),
              (Ints{V24_TIMEOUT, -1, 0, V24_NOT_SENT, 0}));
    EXPECT_TRUE(TookBetween(start, 0, 1500));
    EXPECT_NE(V24LastError(h), 0u);

    // Reports let go on before the reads failed (the waiting read let the thread go on too)
    // may still land; a spinning thread would report thousands of times.
    SleepMs(300);
    int reports = g_reports;
    EXPECT_LE(reports, 10);
    SleepMs(300);
    EXPECT_EQ(g_reports, reports);

    start = NowMs();
    EXPECT_EQ(V24Close(h), 0);
    EXPECT_TRUE(TookBetween(start, 0, 1000));
    EXPECT_TRUE(WaitUntil([] { return LiveReceiveThreads() == 0; }, 1000));
}

}  // namespace
}  // namespace v24test
