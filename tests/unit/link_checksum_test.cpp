#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "download/download.h"

namespace {

TEST(LinkChecksum, KnownValuesOfBytesAndWords) {
    std::uint8_t lo = 0, hi = 0;
    for (char c : std::string("abc")) CDownload::UpdateCrcByte(c, lo, hi);
    EXPECT_EQ(lo | hi << 8, 0x66F0);

    lo = hi = 0;
    CDownload::UpdateCrc(0x6162, lo, hi);
    CDownload::UpdateCrc(0x6300, lo, hi);
    EXPECT_EQ(lo | hi << 8, 0xE1F0);
}

}  // namespace
