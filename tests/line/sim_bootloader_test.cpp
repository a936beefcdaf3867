// The simulated bootloader against a hand-driven host: what it lets into the flash, its
// breaks and its line timing. Names, prompts, echoes and rate switches are met by every
// download against it.
#include <gtest/gtest.h>

#include <thread>

#include "sim_test_host.h"

using namespace qel;
using namespace qel::sim;
using namespace qel::sim::test;

namespace {

using Bootloader = SimBox;

TEST_F(Bootloader, ProgramsWordsInTheImageFilesByteOrderOnlyOverErasedFlash) {
    Start();
    host.Send('-');  // left over from an abandoned exchange
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "DEL", 0x8000, 0x8002));
    EXPECT_EQ(host.Get(), '+');
    host.Send('n');
    // Words go low byte first; the image holds 12 34 56 78 at 0x8000. Programming them a
    // second time, without an erase, is the host's fault.
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
        EXPECT_EQ(SendWords(host, {0x1234, 0x5678}).final, '+');
        EXPECT_EQ(host.Get(), '+') << "block programmed";
        host.Send('n');
        EXPECT_EQ(box->FlashRange(0x7FFE, 8),
                  (Bytes{0xFF, 0xFF, 0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF}));
    }
    ASSERT_TRUE(box->WaitUntil([](const Box& b) { return !b.Violations().empty(); }, 1000));
    EXPECT_NE(box->Violations()[0].find("unerased"), std::string::npos) << box->Violations()[0];
}

TEST_F(Bootloader, CorruptedOrRefusedBlocksNeverReachTheFlashAndAWrongEchoIsCaught) {
    BoxOptions opt;
    opt.faults.corruptBlock = 0;
    opt.faults.wrongEchoCommand = 1;
    Start(opt);
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
    EXPECT_NE(SendWords(host, {0x1234}).toLow, '*') << "the box's own checksum caught it";
    EXPECT_FALSE(Command(host, "NOP", 0, 0)) << "echo of command 1 is wrong";

    Faults f;
    f.refuseBlock = 1;
    f.refuseAtProgram = true;
    box->SetFaults(f);
    ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
    EXPECT_EQ(SendWords(host, {0x1234}).final, '+') << "block taken";
    EXPECT_EQ(host.Get(), '-') << "but not programmed";
    EXPECT_EQ(box->FlashRange(0x8000, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_TRUE(box->Violations().empty()) << box->Violations()[0];
}

TEST_F(Bootloader, BreakRestartsAt19200AndBringsUpTheBootloaderFromTheFirmware) {
    BoxOptions opt;
    opt.mode = BoxMode::Firmware;
    Start(opt);
    EXPECT_FALSE(host.Name("PLV 200")) << "the firmware does not answer a device name";
    auto brk = [&] {
        host.end->SetCommBreak();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        host.end->PurgeComm(dev::PURGE_RXCLEAR);
        host.end->ClearCommBreak();
    };
    brk();
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "SBD", 230400, 0));
    host.SetRate(230400);
    ASSERT_TRUE(Command(host, "NOP", 0, 0));
    // A host that lost the box goes back to 19200 and breaks: the box follows.
    host.SetRate(19200);
    brk();
    EXPECT_TRUE(Command(host, "NOP", 0, 0));
    EXPECT_EQ(box->Breaks(), 2);
    EXPECT_EQ(box->Rate(), 19200u);
}

TEST_F(Bootloader, PacedLineTakesTheLineTimeBothWays) {
    BoxOptions opt;
    opt.pace = true;
    opt.programMsPerBlock = 0;
    opt.eraseMsPer64K = 100;
    Start(opt);
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "SBD", 230400, 0));
    host.SetRate(230400);
    const double byteMs = 10.0 * 1000 / 230400;
    auto within = [](double ms, double least, double most) {
        EXPECT_GE(ms, 0.9 * least);
        EXPECT_LE(ms, 3 * most + 300);
    };
    ASSERT_TRUE(Command(host, "DEL", 0x8000, 0x18000));  // two 64 KiB periods
    double t0 = dev::NowMs();
    EXPECT_EQ(host.Get(3000), '+');
    within(dev::NowMs() - t0, 200, 200);
    host.Send('n');

    ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
    t0 = dev::NowMs();
    EXPECT_EQ(SendWords(host, std::vector<std::uint16_t>(2048, 0x1111)).final, '+');
    within(dev::NowMs() - t0, 4096 * byteMs, 4100 * byteMs);
    EXPECT_EQ(host.Get(), '+');
    host.Send('n');

    ASSERT_TRUE(Command(host, "RDM", 0x8000, 0x8FFF));
    host.Send(Bytes{'*', '*'});
    t0 = dev::NowMs();
    EXPECT_EQ(host.GetN(4098).size(), 4098u);
    within(dev::NowMs() - t0, 4096 * byteMs, 4098 * byteMs);
}

}  // namespace
