#include <gtest/gtest.h>

#include "sim/box.h"
#include "sim_test_host.h"

using namespace qel;
using namespace qel::sim;
using namespace qel::sim::test;

namespace {

Bytes Request(std::uint8_t seq, std::uint8_t op, const Bytes& data = {}) {
    const std::size_t n = data.size() + 9;
    Bytes f{0x04,
            static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n & 0xFF),
            0,
            0,
            seq,
            0x1C,
            0x80,
            op};
    for (std::uint8_t b : data) f.push_back(b);
    for (std::uint8_t b : {0, 0, 3}) f.push_back(b);
    return f;
}

Bytes Handshake(std::uint8_t seq) {
    return {0x04, 0x00, 0x07, seq, 0x00, seq, 0x09, 0x00, 0x00, 0x03};
}

struct Firmware : ::testing::Test {
    dev::VirtualLine line = dev::VirtualLine::Create();
    Host host{line.a};
    std::unique_ptr<Box> box;
    std::uint8_t seq = 0;

    void Start(BoxOptions opt = {}) {
        opt.mode = BoxMode::Firmware;
        opt.fpgaProgramMs = 50;
        host.SetRate(19200);
        box = std::make_unique<Box>(MakeVirtualWire(line.b, line.a), opt);
        box->Start();
    }
    void TearDown() override {
        if (box) box->Stop();
    }
    // Sends a frame and reads the 14-byte reply; follows the box's sequence number.
    Bytes Exchange(const Bytes& frame, dev::DWORD switchTo = 0, int ms = 2000) {
        host.Send(frame);
        if (switchTo) {
            host.SetRate(switchTo);
            host.end->PurgeComm(dev::PURGE_RXCLEAR);
        }
        Bytes reply = host.GetN(14, ms);
        if (reply.size() == 14) seq = static_cast<std::uint8_t>(reply[5] + 1);
        return reply;
    }
};

TEST_F(Firmware, AnswersTheVersionQueryWithItsOwnSequenceNumber) {
    BoxOptions opt;
    opt.fpgaVersion = 123;
    opt.fpgaFirstSeq = 0x40;
    Start(opt);
    // The host's first frame carries 0; the box answers with its own count.
    EXPECT_EQ(Exchange(Request(0, kFpgaVersion)),
              (Bytes{0x04, 0x00, 0x0B, 0x00, 0x00, 0x40, 0x9C, 0x00, 0x00, 0x01, 0x23, 0x00, 0x00,
                     0x03}));
    Bytes hs = Exchange(Handshake(seq));
    ASSERT_EQ(hs.size(), 14u);
    EXPECT_EQ(hs[5], 0x41);
    EXPECT_EQ(hs[6], 0x09);
    EXPECT_TRUE(box->Violations().empty());

    // A host that counts on its own instead of following the box is caught.
    Exchange(Request(2, kFpgaVersion));
    ASSERT_FALSE(box->Violations().empty());
    EXPECT_NE(box->Violations()[0].find("sequence number 2, expected 66"), std::string::npos)
        << box->Violations()[0];
}

TEST_F(Firmware, TakesTheDataAt57600AndRepliesToTheEndAt19200) {
    Start();
    ASSERT_EQ(Exchange(Request(seq, kFpgaVersion)).size(), 14u);
    ASSERT_EQ(Exchange(Handshake(seq)).size(), 14u);
    // The host switches right after sending the start request; the reply comes at 57600.
    Bytes reply = Exchange(Request(seq, kFpgaStart), 57600);
    ASSERT_EQ(reply.size(), 14u);
    EXPECT_EQ(reply[6], 0x9C);
    ASSERT_EQ(Exchange(Handshake(seq)).size(), 14u);
    const Bytes part1{1, 2, 3}, part2{0xFF, 0x04, 0x03};
    for (const Bytes& part : {part1, part2}) {
        ASSERT_EQ(Exchange(Request(seq, kFpgaData, part))[8], 0);
        ASSERT_EQ(Exchange(Handshake(seq)).size(), 14u);
    }
    reply = Exchange(Request(seq, kFpgaEnd), 19200);
    ASSERT_EQ(reply.size(), 14u);
    EXPECT_EQ(reply[8], 0);
    ASSERT_EQ(Exchange(Handshake(seq)).size(), 14u);

    EXPECT_EQ(box->FpgaData(), (Bytes{1, 2, 3, 0xFF, 0x04, 0x03}));
    std::vector<std::uint32_t> rates;
    for (const auto& f : box->FpgaFrames()) rates.push_back(f.rate);
    EXPECT_EQ(rates, (std::vector<std::uint32_t>{19200, 19200, 19200, 57600, 57600, 57600, 57600,
                                                 57600, 57600, 19200}));
    EXPECT_TRUE(box->Violations().empty()) << box->Violations()[0];
}

TEST_F(Firmware, ReportsTheStatusAskedForAndFallsSilentOnRequest) {
    BoxOptions opt;
    opt.faults.fpgaStatusAt = {kFpgaData, 1};
    opt.faults.fpgaStatus = 22;
    opt.faults.fpgaSilentFrom = {kFpgaData, 2};
    Start(opt);
    EXPECT_EQ(Exchange(Request(seq, kFpgaData, {1}))[8], 0);
    Exchange(Handshake(seq));
    EXPECT_EQ(Exchange(Request(seq, kFpgaData, {2}))[8], 22);
    Exchange(Handshake(seq));
    EXPECT_TRUE(Exchange(Request(seq, kFpgaData, {3}), 0, 300).empty());
    EXPECT_TRUE(Exchange(Handshake(seq), 0, 300).empty());
    EXPECT_EQ(box->FpgaFrames().size(), 6u) << "heard, not answered";
}

TEST_F(Firmware, ABreakBringsUpTheBootloader) {
    Start();
    host.Send("PLV 200");
    host.Send(std::uint8_t{0});
    EXPECT_EQ(host.Get(300), -1) << "the firmware does not answer a device name";
    host.end->SetCommBreak();
    host.end->ClearCommBreak();
    EXPECT_TRUE(host.Prompt());
    EXPECT_TRUE(host.Name("PLV 200"));
}

}  // namespace
