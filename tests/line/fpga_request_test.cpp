// The FPGA reply handling against hand-made replies that the box's real firmware would not
// send, and the host's way through them. A reply waits on the line before its request goes
// out: the host sends without purging and then reads, so it meets the reply all the same.

#include <thread>

#include "download/fpga_frame.h"
#include "line/verify_box_fixture.h"

using namespace qel::dev;
using box_test::Bytes;

namespace {

// A reply frame: start byte, length, body with sequence, type, byte 7, status and two more.
Bytes Reply(std::uint8_t sequence, std::uint8_t type, std::uint8_t status = 0,
            std::uint8_t byte9 = 0) {
    return {4, 0, 9, 0, 0, sequence, type, 0x77, status, byte9, 0, 0};
}

// A version reply that announces `announced` body bytes and is `size` bytes long in all.
Bytes Announcing(int announced, std::size_t size) {
    Bytes reply = Reply(0, 0x9C);
    reply[1] = static_cast<std::uint8_t>(announced >> 8);
    reply[2] = static_cast<std::uint8_t>(announced & 0xFF);
    reply.resize(size, 0xEE);
    return reply;
}

struct FpgaRequest : box_test::BoxFixture {
    void SetUp() override {
        BoxFixture::SetUp();
        OpenClient();
    }
    void Box(const Bytes& bytes) { line.b->Write(bytes.data(), static_cast<DWORD>(bytes.size())); }
    // Sends the version query as the update does; the result and the console.
    std::pair<int, std::string> Query() {
        std::uint8_t frame[fpga::MAX_FRAME];
        fpga::BuildRequest(frame, fpga::OP_VERSION, nullptr, 0);
        int rc = -2;
        const std::string out = Console([&] { rc = client->FpgaRequest(frame, 0, 10, false); });
        return {rc, out};
    }
};

TEST_F(FpgaRequest, OddRepliesEndInTheirErrorLineWithinBoundedTime) {
    Bytes noisyStart{'x', 'y', 'z'}, wrongType = Reply(0, 0x09, 0, 0x12);
    const Bytes good = Reply(0, 0x9C);
    noisyStart.insert(noisyStart.end(), good.begin(), good.end());
    const struct {
        Bytes reply;
        int rc;
        std::string out;
    } rows[] = {
        {Announcing(252, 3 + 252), 0, ""},
        {noisyStart, 0, ""},
        // Lengths beyond the receive area are never used to read.
        {Announcing(253, 3 + 253), RESULT_FPGA_NO_ANSWER, "error 102 253\n"},
        {Announcing(0x100, 3 + 0x100), RESULT_FPGA_NO_ANSWER, "error 102 256\n"},
        {Announcing(0xFFFF, 600), RESULT_FPGA_NO_ANSWER, "error 102 65535\n"},
        {Announcing(9, 8), RESULT_FPGA_NO_ANSWER, "error 102 9\n"},
        // Both length bytes time out and read as the low byte of the time-out result.
        {Bytes{4}, RESULT_FPGA_NO_ANSWER, "error 102 64250\n"},
        {wrongType, RESULT_FPGA_NO_ANSWER, "error 103 9c <> 09 77 00 12 \n"},
        {Bytes(60, 0x55), RESULT_FPGA_NO_ANSWER, "error 101 55\n"},  // fifty are silence
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.out);
        Box(row.reply);
        const double start = NowMs();
        auto [rc, out] = Query();
        EXPECT_LT(NowMs() - start, 3 * 2000 + 300);
        EXPECT_EQ(rc, row.rc);
        EXPECT_EQ(client->GetError(), row.rc ? row.rc : RESULT_OK);
        EXPECT_EQ(out, row.out);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        V24Purge(port, V24_INPUT);
    }
}

TEST_F(FpgaRequest, HostFollowsTheBoxsSequenceNumbersAndIgnoresTheHandshakeStatus) {
    Box(Reply(0x40, 0x9C));
    Box(Reply(0x48, fpga::TYPE_HANDSHAKE, 0x42));
    Box(Reply(0x50, 0x9C));
    EXPECT_EQ(Query(), std::make_pair(0, std::string()));
    EXPECT_EQ(Console([&] { EXPECT_EQ(client->FpgaHandshake(), 0); }), "");
    EXPECT_EQ(Query().first, 0);

    Bytes sent(34);
    for (std::size_t got = 0; got < sent.size() && line.b->WaitReadable(1000);)
        got += line.b->Read(sent.data() + got, static_cast<DWORD>(sent.size() - got)).count;
    EXPECT_EQ(sent[5], 0x00);
    // The handshake carries the box's number + 1 in bytes 3 and 5.
    EXPECT_EQ(sent[12 + 3], 0x41);
    EXPECT_EQ(sent[12 + 5], 0x41);
    EXPECT_EQ(sent[22 + 5], 0x49);
}

TEST_F(FpgaRequest, ProgressWhileWaitingForASilentBox) {
    std::uint8_t frame[fpga::MAX_FRAME];
    fpga::BuildRequest(frame, fpga::OP_END, nullptr, 0);
    const std::string progress =
        Console([&] { EXPECT_EQ(client->FpgaRequest(frame, 0, 2, true), RESULT_FPGA_NO_ANSWER); });
    EXPECT_EQ(progress.substr(0, 12), " 0.0%\n 2.0%\n");
    EXPECT_EQ(progress.substr(progress.size() - 19), "98.0%\nerror 101 30\n");
}

}  // namespace
