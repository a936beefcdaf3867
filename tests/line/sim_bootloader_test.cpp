#include <gtest/gtest.h>

#include "serial/device/sync.h"
#include "sim/box.h"
#include "sim_test_host.h"

using namespace qel;
using namespace qel::sim;
using namespace qel::sim::test;

namespace {

struct Bootloader : ::testing::Test {
    dev::VirtualLine line = dev::VirtualLine::Create();
    Host host{line.a};
    std::unique_ptr<Box> box;

    void Start(BoxOptions opt = {}) {
        host.SetRate(19200);
        box = std::make_unique<Box>(MakeVirtualWire(line.b, line.a), opt);
        box->Start();
    }
    void TearDown() override {
        if (box) box->Stop();
    }
};

TEST(LinkChecksum, MatchesTheKnownValues) {
    std::uint16_t crc = 0;
    for (char c : std::string("abc")) crc = ChecksumByte(crc, static_cast<std::uint8_t>(c));
    EXPECT_EQ(crc, 0x66F0);
    EXPECT_EQ(ChecksumWord(ChecksumWord(0, 0x6162), 0x6300), 0xE1F0);
    // The test's frame builder against the known RST frame.
    Bytes rst = Frame("RST", 0, 0);
    EXPECT_EQ(Bytes(rst.end() - 6, rst.end()), (Bytes{0x52, 0xD0, 0xA8, 0x33, 0x3E, 0x9E}));
}

TEST_F(Bootloader, AnswersOnlyItsOwnNameAndEchoesTheNopFrameChecksum) {
    BoxOptions opt;
    opt.names = {"PLV 200", "NUX_1000"};
    Start(opt);
    EXPECT_FALSE(host.Name("ZAR_1000"));
    EXPECT_TRUE(host.Drain(300).empty()) << "a box not named stays silent";
    host.Send('-');  // left over from an abandoned exchange
    ASSERT_TRUE(host.Name("NUX_1000"));

    ASSERT_TRUE(host.Prompt(1000));
    const Bytes nop{0x52, 0x45, 0x4D, 0x4F, 0x54, 0x45, 0x00, 0,    0,    0,   0,
                    0,    0,    0,    0,    0x4E, 0x8E, 0x9E, 0xF3, 0x0F, 0x89};
    host.Send(nop);
    host.Send('L');
    EXPECT_EQ(host.Get(), 0x0F);
    host.Send('H');
    EXPECT_EQ(host.Get(), 0x89);
    host.Send('+');
    ASSERT_TRUE(box->WaitUntil([](const Box& b) { return b.Commands().size() == 1; }, 2000));
    EXPECT_EQ(box->Commands()[0].name, "NOP");
    EXPECT_TRUE(box->Commands()[0].ok);
    EXPECT_TRUE(host.Prompt()) << "ready again after the command";
    EXPECT_TRUE(box->Violations().empty());
}

TEST_F(Bootloader, ProgramsAndReadsBackWordsInTheImageFilesByteOrder) {
    Start();
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "DEL", 0x8000, 0x8002));
    EXPECT_EQ(host.Get(), '+');
    host.Send('n');

    // The image holds 12 34 56 78 at 0x8000: words 0x1234 and 0x5678, low byte first.
    ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
    const Bytes data{0x34, 0x12, 0x78, 0x56};
    std::uint16_t crc = ChecksumByte(ChecksumByte(0, 2), 0);
    crc = ChecksumWord(ChecksumWord(crc, 0x1234), 0x5678);
    EXPECT_EQ(host.Get(), '*');
    host.Send(2);
    EXPECT_EQ(host.Get(), '*');
    host.Send(std::uint8_t{0});
    host.Send(data);
    EXPECT_EQ(host.Get(), '*');
    host.Send(static_cast<std::uint8_t>(crc & 0xFF));
    EXPECT_EQ(host.Get(), '*');
    host.Send(static_cast<std::uint8_t>(crc >> 8));
    EXPECT_EQ(host.Get(), '+') << "block taken";
    EXPECT_EQ(host.Get(), '+') << "block programmed";
    host.Send('n');
    EXPECT_EQ(box->FlashRange(0x7FFE, 8), (Bytes{0xFF, 0xFF, 0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF}));
    ASSERT_EQ(box->Erased().size(), 1u);
    EXPECT_EQ(box->Erased()[0].last, 0x8002u);

    ASSERT_TRUE(Command(host, "RDM", 0x8000, 0x8003));
    host.Send('*');
    host.Send('*');
    Bytes got = host.GetN(6);
    EXPECT_EQ(got, (Bytes{2, 0, 0x34, 0x12, 0x78, 0x56}));
    host.Send('*');
    EXPECT_EQ(host.Get(), crc & 0xFF);
    host.Send('*');
    EXPECT_EQ(host.Get(), crc >> 8);
    host.Send('+');
    EXPECT_TRUE(host.Prompt());

    // Programming the same bytes again, without an erase, is the host's fault.
    ASSERT_TRUE(Command(host, "PRO", 0x8000, 0x8000));
    for (int i = 0; i < 2; ++i) {
        host.Get();
        host.Send(static_cast<std::uint8_t>(i == 0 ? 2 : 0));
    }
    host.Send(data);
    host.Get();
    host.Send(static_cast<std::uint8_t>(crc & 0xFF));
    host.Get();
    host.Send(static_cast<std::uint8_t>(crc >> 8));
    EXPECT_EQ(host.GetN(2), (Bytes{'+', '+'}));
    host.Send('n');
    ASSERT_TRUE(box->WaitUntil([](const Box& b) { return !b.Violations().empty(); }, 1000));
    EXPECT_NE(box->Violations()[0].find("unerased"), std::string::npos) << box->Violations()[0];
}

