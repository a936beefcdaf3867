// The firmware download against the simulated box on the in-memory line.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "line/verify_box_fixture.h"
#include "serial/device/unshared_file.h"
#include "sim/fault_option.h"

namespace {

using box_test::Bytes;
using qel::dev::NowMs;
using qel::sim::MakeFirmwareImage;
namespace fs = std::filesystem;

struct DownloadFlow : box_test::BoxFixture {
    std::string Run(const std::string& path, int address = -1, const std::string& target = "") {
        return Console([&] { result = client->Download(path, address, target); });
    }
    void AwaitCommands(const char* name, int n) {
        box->WaitUntil([&](const qel::sim::Box&) { return CountCommands(name) >= n; }, 20000);
    }
    int result = 0;
};

TEST_F(DownloadFlow, ImagesLandInFlashWithTheirProgressLines) {
    StartBox();
    Bytes image = MakeFirmwareImage(10000, "TARSK880 V2", "01.23");
    EXPECT_EQ(Run(File("fw.bin", image)),
              "New firmware: TARSK880 V201.23\n 1.0% \n42.0% \n82.9% \n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(client->GetState(), STATE_FINISHED);
    EXPECT_STREQ(client->GetDeviceName(), "PLV 200");
    EXPECT_EQ(box->FlashRange(0x8000, 10000), image);
    EXPECT_EQ(box->Erased().back().last, 0x8000u + 10000 - 2);
    EXPECT_TRUE(box->WaitUntil([](const qel::sim::Box& b) { return b.Resets() == 1; }, 2000));
    ASSERT_FALSE(box->RateSwitches().empty());
    EXPECT_EQ(box->RateSwitches().front(), 230400u);

    // An odd size ends with a filler byte in the last word, which the erase range covers.
    Bytes odd = MakeFirmwareImage(4097, "TARSK880", "1.0");
    EXPECT_NE(Run(File("odd.bin", odd)).find(" 1.0% \n101.0% \n"), std::string::npos);
    odd.push_back(0xFF);
    EXPECT_EQ(box->FlashRange(0x8000, 4098), odd);
    EXPECT_EQ(box->Erased().back().last, 0x9000u);

    // At an explicit address: no identification, the same progress values.
    EXPECT_EQ(Run(File("fw.bin", image), 0x1C000), " 1.0% \n42.0% \n82.9% \n");
    EXPECT_EQ(box->FlashRange(0x1C000, 10000), image);

    // The largest image fits only at the default address.
    Bytes largest = MakeFirmwareImage(0xF8000, "TARSK880 X", "2.00");
    Run(File("large.bin", largest));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(box->FlashRange(0x8000, 0xF8000), largest);
    EXPECT_EQ(box->Erased().back().last, 0xFFFFEu);
    EXPECT_TRUE(box->Violations().empty()) << box->Violations()[0];
}

TEST_F(DownloadFlow, FileChecksFailBeforeAnythingIsSent) {
    StartBox();
    struct Case {
        std::string path;
        int address, code;
    };
    std::string big = File("big.bin", Bytes(0xF8000, 0x11));
    const Case cases[] = {
        {Path("missing.bin"), -1, RESULT_FILE_UNKNOWN},
        {File("empty.bin", {}), -1, RESULT_FILE_BAD_SIZE},
        {File("huge.bin", Bytes(0xF8001, 1)), -1, RESULT_FILE_BAD_SIZE},
        {File("a.bin", Bytes(16, 1)), 0x3FFE, RESULT_BAD_ADDRESS},
        {File("a.bin", Bytes(16, 1)), 0x4001, RESULT_BAD_ADDRESS},
        {File("a.bin", Bytes(16, 1)), -2, RESULT_BAD_ADDRESS},
        {big, 0x8000, RESULT_BAD_ADDRESS},  // 0x8000 + 0xF8000 > 0xFFFFF
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.path, c.address), "");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(client->GetError(), c.code) << c.path << " at " << c.address;
        EXPECT_EQ(client->GetState(), STATE_FAILED);
    }
    // Nor can a file another program holds be loaded.
    std::FILE* held = qel::dev::OpenFileUnshared(big);
    ASSERT_NE(held, nullptr);
    Run(big);
    EXPECT_EQ(client->GetError(), RESULT_FILE_UNKNOWN);
    std::fclose(held);
    EXPECT_TRUE(box->Commands().empty());
}

