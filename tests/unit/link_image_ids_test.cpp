#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "download/image_ids.h"

namespace {

using Texts = std::vector<std::string>;

// The texts collected from size bytes of zeros with the given texts placed in them; the
// bytes after them are not zero, so that reading past the data shows.
Texts Collect(std::size_t size, const std::vector<std::pair<std::size_t, std::string>>& placed) {
    std::vector<std::uint8_t> bytes(size, 0);
    for (const auto& [at, text] : placed) std::memcpy(&bytes[at], text.data(), text.size());
    bytes.resize(size + 16, 'X');
    return image_ids::Collect(bytes.data(), size);
}

TEST(ImageIds, TextsOfThreeOrMoreStartFrom1280To1536AndNeverPastTheData) {
    EXPECT_EQ(Collect(4096, {{1280, "AB"}, {1283, "TARSK880 V2"}, {1295, "Release :: 01.23x"}}),
              (Texts{"TARSK880 V2", "Release :: 01.23x"}));
    // A text may start anywhere in the area, even inside another, and run past its end.
    EXPECT_EQ(Collect(4096, {{1277, "before"}, {1536, "LASTTEXT runs on"}, {1557, "beyond"}}),
              (Texts{"ore", "LASTTEXT runs on"}));
    // A text without its NUL ends with the data, and positions beyond it hold nothing.
    EXPECT_EQ(Collect(1535, {{1530, "ABCDE"}}), Texts{"ABCDE"});
    EXPECT_EQ(Collect(1534, {}), Texts{});
}

TEST(ImageIds, TableHoldsTenTextsOfAtMost255Characters) {
    std::vector<std::pair<std::size_t, std::string>> twelve;
    Texts ten;
    for (int i = 0; i < 12; ++i) twelve.emplace_back(1280 + i * 4, "T" + std::to_string(10 + i));
    for (int i = 0; i < 10; ++i) ten.push_back(twelve[i].second);
    EXPECT_EQ(Collect(4096, twelve), ten);
    EXPECT_EQ(Collect(4096, {{1280, std::string(300, 'L')}}), Texts{std::string(255, 'L')});
}

TEST(ImageIds, VersionIsWhatFollowsTheMarker) {
    std::string version;
    EXPECT_TRUE(image_ids::VersionOf("Release :: 01.23x", version) && version == "01.23");
    EXPECT_FALSE(image_ids::VersionOf("Release 01.23", version));
}

TEST(ImageIds, DeviceNameTableTakesTheFirstPatternInTableOrder) {
    const std::pair<const char*, const char*> rows[] = {
        {"TARSK880 V2", "PLV 200"},        {"fw NUX_1000 b", "NUX_1000"},
        {"ZAR_1000", "ZAR_1000"},          {"QEL_1000", "QEL_1000"},
        {"QEL_1000 NUX_1000", "NUX_1000"}, {"NUX_1000 TARSK880", "PLV 200"},
        {"something else", "PLV 200"},     {"", "PLV 200"},
    };
    for (const auto& [firmware, device] : rows)
        EXPECT_STREQ(image_ids::DeviceNameFor(firmware), device) << firmware;
}

}  // namespace