TEST_F(Bootloader, AnswersTextsAsWordsWithTheEarlierCharacterHigh) {
    BoxOptions opt;
    opt.answers["GSN"] = {"ABC", true};
    Start(opt);
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "GSN", 0x10000, 0x1FFFF));
    Bytes got;
    for (int i = 0; i < 8; ++i) {  // count, two words, checksum: each asked for
        EXPECT_TRUE(host.Drain(20).empty()) << "nothing unasked, byte " << i;
        host.Send('*');
        got.push_back(static_cast<std::uint8_t>(host.Get()));
    }
    host.Send('+');
    std::uint16_t crc =
        ChecksumWord(ChecksumWord(ChecksumByte(ChecksumByte(0, 2), 0), 0x4142), 0x4300);
    EXPECT_EQ(got, (Bytes{2, 0, 0x42, 0x41, 0x00, 0x43, static_cast<std::uint8_t>(crc & 0xFF),
                          static_cast<std::uint8_t>(crc >> 8)}));
    EXPECT_TRUE(host.Prompt());
    EXPECT_TRUE(box->Violations().empty());
}

TEST_F(Bootloader, FollowsTheRateSwitchAndIsGarbledAtTheWrongRate) {
    Start();
    ASSERT_TRUE(host.Name("PLV 200"));
    ASSERT_TRUE(Command(host, "SBD", 115200, 0));
    // The host stays at 19200: the prompt at 115200 is garbage to it ...
    int heard = host.Get(1000);
    EXPECT_NE(heard, 'r');
    EXPECT_NE(heard, -1);
    // ... and a frame it sends is garbage to the box.
    host.Send(Frame("NOP", 0, 0));
    host.Send('L');
    for (int b : host.Drain(300)) EXPECT_NE(b, 0x0F) << "no echo to a garbled frame";
    EXPECT_TRUE(box->Commands().size() == 1u);
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
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(host.Drain(0).empty()) << "no prompt during the break";
    host.end->ClearCommBreak();
    EXPECT_TRUE(host.Prompt());
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
    EXPECT_TRUE(host.Prompt());
    EXPECT_EQ(box->Breaks(), 2);
    EXPECT_EQ(box->Rate(), 19200u);
    // Up and prompting after the break, but another box's name silences it.
    EXPECT_TRUE(Command(host, "NOP", 0, 0));
    host.Send("NUX_1000");
    host.Send(std::uint8_t{0});
    host.Drain(50);
    EXPECT_TRUE(host.Drain(600).empty());
    EXPECT_TRUE(host.Name("PLV 200"));
}

}  // namespace
