// The simulated box firmware's FPGA frames against a hand-driven host.
#include <gtest/gtest.h>

#include "sim_test_host.h"

using namespace qel;
using namespace qel::sim;
using namespace qel::sim::test;

namespace {

Bytes Request(std::uint8_t seq, std::uint8_t op) {
    return {0x04, 0x00, 0x09, 0x00, 0x00, seq, 0x1C, 0x80, op, 0x00, 0x00, 0x03};
}

Bytes Handshake(std::uint8_t seq) {
    return {0x04, 0x00, 0x07, seq, 0x00, seq, 0x09, 0x00, 0x00, 0x03};
}

struct Firmware : SimBox {
    std::uint8_t seq = 0;

    void Start(BoxOptions opt = {}) {
        opt.mode = BoxMode::Firmware;
        SimBox::Start(std::move(opt));
    }
    // Sends a frame and reads the 14-byte reply; follows the box's sequence number.
    Bytes Exchange(const Bytes& frame) {
        host.Send(frame);
        Bytes reply = host.GetN(14);
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
    const Bytes hs = Exchange(Handshake(seq));
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

TEST_F(Firmware, ABreakBringsUpTheBootloader) {
    Start();
    EXPECT_FALSE(host.Name("PLV 200")) << "the firmware does not answer a device name";
    host.end->SetCommBreak();
    host.end->ClearCommBreak();
    EXPECT_EQ(host.Get(), 'r');
    EXPECT_TRUE(host.Name("PLV 200"));
}

}  // namespace
