// Every subcommand that works on a box or a file, as it should go and as it most often goes
// wrong (a silent box, a wrong file): exit code, the events a script reads, and what the box
// or the disk holds afterwards.
#include <filesystem>

#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

const Bytes kImage = qel::sim::MakeFirmwareImage(10000, "TARSK880 V2", "01.23");
const std::string kErased(10000, '\xFF');

struct BoxCase {
    const char* what;
    std::vector<std::string> box;   // boxsim's options as COM3; {"none"}: no box
    std::vector<std::string> args;  // "@name" is the file name in the test's folder
    int code;
    std::vector<std::string> wants;       // as ExpectEvents takes them
    std::vector<std::string> names = {};  // the whole sequence of events, where given
    std::string flash = "";               // what the box's flash holds at the image's place
    std::pair<std::string, std::string> file = {};  // a file and its contents afterwards
};

TEST_F(Qelflash, BoxAndFileSubcommandsGiveTheirCodesEventsAndResults) {
    const std::string image(kImage.begin(), kImage.end());
    Bytes flash(0x100000, 0xFF), other = kImage;
    std::copy(kImage.begin(), kImage.end(), flash.begin() + 0x8000);
    other[5000] ^= 1;
    File("fw.bin", kImage);
    File("other.bin", other);
    File("preload", flash);
    File("kept.bin", Bytes{1, 2, 3});
    File("bare.vme", qel::sim::MakeFirmwareImage(70000, "x", "1"));
    File("texts.bin", qel::sim::MakeFirmwareImage(5000, "NUX_1000 fw", "02.00"));
    File("one.bin", {1});
    ChildProcess make(
        {BOXSIM_PATH, "--make-vme", Path("new.vme"), "--size", "65536", "--version", "101"},
        dir.path);
    ASSERT_EQ(make.Finish(10000), 0);
    const std::vector<std::string> loaded{"--flash-in", Path("preload")};
    const std::vector<std::string> silent{"--fault", "silent"};
    const std::vector<std::string> none{"none"};

    const BoxCase cases[] = {
        {"flash",
         {},
         {"flash", "@fw.bin", "--port", "3"},
         0,
         {"started.port=COM3", "started.operation=flash", "image.name=TARSK880 V2",
          "image.version=01.23", "connected.device=PLV 200", "erase.first=32768",
          "erase.last=42766", "rate.baud=230400", "progress@bytes=4096.total=10000",
          "progress.bytes=10000", "progress.total=10000", "progress.percent=100.0",
          "finished.code=0", "finished.message=without failure         "},
         {"started", "image", "connected", "erase", "rate", "progress", "progress", "progress",
          "finished"},
         image},
        {"flash with a refused block",
         {"--fault", "refuse-block=1"},
         {"flash", "@fw.bin", "--port", "COM3"},
         0,
         {"retry.reason=block refused", "retry.baud=230400", "rate.baud=115200"},
         {},
         image},
        {"flash of a missing file",
         {},
         {"flash", "@missing.bin", "-p", "3"},
         4,
         {"finished.code=4", "!progress"},
         {},
         kErased},
        {"flash to an odd address",
         {},
         {"flash", "@fw.bin", "-p", "3", "--address", "8001"},
         10,
         {"finished.code=10", "!progress"},
         {},
         kErased},
        {"flash to a silent box",
         silent,
         {"flash", "@fw.bin", "-p", "3"},
         3,
         {"finished.code=3", "!progress"},
         {},
         kErased},
        {"flash to a port that is not there",
         none,
         {"flash", "@fw.bin", "-p", "COM8"},
         2,
         {"port_error.v24=-2", "finished.message=COM-Port not open       "}},
        // An erased flash is not the image: the box was reached through its device.
        {"verify through the device's path",
         {},
         {"verify", "@fw.bin", "-p", "@com3"},
         8,
         {"connected.device=PLV 200"}},
        {"verify of the image",
         loaded,
         {"verify", "@fw.bin", "-p", "3"},
         0,
         {"progress.bytes=10000"}},
        {"verify of another image",
         loaded,
         {"verify", "@other.bin", "-p", "3"},
         8,
         {"progress.bytes=4096", "finished.message=verify failure          "}},
        {"read of a range",
         loaded,
         {"read", "@back.bin", "-p", "3", "--from", "8000", "--to", "0x9FFF"},
         0,
         {"progress.bytes=8192"},
         {},
         "",
         {"back.bin", image.substr(0, 8192)}},
        // A failed read leaves the file asked for as it was, and no part of it.
        {"read from a silent box",
         silent,
         {"read", "@kept.bin", "-p", "3", "--from", "8000", "--to", "8FFF"},
         3,
         {},
         {},
         "",
         {"kept.bin", "\1\2\3"}},
        {"read from a silent box into a new file",
         silent,
         {"read", "@new.bin", "-p", "3", "--from", "8000", "--to", "8FFF"},
         3,
         {}},
        {"read into a folder that takes no file",
         silent,
         {"read", "@no/such/x.bin", "-p", "3", "--from", "8000", "--to", "8FFF"},
         4,
         {},
         {"started", "finished"}},
        {"info",
         {"--answer", "GSN=SN 1", "--answer", "GHV=Hardware version 8", "--answer", "GBV=Boot 2",
          "--answer", "GPV=Prog 3", "--answer", "GSS=SSN 4"},
         {"info", "-p", "3"},
         0,
         {"info.serial=SN 1", "info.hardware=Hardware version 8", "info.boot=Boot 2",
          "info.program=Prog 3", "info.ssn=SSN 4"}},
        {"info from a silent box", silent, {"info", "-p", "3"}, 3, {"!info", "finished.code=3"}},
        {"fpga",
         {"--mode", "firmware"},
         {"fpga", "@new.vme", "-p", "3"},
         0,
         {"progress@phase=fpga-data.bytes=65522", "progress.phase=fpga-programming"}},
        {"fpga of a file without its header",
         {"--mode", "firmware"},
         {"fpga", "@bare.vme", "-p", "3"},
         18,
         {"finished.message=file identifier missed  "}},
        {"strings",
         none,
         {"strings", "@texts.bin"},
         0,
         {"string.text=Release :: 02.00"},
         {"started", "string", "string", "finished"}},
        {"strings of a missing file", none, {"strings", "@none.bin"}, 4, {}},
        {"strings of a file too short", none, {"strings", "@one.bin"}, 5, {}},
    };
    for (const BoxCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.box != none) StartBox(3, c.box);
        std::vector<std::string> args;
        std::string device;
        for (const std::string& a : c.args) {
            if (a == "@com3") device = std::filesystem::read_symlink(Path("com3")).string();
            args.push_back(a == "@com3" ? device : a[0] == '@' ? Path(a.substr(1)) : a);
        }
        const std::vector<Event> events = Run(args);
        EXPECT_EQ(code, c.code) << out;
        ASSERT_FALSE(events.empty());
        if (!device.empty()) {
            EXPECT_EQ(events.front().Text("port"), device);
        }
        EXPECT_EQ(events.back().Name(), "finished");
        EXPECT_EQ(events.back().Number("code", -1), c.code);
        ExpectEvents(events, c.wants);
        if (!c.names.empty()) {
            EXPECT_EQ(Names(events), c.names) << out;
        }
        const Bytes held = StopBox(3, 0x8000, 10000);
        if (!c.flash.empty()) {
            EXPECT_EQ(std::string(held.begin(), held.end()), c.flash);
        }
        if (!c.file.first.empty()) {
            EXPECT_EQ(dir.Read(c.file.first), c.file.second);
        }
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos);
        EXPECT_NE(entry.path().filename(), "new.bin");
    }
}

}  // namespace
}  // namespace service_test
