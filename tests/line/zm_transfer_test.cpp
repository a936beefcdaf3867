// ZMODEM sender and receiver against each other through a cable with a finite buffer: line
// faults both ways, a peer that cancels or hangs up, and what a receiver must refuse from a
// hostile sender. Batches, resume and skip are shown against lrzsz.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "e2e/transfer_files.h"
#include "line/zm_relay.h"
#include "serial/v24.h"
#include "transfer/zm_file.h"
#include "transfer/zm_frames.h"
#include "transfer/zmodem.h"

namespace {

using namespace qel::test;
using namespace qel::dev;

// What the callbacks saw; the callbacks are plain functions, so the counts are global.
struct Seen {
    std::atomic<int> receiverBad{0};
    std::atomic<long> cancelReceiverAt{LONG_MAX}, cancelSenderAt{LONG_MAX};
} seen;

int SenderProgress(const char*, std::uint32_t value, int code) {
    return code == 3 && static_cast<long>(value) >= seen.cancelSenderAt ? 1 : 0;
}

int ReceiverProgress(const char*, std::uint32_t value, int code) {
    if (code == 9) ++seen.receiverBad;
    return code == 10 && static_cast<long>(value) >= seen.cancelReceiverAt ? 1 : 0;
}

struct ZmTransfer : ::testing::Test {
    zmtest::ZmRelay relay;
    ScratchDir src, dst;
    int hs = -1, hr = -1;

    void SetUp() override {
        seen.receiverBad = 0;
        seen.cancelReceiverAt = LONG_MAX;
        seen.cancelSenderAt = LONG_MAX;
        RegisterVirtualPort("COM7", relay.toSender.a);
        RegisterVirtualPort("COM8", relay.toReceiver.b);
        hs = V24Open("COM7", 1);
        hr = V24Open("COM8", 1);
        ASSERT_GE(std::min(hs, hr), 0);
        Rate(115200);
        ASSERT_EQ(V24SetHandshake(hs, 3), 0);
        SetTimeScale(10);
    }
    void TearDown() override {
        relay.Stop();
        V24Close(hs);
        V24Close(hr);
        UnregisterVirtualPort("COM7");
        UnregisterVirtualPort("COM8");
        SetTimeScale(1);
    }

    // A line paced at its rate in real time, for the cases where the receiver's wait for
    // the tail of a stream must match what the line can carry: an unpaced relay outruns a
    // receiver on a loaded machine by far more than any real line could.
    void RealLine(DWORD baud) {
        SetTimeScale(1);
        Rate(baud);
        relay.bytesPerMs = baud / 10000.0;
    }
    void Rate(DWORD baud) {
        for (int h : {hs, hr}) ASSERT_EQ(V24SetLine(h, static_cast<int>(baud), 8, 0, 0), 0);
        relay.SetRate(baud);
    }

    std::string Source(const std::string& name, const std::string& bytes) {
        return Stamp(src.Write(name, bytes), 1000000000);
    }

    // ZmReceive into dst, with dst as the working folder it writes to.
    int ReceiveInDst(ZmProgressCallback progress) {
        return InFolder(dst.path, [&] { return ZmReceive(hr, progress); });
    }

    // Sends the files as one batch while the receiver takes them into dst; the results of
    // each send and of the receive.
    struct Outcome {
        std::vector<int> sent;
        int received = -99;
        double ms = 0;
    };
    Outcome Run(const std::vector<std::string>& paths) {
        Outcome out;
        out.sent.assign(paths.size(), -99);
        relay.Start();
        const double start = NowMs();
        std::thread sender([&] {
            for (size_t i = 0; i < paths.size(); ++i) {
                out.sent[i] =
                    ZmSendFile(hs, paths[i].c_str(), i + 1 == paths.size(), SenderProgress);
            }
        });
        out.received = ReceiveInDst(ReceiverProgress);
        sender.join();
        out.ms = NowMs() - start;
        return out;
    }

