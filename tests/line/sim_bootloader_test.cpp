// The simulated bootloader as the client meets it: what it lets into the flash, its faults,
// its breaks and its line timing. The client's own bytes are pinned against a scripted box
// in the link tests, so the two cannot share a misunderstanding unseen.

#include "line/verify_box_fixture.h"
#include "sim/fault_option.h"

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

TEST_F(Bootloader, ProgramBlockCutsTheCountAndAddsWhereEachStepFailed) {
    Named([](auto&) {});
    std::vector<std::uint16_t> block(5000, 0x5AA5);
    EXPECT_EQ(client->ProgramBlock(block.data(), 0x8000, 5000), 0);
    EXPECT_EQ(box->FlashRange(0x8000 + 4094, 4), (Bytes{0x5A, 0xA5, 0xFF, 0xFF}));
    // Frame rejected +100, block refused +200 (the box's refusal kept as the state), another
    // answer than "+" +400. The box counts commands and blocks over its life.
    const struct {
        const char* fault;
        int sum, state;
    } rows[] = {
        {"wrong-echo=1", 100, -1}, {"corrupt-block=1", 200, '-'}, {"refuse-program=2", 400, -1}};
    int total = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        qel::sim::Faults faults;
        ASSERT_TRUE(qel::sim::ParseFault(row.fault, faults));
        box->SetFaults(faults);
        EXPECT_EQ(client->ProgramBlock(words, 0x9000, 2), -1);
        EXPECT_EQ(client->GetError(), total += row.sum);
        if (row.state >= 0) {
            EXPECT_EQ(client->GetState(), row.state);
        }
    }
    EXPECT_EQ(box->FlashRange(0x9000, 4), Bytes(4, 0xFF));
    EXPECT_TRUE(box->Violations().empty()) << box->Violations()[0];

    // No answer within 5 s +300: a box on the same line that programs for 6 s.
    box->Stop();
    qel::sim::BoxOptions slow;
    slow.programMsPerBlock = 6000;
    box = std::make_unique<qel::sim::Box>(qel::sim::MakeVirtualWire(line.b, line.a), slow);
    box->Start();
    qel::dev::SetTimeScale(10);
    ASSERT_EQ(client->Connect("PLV 200"), 0);
    EXPECT_EQ(client->ProgramBlock(words, 0x9000, 2), -2);
    EXPECT_EQ(client->GetError(), total + 300);
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
