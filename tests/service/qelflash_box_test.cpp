// Each box operation once as it should go and once as it most often goes wrong (a silent box,
// a wrong file): exit code, the events a script reads, and what the box or the disk holds.
#include <filesystem>

#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

const Bytes kImage = qel::sim::MakeFirmwareImage(10000, "TARSK880 V2", "01.23");

TEST_F(Qelflash, FlashReportsEachStepAndTheImageLandsInFlash) {
    StartBox(3);
    auto events = Run({"flash", File("fw.bin", kImage), "--port", "3"});
    EXPECT_EQ(code, 0) << out;
    std::vector<std::string> expected{"started",  "image",    "connected", "erase",   "rate",
                                      "progress", "progress", "progress",  "finished"};
    EXPECT_EQ(Names(events), expected);
    EXPECT_EQ(events[0].Text("port"), "COM3");
    EXPECT_EQ(events[0].Text("operation"), "flash");
    EXPECT_EQ(events[1].Text("name"), "TARSK880 V2");
    EXPECT_EQ(events[1].Text("version"), "01.23");
    EXPECT_EQ(events[2].Text("device"), "PLV 200");
    EXPECT_EQ(events[3].Number("first"), 0x8000);
    EXPECT_EQ(events[3].Number("last"), 0x8000 + 10000 - 2);
    EXPECT_EQ(events[4].Number("baud"), 230400);
    EXPECT_EQ(events[5].Number("bytes"), 4096);
    EXPECT_EQ(events[7].Number("bytes"), 10000);
    EXPECT_EQ(events[7].Number("total"), 10000);
    EXPECT_EQ(events[7].Text("percent"), "100.0");
    EXPECT_EQ(events[8].Number("code", -1), 0);
    EXPECT_EQ(events[8].Text("message"), "without failure         ");
    EXPECT_EQ(StopBox(3, 0x8000, 10000), kImage);
}

TEST_F(Qelflash, FlashRetriesARefusedBlockAndSaysWhy) {
    StartBox(3, {"--fault", "refuse-block=1"});
    auto events = Run({"flash", File("fw.bin", kImage), "--port", "COM3"});
    EXPECT_EQ(code, 0) << out;
    const Event* retry = Last(events, "retry");
    ASSERT_NE(retry, nullptr) << out;
    EXPECT_EQ(retry->Text("reason"), "block refused");
    EXPECT_EQ(retry->Number("baud"), 230400);
    EXPECT_LT(Last(events, "rate")->Number("baud"), 230400);
    EXPECT_EQ(StopBox(3, 0x8000, 10000), kImage);
}

TEST_F(Qelflash, FlashFailuresEndWithTheirCodeAndTouchNoBox) {
    struct Row {
        const char* what;
        std::vector<std::string> box;
        std::string file;
        std::vector<std::string> more;
        int code;
    };
    const std::string missing = Path("missing.bin");
    const std::string image = File("fw.bin", kImage);
    const Row rows[] = {
        {"file that is not there", {}, missing, {}, 4},
        {"odd address", {}, image, {"--address", "8001"}, 10},
        {"silent box", {"--fault", "silent"}, image, {}, 3},
    };
    for (const Row& row : rows) {
        StartBox(4, row.box);
        std::vector<std::string> args{"flash", row.file, "--port", "4"};
        args.insert(args.end(), row.more.begin(), row.more.end());
        auto events = Run(args);
        EXPECT_EQ(code, row.code) << row.what << "\n" << out;
        ASSERT_FALSE(events.empty()) << row.what;
        EXPECT_EQ(events.back().Name(), "finished") << row.what;
        EXPECT_EQ(events.back().Number("code", -1), row.code) << row.what;
        EXPECT_EQ(Last(events, "progress"), nullptr) << row.what;
        EXPECT_EQ(StopBox(4, 0x8000, 10000), Bytes(10000, 0xFF)) << row.what;
    }
}

TEST_F(Qelflash, PortThatCannotBeOpenedIsCodeTwoWithTheReason) {
    auto events = Run({"flash", File("fw.bin", kImage), "--port", "COM8"});
    EXPECT_EQ(code, 2);
    ASSERT_NE(Last(events, "port_error"), nullptr) << out;
    EXPECT_EQ(Last(events, "port_error")->Number("v24"), -2);
    EXPECT_EQ(Last(events, "finished")->Text("message"), "COM-Port not open       ");
}

TEST_F(Qelflash, ADevicePathServesAsPort) {
    StartBox(3);
    const std::string device = std::filesystem::read_symlink(Path("com3")).string();
    auto events = Run({"verify", File("fw.bin", kImage), "--port", device});
    // An erased flash is not the image: the box was reached through its device.
    EXPECT_EQ(code, 8) << out;
    EXPECT_EQ(events.front().Text("port"), device);
    EXPECT_NE(Last(events, "connected"), nullptr);
}

