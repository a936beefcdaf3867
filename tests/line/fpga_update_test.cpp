// The FPGA update against the simulated box firmware on the in-memory line: what the box
// received and at which rate. The console text and exit codes are the real tool's, in e2e.

#include <thread>

#include "line/verify_box_fixture.h"

namespace {

using namespace box_test;

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

}  // namespace
