// The simulated bootloader's faults and line timing, as a hand-driven host meets them.
// Faults that the download's own tests meet (refused blocks and erases, a box that dies)
// are left to those.
#include <gtest/gtest.h>

#include "sim_test_host.h"

using namespace qel;
using namespace qel::sim;
using namespace qel::sim::test;

namespace {

using BoxFaults = SimBox;

TEST_F(BoxFaults, CorruptedOrRefusedBlocksNeverReachTheFlashAndAWrongEchoIsCaught) {
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

TEST_F(BoxFaults, PacedLineTakesTheLineTimeBothWays) {
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
