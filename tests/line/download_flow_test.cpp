// The firmware download against the simulated box on the in-memory line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download/download.h"
#include "serial/device/sync.h"
#include "serial/device/unshared_file.h"
#include "serial/device/virtual_line.h"
#include "serial/v24.h"
#include "sim/box.h"
#include "sim/images.h"

namespace {

using qel::dev::NowMs;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

class DownloadFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        static int serial = 0;
        name_ = "COM" + std::to_string(30 + serial++ % 20);
        qel::dev::RegisterVirtualPort(name_, line_.a);
        dir_ =
            fs::temp_directory_path() /
            ("qel_download_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + std::to_string(serial) + "_" + std::to_string(NowMs()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (box) box->Stop();
        if (port_ >= 0) V24Close(port_);
        client.reset();
        box.reset();
        qel::dev::UnregisterVirtualPort(name_);
        qel::dev::SetTimeScale(1);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    void StartBox(qel::sim::BoxOptions options = {}) {
        box = std::make_unique<qel::sim::Box>(qel::sim::MakeVirtualWire(line_.b, line_.a),
                                              std::move(options));
        box->Start();
        port_ = V24Open(name_.c_str(), 1);
        ASSERT_GE(port_, 0);
        client = std::make_unique<CDownload>(port_);
    }

    std::string Path(const std::string& file) const { return (dir_ / file).string(); }
    std::string Image(const Bytes& bytes, const std::string& file = "fw.bin") {
        std::string path = Path(file);
        EXPECT_TRUE(qel::sim::WriteFile(path, bytes));
        return path;
    }

    // Runs the download and returns what it printed.
    std::string Run(const std::string& path, int address = -1, const std::string& target = "") {
        ::testing::internal::CaptureStdout();
        result = client->Download(path, address, target);
        return ::testing::internal::GetCapturedStdout();
    }

    std::vector<std::string> Commands(const std::string& name) const {
        std::vector<std::string> out;
        for (const auto& c : box->Commands())
            if (c.name == name) out.push_back(c.name);
        return out;
    }

    std::unique_ptr<qel::sim::Box> box;
    std::unique_ptr<CDownload> client;
    int result = 0;

  private:
    qel::dev::VirtualLine line_ = qel::dev::VirtualLine::Create();
    std::string name_;
    fs::path dir_;
    int port_ = -1;
};

TEST_F(DownloadFlow, ImageLandsInFlashWithItsProgressLines) {
    StartBox();
    Bytes image = qel::sim::MakeFirmwareImage(10000, "TARSK880 V2", "01.23");
    std::string out = Run(Image(image));
    EXPECT_EQ(out, "New firmware: TARSK880 V201.23\n 1.0% \n42.0% \n82.9% \n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(client->GetError(), 0);
    EXPECT_EQ(client->GetState(), STATE_FINISHED);
    EXPECT_STREQ(client->GetDeviceName(), "PLV 200");
    EXPECT_EQ(box->FlashRange(0x8000, 10000), image);
    ASSERT_EQ(box->Erased().size(), 1u);
    EXPECT_EQ(box->Erased()[0].first, 0x8000u);
    EXPECT_EQ(box->Erased()[0].last, 0x8000u + 10000 - 2);
    EXPECT_TRUE(box->WaitUntil([](const qel::sim::Box& b) { return b.Resets() == 1; }, 2000));
    EXPECT_EQ(box->RateSwitches().front(), 230400u);
    EXPECT_TRUE(box->Violations().empty()) << box->Violations()[0];
}

TEST_F(DownloadFlow, OddImageEndsWithAFillerByteAndAnExplicitAddressKeepsTheProgress) {
    StartBox();
    Bytes image = qel::sim::MakeFirmwareImage(4097, "TARSK880", "1.0");
    std::string path = Image(image);
    std::string out = Run(path);
    EXPECT_EQ(result, 0);
    EXPECT_NE(out.find(" 1.0% \n101.0% \n"), std::string::npos) << out;
    Bytes expected = image;
    expected.push_back(0xFF);
    EXPECT_EQ(box->FlashRange(0x8000, 4098), expected);
    EXPECT_EQ(box->Erased().back().last, 0x9000u);
    std::vector<std::uint32_t> blocks;
    for (const auto& c : box->Commands())
        if (c.name == "PRO") blocks.push_back(c.p1);
    EXPECT_EQ(blocks, (std::vector<std::uint32_t>{0x8000, 0x9000}));

    // At an explicit address: no identification, the same progress values.
    out = Run(Image(qel::sim::MakeFirmwareImage(10000, "TARSK880", "1.0"), "b.bin"), 0x1C000);
    EXPECT_EQ(out, " 1.0% \n42.0% \n82.9% \n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(box->Erased().back().first, 0x1C000u);
}

TEST_F(DownloadFlow, FileChecksFailBeforeAnythingIsSent) {
    StartBox();
    struct Case {
        std::string path;
        int address;
        int code;
    };
    std::string big = Image(Bytes(0xF8000, 0x11), "big.bin");
    std::vector<Case> cases = {
        {Path("missing.bin"), -1, RESULT_FILE_UNKNOWN},
        {Image(Bytes{}, "empty.bin"), -1, RESULT_FILE_BAD_SIZE},
        {Image(Bytes(1, 1), "one.bin"), -1, RESULT_FILE_BAD_SIZE},
        {Image(Bytes(0xF8001, 1), "huge.bin"), -1, RESULT_FILE_BAD_SIZE},
        {Image(Bytes(16, 1), "a.bin"), 0x3FFE, RESULT_BAD_ADDRESS},
        {Image(Bytes(16, 1), "b.bin"), 0x4001, RESULT_BAD_ADDRESS},
        {Image(Bytes(16, 1), "c.bin"), 0, RESULT_BAD_ADDRESS},
        {Image(Bytes(16, 1), "d.bin"), -2, RESULT_BAD_ADDRESS},
        {big, 0x8000, RESULT_BAD_ADDRESS},  // 0x8000 + 0xF8000 > 0xFFFFF
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.path, c.address), "");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(client->GetError(), c.code) << c.path;
        EXPECT_EQ(client->GetState(), STATE_FAILED);
    }
    // A directory cannot be loaded.
    EXPECT_EQ(Run(fs::path(big).parent_path().string()), "");
    EXPECT_EQ(client->GetError(), RESULT_FILE_UNKNOWN);
    // Nor a file another program holds.
    std::FILE* held = qel::dev::OpenFileUnshared(big);
    ASSERT_NE(held, nullptr);
    Run(big);
    EXPECT_EQ(client->GetError(), RESULT_FILE_UNKNOWN);
    std::fclose(held);
    EXPECT_TRUE(box->Commands().empty());
    EXPECT_TRUE(box->Erased().empty());
}

TEST_F(DownloadFlow, LargestImageFitsOnlyBelowTheFlashEnd) {
    qel::sim::BoxOptions options;
    options.names = {"QEL_1000"};
    StartBox(options);
    Bytes image = qel::sim::MakeFirmwareImage(0xF8000, "QEL_1000 X", "2.00");
    std::string path = Image(image);
    std::string out = Run(path);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(box->FlashRange(0x8000, 0xF8000), image);
    EXPECT_EQ(box->Erased().back().last, 0xFFFFEu);
    // The last of 248 lines shows the share before the last block, plus one.
    EXPECT_NE(out.find("\n100.6% \n"), std::string::npos);

    Run(path, 0x8002);  // 0x8002 + 0xF8000 > 0xFFFFF
    EXPECT_EQ(client->GetError(), RESULT_BAD_ADDRESS);
}

// --- the box decides: names, breaks, refusals --------------------------------------------

TEST_F(DownloadFlow, TargetNameOrTheNameTableDecidesWhatTheBoxIsCalled) {
    qel::sim::BoxOptions options;
    options.names = {"NUX_1000"};
    StartBox(options);
    std::string tarsk = Image(qel::sim::MakeFirmwareImage(5000, "TARSK880 V2", "01.23"), "t.bin");

    // By the table the image is for a "PLV 200", which this box is not.
    qel::dev::SetTimeScale(20);
    Run(tarsk);
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    EXPECT_STREQ(client->GetDeviceName(), "PLV 200");
    qel::dev::SetTimeScale(1);

    EXPECT_EQ(Run(tarsk, -1, "NUX_1000").substr(0, 14), "New firmware: ");
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(client->GetDeviceName(), "NUX_1000");

    // By the table this one is for a NUX_1000.
    Bytes nux = qel::sim::MakeFirmwareImage(5000, "fw NUX_1000", "3.1");
    std::string path = Image(nux, "n.bin");
    EXPECT_EQ(Run(path), "New firmware: fw NUX_1000  3.1\n 1.0% \n82.9% \n");
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(client->GetDeviceName(), "NUX_1000");
    EXPECT_EQ(box->FlashRange(0x8000, 5000), nux);

    // A target name wins over the table, even when the box does not answer to it.
    qel::dev::SetTimeScale(20);
    Run(path, -1, "PLV 200");
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    EXPECT_STREQ(client->GetDeviceName(), "PLV 200");
}

TEST_F(DownloadFlow, ShortImageKeepsTheNameItHadAndATargetDoesNotApply) {
    qel::sim::BoxOptions options;
    options.names = {"ZAR_1000"};
    StartBox(options);
    Run(Image(qel::sim::MakeFirmwareImage(5000, "ZAR_1000", "1.00"), "z.bin"));
    ASSERT_EQ(result, 0);
    // 1533 bytes carry no identification: nothing printed, the name stays.
    Bytes small(1533, 0x41);
    EXPECT_EQ(Run(Image(small, "s.bin"), -1, "QEL_1000"), " 1.0% \n");
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(client->GetDeviceName(), "ZAR_1000");
    EXPECT_EQ(box->FlashRange(0x8000, 1533), small);
}

TEST_F(DownloadFlow, MissingIdentificationPrintsAnEmptyNameAndUsesTheDefaultBox) {
    StartBox();
    Bytes image(2000, 0);
    image[1300] = 'A';  // shorter than three characters: not counted
    EXPECT_EQ(Run(Image(image)), "New firmware: \n 1.0% \n");
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(client->GetDeviceName(), "PLV 200");

    // A name but no version text.
    Bytes named(2000, 0);
    std::memcpy(&named[1280], "NAME ONLY", 9);
    EXPECT_EQ(Run(Image(named, "n.bin")), "New firmware: NAME ONLY\n 1.0% \n");
}

TEST_F(DownloadFlow, BoxAsleepIsWokenByABreak) {
    qel::sim::BoxOptions options;
    options.faults.needsBreak = true;
    StartBox(options);
    Bytes image = qel::sim::MakeFirmwareImage(3000, "TARSK880", "1.00");
    Run(Image(image));
    EXPECT_EQ(result, 0);
    EXPECT_GE(box->Breaks(), 1);
    EXPECT_EQ(box->FlashRange(0x8000, 3000), image);
}

TEST_F(DownloadFlow, RefusedBlockSucceedsAfterResyncAtALowerRate) {
    qel::sim::BoxOptions options;
    options.faults.refuseBlock = 1;
    StartBox(options);
    Bytes image = qel::sim::MakeFirmwareImage(10000, "TARSK880", "1.00");
    std::string out = Run(Image(image));
    EXPECT_EQ(result, 0);
    // The refused block's sum stays in the code; the outcome is still success.
    EXPECT_EQ(client->GetError(), 200);
    EXPECT_EQ(client->GetState(), STATE_FINISHED);
    EXPECT_EQ(out.substr(out.find('\n') + 1), " 1.0% \n42.0% \n82.9% \n");
    EXPECT_EQ(box->FlashRange(0x8000, 10000), image);
    EXPECT_EQ(client->GetBaudRate(), 115200);
    auto switches = box->RateSwitches();
    EXPECT_NE(std::find(switches.begin(), switches.end(), 115200u), switches.end());
    EXPECT_TRUE(box->Violations().empty());
}

// --- the failure table -----------------------------------------------------------------------

struct Failure {
    const char* what;
    qel::sim::Faults faults;
    const char* silentAfter;  // the box goes silent once this command has arrived
    int code;
};

TEST_F(DownloadFlow, EveryFailureRowEndsWithItsCodeInBoundedTime) {
    qel::sim::Faults refuseTwice;
    refuseTwice.refuseErase = 2;
    qel::sim::Faults refuseOnce;
    refuseOnce.refuseErase = 1;
    qel::sim::Faults dieAtFirst;
    dieAtFirst.dieAfterBlock = 0;
    qel::sim::Faults dieAtLast;
    dieAtLast.dieAfterBlock = 2;
    const Failure rows[] = {
        {"erase refused, box gone", refuseOnce, "DEL", RESULT_NO_ANSWER},
        {"erase refused twice", refuseTwice, nullptr, RESULT_ERASE_FAILED},
        {"rate switch and resync fail", {}, "SBD", RESULT_NO_ANSWER},
        {"block and resync fail", dieAtFirst, nullptr, RESULT_NO_ANSWER},
        {"reset fails", dieAtLast, nullptr, RESULT_NO_ANSWER},
    };
    for (const Failure& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        SetUp();
        // Waits of seconds (prompts, breaks, erase periods) run twenty times faster here.
        qel::dev::SetTimeScale(20);
        qel::sim::BoxOptions options;
        options.faults = row.faults;
        // An erase long enough for the box to be silenced while it is still at work.
        options.eraseMsPer64K = 4000;
        StartBox(options);
        std::thread watcher;
        if (row.silentAfter) {
            std::string name = row.silentAfter;
            watcher = std::thread([this, name] {
                box->WaitUntil(
                    [&](const qel::sim::Box& b) {
                        for (const auto& c : b.Commands())
                            if (c.name == name) return true;
                        return false;
                    },
                    20000);
                qel::sim::Faults silent;
                silent.silent = true;
                box->SetFaults(silent);
            });
        }
        Bytes image = qel::sim::MakeFirmwareImage(10000, "TARSK880", "1.00");
        double start = NowMs();
        Run(Image(image));
        double took = NowMs() - start;
        if (watcher.joinable()) watcher.join();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(client->GetError(), row.code);
        EXPECT_EQ(client->GetState(), STATE_FAILED);
        EXPECT_LT(took, 30000);
        std::printf("[ timing   ] %s: %.1f s at time scale 20\n", row.what, took / 1000);
    }
}

TEST_F(DownloadFlow, SilentBoxEndsInBoundedTime) {
    qel::sim::BoxOptions options;
    options.faults.silent = true;
    StartBox(options);
    double start = NowMs();
    std::string out = Run(Image(qel::sim::MakeFirmwareImage(3000, "TARSK880", "1.00")));
    double took = NowMs() - start;
    EXPECT_EQ(client->GetError(), RESULT_NO_ANSWER);
    // One read for the name, the break (1.2 s) and ten reads for a prompt.
    const double expected = 1000 + 100 + 1000 + 100 + 10 * 1000;
    EXPECT_GE(took, 0.9 * expected);
    EXPECT_LE(took, 3 * expected + 300);
    std::printf("[ timing   ] silent box: %.1f s\n", took / 1000);
}

// --- the image itself fails ----------------------------------------------------------------

TEST_F(DownloadFlow, ImageThatStopsDeliveringIsAFailureNotASuccess) {
    qel::sim::BoxOptions options;
    options.programMsPerBlock = 300;
    StartBox(options);
    Bytes image = qel::sim::MakeFirmwareImage(10000, "TARSK880", "1.00");
    std::string path = Image(image);
    // Another program cuts the file while the first block is being programmed.
    std::thread cutter([&] {
        box->WaitUntil(
            [](const qel::sim::Box& b) {
                for (const auto& c : b.Commands())
                    if (c.name == "PRO") return true;
                return false;
            },
            20000);
        fs::resize_file(path, 5000);
    });
    std::string out = Run(path);
    cutter.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(client->GetError(), RESULT_FILE_BAD_SIZE);
    EXPECT_EQ(box->Resets(), 0);  // left in the bootloader, ready for another attempt
    EXPECT_EQ(out.find("42.0"), std::string::npos);

    // Growing the file must not program past the range that was erased either.
    path = Image(image, "grow.bin");
    std::thread grower([&] {
        box->WaitUntil(
            [](const qel::sim::Box& b) {
                int n = 0;
                for (const auto& c : b.Commands())
                    if (c.name == "PRO") ++n;
                return n >= 2;
            },
            20000);
        fs::resize_file(path, 20000);
    });
    Run(path);
    grower.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(box->FlashRange(0x8000, 10000), image);
    EXPECT_EQ(box->FlashRange(0x8000 + 10000, 4096), Bytes(4096, 0xFF));
    int blocks = 0;
    for (const auto& c : box->Commands())
        if (c.name == "PRO") ++blocks;
    EXPECT_EQ(blocks, 1 + 3);
}

}  // namespace
