#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "download/download.h"

namespace {

std::uint16_t Crc(std::uint8_t lo, std::uint8_t hi) {
    return static_cast<std::uint16_t>(lo | hi << 8);
}

// The same checksum computed bit by bit: reflected polynomial 0x8408, least significant
// bit first, 20 bits per update.
std::uint16_t BitwiseUpdate(std::uint16_t crc, std::uint32_t value) {
    for (int bit = 0; bit < 20; ++bit) {
        bool feed = ((crc ^ (value >> bit)) & 1u) != 0;
        crc = static_cast<std::uint16_t>(crc >> 1);
        if (feed) crc ^= 0x8408;
    }
    return crc;
}

TEST(LinkChecksum, KnownValuesOfBytesAndWords) {
    std::uint8_t lo = 0, hi = 0;
    for (char c : std::string("abc")) CDownload::UpdateCrcByte(c, lo, hi);
    EXPECT_EQ(Crc(lo, hi), 0x66F0);

    lo = hi = 0;
    CDownload::UpdateCrc(0x6162, lo, hi);
    CDownload::UpdateCrc(0x6300, lo, hi);
    EXPECT_EQ(Crc(lo, hi), 0xE1F0);

    lo = hi = 0;
    for (int i = 0; i < 8; ++i) CDownload::UpdateCrcByte(0, lo, hi);
    EXPECT_EQ(Crc(lo, hi), 0);
}

TEST(LinkChecksum, EqualsTheBitwiseReflectedCrcOverTwentyBits) {
    std::mt19937 random(7);
    std::uint8_t lo = 0, hi = 0;
    std::uint16_t reference = 0;
    for (int i = 0; i < 2000; ++i) {
        std::uint16_t word = static_cast<std::uint16_t>(random());
        if (i % 3 == 0) {
            std::uint8_t byte = static_cast<std::uint8_t>(word);
            CDownload::UpdateCrcByte(byte, lo, hi);
            reference = BitwiseUpdate(reference, byte);
        } else {
            CDownload::UpdateCrc(word, lo, hi);
            reference = BitwiseUpdate(reference, word);
        }
        ASSERT_EQ(Crc(lo, hi), reference) << "after update " << i;
    }
}

}  // namespace
