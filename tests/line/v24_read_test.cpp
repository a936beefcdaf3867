#include <algorithm>
#include <cstring>
#include <mutex>
#include <tuple>
#include <vector>

#include "tests/line/v24_line_fixture.h"

namespace v24test {
namespace {

using Reading = V24Line;

TEST_F(Reading, TheTimeOutBoundsEachSilenceNotTheWholeRead) {
    Open();
    SetRate(200);  // 10 bits a byte: one byte every 50 ms
    V24SetTimeout(h, 400);
    line.b->SetPacing(true);
    Send("0123456789");
    char buf[16] = {};
    double start = NowMs();
    // The last byte comes at 500 ms; the read ends one time-out later with what came.
    EXPECT_EQ(Take(h, 12), "0123456789");
    EXPECT_TRUE(TookBetween(start, 810, 3000));

    // No time-out, or a negative one, must not turn into a wait without limit.
    unsigned char byte = 0;
    start = NowMs();
    for (int timeout : {0, -1}) {
        V24SetTimeout(h, timeout);
        EXPECT_EQ((Ints{V24ReadByte(h), V24ReadByteTimed(h, &byte, timeout),
                        V24ReadBuffer(h, buf, timeout)}),
                  (Ints{V24_TIMEOUT, 0, 0}));
    }
    EXPECT_TRUE(TookBetween(start, 0, 300));
    line.b->SetPacing(false);
    Send("z");
    EXPECT_EQ(V24ReadByteTimed(h, &byte, 0), 1);
    EXPECT_EQ(byte, 'z');
}

TEST_F(Reading, BlocksPastTheStagingBufferOrStillOnTheWireComeWholeAndInOrder) {
    Open();
    std::string data;
    for (int i = 0; i < 1500; ++i) data += static_cast<char>(i * 7);
    Send(data);
    EXPECT_EQ(V24ReadByte(h), static_cast<unsigned char>(data[0]));
    EXPECT_EQ(Take(h, 1499), data.substr(1));
    // A whole block written at once is on the wire, not yet in the 4096-byte input queue.
    SetRate(460800);
    line.b->SetPacing(true);
    const std::string block(6000, 'w');
    Send(block);
    EXPECT_EQ(Take(h, 6000), block);
    EXPECT_EQ(V24GetLineErrors(h), 0);
}

TEST_F(Reading, ReadLineStopsAtTheTerminatorAtTheLengthOrAtSilence) {
    Open();
    V24SetTimeout(h, 100);
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    // The count and what the buffer holds up to its terminating zero.
    auto readLine = [&](int length, int end) {
        const int got = V24ReadLine(h, buf, length, end);
        return std::to_string(got) + ":" + std::string(buf, std::find(buf, std::end(buf), '\0'));
    };
    Send("OK\r");
    EXPECT_EQ(readLine(10, '\r'), "2:OK");
    EXPECT_EQ(V24PeekByte(h), -1);  // the terminator was taken
    Send("ABCDEFG");
    EXPECT_EQ(readLine(5, '\r'), "5:ABCDE");
    EXPECT_EQ(readLine(0, '\r'), "0:");
    EXPECT_EQ(V24ReadByte(h), 'F');
    // A terminator above 127 still matches its byte.
    Send("x\xFFy");
    EXPECT_EQ(readLine(10, 0xFF), "2:Gx");
    EXPECT_EQ(readLine(10, '\r'), "1:y");
}

TEST_F(Reading, PeekAndWaitLookAheadWithoutTakingAndByte255IsNoError) {
    Open();
    V24SetTimeout(h, 200);
    Send("\xFF\x41");
    EXPECT_EQ((Ints{V24PeekByte(h), V24PeekByte(h), V24WaitByte(h), V24ReadByte(h), V24WaitByte(h),
                    V24ReadByte(h), V24PeekByte(h)}),
              (Ints{255, 255, 255, 255, 0x41, 0x41, -1}));
    double start = NowMs();
    EXPECT_EQ(V24WaitByte(h), -1);
    EXPECT_TRUE(TookBetween(start, 180, 900));

    // A byte that comes during the wait ends it early.
    line.b->SetDelayMs(50);
    V24SetTimeout(h, 2000);
    Send("\xFF");
    start = NowMs();
    EXPECT_EQ(V24WaitByte(h), 255);
    EXPECT_TRUE(TookBetween(start, 0, 1000));
}

TEST_F(Reading, QueueCountsIncludeStagedBytesUntilPurged) {
    Open();
    Send("12345");
    // The peek stages all five.
    EXPECT_EQ((Ints{V24GetQueueCount(h, 0), V24PeekByte(h), V24GetQueueCount(h, 0),
                    V24IsQueueEmpty(h, 0), V24ReadByte(h), V24GetQueueCount(h, 0)}),
              (Ints{5, '1', 5, 0, '1', 4}));
    Send("67");
    EXPECT_EQ(V24GetQueueCount(h, 0), 6);
    EXPECT_EQ(
        (Ints{V24Purge(h, 0), V24GetQueueCount(h, 0), V24IsQueueEmpty(h, 0), V24PeekByte(h),
              V24Purge(h, 1), V24Purge(h, 2), V24GetQueueCount(h, 2), V24IsQueueEmpty(h, -1)}),
        (Ints{0, 0, 1, -1, 0, V24_BAD_ARGUMENT, V24_BAD_ARGUMENT, V24_BAD_ARGUMENT}));
}

TEST_F(Reading, OnlyBytesThatTravelOverrunAndTheOverrunIsReportedOnceToThisOpeningAlone) {
    Open();
    // A burst without line time has no sender's pace to miss: it waits instead.
    ASSERT_EQ(V24SetQueueSize(h, 0, 4), 0);
    Send("abcdefghij");
    EXPECT_EQ(Take(h, 10), "abcdefghij");
    EXPECT_EQ(V24GetLineErrors(h), 0);

    // The far end sends ten bytes slowly enough that the four-byte input queue overruns.
    line.b->SetDelayMs(1);
    auto overrun = [this] {
        Send("0123456789");
        SleepMs(50);
    };
    overrun();
    EXPECT_EQ((Ints{V24GetLineErrors(h), V24GetLineErrors(h)}), (Ints{2, 0}));
    V24SetTimeout(h, 0);
    EXPECT_EQ(Take(h, 8), "0123");
    line.b->SetCommBreak();
    line.b->ClearCommBreak();
    EXPECT_EQ(V24GetLineErrors(h), 0);

    overrun();
    ASSERT_EQ(V24GetQueueCount(h, 0), 4);  // fetches the overrun into the slot
    ASSERT_EQ(V24Close(h), 0);
    Open();
    EXPECT_EQ(V24GetLineErrors(h), 0);
}

// The notification target: records every call and whether it came from the test's thread.
using Notice = std::tuple<unsigned, int, bool>;
std::mutex g_notifyMutex;
std::vector<Notice> g_notified;
std::thread::id g_testThread;

void RecordNotify(unsigned message, int handle) {
    std::lock_guard<std::mutex> lock(g_notifyMutex);
    g_notified.emplace_back(message, handle, std::this_thread::get_id() == g_testThread);
}

std::vector<Notice> Notified() {
    std::lock_guard<std::mutex> lock(g_notifyMutex);
    return g_notified;
}

TEST_F(Reading, ArrivingDataIsNotifiedOncePerBurstFromTheReceiveThread) {
    g_testThread = std::this_thread::get_id();
    ASSERT_EQ(V24Open("COM9", 0), 0);  // so that the handle below is not 0
    h = V24Open("COM9", 0);
    ASSERT_EQ(h, 1);
    EXPECT_EQ(V24SetNotify(h, RecordNotify, 0), 0);  // message 0: stored, notification off
    EXPECT_EQ(V24GetNotifyMessage(h), 0u);
    EXPECT_EQ(V24SetNotify(h, RecordNotify, 0x401), 0);
    EXPECT_TRUE(Notified().empty());

    Send("abc");
    ASSERT_TRUE(WaitUntil([] { return !Notified().empty(); }));
    // Setting the notification let the thread go on once in advance, which may cost one
    // more report of the same bytes; after that it pauses until a reader finds the device
    // empty, whatever else arrives.
    SleepMs(100);
    const size_t reports = Notified().size();
    EXPECT_LE(reports, 2u);
    Send("d");
    SleepMs(100);
    EXPECT_EQ(Notified().size(), reports);
    EXPECT_EQ(Notified()[0], Notice(0x401u, 1, false));
    EXPECT_EQ(Take(h, 4), "abcd");
    EXPECT_EQ(V24PeekByte(h), -1);
    Send("e");
    ASSERT_TRUE(WaitUntil([&] { return Notified().size() > reports; }));
    const size_t before = Notified().size();

    // Data already waiting is notified at once, in the caller's thread (the receive thread,
    // let go on, may report it as well).
    EXPECT_EQ(V24SetNotify(h, RecordNotify, 0x402), 0);
    const std::vector<Notice> all = Notified();
    const std::vector<Notice> later(all.begin() + static_cast<long>(before), all.end());
    for (const Notice& n : later) EXPECT_EQ(std::get<0>(n), 0x402u);
    EXPECT_NE(std::find(later.begin(), later.end(), Notice(0x402u, 1, true)), later.end());
}

}  // namespace
}  // namespace v24test
