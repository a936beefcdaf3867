#include <gtest/gtest.h>

#include "serial/device/sync.h"
#include "sim/box.h"
#include "sim_test_host.h"

using namespace qel;
using namespace qel::sim;
using namespace qel::sim::test;

namespace {

struct BoxFaults : ::testing::Test {
    dev::VirtualLine line = dev::VirtualLine::Create();
    Host host{line.a};
    std::unique_ptr<Box> box;

    void Start(BoxOptions opt) {
        host.SetRate(19200);
        box = std::make_unique<Box>(MakeVirtualWire(line.b, line.a), opt);
        box->Start();
        ASSERT_TRUE(host.Name("PLV 200"));
    }
    void TearDown() override {
        if (box) box->Stop();
    }
    BlockAnswer Program(std::uint32_t address, const std::vector<std::uint16_t>& words) {
        if (!Command(host, "PRO", address, address)) return {};
        return SendWords(host, words);
    }
};

TEST_F(BoxFaults, RefusedAndCorruptedBlocksNeverReachTheFlash) {
    BoxOptions opt;
    opt.faults.refuseBlock = 0;
    opt.faults.corruptBlock = 1;
    Start(opt);
    const std::vector<std::uint16_t> words{0x1234, 0x5678};
    BlockAnswer a = Program(0x8000, words);
    EXPECT_NE(a.toLow, '*') << "refused at its checksum";
    a = Program(0x8000, words);
    EXPECT_NE(a.toLow, '*') << "the box's own checksum caught the corruption";
    EXPECT_EQ(box->FlashRange(0x8000, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    a = Program(0x8000, words);
    EXPECT_EQ(a.final, '+');
    EXPECT_EQ(host.Get(), '+');
    host.Send('n');
    EXPECT_EQ(box->FlashRange(0x8000, 4), (Bytes{0x12, 0x34, 0x56, 0x78}));

    box->SetFaults([] {
        Faults f;
        f.refuseBlock = 3;
        f.refuseAtProgram = true;
        return f;
    }());
    a = Program(0x9000, words);
    EXPECT_EQ(a.final, '+') << "block taken";
    EXPECT_EQ(host.Get(), '-') << "but not programmed";
    EXPECT_EQ(box->FlashRange(0x9000, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_TRUE(box->Violations().empty()) << box->Violations()[0];
}

TEST_F(BoxFaults, WrongEchoAndRefusedEraseAreTheBoxsOwnAnswers) {
    BoxOptions opt;
    opt.faults.wrongEchoCommand = 1;
    opt.faults.refuseErase = 1;
    Start(opt);
    EXPECT_TRUE(Command(host, "NOP", 0, 0));
    EXPECT_FALSE(Command(host, "NOP", 0, 0)) << "echo of command 1 is wrong";
    EXPECT_TRUE(Command(host, "DEL", 0x8000, 0x8001));
    EXPECT_EQ(host.Get(), '-');
    EXPECT_TRUE(Command(host, "DEL", 0x8000, 0x8001));
    EXPECT_EQ(host.Get(), '+');
    host.Send('n');
    ASSERT_TRUE(box->WaitUntil([](const Box& b) { return b.Commands().size() == 4; }, 1000));
    auto cmds = box->Commands();
    EXPECT_TRUE(cmds[0].ok);
    EXPECT_FALSE(cmds[1].ok);
    EXPECT_EQ(box->Erased().size(), 1u);
    EXPECT_TRUE(box->Violations().empty()) << box->Violations()[0];
}

TEST_F(BoxFaults, ABoxThatDiesStaysSilentEvenAfterABreak) {
    BoxOptions opt;
    opt.faults.dieAfterBlock = 0;
    Start(opt);
    BlockAnswer a = Program(0x8000, {0x0102});
    EXPECT_EQ(a.final, '+');
    EXPECT_EQ(host.Get(), '+');
    host.Send('n');
    EXPECT_TRUE(box->WaitUntil([](const Box& b) { return b.Dead(); }, 1000));
    host.end->SetCommBreak();
    host.end->ClearCommBreak();
    EXPECT_TRUE(host.Drain(400).empty());
    EXPECT_FALSE(host.Name("PLV 200"));
}

TEST_F(BoxFaults, PacedLineTakesTheLineTimeBothWays) {
    BoxOptions opt;
    opt.pace = true;
    opt.programMsPerBlock = 0;
    opt.eraseMsPer64K = 100;
    Start(opt);
    ASSERT_TRUE(Command(host, "SBD", 230400, 0));
    host.SetRate(230400);
    const double byteMs = 10.0 * 1000 / 230400;

    // Erase of two 64 KiB periods.
    ASSERT_TRUE(Command(host, "DEL", 0x8000, 0x18000));
    double t0 = dev::NowMs();
    EXPECT_EQ(host.Get(3000), '+');
    double erase = dev::NowMs() - t0;
    host.Send('n');
    EXPECT_GE(erase, 0.9 * 200);
    EXPECT_LE(erase, 3 * 200 + 300);

    // 2048 words from the host are taken no faster than the line carries them.
    std::vector<std::uint16_t> words(2048, 0x1111);
    ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
    t0 = dev::NowMs();
    BlockAnswer a = SendWords(host, words);
    double in = dev::NowMs() - t0;
    EXPECT_EQ(a.final, '+');
    EXPECT_EQ(host.Get(), '+');
    host.Send('n');
    EXPECT_GE(in, 0.9 * 4096 * byteMs);
    EXPECT_LE(in, 3 * 4100 * byteMs + 300);

    // And 2048 words to the host leave at the line's rate.
    ASSERT_TRUE(Command(host, "RDM", 0x8000, 0x8FFF));
    host.Send('*');
    host.Send('*');
    t0 = dev::NowMs();
    Bytes got = host.GetN(4098);
    double out = dev::NowMs() - t0;
    EXPECT_EQ(got.size(), 4098u);
    EXPECT_GE(out, 0.9 * 4096 * byteMs);
    EXPECT_LE(out, 3 * 4098 * byteMs + 300);
    LineStats s = box->Stats();
    EXPECT_GE(s.busyMs, 200);
    EXPECT_GT(s.bytesIn, 4096u);
    EXPECT_GT(s.bytesOut, 4096u);
}

}  // namespace
