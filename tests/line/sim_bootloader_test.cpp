// The simulated bootloader against a hand-driven host: the link's own example bytes, its
// faults and its line timing.
#include <gtest/gtest.h>

#include <thread>

#include "sim_test_host.h"

using namespace qel;
using namespace qel::sim;
using namespace qel::sim::test;

namespace {

using Bootloader = SimBox;

TEST_F(Bootloader, AnswersOnlyItsOwnNameAndEchoesTheNopFrameChecksum) {
    BoxOptions opt;
    opt.names = {"PLV 200", "NUX_1000"};
    Start(opt);
    EXPECT_FALSE(host.Name("ZAR_1000"));
    EXPECT_EQ(host.Get(300), -1) << "a box not named stays silent";
    host.Send('-');  // left over from an abandoned exchange
    ASSERT_TRUE(host.Name("NUX_1000"));

    ASSERT_EQ(host.Get(), 'r');
    host.Send(Bytes{'R', 'E', 'M', 'O', 'T',  'E',  0,    0,    0,    0,   0,
                    0,   0,   0,   0,   0x4E, 0x8E, 0x9E, 0xF3, 0x0F, 0x89});
    host.Send('L');
    EXPECT_EQ(host.Get(), 0x0F);
    host.Send('H');
    EXPECT_EQ(host.Get(), 0x89);
    host.Send('+');
    ASSERT_TRUE(box->WaitUntil([](const Box& b) { return b.Commands().size() == 1; }, 2000));
    EXPECT_EQ(box->Commands()[0].name, "NOP");
    EXPECT_TRUE(box->Commands()[0].ok);
    EXPECT_EQ(host.Get(), 'r') << "ready again after the command";
    EXPECT_TRUE(box->Violations().empty());
}

// Reading the flash back is the verify's and the read-back's to prove, against this box.
TEST_F(Bootloader, ProgramsWordsInTheImageFilesByteOrderOnlyOverErasedFlash) {
    Start();
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "DEL", 0x8000, 0x8002));
    EXPECT_EQ(host.Get(), '+');
    host.Send('n');

    // Words go low byte first; the image holds 12 34 56 78 at 0x8000.
    ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
    EXPECT_EQ(SendWords(host, {0x1234, 0x5678}).final, '+') << "block taken";
    EXPECT_EQ(host.Get(), '+') << "block programmed";
    host.Send('n');
    EXPECT_EQ(box->FlashRange(0x7FFE, 8), (Bytes{0xFF, 0xFF, 0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF}));
    ASSERT_EQ(box->Erased().size(), 1u);
    EXPECT_EQ(box->Erased()[0].last, 0x8002u);

    // Programming the same bytes again, without an erase, is the host's fault.
    ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
    SendWords(host, {0x1234, 0x5678});
    host.Get();
    host.Send('n');
    ASSERT_TRUE(box->WaitUntil([](const Box& b) { return !b.Violations().empty(); }, 1000));
    EXPECT_NE(box->Violations()[0].find("unerased"), std::string::npos) << box->Violations()[0];
}

TEST_F(Bootloader, FollowsTheRateSwitchAndIsGarbledAtTheWrongRate) {
    Start();
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "SBD", 115200, 0));
    // The host stays at 19200: the prompt at 115200 is garbage to it ...
    const int heard = host.Get(1000);
    EXPECT_NE(heard, 'r');
    EXPECT_NE(heard, -1);
    // ... and a frame it sends is garbage to the box.
    host.Send(Frame("NOP", 0, 0));
    host.Send('L');
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(box->Commands().size(), 1u);
    // Once the host follows, a repeated prompt comes at the new rate.
    host.SetRate(115200);
    host.end->PurgeComm(dev::PURGE_RXCLEAR);
    EXPECT_TRUE(Command(host, "NOP", 0, 0));
    ASSERT_TRUE(box->WaitUntil([](const Box& b) { return b.Commands().size() == 2; }, 2000));
    EXPECT_EQ(box->RateSwitches(), (std::vector<std::uint32_t>{115200}));
}

TEST_F(Bootloader, BreakRestartsAt19200AndPromptsWhenItEnds) {
    BoxOptions opt;
    opt.faults.needsBreak = true;
    Start(opt);
    EXPECT_FALSE(host.Name("PLV 200")) << "asleep until a break";
    host.end->SetCommBreak();
    EXPECT_EQ(host.Get(100), -1) << "no prompt during the break";
    host.end->ClearCommBreak();
    EXPECT_EQ(host.Get(), 'r');
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "SBD", 230400, 0));
    host.SetRate(230400);
    ASSERT_TRUE(Command(host, "NOP", 0, 0));

    // A host that lost the box goes back to 19200 and breaks: the box follows.
    host.SetRate(19200);
    host.end->SetCommBreak();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    host.end->PurgeComm(dev::PURGE_RXCLEAR);
    host.end->ClearCommBreak();
    EXPECT_TRUE(Command(host, "NOP", 0, 0));
    EXPECT_EQ(box->Breaks(), 2);
    EXPECT_EQ(box->Rate(), 19200u);
    // Up and prompting after the break, but another box's name silences it.
    host.Send(std::string("NUX_1000\0", 9));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    host.end->PurgeComm(dev::PURGE_RXCLEAR);
    EXPECT_EQ(host.Get(600), -1);
    EXPECT_TRUE(host.Name("PLV 200"));
}

// Faults that the download's own tests meet (refused blocks and erases, a box that dies) are
// left to those.
TEST_F(Bootloader, CorruptedOrRefusedBlocksNeverReachTheFlashAndAWrongEchoIsCaught) {
    BoxOptions opt;
    opt.faults.corruptBlock = 0;
    opt.faults.wrongEchoCommand = 1;
    Start(opt);
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
    EXPECT_NE(SendWords(host, {0x1234}).toLow, '*') << "the box's own checksum caught it";
    EXPECT_FALSE(Command(host, "NOP", 0, 0)) << "echo of command 1 is wrong";
    EXPECT_EQ(box->FlashRange(0x8000, 2), (Bytes{0xFF, 0xFF}));

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