    // Both sides succeeded and the file came whole, with its time and mode.
    void ExpectWhole(const Outcome& out, const std::string& name, const std::string& bytes) {
        EXPECT_EQ(out.sent[0], 0);
        EXPECT_EQ(out.received, 0);
        EXPECT_TRUE(dst.Read(name) == bytes) << name << " differs";
        struct stat st;
        ASSERT_EQ(stat((dst.path + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mtime, 1000000000) << name;
        EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    }
};

std::function<bool(BYTE&)> EveryNth(long n, bool drop) {
    auto count = std::make_shared<long>(0);
    return [=](BYTE& b) {
        if (++*count % n != 0) return true;
        b ^= 0x08;
        return !drop;
    };
}

// Our own peers both ways, so that what our receiver sends back may suffer too; lrzsz shows
// each of our sides repositioning on a line that hits the data.
TEST_F(ZmTransfer, ANoisyLineBothWaysCostsRepositionsNeverTheFile) {
    RealLine(921600);
    relay.forwardFault = EveryNth(10007, false);
    relay.backFault = EveryNth(31, false);
    const std::string data = RandomBytes(100000, 3);
    Outcome out = Run({Source("noisy.bin", data)});
    ExpectWhole(out, "noisy.bin", data);
    EXPECT_GT(seen.receiverBad, 0);
}

// The receiver's subpacket wait runs out in the stall; the sender has meanwhile streamed the
// rest of the file, and the tail of the phase our ZRPOS started again is still arriving when
// the file is complete: the receiver must wait through it for ZFIN, not give up.
TEST_F(ZmTransfer, ThreeSecondStallIsRiddenOut) {
    RealLine(921600);
    const std::string data = RandomBytes(60000, 4);
    relay.stallAt = 20000;
    relay.stallMs = 3000;
    Outcome out = Run({Source("stall.bin", data)});
    ExpectWhole(out, "stall.bin", data);
    EXPECT_GE(out.ms, 3000);
}

struct ZmCancel : ZmTransfer, ::testing::WithParamInterface<bool> {};

TEST_P(ZmCancel, EndsBothWithFailureAndKeepsWhatCame) {
    (GetParam() ? seen.cancelReceiverAt : seen.cancelSenderAt) = 50000;
    const std::string data = RandomBytes(200000, 5);
    Outcome out = Run({Source("cancel.bin", data)});
    EXPECT_EQ(out.received, 2);
    EXPECT_EQ(out.sent[0], 2);
    std::string kept = dst.Read("cancel.bin");
    EXPECT_TRUE(kept == data.substr(0, kept.size()));
    EXPECT_GE(kept.size(), GetParam() ? 50000u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Side, ZmCancel, ::testing::Bool());

// The receiver's first ZRPOS arrives damaged: the sender must ask again at once. Waiting for
// the receiver's next one would race the receiver's own give-up, both being 10 s.
TEST_F(ZmTransfer, ADamagedAnswerToTheFileHeaderIsAskedForAgain) {
    SetTimeScale(1);
    auto tail = std::make_shared<std::string>();
    auto damaged = std::make_shared<bool>(false);
    relay.backFault = [=](BYTE& b) {
        *tail += static_cast<char>(b);
        if (tail->size() > 2) tail->erase(0, 1);
        if (!*damaged && *tail == "09") {  // a hex header's type digits, ZRPOS
            b ^= 0x01;
            *damaged = true;
        }
        return true;
    };
    const std::string data = RandomBytes(3000, 10);
    Outcome out = Run({Source("asked.bin", data)});
    EXPECT_TRUE(*damaged);
    ExpectWhole(out, "asked.bin", data);
    EXPECT_LT(out.ms, 5000);  // no header wait ran out
}

TEST_F(ZmTransfer, HangUpEndsBothWithinTheirTimeOuts) {
    relay.hangUpAt = 50000;
    Outcome out = Run({Source("gone.bin", RandomBytes(200000, 9))});
    EXPECT_EQ(out.sent[0], 2);
    EXPECT_EQ(out.received, 2);
    // Scaled by 10: the receiver's ten header time-outs of 10 s would be 10 s here.
    EXPECT_LT(out.ms, 30000);
}

// A sender of the test's own on the frames, to offer what a hostile or broken peer would.
struct OfferedFile {
    std::string info;  // the file-information subpacket as sent
    std::string data;
    std::string answer;  // "skip" or "sent"
};

std::string Info(const std::string& name, size_t length, unsigned mode = 0100644) {
    char numbers[64];
    snprintf(numbers, sizeof numbers, "%zu %o %o", length, 1000000000u, mode);
    return name + std::string(1, '\0') + numbers + std::string(1, '\0');
}

void SendSubpacket(int h, int format, int end, const std::string& bytes) {
    ZmBuffer b;
    std::copy(bytes.begin(), bytes.end(), b.Raw());
    b.length = static_cast<std::uint32_t>(bytes.size());
    ZmSendDataSubpacket(h, format, end, b);
}

int NextHeader(int h, std::uint32_t* value = nullptr) {
    for (int i = 0; i < 20; ++i) {
        int type = ZmReceiveHeader(h, value, nullptr);
        if (type >= 0) return type;
    }
    return -1;
}

// Reads headers until one of the type comes; false when the peer falls silent or cancels.
bool Await(int h, int wanted) {
    for (int i = 0; i < 20; ++i) {
        int type = NextHeader(h);
        if (type == wanted) return true;
        if (type < 0 || type == ZCAN) return false;
    }
    return false;
}

void OfferBatch(int h, std::vector<OfferedFile>& files) {
    // The receiver offers ZRINIT by itself; a ZRQINIT crossing it would draw a second one.
    V24SetTimeout(h, 10000);
    if (!Await(h, ZRINIT)) return;
    for (auto& f : files) {
        ZmSendHeader(h, ZBIN32, ZFILE, 0);
        SendSubpacket(h, ZBIN32, ZCRCW, f.info);
        std::uint32_t at = 0;
        int type = NextHeader(h, &at);
        if (type == ZSKIP) {
            f.answer = "skip";
        } else if (type == ZRPOS) {
            ZmSendHeader(h, ZBIN32, ZDATA, at);
            SendSubpacket(h, ZBIN32, ZCRCE, f.data.substr(at));
            ZmSendHeader(h, ZBIN32, ZEOF, static_cast<std::uint32_t>(f.data.size()));
            f.answer = "sent";
        } else {
            f.answer = "answer " + std::to_string(type);
        }
        if (!Await(h, ZRINIT)) return;
    }
    ZmSendHeader(h, ZBIN, ZFIN, 0);
    if (NextHeader(h) == ZFIN) V24WriteString(h, "OO");
}

// Names are mapped by ZmLocalName (tested on its own); here the receiver must use it, refuse
// what is there already, keep only permission bits, and go on with the batch.
TEST_F(ZmTransfer, HostileNamesEntriesAndModesAreTamedAndTheBatchGoesOn) {
    const std::string parentLeak = "zm-escape-" + std::to_string(getpid()) + ".txt";
    src.Write("victim", "keep");
    ASSERT_EQ(symlink((src.path + "/victim").c_str(), (dst.path + "/link").c_str()), 0);
    ASSERT_EQ(symlink((src.path + "/nowhere").c_str(), (dst.path + "/dangling").c_str()), 0);
    ASSERT_EQ(mkdir((dst.path + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dst.path + "/fifo").c_str(), 0644), 0);

    struct Case {
        std::string name;
        unsigned mode;
        std::string answer;
        std::string storedAs;  // empty: nothing stored
        unsigned storedMode;
    } cases[] = {
        {"../" + parentLeak, 0100644, "sent", parentLeak, 0644},
        {"..", 0100644, "skip", "", 0},
        {"link", 0100644, "skip", "", 0},
        {"dangling", 0100644, "skip", "", 0},
        {"sub", 0100644, "skip", "", 0},
        {"fifo", 0100644, "skip", "", 0},
        {"setuid.sh", 0106777, "sent", "setuid.sh", 0777},
        {"device", 0020666, "sent", "device", 0600},
        {"after.txt", 0100604, "sent", "after.txt", 0604},
    };
    std::vector<OfferedFile> files;
    for (const auto& c : cases) files.push_back({Info(c.name, 4, c.mode), "data", ""});

    relay.Start();
    std::thread sender([&] { OfferBatch(hs, files); });
    EXPECT_EQ(ReceiveInDst(nullptr), 0);
    sender.join();

    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(files[i].answer, cases[i].answer);
        if (cases[i].storedAs.empty()) continue;
        EXPECT_EQ(dst.Read(cases[i].storedAs), "data");
        struct stat st;
        ASSERT_EQ(stat((dst.path + "/" + cases[i].storedAs).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, cases[i].storedMode);
    }
    struct stat st;
    EXPECT_NE(stat((dst.path + "/../" + parentLeak).c_str(), &st), 0);
    EXPECT_EQ(src.Read("victim"), "keep");
    EXPECT_NE(lstat((src.path + "/nowhere").c_str(), &st), 0);
    ASSERT_EQ(lstat((dst.path + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

}  // namespace
