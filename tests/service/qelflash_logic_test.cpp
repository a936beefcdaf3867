// The pieces of qelflash a script depends on without a box: the JSON lines, the command
// line's ports, and which result counts as the worst.
#include <gtest/gtest.h>

#include "download/download.h"
#include "service/command_line.h"
#include "service/event.h"
#include "service/many_boxes.h"

namespace {

using qelflash::Event;

TEST(QelflashEvent, AnyBytesMakeValidJsonThatReadsBackTheSame) {
    const std::string awkward = std::string("say \"hi\"\\ \n\t\x01 caf\xe9 \x7f", 20);
    Event e("image");
    e.Add("port", "COM3").Add("name", awkward).Add("baud", 230400).AddFixed("percent", 41.04, 1);
    const std::string json = e.Json();
    EXPECT_EQ(json,
              "{\"event\":\"image\",\"port\":\"COM3\",\"name\":\"say \\\"hi\\\"\\\\ "
              "\\n\\u0009\\u0001 caf\\u00e9 \\u007f\",\"baud\":230400,\"percent\":41.0}");
    for (unsigned char c : json) EXPECT_TRUE(c >= 0x20 && c < 0x7F);
    Event back;
    ASSERT_TRUE(Event::FromJson(json, back));
    EXPECT_EQ(back.Name(), "image");
    EXPECT_EQ(back.Text("name"), awkward);
    EXPECT_EQ(back.Number("baud"), 230400);
    EXPECT_DOUBLE_EQ(back.Real("percent"), 41.0);
    EXPECT_EQ(back.Json(), json);
    for (const char* broken : {"", "{", "{\"event\":1}", "{\"port\":\"x\"}", "[1]",
                               "{\"event\":\"x\",\"a\":\"\\u0100\"}", "{\"event\":\"x\"} tail"}) {
        EXPECT_FALSE(Event::FromJson(broken, back)) << broken;
    }
}

// The ports a script names in any of its forms, and what each box's own process is given.
TEST(QelflashCommandLine, PortsInEveryFormAndWhatABoxProcessIsGiven) {
    const char* argv[] = {"qelflash", "flash", "-p",       "3,com12", "--port",    "/dev/x,y",
                          "-p",       "7-9",   "fw.bin",   "--json",  "--address", "1C000",
                          "--stall",  "9",     "--target", "NUX_1000"};
    qelflash::Options o;
    std::string error;
    ASSERT_TRUE(qelflash::ParseCommandLine(16, argv, o, error)) << error;
    std::vector<std::string> labels;
    for (const auto& p : o.ports) labels.push_back(p.label);
    EXPECT_EQ(labels,
              (std::vector<std::string>{"COM3", "COM12", "/dev/x,y", "COM7", "COM8", "COM9"}));
    EXPECT_EQ(o.passOn,
              (std::vector<std::string>{"fw.bin", "--address", "1C000", "--target", "NUX_1000"}));
    EXPECT_EQ(o.address, 0x1C000);
    EXPECT_EQ(o.stallSeconds, 9);
}

TEST(QelflashSeverity, SuccessThenNothingToDoThenFailuresByCode) {
    const int ascending[] = {RESULT_OK,        RESULT_NO_UPDATE_NEEDED, 1,
                             RESULT_NO_ANSWER, RESULT_VERIFY_FAILED,    28};
    for (std::size_t i = 1; i < sizeof ascending / sizeof ascending[0]; ++i)
        EXPECT_LT(qelflash::Severity(ascending[i - 1]), qelflash::Severity(ascending[i]));
}

}  // namespace
