// XMODEM against Debian's lrzsz, which nobody here wrote: our sender to rx and sx to our
// receiver, through the null-modem (lrzsz on pipes, our port on the pseudo-terminal), in
// both check modes and both block sizes, for the sizes around the block boundaries.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "e2e/nullmodem_line.h"
#include "e2e/transfer_files.h"
#include "serial/v24.h"
#include "transfer/xmodem.h"

using namespace qel::test;

namespace {

// What a transfer may take at most, lrzsz's start-up and a 1 MiB file included.
constexpr int kTransferMs = 120000;

// The largest block our receiver took in one step, from its byte counts.
int g_lastBytes = 0, g_largestBlock = 0;
int LargestBlock(int, int bytes, int) {
    g_largestBlock = std::max(g_largestBlock, bytes - g_lastBytes);
    g_lastBytes = bytes;
    return 0;
}

// Sizes on either side of a block's end, in both check modes and both block sizes, and what
// our sender's blocks add up to (1024-byte blocks while more than 896 bytes are left).
struct Case {
    const char* name;
    bool crc, use1k;
    std::size_t size, sent;
};
const Case kCases[] = {
    {"Empty", true, true, 0, 0},
    {"OneShortBlock", false, false, 100, 128},
    {"SevenSmallBlocksNotAPaddedBigOne", true, true, 896, 896},
    {"ExactBlock", true, true, 1024, 1024},
    {"BlockAndOne", false, true, 1025, 1152},
    {"OneMiB", true, true, 1 << 20, 1 << 20},
    {"OneMiBChecksum128", false, false, 1 << 20, 1 << 20},
};

struct XmodemLrzsz : testing::TestWithParam<Case> {};

}  // namespace

TEST_P(XmodemLrzsz, OurSenderToRx) {
    const Case& c = GetParam();
    ASSERT_NE(ToolPath("rx"), "") << "lrzsz is not installed (build.sh installs it)";
    NullModemLine lr;
    const std::string data = RandomBytes(c.size, 1);
    const std::string source = lr.dir.Write("source.bin", data);
    // rx chooses the check: -c asks for CRC.
    lr.StartInDir(std::string("rx -q -b ") + (c.crc ? "-c " : "") + "received.bin", {"--unpaced"},
                  115200);
    EXPECT_EQ(XmSend(lr.port, source.c_str(), c.use1k, nullptr), 0);
    EXPECT_EQ(lr.Finish(kTransferMs), 0) << "rx's exit code";
    std::string expected = data;
    expected.resize(c.sent, '\0');
    EXPECT_TRUE(lr.dir.Read("received.bin") == expected)
        << "received " << lr.dir.Read("received.bin").size() << " bytes, expected "
        << expected.size();
}

TEST_P(XmodemLrzsz, SxToOurReceiver) {
    const Case& c = GetParam();
    ASSERT_NE(ToolPath("sx"), "") << "lrzsz is not installed (build.sh installs it)";
    NullModemLine lr;
    const std::string data = RandomBytes(c.size, 1);
    lr.dir.Write("source.bin", data);
    const std::string target = lr.dir.path + "/received.bin";
    lr.StartInDir(std::string("sx -q -b ") + (c.use1k ? "-k " : "") + "source.bin", {"--unpaced"},
                  115200);
    g_lastBytes = g_largestBlock = 0;
    EXPECT_EQ(XmReceive(lr.port, target.c_str(), c.crc, LargestBlock), 0);
    EXPECT_EQ(lr.Finish(kTransferMs), 0) << "sx's exit code";
    if (c.size > 1024) {
        EXPECT_EQ(g_largestBlock, c.use1k ? 1024 : 128) << "sx's block size";
    }
    // sx pads its last block with a filler of its own choosing.
    const std::string got = lr.dir.Read("received.bin");
    ASSERT_GE(got.size(), data.size());
    EXPECT_TRUE(got.compare(0, data.size(), data) == 0) << "the file's own bytes differ";
    EXPECT_EQ(got.size() % 128, 0u);
    EXPECT_LT(got.size() - data.size(), 1024u);
    const std::string padding = got.substr(data.size());
    EXPECT_EQ(padding.find_first_not_of(padding.empty() ? '\0' : padding[0]), std::string::npos)
        << "padding is one filler byte";
}

INSTANTIATE_TEST_SUITE_P(Sizes, XmodemLrzsz, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });
