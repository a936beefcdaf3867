// Every subcommand that works on a box or a file, as it should go and as it most often goes
// wrong (a silent box, a wrong file): exit code, the events a script reads, and what the box
// or the disk holds afterwards.
#include <filesystem>

#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

TEST_F(Qelflash, BoxAndFileSubcommandsGiveTheirCodesEventsAndResults) {
    const Bytes kImage = qel::sim::MakeFirmwareImage(10000, "TARSK880 V2", "01.23");
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
    // What the box's flash holds where the image goes, and files afterwards.
    const std::map<std::string, std::string> held{{"image", image},
                                                  {"erased", std::string(10000, '\xFF')},
                                                  {"back.bin", image.substr(0, 8192)},
                                                  {"kept.bin", "\1\2\3"}};
    const char* loaded = "--flash-in|@preload";
    const char* silent = "--fault|silent";
    const char* answers =
        "--answer|GSN=SN 1|--answer|GHV=Hardware version 8|--answer|GBV=Boot 2|--answer|GPV=Prog "
        "3|--answer|GSS=SSN 4";

    // Lists are '|'-separated; "@name" is the file of that name in the test's folder.
    const struct {
        const char* what;
        const char* box;  // boxsim's options, as COM3; nullptr: no box
        const char* args;
        int code;
        const char* wants;       // as ExpectEvents takes them
        const char* names = "";  // the whole sequence of events, where given
        const char* flash = "";  // what the box's flash holds afterwards, where given
        const char* file = "";   // a file that holds what held says afterwards
    } cases[] = {
        {"flash", "", "flash|@fw.bin|--port|3", 0,
         "started.port=COM3|started.operation=flash|image.name=TARSK880 V2|image.version=01.23|"
         "connected.device=PLV 200|erase.first=32768|erase.last=42766|rate.baud=230400|"
         "progress@bytes=4096.total=10000|progress.bytes=10000|progress.total=10000|"
         "progress.percent=100.0|finished.message=without failure         ",
         "started|image|connected|erase|rate|progress|progress|progress|finished", "image"},
        {"flash with a refused block", "--fault|refuse-block=1", "flash|@fw.bin|--port|COM3", 0,
         "retry.reason=block refused|retry.baud=230400|rate.baud=115200", "", "image"},
        {"flash of a missing file", "", "flash|@missing.bin|-p|3", 4, "!progress", "", "erased"},
        {"flash to an odd address", "", "flash|@fw.bin|-p|3|--address|8001", 10, "!progress", "",
         "erased"},
        {"flash to a silent box", silent, "flash|@fw.bin|-p|3", 3, "!progress", "", "erased"},
        {"flash to a port that is not there", nullptr, "flash|@fw.bin|-p|COM8", 2,
         "port_error.v24=-2|finished.message=COM-Port not open       "},
        // An erased flash is not the image: the box was reached through its device.
        {"verify through the device's path", "", "verify|@fw.bin|-p|@com3", 8,
         "connected.device=PLV 200"},
        {"verify of the image", loaded, "verify|@fw.bin|-p|3", 0, "progress.bytes=10000"},
        {"verify of another image", loaded, "verify|@other.bin|-p|3", 8,
         "progress.bytes=4096|finished.message=verify failure          "},
        {"read of a range", loaded, "read|@back.bin|-p|3|--from|8000|--to|0x9FFF", 0,
         "progress.bytes=8192", "", "", "back.bin"},
        // A failed read leaves the file asked for as it was, and no part of it.
        {"read from a silent box", silent, "read|@kept.bin|-p|3|--from|8000|--to|8FFF", 3, "", "",
         "", "kept.bin"},
        {"read from a silent box into a new file", silent,
         "read|@new.bin|-p|3|--from|8000|--to|8FFF", 3, ""},
        {"read into a folder that takes no file", silent,
         "read|@no/such/x.bin|-p|3|--from|8000|--to|8FFF", 4, "", "started|finished"},
        {"info", answers, "info|-p|3", 0,
         "info.serial=SN 1|info.hardware=Hardware version 8|info.boot=Boot 2|info.program=Prog 3|"
         "info.ssn=SSN 4"},
        {"info from a silent box", silent, "info|-p|3", 3, "!info"},
        {"fpga", "--mode|firmware", "fpga|@new.vme|-p|3", 0,
         "progress@phase=fpga-data.bytes=65522|progress.phase=fpga-programming"},
        {"fpga of a file without its header", "--mode|firmware", "fpga|@bare.vme|-p|3", 18,
         "finished.message=file identifier missed  "},
        {"strings", nullptr, "strings|@texts.bin", 0, "string.text=Release :: 02.00",
         "started|string|string|finished"},
        {"strings of a missing file", nullptr, "strings|@none.bin", 4, ""},
        {"strings of a file too short", nullptr, "strings|@one.bin", 5, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.box) StartBox(3, Paths(c.box));
        std::vector<std::string> args = Paths(c.args);
        std::string device;
        for (std::string& a : args)
            if (a == Path("com3")) a = device = std::filesystem::read_symlink(a).string();
        const std::vector<Event> events = Run(args);
        EXPECT_EQ(code, c.code) << out;
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().Name(), "finished");
        EXPECT_EQ(events.back().Number("code", -1), c.code);
        EXPECT_EQ(events.front().Text("port"),
                  device.empty() ? events.front().Text("port") : device);
        ExpectEvents(events, Split(c.wants));
        EXPECT_EQ(*c.names ? Names(events) : Split(""), Split(c.names)) << out;
        const Bytes flashed = StopBox(3, 0x8000, 10000);
        EXPECT_EQ(*c.flash ? std::string(flashed.begin(), flashed.end()) : "",
                  *c.flash ? held.at(c.flash) : "");
        EXPECT_EQ(*c.file ? dir.Read(c.file) : "", *c.file ? held.at(c.file) : "");
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos);
        EXPECT_NE(entry.path().filename(), "new.bin");
    }
}

}  // namespace
}  // namespace service_test
