// Verify and read-back against the simulated bootloader's flash on the in-memory line.
#include <gtest/gtest.h>

#include <thread>

#include "verify_box_fixture.h"

namespace {

using namespace box_test;

constexpr std::uint32_t LOAD = 0x8000;

class Flash : public BoxFixture {
  protected:
    // A box that answers only to the name the client uses when no download has chosen one.
    // Its bytes leave at the line's rate, as from a real UART: unpaced, a whole block would
    // land in the host's 4096-byte input queue at once, behind bytes not yet taken, and
    // overflow it. Paced, a block also takes long enough for a test to silence the box
    // before the next one.
    void Start(int shortRead = -1) {
        qel::dev::SetTimeScale(10);  // break resets and the restart that ends each operation
        qel::sim::BoxOptions options;
        options.names = {"NUX_1000"};
        options.pace = true;
        options.faults.shortRead = shortRead;
        StartBox(options);
    }
    // Silences the box once it has taken the given number of memory reads: that read or
    // (on a paced line, surely) the one after it gets no answer, and the link cannot be
    // brought back.
    void SilenceAfterReads(int reads) {
        silencer_ = std::thread([this, reads] {
            box->WaitUntil([&](const qel::sim::Box&) { return CountCommands("RDM") >= reads; },
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
    int Verify(const std::string& path, std::string* out = nullptr) {
        int rc = -2;
        const std::string text = Console([&] { rc = client->Verify(path); });
        if (out) *out = text;
        return rc;
    }
    Bytes ReadBack(int first, int last, std::string* out = nullptr) {
        const std::string text =
            Console([&] { rc = client->ReadBack(Path("back.bin"), first, last); });
        if (out) *out = text;
        Bytes bytes;
        EXPECT_TRUE(qel::sim::ReadFile(Path("back.bin"), bytes));
        return bytes;
    }
    int rc = -2;

  private:
    std::thread silencer_;
};

TEST_F(Flash, VerifyLetsOnlyTheExemptWordDifferAndChecksTheOddFilesLastWord) {
    Start();
    EXPECT_EQ(Verify(Path("missing.bin")), -1);
    EXPECT_EQ(client->GetError(), RESULT_FILE_UNKNOWN);
    EXPECT_EQ(Verify(File("one.bin", {0x12})), -1);
    EXPECT_EQ(client->GetError(), RESULT_FILE_BAD_SIZE);
    EXPECT_EQ(CountCommands("RDM"), 0);

    const Bytes image = qel::sim::MakeFirmwareImage(10001, "NUX_1000 test", "01.23");
    const std::string path = File("fw.bin", image);
    Bytes flash = image;
    flash[0x450] ^= 0xFF;  // the word at 0x8450, high byte
    flash[0x451] ^= 0x5A;
    box->LoadFlash(LOAD, flash);  // the flash beyond holds 0xFF as erased
    std::string out;
    EXPECT_EQ(Verify(path, &out), 0);
    EXPECT_EQ(client->GetError(), RESULT_OK);
    EXPECT_EQ(out, "verify Block 32768verify Block 36864verify Block 40960");
    // Every verify ends with a restart.
    EXPECT_TRUE(box->WaitUntil([](const qel::sim::Box& b) { return b.Resets() == 1; }, 2000));

    // The word after it, one inside, and the odd file's last word filled with 0xFF.
    // Only the blocks before the one that differs are reported.
    for (auto [at, blocks] : {std::pair{0x452, ""},
                              {9000, "verify Block 32768verify Block 36864"},
                              {10001, "verify Block 32768verify Block 36864"}}) {
        SCOPED_TRACE(at);
        Bytes wrong = flash;
        wrong.resize(10002, 0xFF);
        wrong[at] ^= 0x01;
        box->LoadFlash(LOAD, wrong);
        EXPECT_EQ(Verify(path, &out), -1);
        EXPECT_EQ(client->GetError(), RESULT_VERIFY_FAILED);
        EXPECT_EQ(out, blocks);
    }
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});
}

TEST_F(Flash, VerifyReadsAShortAnswerAgainAndAReadThatGivesUpIsNoAnswerNotADifference) {
    Start(1);
    const Bytes image = qel::sim::MakeFirmwareImage(12288, "NUX_1000 test", "01.23");
    const std::string path = File("fw.bin", image);
    box->LoadFlash(LOAD, image);
    std::string out;
    EXPECT_EQ(Verify(path, &out), 0);
    EXPECT_EQ(out, "verify Block 32768verify Block 36864verify Block 40960");

    // The flash differs in the last block, but that block never arrives: the verify cannot
    // know, and says the box did not answer.
    Bytes flash = image;
    flash[9000] ^= 0xFF;
    box->LoadFlash(LOAD, flash);
    SilenceAfterReads(CountCommands("RDM") + 2);
    EXPECT_EQ(Verify(path, &out), -1);
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    EXPECT_EQ(client->GetState(), STATE_FAILED);
    EXPECT_EQ(out.find("verify Block 40960"), std::string::npos);
}

TEST_F(Flash, ReadBackEqualsTheFlashWordsHighByteFirst) {
    Start();
    Bytes pattern(9000);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    box->LoadFlash(LOAD, pattern);
    std::string out;
    EXPECT_EQ(ReadBack(LOAD, LOAD + 8191, &out), box->FlashRange(LOAD, 8192));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "read Block 32768read Block 36864");
    EXPECT_EQ(ReadBack(LOAD, LOAD), box->FlashRange(LOAD, 2));
    EXPECT_EQ(ReadBack(LOAD + 2, LOAD + 4), box->FlashRange(LOAD + 2, 4));  // completed to a word
    EXPECT_EQ(ReadBack(LOAD, LOAD - 1), Bytes{});
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});
}

TEST_F(Flash, ReadBackWritesOnlyTheBlocksThatCame) {
    Start();
    Bytes pattern(4 * 4096);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    box->LoadFlash(LOAD, pattern);
    SilenceAfterReads(2);
    std::string out;
    const Bytes file = ReadBack(LOAD, LOAD + 4 * 4096 - 1, &out);
    EXPECT_EQ(rc, -1);
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
