// The simulated box firmware's FPGA frames against a hand-driven host.
#include <gtest/gtest.h>

#include "sim_test_host.h"

using namespace qel::sim;
using namespace qel::sim::test;

namespace {

using Firmware = SimBox;

TEST_F(Firmware, AnswersWithItsOwnSequenceNumberAndCatchesAHostThatCountsOnItsOwn) {
    BoxOptions opt;
    opt.mode = BoxMode::Firmware;
    opt.fpgaVersion = 123;
    opt.fpgaFirstSeq = 0x40;
    Start(opt);
    // The host's first frame carries 0; the box answers with its own count.
    host.Send(Bytes{0x04, 0x00, 0x09, 0x00, 0x00, 0x00, 0x1C, 0x80, kFpgaVersion, 0, 0, 3});
    EXPECT_EQ(host.GetN(14), (Bytes{0x04, 0x00, 0x0B, 0x00, 0x00, 0x40, 0x9C, 0x00, 0x00, 0x01,
                                    0x23, 0x00, 0x00, 0x03}));
    EXPECT_TRUE(box->Violations().empty());
    // A handshake numbered 2 instead of 0x41.
    host.Send(Bytes{0x04, 0x00, 0x07, 0x02, 0x00, 0x02, 0x09, 0x00, 0x00, 0x03});
    const Bytes reply = host.GetN(14);
    ASSERT_EQ(reply.size(), 14u);
    EXPECT_EQ(reply[5], 0x41);
    ASSERT_FALSE(box->Violations().empty());
    EXPECT_NE(box->Violations()[0].find("sequence number 2, expected 65"), std::string::npos)
        << box->Violations()[0];
}

}  // namespace
