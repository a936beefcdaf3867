#include "download/fpga_frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::uint8_t> Request(std::uint8_t op, const std::vector<std::uint8_t>& data = {}) {
    std::uint8_t frame[fpga::MAX_FRAME];
    const std::size_t n = fpga::BuildRequest(frame, op, data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(n, fpga::FrameLength(frame));
    return {frame, frame + n};
}

TEST(FpgaFrame, RequestsCarryTheirOperationBetweenFixedBytes) {
    using V = std::vector<std::uint8_t>;
    EXPECT_EQ(Request(fpga::OP_VERSION), (V{4, 0, 9, 0, 0, 0, 0x1C, 0x80, 0, 0, 0, 3}));
    EXPECT_EQ(Request(fpga::OP_START), (V{4, 0, 9, 0, 0, 0, 0x1C, 0x80, 2, 0, 0, 3}));
    EXPECT_EQ(Request(fpga::OP_END), (V{4, 0, 9, 0, 0, 0, 0x1C, 0x80, 4, 0, 0, 3}));
    EXPECT_EQ(Request(fpga::OP_DATA, {0xAA, 0x03, 0x04}),
              (V{4, 0, 12, 0, 0, 0, 0x1C, 0x80, 3, 0xAA, 0x03, 0x04, 0, 0, 3}));
}

TEST(FpgaFrame, FileVersionIsTheNumberAfterThePrefix) {
    auto version = [](const char* header) {
        return fpga::FileVersion(reinterpret_cast<const std::uint8_t*>(header));
    };
    EXPECT_EQ(version("coVersion 123\n"), 123);
    EXPECT_EQ(version("coVersion 99999"), 9999);  // the fifteenth byte is data
    EXPECT_EQ(version("coVersion   7\0x"), 7);
    EXPECT_EQ(version("coVersion abcd"), 0);
    EXPECT_EQ(version("coVersion\0\0\0\0\0"), 0);
}

TEST(FpgaFrame, BoxVersionReadsNibblesAsDigitsUpToTheFirstNonDigit) {
    EXPECT_EQ(fpga::BoxVersion(0x01, 0x23), 123);
    EXPECT_EQ(fpga::BoxVersion(0xF1, 0x23), 123);  // only the low nibble of byte 9 counts
    EXPECT_EQ(fpga::BoxVersion(0x0A, 0x23), 0);
    EXPECT_EQ(fpga::BoxVersion(0x04, 0x5C), 45);
    EXPECT_EQ(fpga::BoxVersion(0x00, 0x07), 7);
}

}  // namespace
