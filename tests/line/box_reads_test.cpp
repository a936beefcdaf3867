// What the client reads from the simulated bootloader on the in-memory line: verify and
// read-back of its flash, its text queries; and the identification texts of an image file.
#include <cstring>

#include "line/verify_box_fixture.h"

namespace {

using namespace box_test;
using qel::sim::Answer;

constexpr std::uint32_t LOAD = 0x8000;

class Flash : public BoxFixture {
  protected:
    // A box named as the client names it when no download chose; paced as a real UART, or a
    // whole block would land in the host's 4096-byte input queue at once.
    void Start(int shortRead = -1) {
        StartBox([&](auto& o) {
            o.names = {"NUX_1000"};
            o.pace = true;
            o.faults.shortRead = shortRead;
        });
    }
    // The box falls silent for good after n more bytes; only then do the waits run ten times
    // faster, so that a block still flowing meets no time-out cut to a tenth.
    void SilenceAfter(int n) {
        line.b->SetFilter([n](qel::dev::BYTE&) mutable {
            if (--n >= 0) return true;
            qel::dev::SetTimeScale(10);
            return false;
        });
    }
    // Ends with a reset the unnamed box does not answer, and a break: run ten times faster.
    int Unanswered(const std::function<int()>& operation) {
        qel::dev::SetTimeScale(10);
        const int result = operation();
        qel::dev::SetTimeScale(1);
        return result;
    }
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

TEST_F(Flash, ReadBackWritesTheFlashWordsHighByteFirstAndOnlyTheBlocksThatCame) {
    Start();
    Load(4 * 4096);
    EXPECT_EQ(ReadBack(LOAD, LOAD + 8191), box->FlashRange(LOAD, 8192));
    EXPECT_EQ(out, "read Block 32768read Block 36864");
    EXPECT_EQ(ReadBack(LOAD, LOAD), box->FlashRange(LOAD, 2));
    EXPECT_EQ(ReadBack(LOAD + 2, LOAD + 4), box->FlashRange(LOAD + 2, 4));  // completed to a word
    EXPECT_EQ(ReadBack(LOAD, LOAD - 1), Bytes{});
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});

    SilenceAfter(6000);  // the first block and part of the second
    EXPECT_EQ(ReadBack(LOAD, LOAD + 4 * 4096 - 1), box->FlashRange(LOAD, 4096));
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    EXPECT_EQ(out, "read Block 32768");
}

class Queries : public BoxFixture {
  protected:
    void StartWith(std::map<std::string, Answer> answers) {
        StartBox([&](auto& o) {
            o.names = {"NUX_1000"};
            o.answers = std::move(answers);
        });
    }
    std::string text = "stale";
};

TEST_F(Queries, ReturnTheBoxsTextsWithinTheirAreaAndAnSsnOnlyAboveHardwareVersionSeven) {
    const std::string longText(200, 'x');
    StartWith(
        {{"GSN", {longText, true}}, {"GBV", {"ABCD", false}}, {"GPV", {"Program 01.23", false}}});
    EXPECT_EQ(client->GetHardwareVersion(text), 0);  // the others need a named box
    EXPECT_EQ(text, "Hardware version 8");
    EXPECT_EQ(client->GetState(), STATE_FINISHED);
    for (auto [query, answer] : {std::pair{&CDownload::GetSerialNumber, std::string(75, 'x')},
                                 {&CDownload::GetBootVersion, "ABCD"},
                                 {&CDownload::GetProgramVersion, "Program 01.23"},
                                 {&CDownload::GetSsn, "SSN 0042-1377-0001"}}) {
        EXPECT_EQ((client.get()->*query)(text), 0);
        EXPECT_EQ(text, answer);
    }
    // The hardware answer inside the SSN query has the smaller area, but its version digit
    // lies well inside it; no version at all reads as 0.
    const struct {
        std::string hardware;
        const char* ssn;
        int asked;  // SSN queries the box has seen so far
        bool terminated;
    } rows[] = {{"Hardware version 7", "Tarsk 820 without SSN", 1, true},
                {"Hardware version 12 rev b", "SSN 0042-1377-0001", 2, true},
                {"short", "Tarsk 820 without SSN", 2, true},
                {"Hardware version 9" + longText, "SSN 0042-1377-0001", 3, false}};
    for (const auto& row : rows) {
        box->SetAnswer("GHV", {row.hardware, row.terminated});
        EXPECT_EQ(client->GetSsn(text), 0);
        EXPECT_EQ(text, row.ssn) << row.hardware;
        EXPECT_EQ(CountCommands("GSS"), row.asked) << row.hardware;
    }
    EXPECT_EQ(client->GetHardwareVersion(text), 0);
    EXPECT_EQ(text.size(), 75u);
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});
}

TEST_F(Queries, BoxThatDoesNotAnswerLeavesNoText) {
    qel::dev::SetTimeScale(10);
    StartBox([](auto& o) { o.faults.silent = true; });
    EXPECT_EQ(client->GetSerialNumber(text), -1);
    EXPECT_EQ(text, "");
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    EXPECT_EQ(client->GetState(), STATE_FAILED);
    text = "stale";
    EXPECT_EQ(client->GetHardwareVersion(text), -1);
    EXPECT_EQ(text, "");
}

// The identification texts need no box: a client that never had a port will do.
TEST_F(Queries, ImageStringsAreTheTextsOfTheAreaWithinTheFile) {
    // An image with the marker at 1024 (what fits of it) and texts from 1280 on.
    auto marked = [](std::size_t size, const std::string& texts = "") {
        Bytes image(size, 0xFF);
        const std::string marker = "CHKSUM" + std::string(250, '\xFF') + texts;
        std::memcpy(image.data() + 1024, marker.data(), std::min(marker.size(), size - 1024));
        return image;
    };
    const struct {
        Bytes image;
        int rc;
        std::vector<std::string> list;
    } rows[] = {
        {marked(4096, std::string("A\0BB\0CCC\0", 9) + std::string(247, 'z')),
         0,
         {"kept", "A", "BB", "CCC", std::string(246, 'z')}},  // up to the area's end
        {marked(1290, std::string("AB\0XYZWVUTSR", 12)), 0, {"kept", "AB", "XYZWVUT"}},
        {Bytes(4096, 'q'), 0, {"kept"}},
        {marked(1028), 0, {"kept"}},  // marker cut short by the end of the file
        {marked(1030), 0, {"kept"}},  // marker, but no area
        {marked(0xF8000), 0, {"kept"}},
        {marked(0xF8001), -1, {"kept"}},
        {Bytes(1, 0), -1, {"kept"}},
    };
    CDownload reader;
    for (const auto& row : rows) {
        std::vector<std::string> list{"kept"};
        EXPECT_EQ(reader.ReadImageStrings(File("ids.bin", row.image), list), row.rc);
        EXPECT_EQ(list, row.list);
        EXPECT_EQ(reader.GetError(), row.rc ? RESULT_FILE_BAD_SIZE : RESULT_OK);
        EXPECT_EQ(reader.GetState(), row.rc ? STATE_FAILED : STATE_FINISHED);
    }
    std::vector<std::string> list;
    EXPECT_EQ(reader.ReadImageStrings(Path("missing.bin"), list), -1);
    EXPECT_EQ(reader.GetError(), RESULT_FILE_UNKNOWN);
}

}  // namespace
