// The simulated bootloader as the client meets it: what it lets into the flash, its faults,
// its breaks and its line timing. The client's own bytes are pinned against a scripted box
// in the link tests, so the two cannot share a misunderstanding unseen.

#include "line/verify_box_fixture.h"

namespace {

using box_test::Bytes;
using qel::dev::NowMs;

struct Bootloader : box_test::BoxFixture {
    template <class Set>
    void Named(Set set) {
        StartBox(set);
        ASSERT_EQ(client->Connect("PLV 200"), 0);
    }
    const std::uint16_t words[2] = {0x1234, 0x5678};
};

TEST_F(Bootloader, ProgramsWordsInTheImageFilesByteOrderOnlyOverErasedFlash) {
    StartBox();
    V24SetLine(port, 19200, 8, 'N', 1);
    V24WriteByte(port, '-');  // left over from an abandoned exchange
    ASSERT_EQ(client->Connect("PLV 200"), 0);
    EXPECT_EQ(box->Breaks(), 0) << "named without a break";
    ASSERT_EQ(client->EraseFlash(0x8000, 0x8002), 0);
    // The image holds 12 34 56 78 at 0x8000. Programming it a second time, without an erase,
    // is the host's fault.
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(client->ProgramBlock(words, 0x8000, 2), 0);
        EXPECT_EQ(box->FlashRange(0x7FFE, 8),
                  (Bytes{0xFF, 0xFF, 0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF}));
    }
    ASSERT_TRUE(
        box->WaitUntil([](const qel::sim::Box& b) { return !b.Violations().empty(); }, 1000));
    EXPECT_NE(box->Violations()[0].find("unerased"), std::string::npos) << box->Violations()[0];
}

TEST_F(Bootloader, CorruptedOrRefusedBlocksNeverReachTheFlashAndAWrongEchoIsCaught) {
    Named([](auto& o) {
        o.faults.corruptBlock = 0;
        o.faults.wrongEchoCommand = 1;
    });
    EXPECT_EQ(client->ProgramBlock(words, 0x8000, 1), -1);
    EXPECT_EQ(client->GetError(), 200) << "the box's own checksum caught it";
    EXPECT_EQ(client->SendCommand("NOP", 0, 0), -1) << "echo of command 1 is wrong";

    qel::sim::Faults refused;
    refused.refuseBlock = 1;
    refused.refuseAtProgram = true;
    box->SetFaults(refused);
    EXPECT_EQ(client->ProgramBlock(words, 0x8000, 1), -1);
    EXPECT_EQ(client->GetError(), 200 + 400) << "taken, but not programmed";
    EXPECT_EQ(box->FlashRange(0x8000, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_TRUE(box->Violations().empty()) << box->Violations()[0];
}

TEST_F(Bootloader, BreakRestartsAt19200AndBringsUpTheBootloaderFromTheFirmware) {
    // The firmware does not answer a device name: the client breaks.
    Named([](auto& o) { o.mode = qel::sim::BoxMode::Firmware; });
    ASSERT_EQ(client->SetBaudRate(230400), 0);
    // A host that lost the box goes back to 19200 and breaks: the box follows.
    client->SetPortBaud(19200);
    ASSERT_EQ(client->Connect("PLV 200"), 0);
    EXPECT_EQ(client->SendCommand("NOP", 0, 0), 0);
    EXPECT_EQ(box->Breaks(), 2);
    EXPECT_EQ(box->Rate(), 19200u);
}

TEST_F(Bootloader, PacedLineTakesTheLineTimeBothWays) {
    Named([](auto& o) {
        o.pace = true;
        o.programMsPerBlock = 0;
        o.eraseMsPer64K = 100;
    });
    ASSERT_EQ(client->SetBaudRate(230400), 0);
    // Each step with its command frame and answers, less than a tenth of the block.
    const double blockMs = 4096 * 10.0 * 1000 / 230400;
    std::vector<std::uint16_t> block(2048, 0x1111);
    const struct {
        const char* what;
        std::function<int()> step;
        double ms;
    } steps[] = {
        {"erase of two 64 KiB periods", [&] { return client->EraseFlash(0x8000, 0x18000); }, 200},
        {"block out", [&] { return client->ProgramBlock(block.data(), 0x8000, 2048); }, blockMs},
        {"block in", [&] { return client->ReadMemory(block.data(), 0x8000, 2048); }, blockMs},
    };
    for (const auto& s : steps) {
        const double start = NowMs();
        EXPECT_EQ(s.step(), 0) << s.what;
        EXPECT_GE(NowMs() - start, 0.9 * s.ms) << s.what;
        EXPECT_LE(NowMs() - start, 3 * 1.1 * s.ms + 300) << s.what;
    }
}

}  // namespace
