// Our sender against our receiver on the in-memory line: what each fault on the line does to
// the transfer, a cancel, and a silent peer. The sizes and modes are shown against lrzsz.
#include <algorithm>
#include <atomic>

#include "tests/line/xmodem_line_fixture.h"

using namespace xmtest;

namespace {

int g_cancelAt = -1;  // bytes at which the callback asks to cancel
int CancelAt(int, int bytes, int) {
    return g_cancelAt >= 0 && bytes >= g_cancelAt;
}
// The sender's mode and most errors in a row, as its progress reports them.
std::atomic<int> g_senderCrc{-1}, g_senderErrors{0};
int RecordSender(int crc, int bytes, int errors) {
    g_senderCrc = crc;
    g_senderErrors = std::max<int>(g_senderErrors, errors);
    return CancelAt(crc, bytes, errors);
}

struct XmTransfer : XmLine {
    const std::string target = dir.path + "/target.bin";
    void SetUp() override {
        XmLine::SetUp();
        g_senderCrc = -1;
        g_senderErrors = 0;
        g_cancelAt = -1;
    }
    // A fresh line with the ends given open, for the next case of a table.
    void Fresh(bool receiverOpen = true, bool senderOpen = true) {
        TearDown();
        SetUp();
        if (receiverOpen) OpenReceiver();
        if (senderOpen) OpenSender();
    }
    // Sends data from source.bin to target.bin; the sender's result and the receiver's.
    std::pair<int, int> Transfer(const std::string& data, int use1k, int crc,
                                 XmProgressCallback sendProgress = RecordSender,
                                 XmProgressCallback receiveProgress = CancelAt) {
        auto sent = SendAsync(dir.Write("source.bin", data), use1k, sendProgress);
        const int received = XmReceive(receiver, target.c_str(), crc, receiveProgress);
        return {sent.get(), received};
    }
};

}  // namespace

TEST_F(XmTransfer, AFaultOnTheLineCostsARepeatNeverTheFile) {
    constexpr int kBig = 1024 + 5;  // a 1K block with its CRC on the wire
    const struct {
        const char* fault;
        bool senderSide;  // the fault hits what the sender sends (else the receiver)
        int at;           // which byte of that side's output
        bool drop;        // lost (else corrupted)
        int sendResult;
    } cases[] = {
        {"corrupted data byte", true, kBig + 100, false, 0},
        {"lost data byte (a short block)", true, kBig + 100, true, 0},
        {"corrupted CRC byte", true, 2 * kBig - 1, false, 0},
        {"corrupted block number", true, kBig + 1, false, 0},
        // The receiver's output: 'C', then the ACK of each block.
        {"lost ACK: the block comes again", false, 2, true, 0},
        {"corrupted ACK: the block comes again", false, 2, false, 0},
        // The receiver has the whole file; the sender cannot know, and says so.
        {"lost ACK of EOT", false, 4, true, 3},
    };
    const std::string data = Pattern(3000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        Fresh();
        auto count = std::make_shared<int>(0);
        auto filter = [count, c](BYTE& b) {
            if ((*count)++ != c.at) return true;
            b = static_cast<BYTE>(b ^ 0x5A);
            return !c.drop;
        };
        (c.senderSide ? line.b : line.a)->SetFilter(filter);
        EXPECT_EQ(Transfer(data, 1, 1), std::make_pair(c.sendResult, 0));
        std::string expected = data;
        expected.resize(3072, '\0');
        EXPECT_EQ(dir.Read("target.bin"), expected)
            << "a repeated block written twice, or one lost";
        EXPECT_EQ(g_senderCrc, 1) << "the sender in the receiver's mode";
        // A lost byte ends in a time-out on the sped-up clock, which a loaded machine may
        // make run out once more; a damaged one is answered at once.
        if (c.sendResult != 0) {
            EXPECT_EQ(g_senderErrors, 0);
        } else if (c.drop) {
            EXPECT_GE(g_senderErrors, 1);
        } else {
            EXPECT_EQ(g_senderErrors, 1);
        }
    }
}

TEST_F(XmTransfer, ACancelEndsBothSidesAndLeavesNoFile) {
    for (bool receiverCancels : {true, false}) {
        SCOPED_TRACE(receiverCancels ? "receiver cancels" : "sender cancels");
        Fresh();
        g_cancelAt = 2048;
        EXPECT_EQ(Transfer(Pattern(8000), 1, 1, receiverCancels ? nullptr : RecordSender,
                           receiverCancels ? CancelAt : nullptr),
                  std::make_pair(2, 2));
        EXPECT_EQ(FilesIn(dir.path), 1) << "only the source is left";
        EXPECT_EQ(dir.Read("source.bin"), Pattern(8000));
    }
}

// Each wait the protocol sets, sped up: its end must come no sooner, and not much later.
::testing::AssertionResult Waited(double start, double realMs) {
    const double took = NowMs() - start, expect = realMs / kSpeedUp;
    if (took >= expect * 0.9 && took <= expect * 3 + 1000) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "took " << took << " ms, not about " << expect;
}

TEST_F(XmTransfer, ASilentPeerEndsTheTransferWithinTheProtocolsWaits) {
    // No sender: 20 start requests, each a second's wait and a second's quiet; from the
    // fifth failure on the receiver alternates checksum and CRC.
    OpenReceiver();
    double start = NowMs();
    EXPECT_EQ(XmReceive(receiver, target.c_str(), 1, nullptr), 2);
    EXPECT_TRUE(Waited(start, 20 * 2000.0));
    std::string requests = "CCCCC\x15";
    while (requests.size() < 20) requests += "C\x15";
    EXPECT_EQ(GetN(line.b, 20, 100), requests);
    EXPECT_EQ(FilesIn(dir.path), 0);

    // A sender that falls silent after the first block: ten blocks missed, each after ten
    // seconds of waiting for its first byte and one of quiet; the partial file goes.
    Fresh(true, false);
    auto received = std::async(std::launch::async,
                               [&] { return XmReceive(receiver, target.c_str(), 1, nullptr); });
    ASSERT_EQ(Get(line.b), 'C');
    Put(line.b, Block(0x01, 1, "first", true));
    ASSERT_EQ(Get(line.b), 0x06);
    start = NowMs();
    EXPECT_EQ(received.get(), 2);
    EXPECT_TRUE(Waited(start, 10 * 11000.0));
    EXPECT_EQ(GetN(line.b, 20, 100), std::string(10, '\x15'));
    EXPECT_EQ(FilesIn(dir.path), 0);

    // No receiver, and a receiver that falls silent after the first block: the sender asks
    // ten times with ten seconds each.
    for (bool afterFirstBlock : {false, true}) {
        SCOPED_TRACE(afterFirstBlock ? "silent after block 1" : "silent from the start");
        Fresh(false, true);
        auto sent = SendAsync(dir.Write("source.bin", Pattern(4000)), 1);
        if (afterFirstBlock) {
            Put(line.a, "C");
            ASSERT_EQ(GetN(line.a, 1029), Block(0x02, 1, Pattern(1024), true));
            Put(line.a, "\x06");
        }
        start = NowMs();
        EXPECT_EQ(sent.get(), 2);
        EXPECT_TRUE(Waited(start, 10 * 10000.0));
    }
}
