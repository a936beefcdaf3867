// Several boxes at once: each in a process of its own, so more than the ten ports one
// process holds, and a box that fails, vanishes or hangs leaves the others to finish.
#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

std::vector<std::string> Results(const std::vector<Event>& events) {
    std::vector<std::string> lines;
    for (const Event& e : events)
        if (e.Name() == "result") lines.push_back(e.Text("port") + " " + e.Text("code"));
    return lines;
}

TEST_F(Qelflash, SixteenBoxesFromOneImageWhereThoseThatFailVanishOrHangLeaveTheOthersAlone) {
    // Box 2 stops answering after the first block, 3 vanishes mid-transfer (below), 4 is
    // silent for longer than --stall; there is no box 17.
    const char* const faults[] = {"", "--fault|die-after=0", "--pace", "--fault|silent"};
    std::vector<std::string> expected{"COM1 0", "COM2 3", "COM3 3", "COM4 3"};
    for (int n = 1; n <= 16; ++n) {
        StartBox(n, Split(n <= 4 ? faults[n - 1] : ""));
        if (n > 4) expected.push_back("COM" + std::to_string(n) + " 0");
    }
    expected.push_back("COM17 2");
    const Bytes sent = qel::sim::MakeFirmwareImage(60000, "TARSK880", "1");
    const std::string image = File("fw.bin", sent);
    ChildProcess tool({QELFLASH_PATH, "flash", image, "--port", "1,2,3", "-p", "COM4", "-p", "5-16",
                       "-p", "17", "--stall", "5", "--json"},
                      dir.path);
    ASSERT_TRUE(tool.ReadUntil("\"port\":\"COM3\",\"phase\":\"program\"", 60000)) << tool.output;
    StopBox(3);
    code = tool.Finish(120000);
    auto events = Parse(tool.output);
    EXPECT_EQ(Results(events), expected);
    EXPECT_EQ(code, 3);
    // The boxes read the image from copies of their own, yet every event names the file.
    ExpectEvents(events, {"result@port=COM1.note=", "started@port=COM16.file=" + image});
    const Event* hung = Last(events, "result", "COM4");
    ASSERT_NE(hung, nullptr);
    EXPECT_NE(hung->Text("note").find("stopped"), std::string::npos);
    for (int n : {1, 5, 10, 11, 16}) EXPECT_EQ(StopBox(n, 0x8000, 60000), sent) << n;
}

TEST_F(Qelflash, ManyBoxesInPlainLinesEndWithOneLinePerBox) {
    StartBox(1);
    EXPECT_EQ(RunPlain({"info", "-p", "1,2"}), 2);
    const std::string tail = out.substr(out.rfind("COM1: result"));
    EXPECT_EQ(tail,
              "COM1: result 0 without failure\n"
              "COM2: result 2 COM-Port not open\n");
}

}  // namespace
}  // namespace service_test
