// The simulated box firmware's FPGA frames against frames written by hand.

#include "line/verify_box_fixture.h"

namespace {

using box_test::Bytes;

struct Firmware : box_test::BoxFixture {
    Bytes Exchange(const Bytes& frame) {
        V24WriteBuffer(port, frame.data(), static_cast<int>(frame.size()));
        Bytes reply;
        for (unsigned char b = 0; reply.size() < 14 && V24ReadByteTimed(port, &b, 1000) == 1;)
            reply.push_back(b);
        return reply;
    }
};

TEST_F(Firmware, AnswersWithItsOwnSequenceNumberAndCatchesAHostThatCountsOnItsOwn) {
    StartBox([](auto& o) {
        o.mode = qel::sim::BoxMode::Firmware;
        o.fpgaVersion = 123;
        o.fpgaFirstSeq = 0x40;
    });
    V24SetLine(port, 19200, 8, 'N', 1);
    // The host's first frame carries 0; the box answers with its own count.
    EXPECT_EQ(Exchange({0x04, 0x00, 0x09, 0x00, 0x00, 0x00, 0x1C, 0x80, 0, 0, 0, 3}),
              (Bytes{0x04, 0x00, 0x0B, 0x00, 0x00, 0x40, 0x9C, 0x00, 0x00, 0x01, 0x23, 0x00, 0x00,
                     0x03}));
    EXPECT_TRUE(box->Violations().empty());
    // A handshake numbered 2 instead of 0x41.
    const Bytes reply = Exchange({0x04, 0x00, 0x07, 0x02, 0x00, 0x02, 0x09, 0x00, 0x00, 0x03});
    ASSERT_EQ(reply.size(), 14u);
    EXPECT_EQ(reply[5], 0x41);
    ASSERT_FALSE(box->Violations().empty());
    EXPECT_NE(box->Violations()[0].find("sequence number 2, expected 65"), std::string::npos)
        << box->Violations()[0];
}

}  // namespace
