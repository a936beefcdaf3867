#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "download/image_ids.h"

namespace {

// An image area of the given size, 0xFF outside the texts, with texts placed at positions.
struct Image {
    std::vector<std::uint8_t> bytes;
    explicit Image(std::size_t size, std::uint8_t fill = 0) : bytes(size, fill) {}
    Image& Put(std::size_t at, const std::string& text) {
        std::memcpy(bytes.data() + at, text.data(), text.size());
        if (at + text.size() < bytes.size()) bytes[at + text.size()] = 0;
        return *this;
    }
    std::vector<std::string> Collect() const {
        return image_ids::Collect(bytes.data(), bytes.size());
    }
};

TEST(ImageIds, ShortTextsAreSkippedAndLongOnesCountInOrder) {
    Image image(4096);
    image.Put(1280, "AB").Put(1283, "TARSK880 V2").Put(1295, "Release :: 01.23x");
    auto ids = image.Collect();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[0], "TARSK880 V2");
    std::string version;
    ASSERT_TRUE(image_ids::VersionOf(ids[1], version));
    EXPECT_EQ(version, "01.23");
    EXPECT_FALSE(image_ids::VersionOf("Release 01.23", version));
    ASSERT_TRUE(image_ids::VersionOf("x:: 1.2", version));
    EXPECT_EQ(version, "1.2");
}

TEST(ImageIds, TextsStartUpToPosition1536AndRunPastIt) {
    Image image(4096);
    image.Put(1270, "before").Put(1536, "LASTTEXT runs on").Put(1537 + 20, "beyond");
    auto ids = image.Collect();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], "LASTTEXT runs on");

    // A text may start inside the area at any position, even in the middle of another.
    Image straddling(4096);
    straddling.Put(1277, "before");
    ids = straddling.Collect();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], "ore");
}

TEST(ImageIds, NothingIsReadPastTheDataThatWasRead) {
    // A first read of 1535 bytes: a text at 1530 without its NUL ends with the data, and
    // the positions 1535 and 1536 hold nothing.
    Image image(1535, 0);
    std::memcpy(image.bytes.data() + 1530, "ABCDE", 5);
    auto ids = image.Collect();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], "ABCDE");

    Image tail(1534, 0);
    EXPECT_TRUE(tail.Collect().empty());
}

TEST(ImageIds, TableHoldsTenTextsOfAtMost255Characters) {
    Image image(4096);
    for (int i = 0; i < 12; ++i) image.Put(1280 + i * 4, "T" + std::to_string(10 + i));
    auto ids = image.Collect();
    ASSERT_EQ(ids.size(), 10u);
    EXPECT_EQ(ids[0], "T10");
    EXPECT_EQ(ids[9], "T19");

    Image longOne(4096);
    longOne.Put(1280, std::string(300, 'L'));
    ids = longOne.Collect();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], std::string(255, 'L'));
}

TEST(ImageIds, DeviceNameTableTakesTheFirstPatternInTableOrder) {
    EXPECT_STREQ(image_ids::DeviceNameFor("TARSK880 V2"), "PLV 200");
    EXPECT_STREQ(image_ids::DeviceNameFor("fw NUX_1000 b"), "NUX_1000");
    EXPECT_STREQ(image_ids::DeviceNameFor("ZAR_1000"), "ZAR_1000");
    EXPECT_STREQ(image_ids::DeviceNameFor("QEL_1000"), "QEL_1000");
    EXPECT_STREQ(image_ids::DeviceNameFor("QEL_1000 NUX_1000"), "NUX_1000");
    EXPECT_STREQ(image_ids::DeviceNameFor("NUX_1000 TARSK880"), "PLV 200");
    EXPECT_STREQ(image_ids::DeviceNameFor("something else"), "PLV 200");
    EXPECT_STREQ(image_ids::DeviceNameFor(""), "PLV 200");
}

}  // namespace
