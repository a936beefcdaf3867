#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "tests/line/v24_line_fixture.h"

namespace v24test {
namespace {

using Reading = V24Line;

TEST_F(Reading, ASilentLineEndsAReadAfterTheTimeOut) {
    Open();
    V24SetTimeout(h, 200);
    double start = NowMs();
    EXPECT_EQ(V24ReadByte(h), V24_TIMEOUT);
    double took = NowMs() - start;
    EXPECT_GE(took, 180);
    EXPECT_LE(took, 900);

    V24SetTimeout(h, 0);
    unsigned char byte = 0;
    start = NowMs();
    EXPECT_EQ(V24ReadByte(h), V24_TIMEOUT);
    EXPECT_EQ(V24ReadByteTimed(h, &byte, 0), 0);
    // A negative time-out must not turn into a wait without limit.
    V24SetTimeout(h, -1);
    EXPECT_EQ(V24ReadByte(h), V24_TIMEOUT);
    EXPECT_EQ(V24ReadByteTimed(h, &byte, -1), 0);
    EXPECT_LE(NowMs() - start, 300);

    char buf[4];
    EXPECT_EQ(V24ReadBuffer(h, buf, 0), 0);
    EXPECT_EQ(V24ReadBuffer(h, buf, -1), 0);

    Send("z");
    EXPECT_EQ(V24ReadByteTimed(h, &byte, 0), 1);
    EXPECT_EQ(byte, 'z');
}

TEST_F(Reading, TheTimeOutBoundsEachSilenceNotTheWholeRead) {
    Open();
    SetRate(200);  // 10 bits a byte: one byte every 50 ms
    V24SetTimeout(h, 400);
    line.b->SetPacing(true);
    Send("0123456789");
    char buf[16] = {};
    double start = NowMs();
    EXPECT_EQ(V24ReadBuffer(h, buf, 10), 10);
    double took = NowMs() - start;
    EXPECT_EQ(Bytes(buf, 10), "0123456789");
    EXPECT_GE(took, 440);  // longer than one time-out: the last byte comes at 500 ms
    EXPECT_LE(took, 1800);
}

TEST_F(Reading, APartialBlockComesBackAfterOneSilence) {
    Open();
    V24SetTimeout(h, 300);
    Send("abcd");
    char buf[16] = {};
    double start = NowMs();
    EXPECT_EQ(V24ReadBuffer(h, buf, 10), 4);
    double took = NowMs() - start;
    EXPECT_EQ(Bytes(buf, 4), "abcd");
    EXPECT_GE(took, 270);
    EXPECT_LE(took, 1200);
}

TEST_F(Reading, BytesWaitingBeyondTheStagingBufferComeInOrder) {
    Open();
    std::string data;
    for (int i = 0; i < 1500; ++i) data += static_cast<char>(i * 7);
    Send(data);
    std::vector<char> buf(1500);
    EXPECT_EQ(V24ReadByte(h), static_cast<unsigned char>(data[0]));
    EXPECT_EQ(V24ReadBuffer(h, buf.data(), 1499), 1499);
    EXPECT_EQ(Bytes(buf.data(), 1499), data.substr(1));
}

TEST_F(Reading, ReadLineStopsAtTheTerminatorAtTheLengthOrAtSilence) {
    Open();
    V24SetTimeout(h, 100);
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    Send("OK\r");
    EXPECT_EQ(V24ReadLine(h, buf, 10, '\r'), 2);
    EXPECT_STREQ(buf, "OK");
    EXPECT_EQ(V24PeekByte(h), -1);  // the terminator was taken

    std::memset(buf, '#', sizeof buf);
    Send("ABCDEFG");
    EXPECT_EQ(V24ReadLine(h, buf, 5, '\r'), 5);
    EXPECT_STREQ(buf, "ABCDE");
    EXPECT_EQ(V24ReadLine(h, buf, 0, '\r'), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(V24ReadByte(h), 'F');

    // A terminator above 127 still matches its byte.
    Send("x\xFFy");
    EXPECT_EQ(V24ReadLine(h, buf, 10, 0xFF), 2);
    EXPECT_STREQ(buf, "Gx");
    EXPECT_EQ(V24ReadLine(h, buf, 10, '\r'), 1);
    EXPECT_STREQ(buf, "y");
}

TEST_F(Reading, PeekAndWaitLookAheadWithoutTakingAndByte255IsNoError) {
    Open();
    V24SetTimeout(h, 200);
    Send("\xFF\x41");
    EXPECT_EQ(V24PeekByte(h), 255);
    EXPECT_EQ(V24PeekByte(h), 255);
    EXPECT_EQ(V24WaitByte(h), 255);
    EXPECT_EQ(V24ReadByte(h), 255);
    EXPECT_EQ(V24WaitByte(h), 0x41);
    EXPECT_EQ(V24ReadByte(h), 0x41);
    EXPECT_EQ(V24PeekByte(h), -1);

    double start = NowMs();
    EXPECT_EQ(V24WaitByte(h), -1);
    double took = NowMs() - start;
    EXPECT_GE(took, 180);
    EXPECT_LE(took, 900);

    // A byte that comes during the wait ends it early.
    line.b->SetDelayMs(50);
    V24SetTimeout(h, 2000);
    Send("\xFF");
    start = NowMs();
    EXPECT_EQ(V24WaitByte(h), 255);
    EXPECT_LE(NowMs() - start, 1000);
}

TEST_F(Reading, QueueCountsIncludeStagedBytesUntilPurged) {
    Open();
    Send("12345");
    EXPECT_EQ(V24GetQueueCount(h, 0), 5);
    EXPECT_EQ(V24PeekByte(h), '1');  // stages all five
    EXPECT_EQ(V24GetQueueCount(h, 0), 5);
    EXPECT_EQ(V24IsQueueEmpty(h, 0), 0);
    EXPECT_EQ(V24ReadByte(h), '1');
    EXPECT_EQ(V24GetQueueCount(h, 0), 4);
    Send("67");
    EXPECT_EQ(V24GetQueueCount(h, 0), 6);

    EXPECT_EQ(V24Purge(h, 0), 0);
    EXPECT_EQ(V24GetQueueCount(h, 0), 0);
    EXPECT_EQ(V24IsQueueEmpty(h, 0), 1);
    EXPECT_EQ(V24PeekByte(h), -1);
    EXPECT_EQ(V24Purge(h, 1), 0);
    EXPECT_EQ(V24Purge(h, 2), V24_BAD_ARGUMENT);
    EXPECT_EQ(V24GetQueueCount(h, 2), V24_BAD_ARGUMENT);
    EXPECT_EQ(V24IsQueueEmpty(h, -1), V24_BAD_ARGUMENT);
}

TEST_F(Reading, AnOverrunIsReportedOnceAndABreakIsNoLineError) {
    Open();
    ASSERT_EQ(V24SetQueueSize(h, 0, 4), 0);
    line.b->SetDelayMs(1);  // bytes that really travel overrun a full queue
    Send("0123456789");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(V24GetLineErrors(h), 2);
    EXPECT_EQ(V24GetLineErrors(h), 0);
    char buf[8];
    V24SetTimeout(h, 0);
    EXPECT_EQ(V24ReadBuffer(h, buf, 8), 4);
    EXPECT_EQ(Bytes(buf, 4), "0123");

    line.b->SetCommBreak();
    line.b->ClearCommBreak();
    EXPECT_EQ(V24GetLineErrors(h), 0);
}

// The notification target: records every call.
std::mutex g_notifyMutex;
std::vector<std::pair<unsigned, int>> g_notified;
std::vector<std::thread::id> g_notifiedFrom;

void RecordNotify(unsigned message, int handle) {
    std::lock_guard<std::mutex> lock(g_notifyMutex);
    g_notified.emplace_back(message, handle);
    g_notifiedFrom.push_back(std::this_thread::get_id());
}

size_t NotifyCount() {
    std::lock_guard<std::mutex> lock(g_notifyMutex);
    return g_notified.size();
}

TEST_F(Reading, ArrivingDataIsNotifiedOncePerBurstFromTheReceiveThread) {
    {
        std::lock_guard<std::mutex> lock(g_notifyMutex);
        g_notified.clear();
        g_notifiedFrom.clear();
    }
    ASSERT_EQ(V24Open("COM9", 0), 0);  // so that the handle below is not 0
    h = V24Open("COM9", 0);
    ASSERT_EQ(h, 1);
    EXPECT_EQ(V24SetNotify(h, RecordNotify, 0), 0);  // message 0: stored, notification off
    EXPECT_EQ(V24GetNotifyMessage(h), 0u);
    EXPECT_EQ(V24SetNotify(h, RecordNotify, 0x401), 0);
    EXPECT_EQ(V24GetNotifyMessage(h), 0x401u);
    EXPECT_EQ(NotifyCount(), 0u);

    Send("abc");
    ASSERT_TRUE(WaitUntil([] { return NotifyCount() >= 1; }));
    // Setting the notification let the thread go on once in advance, which may cost one
    // more report of the same bytes; after that it pauses until a reader finds the device
    // empty, whatever else arrives.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t reports = NotifyCount();
    EXPECT_LE(reports, 2u);
    Send("d");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(NotifyCount(), reports);
    {
        std::lock_guard<std::mutex> lock(g_notifyMutex);
        EXPECT_EQ(g_notified[0], std::make_pair(0x401u, 1));
        EXPECT_NE(g_notifiedFrom[0], std::this_thread::get_id());
    }

    char buf[8];
    EXPECT_EQ(V24ReadBuffer(h, buf, 4), 4);
    EXPECT_EQ(V24PeekByte(h), -1);
    Send("e");
    ASSERT_TRUE(WaitUntil([&] { return NotifyCount() > reports; }));
    const size_t before = NotifyCount();

    // Data already waiting is notified at once, in the caller's thread (the receive thread,
    // let go on, may report it as well).
    EXPECT_EQ(V24SetNotify(h, nullptr, 0), 0);
    EXPECT_EQ(V24SetNotify(h, RecordNotify, 0x402), 0);
    std::lock_guard<std::mutex> lock(g_notifyMutex);
    bool fromCaller = false;
    for (size_t i = before; i < g_notified.size(); ++i) {
        EXPECT_EQ(g_notified[i], std::make_pair(0x402u, 1));
        if (g_notifiedFrom[i] == std::this_thread::get_id()) fromCaller = true;
    }
    EXPECT_TRUE(fromCaller);
}

}  // namespace
}  // namespace v24test
