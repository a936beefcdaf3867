// Verify and read-back against the simulated bootloader's flash on the in-memory line.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "verify_box_fixture.h"

namespace {

using namespace box_test;

constexpr std::uint32_t LOAD = 0x8000;

// A box that answers only to the name the client uses when no download has chosen one.
// Its bytes leave at the line's rate, as from a real UART: unpaced, a whole block would
// land in the host's 4096-byte input queue at once, behind bytes not yet taken, and
// overflow it. Paced, a block also takes long enough for a test to silence the box before
// the next one.
qel::sim::BoxOptions Bootloader() {
    qel::sim::BoxOptions options;
    options.names = {"NUX_1000"};
    options.pace = true;
    return options;
}

class FlashFixture : public BoxFixture {
  protected:
    void SetUp() override {
        BoxFixture::SetUp();
        qel::dev::SetTimeScale(10);  // break resets and the restart that ends each operation
    }
    // Silences the box as soon as it has taken the given number of memory reads: that read
    // or (on a paced line, surely) the one after it gets no answer, and the link cannot be
    // brought back.
    void SilenceAfterReads(int reads) {
        silencer_ = std::thread([this, reads] {
            box->WaitUntil(
                [&](const qel::sim::Box& b) {
                    int n = 0;
                    for (const auto& c : b.Commands()) n += c.name == "RDM";
                    return n >= reads;
                },
                20000);
            qel::sim::Faults faults;
            faults.silent = true;
            box->SetFaults(faults);
        });
    }
    void TearDown() override {
        if (silencer_.joinable()) silencer_.join();
        BoxFixture::TearDown();
    }

  private:
    std::thread silencer_;
};

class Verify : public FlashFixture {};

TEST_F(Verify, OnlyTheExemptWordMayDifferAndAnyOtherDifferenceFails) {
    StartBox(Bootloader());
    const Bytes image = qel::sim::MakeFirmwareImage(10000, "NUX_1000 test", "01.23");
    const std::string path = File("fw.bin", image);
    Bytes flash = image;
    flash[0x450] ^= 0xFF;  // the word at 0x8450, high byte
    flash[0x451] ^= 0x5A;
    box->LoadFlash(LOAD, flash);

    int rc = -2;
    std::string out = Console([&] { rc = client->Verify(path); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(client->GetError(), RESULT_OK);
    EXPECT_EQ(out, "verify Block 32768verify Block 36864verify Block 40960");
    // Every verify ends with a restart.
    EXPECT_TRUE(box->WaitUntil([](const qel::sim::Box& b) { return b.Resets() == 1; }, 2000));

    flash[0x452] ^= 0x01;  // the word after it
    flash[9000] ^= 0x10;
    box->LoadFlash(LOAD, flash);
    out = Console([&] { rc = client->Verify(path); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(client->GetError(), RESULT_VERIFY_FAILED);
    EXPECT_EQ(out, "");
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});
}

TEST_F(Verify, OddFileEndsInAWordFilledWithFF) {
    StartBox(Bootloader());
    const Bytes image = qel::sim::MakeFirmwareImage(4097, "NUX_1000 test", "01.23");
    const std::string path = File("odd.bin", image);
    box->LoadFlash(LOAD, image);  // the flash beyond holds 0xFF as erased
    int rc = -2;
    EXPECT_EQ(Console([&] { rc = client->Verify(path); }), "verify Block 32768verify Block 36864");
    EXPECT_EQ(rc, 0);

    box->LoadFlash(LOAD + 4097, {0x00});
    Console([&] { rc = client->Verify(path); });
    EXPECT_EQ(client->GetError(), RESULT_VERIFY_FAILED);
}

TEST_F(Verify, ShortAnswerIsReadAgainAndAReadThatGivesUpIsNoAnswerNotADifference) {
    qel::sim::BoxOptions options = Bootloader();
    options.faults.shortRead = 1;
    StartBox(options);
    const Bytes image = qel::sim::MakeFirmwareImage(12288, "NUX_1000 test", "01.23");
    const std::string path = File("fw.bin", image);
    box->LoadFlash(LOAD, image);
    int rc = -2;
    std::string out = Console([&] { rc = client->Verify(path); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "verify Block 32768verify Block 36864verify Block 40960");

    // The flash differs in the last block, but that block never arrives: the verify cannot
    // know, and says the box did not answer.
    Bytes flash = image;
    flash[9000] ^= 0xFF;
    box->LoadFlash(LOAD, flash);
    const int readsSoFar = CountCommands("RDM");
    SilenceAfterReads(readsSoFar + 2);
    out = Console([&] { rc = client->Verify(path); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    EXPECT_EQ(client->GetState(), STATE_FAILED);
    EXPECT_EQ(out.find("verify Block 40960"), std::string::npos);
}

TEST_F(Verify, FileChecksAndANameNobodyAnswers) {
    StartBox(Bootloader());
    int rc = -2;
    Console([&] { rc = client->Verify(Path("missing.bin")); });
    EXPECT_EQ(client->GetError(), RESULT_FILE_UNKNOWN);
    Console([&] { rc = client->Verify(File("one.bin", {0x12})); });
    EXPECT_EQ(client->GetError(), RESULT_FILE_BAD_SIZE);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(CountCommands("RDM"), 0);
}

class ReadBack : public FlashFixture {
  protected:
    Bytes Run(int first, int last, std::string* out = nullptr) {
        const std::string path = Path("back.bin");
        const std::string text = Console([&] { result = client->ReadBack(path, first, last); });
        if (out) *out = text;
        Bytes bytes;
        EXPECT_TRUE(qel::sim::ReadFile(path, bytes));
        return bytes;
    }
    int result = -2;
};

TEST_F(ReadBack, RangeEqualsTheFlashWordsHighByteFirst) {
    StartBox(Bootloader());
    Bytes pattern(9000);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    box->LoadFlash(LOAD, pattern);

    std::string out;
    EXPECT_EQ(Run(LOAD, LOAD + 8191, &out), box->FlashRange(LOAD, 8192));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "read Block 32768read Block 36864");
    EXPECT_EQ(Run(LOAD, LOAD), box->FlashRange(LOAD, 2));
    EXPECT_EQ(Run(LOAD + 2, LOAD + 4), box->FlashRange(LOAD + 2, 4));  // completed to a word
    EXPECT_EQ(Run(LOAD, LOAD - 1), Bytes{});
    EXPECT_EQ(result, 0);
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});
}

TEST_F(ReadBack, BlockThatNeverCameIsNotWritten) {
    StartBox(Bootloader());
    Bytes pattern(4 * 4096);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    box->LoadFlash(LOAD, pattern);
    SilenceAfterReads(2);
    std::string out;
    const Bytes file = Run(LOAD, LOAD + 4 * 4096 - 1, &out);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    // Whatever came before the box fell silent, and nothing else.
    ASSERT_LT(file.size(), pattern.size());
    EXPECT_EQ(file.size() % 4096, 0u);
    EXPECT_EQ(file, box->FlashRange(LOAD, static_cast<std::uint32_t>(file.size())));
    std::string reported;
    for (std::size_t at = 0; at < file.size(); at += 4096)
        reported += "read Block " + std::to_string(LOAD + at);
    EXPECT_EQ(out, reported);
}

}  // namespace
