// The published check values of the three updates, and the property both protocols rely on:
// running the update over data followed by its own check gives a fixed value.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "transfer/crc.h"

namespace {

const std::vector<std::uint8_t> kDigits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

std::uint16_t Crc16(const std::vector<std::uint8_t>& bytes) {
    std::uint16_t crc = 0;
    for (auto b : bytes) crc = Crc16Update(crc, b);
    return crc;
}

std::uint16_t Crc16Augmented(const std::vector<std::uint8_t>& bytes) {
    std::uint16_t crc = 0;
    for (auto b : bytes) crc = Crc16UpdateAugmented(crc, b);
    return crc;
}

std::uint32_t Crc32Run(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (auto b : bytes) crc = Crc32Update(crc, b);
    return crc;
}

TEST(Crc, PublishedCheckValues) {
    EXPECT_EQ(Crc16(kDigits), 0x31C3);
    auto augmented = kDigits;
    augmented.push_back(0);
    augmented.push_back(0);
    EXPECT_EQ(Crc16Augmented(augmented), 0x31C3);
    EXPECT_EQ(~Crc32Run(kDigits), 0xCBF43926u);
}

TEST(Crc, DataFollowedByItsCheckEndsAtTheFixedValue) {
    // Lengths and contents that exercise every table entry and both byte orders.
    for (std::size_t len : {0u, 1u, 9u, 128u, 1024u}) {
        std::vector<std::uint8_t> data(len);
        for (std::size_t i = 0; i < len; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + len);

        auto d16 = data;
        std::uint16_t c16 = Crc16(data);
        d16.push_back(static_cast<std::uint8_t>(c16 >> 8));
        d16.push_back(static_cast<std::uint8_t>(c16));
        EXPECT_EQ(Crc16(d16), 0) << len;

        auto da = data;
        da.push_back(0);
        da.push_back(0);
        std::uint16_t ca = Crc16Augmented(da);
        EXPECT_EQ(ca, c16) << len;
        da.resize(len);
        da.push_back(static_cast<std::uint8_t>(ca >> 8));
        da.push_back(static_cast<std::uint8_t>(ca));
        EXPECT_EQ(Crc16Augmented(da), 0) << len;

        auto d32 = data;
        std::uint32_t c32 = ~Crc32Run(data);
        for (int i = 0; i < 4; ++i) d32.push_back(static_cast<std::uint8_t>(c32 >> (8 * i)));
        EXPECT_EQ(Crc32Run(d32), Crc32Residue) << len;
    }
}

}  // namespace
