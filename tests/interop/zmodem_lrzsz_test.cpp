// ZMODEM against Debian's lrzsz: our sender to rz and sz to our receiver, through a
// pseudo-terminal that socat holds. lrzsz sits behind socat's pipes, not on the terminal:
// on a terminal it purges its last bytes away at exit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "e2e/transfer_files.h"
#include "serial/device/sync.h"
#include "serial/v24.h"
#include "transfer/zmodem.h"

namespace {

using namespace qel::test;

constexpr time_t kMtime = 1100000000;

std::atomic<long> firstDataAt{-1};
// The peer to stop once this much has moved (codes 3 and 10).
ChildProcess* stopPeer = nullptr;
constexpr std::uint32_t kStopAt = 200000;

int Progress(const char*, std::uint32_t value, int code) {
    long expected = -1;
    if (code == 3) firstDataAt.compare_exchange_strong(expected, static_cast<long>(value));
    if ((code == 3 || code == 10) && value >= kStopAt && stopPeer) {
        stopPeer->Terminate();
        stopPeer = nullptr;
    }
    return 0;
}

// Empty, one byte, an exact subpacket, one byte past, and a long one.
const size_t kSizes[] = {0, 1, 1024, 1025, 4 << 20};

std::string Named(const std::string& prefix, size_t i) {
    return prefix + std::to_string(i) + ".bin";
}

struct ZmodemLrzsz : ::testing::Test {
    ScratchDir ports, ours, theirs;
    std::unique_ptr<ChildProcess> peer;
    int h = -1;

