// The published check values of the three updates, and the fixed value CRC-32 leaves after
// data followed by its own check (what a ZMODEM reader compares against).
#include "transfer/crc.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Crc, PublishedCheckValuesAndTheResidue) {
    const std::string digits = "123456789";
    std::uint16_t crc16 = 0, augmented = 0;
    std::uint32_t crc32 = 0xFFFFFFFF;
    for (unsigned char c : digits) {
        crc16 = Crc16Update(crc16, c);
        augmented = Crc16UpdateAugmented(augmented, c);
        crc32 = Crc32Update(crc32, c);
    }
    EXPECT_EQ(crc16, 0x31C3);
    augmented = Crc16UpdateAugmented(Crc16UpdateAugmented(augmented, 0), 0);
    EXPECT_EQ(augmented, 0x31C3);
    EXPECT_EQ(~crc32, 0xCBF43926u);
    const std::uint32_t check = ~crc32;
    for (int i = 0; i < 4; ++i)
        crc32 = Crc32Update(crc32, static_cast<std::uint8_t>(check >> 8 * i));
    EXPECT_EQ(crc32, Crc32Residue);
}

}  // namespace
