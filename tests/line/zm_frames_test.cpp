// ZMODEM frames on the in-memory line: the bytes a peer sees, and what the reader makes of the
// bytes a peer sends.
#include "transfer/zm_frames.h"

#include <gtest/gtest.h>

#include <string>

#include "line/v24_line_fixture.h"
#include "transfer/zm_file.h"

namespace {

using v24test::V24Line;
using namespace std::string_literals;

// A hex ZRINIT with flags 0x27 as it goes on the wire, XON included.
const std::string kZrinit27 = std::string("**\x18") + "B0100000027fed4\r\n\x11";

struct ZmFrames : V24Line {
    void SetUp() override {
        V24Line::SetUp();
        Open();
        SetRate(115200);
        V24SetTimeout(h, 200);
    }
    // Feeds what our side sent back into our side, as a loop-back plug would.
    void LoopBack() { Send(Received()); }
    std::string Escaped(std::uint8_t byte) {
        std::uint8_t out[2];
        int n = ZmEscapeByte(byte, out);
        return std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
    }
};

TEST_F(ZmFrames, HexHeadersCarryTheirDigitsAndCheck) {
    ZmSendHeader(h, ZHEX, ZRINIT, ZmFlags(0x27));
    EXPECT_EQ(Received(), kZrinit27);
    ZmSendHeader(h, ZHEX, ZRQINIT, 0);
    EXPECT_EQ(Received(), std::string("**\x18") + "B00000000000000\r\n\x11");
    // The closing ZFIN and ZACK leave out the XON.
    ZmSendHeader(h, ZHEX, ZFIN, 0);
    EXPECT_EQ(Received().back(), '\n');
}

TEST_F(ZmFrames, EscapesTheBytesALineMightEat) {
    EXPECT_EQ(Escaped(0x18), "\x18\x58");
    EXPECT_EQ(Escaped(0x91), "\x18\xD1");
    EXPECT_EQ(Escaped(0x10), "\x18\x50");
    EXPECT_EQ(Escaped(0x0D), "\x0D");
    EXPECT_EQ(Escaped('@'), "@");
    EXPECT_EQ(Escaped(0x0D), "\x18\x4D");  // CR after '@'
    EXPECT_EQ(Escaped(0x8D), "\x8D");      // the last output byte was 0x4D, not the .@.
    EXPECT_EQ(Escaped('A'), "A");
}

TEST_F(ZmFrames, DecodesEscapesMarkersAndCancel) {
    struct Case {
        std::string wire;
        int expect;
    } cases[] = {
        {"\x18l", 0x7F},
        {"\x18m", 0xFF},
        {"\x18\x58", 0x18},
        {"\x18\xD1", 0x91},
        {"\x18\x31", -1},
        {"\x18h", ZM_FRAME_END | ZCRCE},
        {"\x18k", ZM_FRAME_END | ZCRCW},
        {"\x18\x18\x18\x18\x18", ZM_CANCELLED},
        {"\x11" + std::string("A"), 'A'},  // a bare XON is the line's, not data
        {"", V24_TIMEOUT},
    };
    for (const auto& c : cases) {
        Send(c.wire);
        EXPECT_EQ(ZmReadEscaped(h), c.expect) << testing::PrintToString(c.wire);
        V24Purge(h, 0);
    }
}

TEST_F(ZmFrames, HeadersRoundTripInEveryFormat) {
    // Values whose bytes need escaping, and flags in ZF0.
    const std::uint32_t values[] = {0, 0x18111391, 0x0D40FF7F, ZmFlags(3)};
    for (int format : {ZBIN, ZHEX, ZBIN32}) {
        for (std::uint32_t v : values) {
            ZmSendHeader(h, format, ZDATA, v);
            LoopBack();
            std::uint32_t got = 0;
            int gotFormat = 0;
            EXPECT_EQ(ZmReceiveHeader(h, &got, &gotFormat), ZDATA) << format << " " << v;
            EXPECT_EQ(got, v);
            EXPECT_EQ(gotFormat, format);
        }
    }
}

TEST_F(ZmFrames, HeaderReaderRefusesWhatIsNoHeader) {
    struct Case {
        const char* why;
        std::string wire;
        int expect;
    } cases[] = {
        {"five CANs while scanning", "xx\x18\x18\x18\x18\x18", ZCAN},
        {"unknown format", "*\x18" + std::string("D"), 68},
        {"bad hex check", kZrinit27.substr(0, 17) + "5\r\n", -1},
        {"not hex", kZrinit27.substr(0, 12) + "z" + kZrinit27.substr(13, 7), -1},
        {"ZPAD then no ZDLE", "**x", -1},
        {"silence", "", -2},
        {"cut short", kZrinit27.substr(0, 8), -2},
        {"frame end in a binary body", "*\x18"s + "A\x04\x18h" + std::string(5, '\0'), -1},
    };
    for (const auto& c : cases) {
        Send(c.wire);
        int format = 0;
        EXPECT_EQ(ZmReceiveHeader(h, nullptr, &format), c.expect) << c.why;
        V24Purge(h, 0);
    }
    // A good header after line noise is found.
    Send(std::string(200, 'x') + kZrinit27);
    std::uint32_t v = 0;
    EXPECT_EQ(ZmReceiveHeader(h, &v, nullptr), ZRINIT);
    EXPECT_EQ(ZmZf0(v), 0x27);
    // A bit of p0 changed in a binary header.
    for (int format : {ZBIN, ZBIN32}) {
        ZmSendHeader(h, format, ZRPOS, 1234);
        std::string wire = Received();
        wire[4] ^= 0x01;
        Send(wire);
        EXPECT_EQ(ZmReceiveHeader(h, nullptr, nullptr), -1) << format;
    }
}

TEST_F(ZmFrames, SubpacketsComeThroughWholeOrAreRefused) {
    ZmBuffer out, in;
    // Every byte value, with each check and end; a changed data byte fails every check, the
    // CRC-16 after a hex header included.
    for (int format : {ZBIN, ZHEX, ZBIN32}) {
        for (int end : {ZCRCE, ZCRCG, ZCRCQ, ZCRCW}) {
            std::string data(1024, '\0');
            for (int i = 0; i < 1024; ++i) data[i] = static_cast<char>(i * 7 + end);
            std::copy(data.begin(), data.end(), out.Raw());
            out.length = 1024;
            ZmSendDataSubpacket(h, format, end, out);
            std::string wire = Received();
            Send(wire);
            EXPECT_EQ(ZmReceiveDataSubpacket(h, format, in), end) << format;
            EXPECT_TRUE(std::string(reinterpret_cast<char*>(in.data), in.length) == data);
            V24Purge(h, 0);  // a ZCRCW ends with XON, which the next reader drops
            wire[10] ^= 0x04;
            Send(wire);
            EXPECT_EQ(ZmReceiveDataSubpacket(h, format, in), -1) << format;
            V24Purge(h, 0);
        }
    }
    // 1025 data bytes are one too many.
    Send(std::string(1025, 'z') + "\x18k\0\0"s);
    EXPECT_EQ(ZmReceiveDataSubpacket(h, ZBIN, in), -1);
    V24Purge(h, 0);
    // ZDLE and four CANs cancel.
    Send("abc\x18\x18\x18\x18\x18");
    EXPECT_EQ(ZmReceiveDataSubpacket(h, ZBIN32, in), ZCAN);
    // Silence inside a subpacket is an error, not a short one.
    Send("abc");
    EXPECT_EQ(ZmReceiveDataSubpacket(h, ZBIN32, in), -1);
}

TEST_F(ZmFrames, AbortAndAttention) {
    ZmSendAbort(h);
    EXPECT_EQ(Received(), std::string(8, '\x18') + std::string(8, '\b'));
    qel::dev::SetTimeScale(50);
    const double start = qel::dev::NowMs();
    ZmSendAttention(h,
                    "ab\xDE"
                    "c\xDD");
    EXPECT_GE(qel::dev::NowMs() - start, 10.0);  // the pause and the break, sped up
    EXPECT_EQ(Received(), "abc");
    EXPECT_EQ(line.b->BreaksReceived(), 1);
}

TEST(ZmFileInfo, NamesLengthTimeAndMode) {
    ZmBuffer b;
    ASSERT_TRUE(ZmBuildFileInfo("some/dir\\x:a.bin", 1000, 0, 0100644, b));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.Raw()), b.length),
              "a.bin\0"s + "1000 0 100644\0"s);
    // Parsing takes what a receiver has in the start of its buffer.
    std::copy(b.Raw(), b.Raw() + b.length, b.data);
    ZmFileInfo info = ZmParseFileInfo(b);
    EXPECT_EQ(info.name, "a.bin");
    EXPECT_EQ(info.length, 1000u);
    EXPECT_EQ(info.mode, 0100644u);
    // Missing numbers count as 0; a name is cut to 80 characters.
    const std::string text = std::string(100, 'n') + "\0"s + "77";
    std::copy(text.begin(), text.end(), b.data);
    b.length = static_cast<std::uint32_t>(text.size());
    info = ZmParseFileInfo(b);
    EXPECT_EQ(info.name, std::string(80, 'n'));
    EXPECT_EQ(info.length, 77u);
    EXPECT_EQ(info.mtime, 0u);
}

TEST(ZmFileInfo, LocalNamesStayInTheFolder) {
    const std::pair<std::string, std::string> cases[] = {
        {"a.bin", "a.bin"}, {"../../etc/passwd", "passwd"},
        {"/tmp/x", "x"},    {"C:\\dir\\f.txt", "f.txt"},
        {"dir/", ""},       {"", ""},
        {".", ""},          {"..", ""},
        {"x/..", ""},       {"a\001b", ""},
        {"del\x7f", ""},    {"..a", "..a"},
    };
    for (const auto& c : cases) EXPECT_EQ(ZmLocalName(c.first), c.second) << c.first;
}

}  // namespace
