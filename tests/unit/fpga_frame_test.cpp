#include "download/fpga_frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(FpgaFrame, RequestsCarryTheirOperationAndDataBetweenFixedBytes) {
    std::uint8_t frame[fpga::MAX_FRAME];
    const std::uint8_t data[] = {0xAA, 0x03, 0x04};
    const std::size_t n = fpga::BuildRequest(frame, fpga::OP_DATA, data, 3);
    EXPECT_EQ(n, fpga::FrameLength(frame));
    EXPECT_EQ(
        std::vector<std::uint8_t>(frame, frame + n),
        (std::vector<std::uint8_t>{4, 0, 12, 0, 0, 0, 0x1C, 0x80, 3, 0xAA, 0x03, 0x04, 0, 0, 3}));
}

TEST(FpgaFrame, FileVersionIsTheNumberAfterThePrefix) {
    for (auto [header, version] : {std::pair{"coVersion 123\n", 123},
                                   {"coVersion 99999", 9999},
                                   {"coVersion   7\0x", 7},
                                   {"coVersion abcd", 0},
                                   {"coVersion\0\0\0\0\0", 0}}) {  // the fifteenth byte is data
        EXPECT_EQ(fpga::FileVersion(reinterpret_cast<const std::uint8_t*>(header)), version);
    }
}

TEST(FpgaFrame, BoxVersionReadsNibblesAsDigitsUpToTheFirstNonDigit) {
    EXPECT_EQ(fpga::BoxVersion(0x01, 0x23), 123);
    EXPECT_EQ(fpga::BoxVersion(0xF1, 0x23), 123);  // only the low nibble of byte 9 counts
    EXPECT_EQ(fpga::BoxVersion(0x0A, 0x23), 0);
    EXPECT_EQ(fpga::BoxVersion(0x04, 0x5C), 45);
    EXPECT_EQ(fpga::BoxVersion(0x00, 0x07), 7);
}

}  // namespace
