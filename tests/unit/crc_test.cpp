// The published check values of the three updates, and the property both protocols rely on:
// running the update over data followed by its own check gives a fixed value.
#include "transfer/crc.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename Crc, typename Update>
Crc Run(Crc crc, Update update, const Bytes& bytes) {
    for (auto b : bytes) crc = update(crc, b);
    return crc;
}
const auto Crc16 = [](const Bytes& b) { return Run<std::uint16_t>(0, Crc16Update, b); };
const auto Augmented = [](const Bytes& b) {
    return Run<std::uint16_t>(0, Crc16UpdateAugmented, b);
};
const auto Crc32 = [](const Bytes& b) { return Run<std::uint32_t>(0xFFFFFFFF, Crc32Update, b); };

TEST(Crc, PublishedCheckValues) {
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(digits), 0x31C3);
    Bytes augmented = digits;
    augmented.insert(augmented.end(), {0, 0});
    EXPECT_EQ(Augmented(augmented), 0x31C3);
    EXPECT_EQ(~Crc32(digits), 0xCBF43926u);
}

TEST(Crc, DataFollowedByItsCheckEndsAtTheFixedValue) {
    // Lengths and contents that exercise every table entry and both byte orders.
    for (std::size_t len : {0u, 1u, 9u, 128u, 1024u}) {
        Bytes data(len);
        for (std::size_t i = 0; i < len; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + len);
        const std::uint16_t c16 = Crc16(data);
        Bytes d16 = data;
        d16.insert(d16.end(),
                   {static_cast<std::uint8_t>(c16 >> 8), static_cast<std::uint8_t>(c16)});
        EXPECT_EQ(Crc16(d16), 0) << len;
        // The augmented update, fed the check's bytes, ends at 0 as well.
        EXPECT_EQ(Augmented(d16), 0) << len;

        const std::uint32_t c32 = ~Crc32(data);
        Bytes d32 = data;
        for (int i = 0; i < 4; ++i) d32.push_back(static_cast<std::uint8_t>(c32 >> (8 * i)));
        EXPECT_EQ(Crc32(d32), Crc32Residue) << len;
    }
}

}  // namespace
