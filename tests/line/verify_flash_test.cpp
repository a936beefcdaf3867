// Verify and read-back against the simulated bootloader's flash on the in-memory line.

#include "line/verify_box_fixture.h"

namespace {

using namespace box_test;

constexpr std::uint32_t LOAD = 0x8000;

class Flash : public BoxFixture {
  protected:
    // A box that answers only to the name the client uses when no download has chosen one.
    // Its bytes leave at the line's rate, as from a real UART: unpaced, a whole block would
    // land in the host's 4096-byte input queue at once, behind bytes not yet taken.
    void Start(int shortRead = -1) {
        StartBox([&](auto& o) {
            o.names = {"NUX_1000"};
            o.pace = true;
            o.faults.shortRead = shortRead;
        });
    }
    // The box falls silent for good after n more bytes: the read they end in gets no answer,
    // and the link cannot be brought back. Only from then on do the waits that end the
    // operation (time-outs, break resets) run ten times faster: a block still flowing must
    // not meet a time-out cut to a tenth.
    void SilenceAfter(int n) {
        line.b->SetFilter([n](qel::dev::BYTE&) mutable {
            if (--n >= 0) return true;
            qel::dev::SetTimeScale(10);
            return false;
        });
    }
    // An operation on a box that has not been named: it ends with a reset that the box does
    // not answer, and a break, run ten times faster.
    int Unanswered(const std::function<int()>& operation) {
        qel::dev::SetTimeScale(10);
        const int result = operation();
        qel::dev::SetTimeScale(1);
        return result;
    }
    // An image of n bytes, in the flash at LOAD.
    Bytes Load(std::size_t n) {
        const Bytes image = qel::sim::MakeFirmwareImage(n, "NUX_1000 test", "01.23");
        box->LoadFlash(LOAD, image);
        return image;
    }
    int Verify(const std::string& path) {
        out = Console([&] { rc = client->Verify(path); });
        return rc;
    }
    Bytes ReadBack(int first, int last) {
        out = Console([&] { rc = client->ReadBack(Path("back.bin"), first, last); });
        Bytes bytes;
        EXPECT_TRUE(qel::sim::ReadFile(Path("back.bin"), bytes));
        return bytes;
    }
    int rc = -2;
    std::string out;
};

TEST_F(Flash, VerifyLetsOnlyTheExemptWordDifferAndChecksTheOddFilesLastWord) {
    Start();
    EXPECT_EQ(Unanswered([&] { return Verify(Path("missing.bin")); }), -1);
    EXPECT_EQ(client->GetError(), RESULT_FILE_UNKNOWN);
    EXPECT_EQ(Unanswered([&] { return Verify(File("one.bin", {0x12})); }), -1);
    EXPECT_EQ(client->GetError(), RESULT_FILE_BAD_SIZE);
    EXPECT_EQ(CountCommands("RDM"), 0);

    const std::string path = File("fw.bin", Load(10001));
    Bytes flash = box->FlashRange(LOAD, 10001);
    flash[0x450] ^= 0xFF;  // the word at 0x8450, high byte
    flash[0x451] ^= 0x5A;
    box->LoadFlash(LOAD, flash);  // the flash beyond holds 0xFF as erased
    EXPECT_EQ(Verify(path), 0);
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
        EXPECT_EQ(Verify(path), -1);
        EXPECT_EQ(client->GetError(), RESULT_VERIFY_FAILED);
        EXPECT_EQ(out, blocks);
    }
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});
}

TEST_F(Flash, VerifyReadsAShortAnswerAgainAndAReadThatGivesUpIsNoAnswerNotADifference) {
    Start(1);
    const Bytes image = Load(12288);
    const std::string path = File("fw.bin", image);
    EXPECT_EQ(Verify(path), 0);
    EXPECT_EQ(out, "verify Block 32768verify Block 36864verify Block 40960");

    // The flash differs in a block that never arrives whole: the verify cannot know, and
    // says the box did not answer.
    box->LoadFlash(LOAD + 5000, {static_cast<std::uint8_t>(~image[5000])});
    SilenceAfter(6000);  // the first block and part of the second
    EXPECT_EQ(Verify(path), -1);
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    EXPECT_EQ(client->GetState(), STATE_FAILED);
    EXPECT_EQ(out, "verify Block 32768");
}

TEST_F(Flash, ReadBackEqualsTheFlashWordsHighByteFirst) {
    Start();
    Load(9000);
    EXPECT_EQ(ReadBack(LOAD, LOAD + 8191), box->FlashRange(LOAD, 8192));
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
    Load(4 * 4096);
    SilenceAfter(6000);  // the first block and part of the second
    const Bytes file = ReadBack(LOAD, LOAD + 4 * 4096 - 1);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    // The block that came before the box fell silent, and nothing else.
    EXPECT_EQ(file, box->FlashRange(LOAD, 4096));
    EXPECT_EQ(out, "read Block 32768");
}

}  // namespace
