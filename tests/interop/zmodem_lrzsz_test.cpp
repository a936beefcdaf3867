// ZMODEM against Debian's lrzsz: our sender to rz and sz to our receiver, through the
// null-modem (lrzsz on its pipes in the line's folder, our port on the pseudo-terminal).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e/nullmodem_line.h"
#include "e2e/transfer_files.h"
#include "serial/v24.h"
#include "transfer/zmodem.h"

namespace {

using namespace qel::test;

constexpr time_t kMtime = 1100000000;

std::atomic<long> firstDataAt{-1};
int Progress(const char*, std::uint32_t value, int code) {
    long expected = -1;
    if (code == 3) firstDataAt.compare_exchange_strong(expected, static_cast<long>(value));
    return 0;
}

// Empty, one byte, an exact subpacket, one byte past, and a long one.
const size_t kSizes[] = {0, 1, 1024, 1025, 4 << 20};

std::string Named(const std::string& prefix, size_t i) {
    return prefix + std::to_string(i) + ".bin";
}

struct ZmodemLrzsz : ::testing::Test {
    ScratchDir ours;
    NullModemLine lr;  // lrzsz's folder is lr.dir
    ScratchDir& theirs = lr.dir;

    void SetUp() override {
        ASSERT_FALSE(ToolPath("sz").empty() || ToolPath("rz").empty())
            << "lrzsz is not installed (build.sh installs it)";
        firstDataAt = -1;
    }

    // A file in where, with the time and mode that must come through.
    static std::string Stamped(const ScratchDir& where, const std::string& name,
                               const std::string& bytes) {
        return Stamp(where.Write(name, bytes), kMtime);
    }
    std::string Source(const std::string& name, const std::string& bytes) {
        return Stamped(ours, name, bytes);
    }
    // A file of each size in kSizes, named prefix0.bin and on; their contents.
    static std::vector<std::string> Batch(const ScratchDir& where, const std::string& prefix,
                                          unsigned seed) {
        std::vector<std::string> contents;
        for (size_t i = 0; i < std::size(kSizes); ++i) {
            contents.push_back(RandomBytes(kSizes[i], seed + static_cast<unsigned>(i)));
            Stamped(where, Named(prefix, i), contents.back());
        }
        return contents;
    }
    // Starts the lrzsz command, unpaced on a clean line, paced with the faults given.
    void StartPeer(const std::string& command, std::vector<std::string> faults = {}) {
        if (faults.empty())
            faults = {"--unpaced"};
        else
            faults.insert(faults.begin(), {"--baud", "921600"});
        lr.StartInDir(command, faults, 921600);
    }
    int Send(const std::string& name, int last, ZmProgressCallback progress = nullptr) {
        return ZmSendFile(lr.port, (ours.path + "/" + name).c_str(), last, progress);
    }
    int Receive() {
        return InFolder(ours.path, [&] { return ZmReceive(lr.port, Progress); });
    }

    // The mode is checked only where it was asked to come through.
    void ExpectSame(const ScratchDir& where, const std::string& name, const std::string& bytes,
                    bool mode = false) {
        EXPECT_TRUE(where.Read(name) == bytes) << name << " differs";
        struct stat st;
        ASSERT_EQ(stat((where.path + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mtime, kMtime) << name;
        if (mode) {
            EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
        }
    }
};

TEST_F(ZmodemLrzsz, OurSenderToRzInOneBatch) {
    const auto contents = Batch(ours, "out", 1);
    StartPeer("rz -y");
    for (size_t i = 0; i < contents.size(); ++i) {
        EXPECT_EQ(Send(Named("out", i), i + 1 == contents.size()), 0) << i;
    }
    EXPECT_EQ(lr.Finish(10000), 0);
    for (size_t i = 0; i < contents.size(); ++i) ExpectSame(theirs, Named("out", i), contents[i]);
}

TEST_F(ZmodemLrzsz, RzResumesAShorterCopy) {
    const std::string whole = RandomBytes(200000, 11);
    theirs.Write("resume.bin", whole.substr(0, 70000));
    Source("resume.bin", whole);
    StartPeer("rz -r");
    EXPECT_EQ(Send("resume.bin", 1, Progress), 0);
    // rz resumes from the last whole kilobyte it holds.
    EXPECT_EQ(firstDataAt, 70000 / 1024 * 1024);
    EXPECT_EQ(lr.Finish(10000), 0);
    ExpectSame(theirs, "resume.bin", whole);
}

// Our ZFILE always asks to resume, and rz then resumes whatever its options say; a file it
// cannot write is the one it skips.
TEST_F(ZmodemLrzsz, RzSkipsAFileItCannotTakeAndTheBatchGoesOn) {
    ASSERT_EQ(mkdir((theirs.path + "/kept.bin").c_str(), 0755), 0);
    Source("kept.bin", "ours");
    Source("after.bin", "next file");
    StartPeer("rz");
    EXPECT_EQ(Send("kept.bin", 0, Progress), 0);
    EXPECT_EQ(firstDataAt, -1);  // no data phase
    EXPECT_EQ(Send("after.bin", 1), 0);
    lr.Finish(10000);
    struct stat st;
    ASSERT_EQ(stat((theirs.path + "/kept.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ExpectSame(theirs, "after.bin", "next file");
}

// sz with CRC-16 here; the other receives take CRC-32.
TEST_F(ZmodemLrzsz, SzToOurReceiverInOneBatchWithCrc16) {
    const auto contents = Batch(theirs, "in", 20);
    StartPeer("sz -b -o in*.bin");
    EXPECT_EQ(Receive(), 0);
    EXPECT_EQ(lr.Finish(10000), 0);
    for (size_t i = 0; i < contents.size(); ++i)
        ExpectSame(ours, Named("in", i), contents[i], true);
}

TEST_F(ZmodemLrzsz, OurReceiverResumesFromSzAndSkipsALongerCopy) {
    const std::string whole = RandomBytes(150000, 41);
    const std::string mine = "our copy is longer than theirs";
    ours.Write("resume.bin", whole.substr(0, 50000));
    ours.Write("longer.bin", mine);
    Stamped(theirs, "resume.bin", whole);
    Stamped(theirs, "longer.bin", "short");
    StartPeer("sz -b resume.bin longer.bin");
    EXPECT_EQ(Receive(), 0);
    EXPECT_EQ(lr.Finish(10000), 0);
    ExpectSame(ours, "resume.bin", whole);
    EXPECT_EQ(ours.Read("longer.bin"), mine);
}

// One byte in about 10,000 damaged or lost: both directions reposition and end with equal
// files.
TEST_F(ZmodemLrzsz, FaultyLineBothWays) {
    const std::string data = RandomBytes(100000, 61);
    Source("noisy.bin", data);
    StartPeer("rz -y", {"--corrupt-every", "9973"});
    EXPECT_EQ(Send("noisy.bin", 1), 0);
    EXPECT_EQ(lr.Finish(20000), 0);
    ExpectSame(theirs, "noisy.bin", data);

    Stamped(theirs, "noisy2.bin", data);
    StartPeer("sz -b noisy2.bin", {"--drop-every", "10007"});
    EXPECT_EQ(Receive(), 0);
    EXPECT_EQ(lr.Finish(20000), 0);
    ExpectSame(ours, "noisy2.bin", data);
}

}  // namespace
