// The real bin2plv32 loading firmware into boxsim over a pseudo-terminal: the console text a
// technician sees, the exit code a script sees, and what reached the box's flash.

#include <cstdio>

#include "e2e/programs.h"
#include "sim/images.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace qel::test;

const std::string kProgress = "New firmware: TARSK880 V201.23\n 1.0% \n42.0% \n82.9% \n";

class DownloadE2e : public ::testing::Test {
  protected:
    // Starts boxsim on COM7 in our folder, logging, with extra options.
    void StartBox(const std::string& options) {
        if (box_) StopBoxsim(box_);
        box_ = StartBoxsim("COM7", dir_.path,
                           "--dir " + dir_.path + " --log " + Path("log") + " --flash-out " +
                               Path("flash") + " " + options);
    }
    // Stops the box; n bytes of its flash from address on.
    Bytes StopBox(std::size_t address = 0, std::size_t n = 0) {
        StopBoxsim(box_);
        std::string flash = dir_.Read("flash");
        if (flash.size() < address + n) return {};
        return Bytes(flash.begin() + address, flash.begin() + address + n);
    }

    // Runs the tool on an image written from bytes, with args before the port 7.
    int Run(const Bytes& image, std::vector<std::string> args = {}) {
        const std::string path = Path("fw" + std::to_string(runs_++) + ".bin");
        EXPECT_TRUE(qel::sim::WriteFile(path, image));
        args.insert(args.begin(), {BIN2PLV32_PATH, path});
        args.push_back("7");
        ChildProcess tool(args, dir_.path);
        int code = tool.Finish(120000);
        out = tool.output;
        seconds = tool.ms / 1000;
        return code;
    }
    std::string Path(const std::string& name) const { return dir_.path + "/" + name; }

    qel::test::ScratchDir dir_;
    std::string out;
    double seconds = 0;

  private:
    std::unique_ptr<ChildProcess> box_;
    int runs_ = 0;
};

// Each row on a fresh box: the tool's exit code and the end of its console text (all of it
// where the row's text starts with the banner), and on success the flash.
TEST_F(DownloadE2e, LoadsOrFailsWithTheTechniciansTextInBoundedTime) {
    const std::string done = kProgress + "\nDownload erfolgreich";
    struct Row {
        const char* what;
        const char *box, *args;  // boxsim's and the tool's options
        int code;
        std::string text;
        std::uint32_t size = 10000, at = 0x8000;
    };
    const Row rows[] = {
        {"plain", "", "", 0, kBanner + done},
        {"target name", "--name NUX_1000", "target=NUX_1000", 0, kBanner + done},
        // No download has named the box in this run: the default name is NUX_1000.
        {"address", "--name NUX_1000", "1C000", 0, kBanner + " 1.0% \n\nDownload erfolgreich", 100,
         0x1C000},
        {"erase refused twice", "--fault refuse-erase=2", "", 6,
         "Error 6 error flash deleting    "},
        {"box dies after the first block", "--fault die-after=0", "", 3,
         "Error 3 no answwer              "},
        {"odd address", "", "8001", 10, "Error 10 targetadress bad        "},
        {"one-byte image", "", "", 5, "Error 5 file bad size           ", 1},
        // The last row's log is read below.
        {"refused block", "--fault refuse-block=1", "", 0, kBanner + done},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        StartBox(row.box);
        const Bytes image = qel::sim::MakeFirmwareImage(row.size, "TARSK880 V2", "01.23");
        EXPECT_EQ(Run(image, Words(row.args)), row.code);
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), row.text.size())), row.text) << out;
        EXPECT_LT(seconds, 60);
        std::printf("[ timing   ] %s: %.1f s\n", row.what, seconds);
        if (row.code == 0) {
            EXPECT_EQ(StopBox(row.at, row.size), image);
        }
    }
    // The refused block was sent again, and the rest at a lower rate.
    const std::string events = dir_.Read("log");
    const std::size_t refused = events.find("block 1 refused");
    ASSERT_NE(refused, std::string::npos) << events;
    EXPECT_TRUE(events.find("rate 115200", refused) != std::string::npos ||
                events.find("rate 57600", refused) != std::string::npos)
        << events;

}

}  // namespace