    void SetUp() override {
        for (const char* tool : {"socat", "sz", "rz"}) {
            ASSERT_FALSE(ToolPath(tool).empty())
                << tool << " is missing: apt-get install socat lrzsz";
        }
        firstDataAt = -1;
        stopPeer = nullptr;
    }
    void TearDown() override {
        if (h >= 0) V24Close(h);
        if (peer) peer->Finish(5000);
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
    // Closes our port and waits for the peer's exit code.
    int PeerEnds(int ms) {
        V24Close(h);
        h = -1;
        return peer->Finish(ms);
    }

    // Starts the lrzsz command in theirs and opens our port on its pseudo-terminal: behind
    // socat on a clean line, behind the paced null-modem with its line faults otherwise.
    void StartPeer(const std::string& command, const std::vector<std::string>& faults = {}) {
        const std::string run = "cd " + theirs.path + " && exec " + command;
        std::vector<std::string> argv{ToolPath("socat"), "-t", "2",
                                      "pty,raw,echo=0,link=" + ports.path + "/com5",
                                      "SYSTEM:" + run + ",pipes"};
        if (!faults.empty()) {
            argv = {NULLMODEM_PATH, "--port", "COM5",   "--dir", ports.path,
                    "--baud",       "921600", "--exec", run};
            argv.insert(argv.end(), faults.begin(), faults.end());
        }
        peer = std::make_unique<ChildProcess>(argv, ports.path);
        if (!faults.empty()) {
            ASSERT_TRUE(peer->ReadUntil("nullmodem ready", 10000));
        }
        for (int i = 0; i < 500 && access((ports.path + "/com5").c_str(), F_OK) != 0; ++i)
            usleep(10000);
        setenv("QELFLASH_PORTS", ports.path.c_str(), 1);
        h = V24Open("COM5", 1);
        ASSERT_GE(h, 0);
        ASSERT_EQ(V24SetLine(h, 921600, 8, 0, 0), 0);
    }

    int Receive() {
        return InFolder(ours.path, [&] { return ZmReceive(h, Progress); });
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
        const std::string path = ours.path + "/" + Named("out", i);
        EXPECT_EQ(ZmSendFile(h, path.c_str(), i + 1 == contents.size(), nullptr), 0) << i;
    }
    EXPECT_EQ(PeerEnds(10000), 0);
    for (size_t i = 0; i < contents.size(); ++i) ExpectSame(theirs, Named("out", i), contents[i]);
}

TEST_F(ZmodemLrzsz, RzResumesAShorterCopy) {
    const std::string whole = RandomBytes(200000, 11);
    theirs.Write("resume.bin", whole.substr(0, 70000));
    Source("resume.bin", whole);
    StartPeer("rz -r");
    EXPECT_EQ(ZmSendFile(h, (ours.path + "/resume.bin").c_str(), 1, Progress), 0);
    // rz resumes from the last whole kilobyte it holds.
    EXPECT_EQ(firstDataAt, 70000 / 1024 * 1024);
    EXPECT_EQ(PeerEnds(10000), 0);
    ExpectSame(theirs, "resume.bin", whole);
}

// Our ZFILE always asks to resume, and rz then resumes whatever its options say; a file it
// cannot write is the one it skips.
TEST_F(ZmodemLrzsz, RzSkipsAFileItCannotTakeAndTheBatchGoesOn) {
    ASSERT_EQ(mkdir((theirs.path + "/kept.bin").c_str(), 0755), 0);
    Source("kept.bin", "ours");
    Source("after.bin", "next file");
    StartPeer("rz");
    EXPECT_EQ(ZmSendFile(h, (ours.path + "/kept.bin").c_str(), 0, Progress), 0);
    EXPECT_EQ(firstDataAt, -1);  // no data phase
    EXPECT_EQ(ZmSendFile(h, (ours.path + "/after.bin").c_str(), 1, nullptr), 0);
    PeerEnds(10000);
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
    EXPECT_EQ(peer->Finish(10000), 0);
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
    EXPECT_EQ(peer->Finish(10000), 0);
    ExpectSame(ours, "resume.bin", whole);
    EXPECT_EQ(ours.Read("longer.bin"), mine);
}

// lrzsz cancels when it is stopped; each of our sides ends with failure, well within its
// time-outs.
TEST_F(ZmodemLrzsz, StoppedPeerEndsOurTransferWithFailure) {
    Source("big.bin", RandomBytes(4 << 20, 51));
    theirs.Write("big2.bin", RandomBytes(4 << 20, 52));
    StartPeer("rz -y");
    stopPeer = peer.get();
    double start = qel::dev::NowMs();
    EXPECT_EQ(ZmSendFile(h, (ours.path + "/big.bin").c_str(), 1, Progress), 2);
    EXPECT_LT(qel::dev::NowMs() - start, 60000);
    PeerEnds(10000);

    StartPeer("sz -b big2.bin");
    stopPeer = peer.get();
    start = qel::dev::NowMs();
    EXPECT_EQ(Receive(), 2);
    EXPECT_LT(qel::dev::NowMs() - start, 60000);
    // What came is kept.
    struct stat st;
    ASSERT_EQ(stat((ours.path + "/big2.bin").c_str(), &st), 0);
    EXPECT_GE(st.st_size, static_cast<off_t>(kStopAt));
}

// One byte in about 10,000 damaged or lost: both directions reposition and end with equal
// files.
TEST_F(ZmodemLrzsz, FaultyLineBothWays) {
    const std::string data = RandomBytes(100000, 61);
    Source("noisy.bin", data);
    StartPeer("rz -y", {"--corrupt-every", "9973"});
    EXPECT_EQ(ZmSendFile(h, (ours.path + "/noisy.bin").c_str(), 1, nullptr), 0);
    EXPECT_EQ(PeerEnds(20000), 0);
    ExpectSame(theirs, "noisy.bin", data);

    Stamped(theirs, "noisy2.bin", data);
    StartPeer("sz -b noisy2.bin", {"--drop-every", "10007"});
    EXPECT_EQ(Receive(), 0);
    EXPECT_EQ(peer->Finish(20000), 0);
    ExpectSame(ours, "noisy2.bin", data);
}

}  // namespace
