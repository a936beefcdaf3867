// The bootloader's text queries against the simulated box, and the identification texts of
// an image file.
#include <gtest/gtest.h>

#include <cstring>

#include "verify_box_fixture.h"

namespace {

using namespace box_test;
using qel::sim::Answer;

class Queries : public BoxFixture {
  protected:
    void StartWith(std::map<std::string, Answer> answers) {
        qel::sim::BoxOptions options;
        options.names = {"NUX_1000"};
        options.answers = std::move(answers);
        StartBox(options);
    }
    // The queries that do not connect need a box that has been identified.
    void Identify() {
        std::string text;
        ASSERT_EQ(client->GetHardwareVersion(text), 0);
    }
};

TEST_F(Queries, ReturnTheBoxsTexts) {
    StartWith({});
    std::string text = "stale";
    EXPECT_EQ(client->GetHardwareVersion(text), 0);
    EXPECT_EQ(text, "Hardware version 8");
    EXPECT_EQ(client->GetState(), STATE_FINISHED);
    EXPECT_EQ(client->GetSerialNumber(text), 0);
    EXPECT_EQ(text, "SN 4711-0815");
    EXPECT_EQ(client->GetBootVersion(text), 0);
    EXPECT_EQ(text, "Boot 2.05");
    EXPECT_EQ(client->GetProgramVersion(text), 0);
    EXPECT_EQ(text, "Program 01.23");
    EXPECT_EQ(client->GetSsn(text), 0);
    EXPECT_EQ(text, "SSN 0042-1377-0001");
    for (const auto& c : box->Commands()) {
        EXPECT_EQ(c.p1, 0x10000u) << c.name;
        EXPECT_EQ(c.p2, 0x1FFFFu) << c.name;
    }
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});
}

TEST_F(Queries, SsnOnlyAboveHardwareVersionSeven) {
    StartWith({{"GHV", {"Hardware version 7", true}}});
    Identify();
    std::string text;
    EXPECT_EQ(client->GetSsn(text), 0);
    EXPECT_EQ(text, "Tarsk 820 without SSN");
    EXPECT_EQ(CountCommands("GSS"), 0);

    for (const char* hardware : {"Hardware version 8", "Hardware version 12 rev b"}) {
        box->SetAnswer("GHV", {hardware, true});
        EXPECT_EQ(client->GetSsn(text), 0);
        EXPECT_EQ(text, "SSN 0042-1377-0001") << hardware;
    }
    EXPECT_EQ(CountCommands("GSS"), 2);

    box->SetAnswer("GHV", {"short", true});  // no version at all reads as 0
    EXPECT_EQ(client->GetSsn(text), 0);
    EXPECT_EQ(text, "Tarsk 820 without SSN");
}

TEST_F(Queries, OverlongAndUnterminatedAnswersStayWithinTheirArea) {
    const std::string longText(200, 'x');
    StartWith({{"GSN", {longText, true}}, {"GBV", {"ABCD", false}}, {"GPV", {longText, false}}});
    Identify();
    std::string text;
    EXPECT_EQ(client->GetSerialNumber(text), 0);
    EXPECT_EQ(text, std::string(75, 'x'));
    EXPECT_EQ(client->GetBootVersion(text), 0);
    EXPECT_EQ(text, "ABCD");
    EXPECT_EQ(client->GetProgramVersion(text), 0);
    EXPECT_EQ(text, std::string(75, 'x'));

    // The hardware answer inside the SSN query has the smaller area, but its version digit
    // lies well inside it.
    box->SetAnswer("GHV", {"Hardware version 9" + longText, false});
    EXPECT_EQ(client->GetSsn(text), 0);
    EXPECT_EQ(text, "SSN 0042-1377-0001");
    EXPECT_EQ(client->GetHardwareVersion(text), 0);
    EXPECT_EQ(text.size(), 75u);
}

TEST_F(Queries, BoxThatDoesNotAnswerLeavesNoText) {
    qel::dev::SetTimeScale(10);
    qel::sim::BoxOptions options;
    options.faults.silent = true;
    StartBox(options);
    std::string text = "stale";
    EXPECT_EQ(client->GetSerialNumber(text), -1);
    EXPECT_EQ(text, "");
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    EXPECT_EQ(client->GetState(), STATE_FAILED);
    text = "stale";
    EXPECT_EQ(client->GetHardwareVersion(text), -1);
    EXPECT_EQ(text, "");
}

// The identification texts need no box: a client that never had a port will do.
class ImageStrings : public ::testing::Test {
  protected:
    void TearDown() override { std::remove(path.c_str()); }
    int Run(const Bytes& bytes) {
        EXPECT_TRUE(qel::sim::WriteFile(path, bytes));
        return client.ReadImageStrings(path, list);
    }
    static Bytes Marked(std::size_t size) {
        // A file that ends inside the marker holds what fits of it.
        Bytes image(size, 0xFF);
        const std::string marker = "CHKSUM";
        for (std::size_t i = 0; i < marker.size() && 1024 + i < size; ++i)
            image[1024 + i] = marker[i];
        return image;
    }
    static void Put(Bytes& image, std::size_t at, const std::string& text) {
        std::memcpy(image.data() + at, text.c_str(), text.size() + 1);
    }
    std::string path =
        (fs::temp_directory_path() / ("qel_ids_" + std::to_string(qel::dev::NowMs()))).string();
    CDownload client;
    std::vector<std::string> list{"kept"};
};

TEST_F(ImageStrings, TextsInTheAreaAreAppended) {
    Bytes image = Marked(4096);
    Put(image, 1280, "A");
    Put(image, 1282, "BB");
    Put(image, 1285, "CCC");
    std::fill(image.begin() + 1289, image.begin() + 1280 + 256, 'z');  // runs to the area's end
    EXPECT_EQ(Run(image), 0);
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "A", "BB", "CCC", std::string(246, 'z')}));
    EXPECT_EQ(client.GetState(), STATE_FINISHED);
    EXPECT_EQ(client.GetError(), RESULT_OK);
}

TEST_F(ImageStrings, WithoutTheMarkerOrBeyondTheFileNothingIsAdded) {
    Bytes unmarked(4096, 'q');
    EXPECT_EQ(Run(unmarked), 0);
    EXPECT_EQ(Run(Marked(1028)), 0);  // marker cut short by the end of the file
    EXPECT_EQ(Run(Marked(1030)), 0);  // marker, but no area
    EXPECT_EQ(list, std::vector<std::string>{"kept"});

    // A file that ends inside the area: its texts end where the file does.
    Bytes shortImage = Marked(1290);
    Put(shortImage, 1280, "AB");
    std::memcpy(shortImage.data() + 1283, "XYZWVUT", 7);
    EXPECT_EQ(Run(shortImage), 0);
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "AB", "XYZWVUT"}));
}

TEST_F(ImageStrings, FileChecks) {
    EXPECT_EQ(client.ReadImageStrings(path + ".missing", list), -1);
    EXPECT_EQ(client.GetError(), RESULT_FILE_UNKNOWN);
    EXPECT_EQ(Run(Bytes(1, 0)), -1);
    EXPECT_EQ(client.GetError(), RESULT_FILE_BAD_SIZE);
    EXPECT_EQ(Run(Marked(0xF8001)), -1);
    EXPECT_EQ(client.GetError(), RESULT_FILE_BAD_SIZE);
    EXPECT_EQ(client.GetState(), STATE_FAILED);
    EXPECT_EQ(Run(Marked(0xF8000)), 0);
    EXPECT_EQ(list, std::vector<std::string>{"kept"});
}

}  // namespace
