// XMODEM against a peer the test scripts: which blocks the receiver takes, what a receive
// does to the path it was given, and a source that cannot be read.
#include <sys/stat.h>

#include "tests/line/xmodem_line_fixture.h"

using namespace xmtest;

namespace {

constexpr char kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18;

// 128 bytes whose 8-bit sum is 0xFA, the low byte of a failed read.
std::string SumsToFailedRead() {
    std::string s(128, '\0');
    s[0] = static_cast<char>(0xFA);
    return s;
}

// 128 bytes whose CRC is 0xFAFA, so that two failed reads would look like its check.
std::string CrcOfFailedReads() {
    std::string s = Pattern(128);
    for (int v = 0; v < 0x10000; ++v) {
        s[126] = static_cast<char>(v >> 8);
        s[127] = static_cast<char>(v);
        std::uint16_t crc = 0;
        for (unsigned char c : s) crc = Crc16Update(crc, c);
        if (crc == 0xFAFA) break;
    }
    return s;
}

}  // namespace

TEST_F(XmLine, TheReceiverTakesOnlyAWholeBlockWithItsNumberAndCheck) {
    const std::string good = Block(kSoh, 3, Pattern(128), true);
    std::string badComplement = good;
    badComplement[2] = static_cast<char>(0xFC);  // 3 & 0xFC share no bit: still taken
    std::string sharedBit = good;
    sharedBit[2] = 0x03;
    const std::string sumBlock = Block(kSoh, 3, SumsToFailedRead(), false);
    const std::string crcBlock = Block(kSoh, 3, CrcOfFailedReads(), true);
    const struct {
        const char* what;
        std::string wire;
        int crc;
        int result;
    } cases[] = {
        {"expected block", good, 1, kAck},
        {"1K block", Block(kStx, 3, Pattern(1024), true), 1, kAck},
        {"checksum block", Block(kSoh, 3, Pattern(128), false), 0, kAck},
        {"the block before: a repeat", Block(kSoh, 2, Pattern(128), true), 1, 0x16},
        {"a later block", Block(kSoh, 4, Pattern(128), true), 1, kNak},
        {"complement sharing no bit", badComplement, 1, kAck},
        {"complement sharing a bit", sharedBit, 1, kNak},
        {"CRC block read as checksum", good, 0, kNak},
        {"EOT", std::string(1, kEot), 1, kEot},
        {"CAN", std::string(1, kCan), 1, kCan},
        {"nothing: a failed read", "", 1, 0xFA},
        // Short blocks: the missing bytes must not be judged by a failed read's value.
        {"checksum missing, data summing to a failed read", sumBlock.substr(0, 131), 0, kNak},
        {"CRC missing, data whose CRC is two failed reads", crcBlock.substr(0, 131), 1, kNak},
        {"one CRC byte missing", good.substr(0, 132), 1, kNak},
        {"data short", good.substr(0, 100), 1, kNak},
        {"complement missing", good.substr(0, 2), 1, kNak},
    };
    OpenReceiver();
    V24SetTimeout(receiver, 1000);
    unsigned char buffer[1024];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        V24Purge(receiver, 0);
        Put(line.b, c.wire);
        int length = 0;
        EXPECT_EQ(XmReceiveBlock(receiver, buffer, 3, &length, c.crc), c.result);
        if (c.result == kAck) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length),
                      c.wire.substr(3, length));
        }
    }
}

TEST_F(XmLine, AReceiveChangesNothingButThePathItWasGivenAndThatOnlyWhenWhole) {
    namespace fs = std::filesystem;
    const std::string path = dir.path + "/firmware.bin";
    const std::string other = dir.path + "/other.bin";
    const std::string sent = Pattern(200);
    auto receive = [&](bool complete) {
        OpenReceiver();
        auto received = std::async(std::launch::async,
                                   [&] { return XmReceive(receiver, path.c_str(), 1, nullptr); });
        if (Get(line.b) == 'C') {
            Put(line.b, Block(kSoh, 1, sent.substr(0, 128), true));
            if (Get(line.b) == kAck) Put(line.b, Block(kSoh, 2, sent.substr(128), true));
            if (Get(line.b) == kAck)
                Put(line.b, complete ? std::string(1, kEot) : std::string(1, kCan));
        }
        const int result = received.get();
        GetN(line.b, 1, 50);  // the ACK of EOT
        V24Close(receiver);
        return result;
    };
    std::string whole = sent;
    whole.resize(256, '\0');

    // An earlier file at the path survives a failed receive as it was, and keeps its
    // permissions when a whole one replaces it.
    dir.Write("firmware.bin", "earlier");
    chmod(path.c_str(), 0640);
    EXPECT_EQ(receive(false), 2);
    EXPECT_EQ(dir.Read("firmware.bin"), "earlier");
    EXPECT_EQ(FilesIn(dir.path), 1) << "nothing left of the failed receive";
    EXPECT_EQ(receive(true), 0);
    EXPECT_EQ(dir.Read("firmware.bin"), whole);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A link at the path: what it points to is never written, failed receive or whole.
    fs::remove(path);
    dir.Write("other.bin", "not to be touched");
    fs::create_symlink(other, path);
    EXPECT_EQ(receive(false), 2);
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(receive(true), 0);
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(dir.Read("firmware.bin"), whole);
    EXPECT_EQ(dir.Read("other.bin"), "not to be touched");

    // A folder at the path, a folder that is not there, no path: refused before a byte is
    // asked for.
    fs::remove(path);
    fs::create_directory(path);
    OpenReceiver();
    EXPECT_EQ(XmReceive(receiver, path.c_str(), 1, nullptr), 4);
    EXPECT_EQ(XmReceive(receiver, (dir.path + "/none/x.bin").c_str(), 1, nullptr), 4);
    EXPECT_EQ(XmReceive(receiver, "", 1, nullptr), 4);
    EXPECT_EQ(Get(line.b, 100), -1);
}

TEST_F(XmLine, ASourceThatCannotBeReadIsCancelledNotSentShort) {
    OpenSender();
    // A folder opens for reading here, and then every read fails.
    auto sent = SendAsync(dir.path, 1);
    Put(line.a, "C");
    EXPECT_EQ(Get(line.a), kCan);
    EXPECT_EQ(sent.get(), 2);
    EXPECT_EQ(XmSend(sender, (dir.path + "/missing").c_str(), 1, nullptr), 1);
    EXPECT_EQ(Get(line.a, 100), -1) << "nothing sent for a file that is not there";
}
