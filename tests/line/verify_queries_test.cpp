// The bootloader's text queries against the simulated box, and the identification texts of
// an image file.

#include <cstring>

#include "line/verify_box_fixture.h"

namespace {

using namespace box_test;
using qel::sim::Answer;

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

TEST_F(Queries, SsnOnlyAboveHardwareVersionSeven) {
    StartWith({});
    ASSERT_EQ(client->GetHardwareVersion(text), 0);  // the SSN query needs a named box
    const struct {
        const char* hardware;
        const char* ssn;
        int asked;  // SSN queries the box has seen so far
    } rows[] = {{"Hardware version 7", "Tarsk 820 without SSN", 0},
                {"Hardware version 8", "SSN 0042-1377-0001", 1},
                {"Hardware version 12 rev b", "SSN 0042-1377-0001", 2},
                {"short", "Tarsk 820 without SSN", 2}};  // no version at all reads as 0
    for (const auto& row : rows) {
        box->SetAnswer("GHV", {row.hardware, true});
        EXPECT_EQ(client->GetSsn(text), 0);
        EXPECT_EQ(text, row.ssn) << row.hardware;
        EXPECT_EQ(CountCommands("GSS"), row.asked) << row.hardware;
    }
}

// Each query asks for its own text; overlong and unterminated answers stay within their area.
TEST_F(Queries, ReturnTheBoxsTextsWithinTheirArea) {
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
    // lies well inside it.
    box->SetAnswer("GHV", {"Hardware version 9" + longText, false});
    EXPECT_EQ(client->GetSsn(text), 0);
    EXPECT_EQ(text, "SSN 0042-1377-0001");
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