TEST_F(DownloadFlow, TargetNameOrTheNameTableDecidesWhatTheBoxIsCalled) {
    StartBox([](auto& o) { o.names = {"NUX_1000"}; });
    std::string tarsk = File("t.bin", MakeFirmwareImage(5000, "TARSK880 V2", "01.23"));
    std::string nux = File("n.bin", MakeFirmwareImage(5000, "fw NUX_1000", "3.1"));
    auto failsAs = [&](const std::string& path, const std::string& target, const char* name) {
        // A box that does not answer to the name: its waits run twenty times faster.
        qel::dev::SetTimeScale(20);
        std::string out = Run(path, -1, target);
        qel::dev::SetTimeScale(1);
        EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
        EXPECT_STREQ(client->GetDeviceName(), name);
        return out;
    };
    // By the table the first image is for a "PLV 200", the second for a NUX_1000.
    failsAs(tarsk, "", "PLV 200");
    EXPECT_EQ(Run(nux), "New firmware: fw NUX_1000  3.1\n 1.0% \n82.9% \n");
    EXPECT_EQ(result, 0);
    // A target name wins over the table.
    EXPECT_EQ(Run(tarsk, -1, "NUX_1000").substr(0, 14), "New firmware: ");
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(client->GetDeviceName(), "NUX_1000");
    // 1533 bytes carry no identification: nothing printed, and a target does not apply.
    Bytes small(1533, 0x41);
    EXPECT_EQ(Run(File("s.bin", small), -1, "QEL_1000"), " 1.0% \n");
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(client->GetDeviceName(), "NUX_1000");
    EXPECT_EQ(box->FlashRange(0x8000, 1533), small);
    failsAs(nux, "PLV 200", "PLV 200");

    // A missing name prints as empty and picks the default box; a missing version, a line end.
    Bytes unnamed(2000, 0);
    unnamed[1300] = 'A';  // shorter than three characters: not counted
    EXPECT_EQ(failsAs(File("u.bin", unnamed), "", "PLV 200"), "New firmware: \n");
    std::memcpy(&unnamed[1280], "NAME ONLY", 9);
    EXPECT_EQ(failsAs(File("u.bin", unnamed), "", "PLV 200"), "New firmware: NAME ONLY\n");
}

TEST_F(DownloadFlow, BoxAsleepIsWokenByABreak) {
    StartBox([](auto& o) { o.faults.needsBreak = true; });
    Bytes image = MakeFirmwareImage(3000, "TARSK880", "1.00");
    Run(File("fw.bin", image));
    EXPECT_EQ(result, 0);
    EXPECT_GE(box->Breaks(), 1);
    EXPECT_EQ(box->FlashRange(0x8000, 3000), image);
}

TEST_F(DownloadFlow, EveryFailureRowEndsWithItsCodeInBoundedTime) {
    // A fault as boxsim takes it; the box goes silent once the event silentAfter happened.
    const struct {
        const char *what, *fault, *silentAfter;
        int code, erases;
    } rows[] = {
        {"box silent", "silent", nullptr, RESULT_NO_ANSWER, 0},
        {"erase refused, box gone", "refuse-erase=1", "command DEL", RESULT_NO_ANSWER, 1},
        {"erase refused twice", "refuse-erase=2", nullptr, RESULT_ERASE_FAILED, 2},
        {"rate switch and resync fail", "", "command SBD", RESULT_NO_ANSWER, 1},
        {"reset fails", "die-after=2", nullptr, RESULT_NO_ANSWER, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        SetUp();
        qel::sim::BoxOptions options;
        qel::sim::ParseFault(row.fault, options.faults);
        qel::sim::Faults silenced = options.faults;
        silenced.silent = true;
        // Told from the box's thread: the command at work still meets the row's faults, the
        // box is gone after it. Only then do the waits run twenty times faster: a block the
        // box takes at its own speed must not meet a time-out cut to a few milliseconds.
        options.log = [&](const std::string& event) {
            if (row.silentAfter && event.rfind(row.silentAfter, 0) == 0) box->SetFaults(silenced);
            if (event == "dead") qel::dev::SetTimeScale(20);
        };
        StartBox(options);
        const double start = NowMs();
        Run(File("fw.bin", MakeFirmwareImage(10000, "TARSK880", "1.00")));
        const double took = NowMs() - start;
        box->Stop();  // before the row its log reads goes
        EXPECT_EQ(result, -1);
        EXPECT_EQ(client->GetError(), row.code);
        EXPECT_EQ(CountCommands("DEL"), row.erases);
        EXPECT_EQ(client->GetState(), STATE_FAILED);
        EXPECT_LT(took, 30000);
        std::printf("[ timing   ] %s: %.1f s\n", row.what, took / 1000);
    }
}

TEST_F(DownloadFlow, ImageThatChangesSizeIsAFailureOrKeepsToTheErasedRange) {
    StartBox([](auto& o) { o.programMsPerBlock = 300; });
    Bytes image = MakeFirmwareImage(10000, "TARSK880", "1.00");
    // Another program cuts the file while the first block is being programmed. Windows
    // refuses that while the tool holds the file unshared: the image then stays whole.
    std::string path = File("cut.bin", image);
    std::error_code refused;
    std::thread cutter([&] {
        AwaitCommands("PRO", 1);
        fs::resize_file(path, 5000, refused);
    });
    std::string out = Run(path);
    cutter.join();
    if (refused) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(box->FlashRange(0x8000, 10000), image);
        return;
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(client->GetError(), RESULT_FILE_BAD_SIZE);
    EXPECT_EQ(box->Resets(), 0);  // left in the bootloader, ready for another attempt
    EXPECT_EQ(out.find("42.0"), std::string::npos);

    // Growing the file must not program past the range that was erased either.
    path = File("grow.bin", image);
    std::thread grower([&] {
        AwaitCommands("PRO", 2);
        fs::resize_file(path, 20000);
    });
    Run(path);
    grower.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(box->FlashRange(0x8000, 10000), image);
    EXPECT_EQ(box->FlashRange(0x8000 + 10000, 4096), Bytes(4096, 0xFF));
    EXPECT_EQ(CountCommands("PRO"), 1 + 3);
}

}  // namespace