TEST_F(Qelflash, VerifyPassesOnTheImageAndStopsAtTheFirstDifference) {
    std::vector<std::uint8_t> flash(0x100000, 0xFF);
    std::copy(kImage.begin(), kImage.end(), flash.begin() + 0x8000);
    StartBox(3, {"--flash-in", File("preload", Bytes(flash.begin(), flash.end()))});
    auto events = Run({"verify", File("fw.bin", kImage), "-p", "3"});
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(Last(events, "progress")->Number("bytes"), 10000);

    Bytes other = kImage;
    other[5000] ^= 1;
    events = Run({"verify", File("other.bin", other), "-p", "3"});
    EXPECT_EQ(code, 8) << out;
    EXPECT_EQ(Last(events, "progress")->Number("bytes"), 4096);
    EXPECT_EQ(Last(events, "finished")->Text("message"), "verify failure          ");
}

TEST_F(Qelflash, ReadWritesTheRangeOrLeavesTheNameAlone) {
    std::vector<std::uint8_t> flash(0x100000, 0xFF);
    std::copy(kImage.begin(), kImage.end(), flash.begin() + 0x8000);
    StartBox(3, {"--flash-in", File("preload", Bytes(flash.begin(), flash.end()))});
    auto events = Run({"read", Path("back.bin"), "-p", "3", "--from", "8000", "--to", "0x9FFF"});
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(dir.Read("back.bin"), std::string(kImage.begin(), kImage.begin() + 8192));
    EXPECT_EQ(Last(events, "progress")->Number("bytes"), 8192);
    StopBox(3);

    // A box that falls silent: the file asked for keeps what it held, and no part is left.
    StartBox(5, {"--fault", "silent"});
    File("kept.bin", Bytes{1, 2, 3});
    events = Run({"read", Path("kept.bin"), "-p", "5", "--from", "8000", "--to", "8FFF"});
    EXPECT_EQ(code, 3) << out;
    EXPECT_EQ(dir.Read("kept.bin"), std::string("\1\2\3"));
    events = Run({"read", Path("new.bin"), "-p", "5", "--from", "8000", "--to", "8FFF"});
    EXPECT_EQ(code, 3);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left,
              (std::vector<std::string>{"back.bin", "com5", "flash3", "kept.bin", "preload"}));

    // A folder that takes no file: nothing is asked of the box.
    events = Run({"read", Path("no/such/dir/x.bin"), "-p", "5", "--from", "8000", "--to", "8FFF"});
    EXPECT_EQ(code, 4);
    EXPECT_EQ(Names(events), (std::vector<std::string>{"started", "finished"}));
}

TEST_F(Qelflash, InfoGivesTheBoxsTextsOrNothingFromASilentBox) {
    StartBox(3, {"--answer", "GSN=SN 1", "--answer", "GHV=Hardware version 8", "--answer",
                 "GBV=Boot 2", "--answer", "GPV=Prog 3", "--answer", "GSS=SSN 4"});
    auto events = Run({"info", "-p", "3"});
    EXPECT_EQ(code, 0) << out;
    const Event* info = Last(events, "info");
    ASSERT_NE(info, nullptr) << out;
    EXPECT_EQ(info->Text("serial"), "SN 1");
    EXPECT_EQ(info->Text("hardware"), "Hardware version 8");
    EXPECT_EQ(info->Text("boot"), "Boot 2");
    EXPECT_EQ(info->Text("program"), "Prog 3");
    EXPECT_EQ(info->Text("ssn"), "SSN 4");

    StartBox(4, {"--fault", "silent"});
    events = Run({"info", "-p", "4"});
    EXPECT_EQ(code, 3);
    EXPECT_EQ(Last(events, "info"), nullptr);
    EXPECT_EQ(Last(events, "finished")->Number("code"), 3);
}

TEST_F(Qelflash, FpgaUpdateRunsToTheEndOrRefusesAFileWithoutItsHeader) {
    StartBox(3, {"--mode", "firmware"});
    ChildProcess make(
        {BOXSIM_PATH, "--make-vme", Path("new.vme"), "--size", "65536", "--version", "101"},
        dir.path);
    ASSERT_EQ(make.Finish(10000), 0);
    auto events = Run({"fpga", Path("new.vme"), "-p", "3"});
    EXPECT_EQ(code, 0) << out;
    const Event* data = nullptr;
    for (const Event& e : events)
        if (e.Text("phase") == "fpga-data") data = &e;
    ASSERT_NE(data, nullptr) << out;
    EXPECT_EQ(data->Number("bytes"), 65536 - 14);
    EXPECT_EQ(Last(events, "progress")->Text("phase"), "fpga-programming");

    events =
        Run({"fpga", File("image.vme", qel::sim::MakeFirmwareImage(70000, "x", "1")), "-p", "3"});
    EXPECT_EQ(code, 18) << out;
    EXPECT_EQ(Last(events, "finished")->Text("message"), "file identifier missed  ");
}

}  // namespace
}  // namespace service_test
