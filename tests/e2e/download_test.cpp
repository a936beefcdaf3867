// The real bin2plv32 loading firmware into boxsim over a pseudo-terminal: the console text a
// technician sees, the exit code a script sees, and what reached the box's flash.

#include <cstdio>

#include "e2e/programs.h"
#include "sim/images.h"

namespace {

using namespace qel::test;

// Each row on a fresh box: the tool's exit code and the end of its console text (all of it
// where the row's text starts with the banner), and on success the flash.
TEST(DownloadE2e, LoadsOrFailsWithTheTechniciansTextInBoundedTime) {
    const std::string done = kBanner +
                             "New firmware: TARSK880 V201.23\n 1.0% \n42.0% \n82.9% \n"
                             "\nDownload erfolgreich";
    const struct {
        const char *what, *box, *args;  // boxsim's options; the tool's before the port
        int code;
        std::string text;
        std::size_t size;
    } rows[] = {
        {"plain", "", "", 0, done, 10000},
        {"erase refused twice", "--fault refuse-erase=2", "", 6, "Error 6 error flash deleting    ",
         10000},
        {"box dies after the first block", "--fault die-after=0", "", 3,
         "Error 3 no answwer              ", 10000},
        {"odd address", "", "8001", 10, "Error 10 targetadress bad        ", 10000},
        // The last row's log is read below.
        {"refused block", "--fault refuse-block=1", "", 0, done, 10000},
    };
    ScratchDir dir;
    const std::string path = dir.path + "/fw.bin";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto box = StartBoxsim("COM7", dir.path,
                               "--dir " + dir.path + " --log " + dir.path + "/log --flash-out " +
                                   dir.path + "/flash " + row.box);
        const auto image = qel::sim::MakeFirmwareImage(row.size, "TARSK880 V2", "01.23");
        ASSERT_TRUE(qel::sim::WriteFile(path, image));
        ChildProcess tool(Words(BIN2PLV32_PATH " " + path + " " + row.args + " 7"), dir.path);
        EXPECT_EQ(tool.Finish(120000), row.code);
        const std::string& out = tool.output;
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), row.text.size())), row.text) << out;
        EXPECT_LT(tool.ms, 60000);
        std::printf("[ timing   ] %s: %.1f s\n", row.what, tool.ms / 1000);
        StopBoxsim(box);
        if (row.code == 0) {
            EXPECT_EQ(dir.Read("flash").substr(0x8000, row.size),
                      std::string(image.begin(), image.end()));
        }
    }
    // The refused block was sent again, and the rest at a lower rate.
    const std::string events = dir.Read("log");
    const std::size_t refused = events.find("block 1 refused");
    ASSERT_NE(refused, std::string::npos) << events;
    EXPECT_TRUE(events.find("rate 115200", refused) != std::string::npos ||
                events.find("rate 57600", refused) != std::string::npos)
        << events;
}

}  // namespace
