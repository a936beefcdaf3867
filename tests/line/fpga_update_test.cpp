// The FPGA update against the simulated box firmware on the in-memory line (what the box
// received and at which rate), and the host's way through hand-made replies that the box's
// firmware would not send. The console text and exit codes are the real tool's, in e2e.

#include <thread>

#include "download/fpga_frame.h"
#include "line/verify_box_fixture.h"

namespace {

using namespace box_test;
using namespace qel::dev;

constexpr std::uint8_t REQUEST = 0x1C, HANDSHAKE = 0x09;

class FpgaUpdate : public BoxFixture {
  protected:
    void SetUp() override {
        BoxFixture::SetUp();
        StartBox([](auto& o) {
            o.mode = qel::sim::BoxMode::Firmware;
            o.fpgaVersion = 100;
        });
    }
    int Update(const std::string& path) {
        int rc = -2;
        out = Console([&] { rc = client->UpdateFpga(path, ""); });
        return rc;
    }
    std::string out;
};

TEST_F(FpgaUpdate, SendsTheDataAfterTheHeaderInOrderAndAtTheRateOfEachPhase) {
    // Real time (13 s): the 100 ms pause before each data frame is what lets the box take up
    // the new rate; sped up, a loaded machine's box thread missed it and heard garbled frames.
    qel::dev::SetTimeScale(1);
    const Bytes vme = qel::sim::MakeVmeFile(65536, 101);
    EXPECT_EQ(Update(File("fpga.vme", vme)), 0);
    EXPECT_EQ(client->GetError(), 0);
    EXPECT_EQ(box->FpgaData(), Bytes(vme.begin() + 14, vme.end()));
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});

    // Version query and handshake at 19200; the start request still at 19200, its handshake
    // and every data frame at 57600; the end request at 57600 and its handshake at 19200.
    const std::vector<qel::sim::FpgaFrameRecord> frames = box->FpgaFrames();
    ASSERT_EQ(frames.size(), 2u * (2 + 128 + 1));
    auto expect = [&](std::size_t i, std::uint8_t op, std::uint32_t rate, std::uint32_t hsRate) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].type, REQUEST);
        EXPECT_EQ(frames[i].op, op);
        EXPECT_EQ(frames[i].rate, rate);
        EXPECT_EQ(frames[i + 1].type, HANDSHAKE);
        EXPECT_EQ(frames[i + 1].rate, hsRate);
    };
    expect(0, 0, 19200, 19200);
    expect(2, 2, 19200, 57600);
    for (std::size_t i = 4; i < 4 + 256; i += 2) {
        expect(i, 3, 57600, 57600);
        EXPECT_EQ(frames[i].length, i + 2 < 4 + 256 ? 0x0209 : 0x01FB);
    }
    expect(260, 4, 57600, 19200);
    EXPECT_EQ(line.a->BaudRate(), 19200u);
}

TEST_F(FpgaUpdate, FileChecksSendNothing) {
    Bytes wrongCase = qel::sim::MakeVmeFile(65536, 101);
    wrongCase[2] = 'v';
    const struct {
        std::string path;
        int code;
    } cases[] = {
        {File("short.vme", qel::sim::MakeVmeFile(65535, 101)), RESULT_FILE_BAD_SIZE},
        {File("long.vme", qel::sim::MakeVmeFile(393217, 101)), RESULT_FILE_BAD_SIZE},
        {File("case.vme", wrongCase), RESULT_NO_FILE_ID},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Update(c.path), c.code) << c.path;
        EXPECT_EQ(client->GetError(), c.code) << c.path;
        EXPECT_EQ(out, "") << c.path;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(box->FpgaFrames().empty());
    EXPECT_EQ(line.a->BaudRate(), 19200u);
}

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

// A reply waits on the line before its request goes out: the host sends without purging and
// then reads, so it meets the reply all the same.
struct FpgaRequest : BoxFixture {
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
