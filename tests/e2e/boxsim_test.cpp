// The boxsim program on a pseudo-terminal: its ready line and link, the line's rate and the
// stand-in for a break, and what it leaves behind when stopped.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "serial/v24.h"
#include "sim/images.h"
#include "sim/link_checksum.h"

namespace fs = std::filesystem;
using qel::test::ChildProcess;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char templ[] = "/tmp/qelflash-boxsim.XXXXXX";
        path = mkdtemp(templ) ? templ : "";
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// The REMOTE frame, written here from the link's rules rather than taken from the client.
std::vector<std::uint8_t> Frame(const char* name, std::uint32_t p1) {
    std::vector<std::uint8_t> out{'R', 'E', 'M', 'O', 'T', 'E', 0};
    std::uint8_t plain[12] = {static_cast<std::uint8_t>(p1 >> 24),
                              static_cast<std::uint8_t>(p1 >> 16),
                              static_cast<std::uint8_t>(p1 >> 8),
                              static_cast<std::uint8_t>(p1),
                              0,
                              0,
                              0,
                              0,
                              static_cast<std::uint8_t>(name[0]),
                              static_cast<std::uint8_t>(name[1]),
                              static_cast<std::uint8_t>(name[2]),
                              0};
    std::uint16_t crc = 0;
    for (std::uint8_t b : plain) {
        out.push_back(static_cast<std::uint8_t>(b ^ (crc & 0xFF)));
        crc = qel::sim::ChecksumByte(crc, b);
    }
    out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    out.push_back(static_cast<std::uint8_t>(crc >> 8));
    return out;
}

int Read(int port, int ms) {
    unsigned char b = 0;
    return V24ReadByteTimed(port, &b, ms) == 1 ? b : -1;
}

bool Name(int port) {
    V24WriteString(port, "PLV 200");
    V24WriteByte(port, 0);
    return Read(port, 1000) == 'r';
}

TEST(BoxsimE2e, PlaysTheBoxOnAPtyAndCleansUpWhenStopped) {
    TempDir dir;
    const std::string flashOut = dir.path + "/flash.bin";
    ChildProcess sim(
        {BOXSIM_PATH, "--port", "COM9", "--flash-out", flashOut, "--log", dir.path + "/box.log"},
        dir.path);
    ASSERT_TRUE(sim.ReadUntil("\n", 5000)) << sim.output;
    const fs::path link = dir.path + "/com9";
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(sim.output, "boxsim ready COM9 " + fs::read_symlink(link).string() + "\n");

    setenv("QELFLASH_PORTS", dir.path.c_str(), 1);
    int port = V24Open("COM9", 1);
    ASSERT_GE(port, 0);
    V24SetLine(port, 19200, 8, 'N', 1);
    ASSERT_TRUE(Name(port));

    // After SBD the box is at 115200. A host still at 19200 hears garbage ...
    ASSERT_EQ(Read(port, 2000), 'r');
    V24Purge(port, 1);
    auto frame = Frame("SBD", 115200);
    V24WriteBuffer(port, frame.data(), static_cast<int>(frame.size()));
    V24WriteByte(port, 'L');
    EXPECT_EQ(Read(port, 1000), frame[19]);
    V24WriteByte(port, 'H');
    EXPECT_EQ(Read(port, 1000), frame[20]);
    V24WriteByte(port, '+');
    int heard = Read(port, 1000);
    EXPECT_NE(heard, 'r');
    EXPECT_NE(heard, -1);
    // ... and what it sends at the lower rate stands in for a break: the bootloader restarts
    // at 19200 and prompts, as the host's break would make it on a wire.
    V24Purge(port, 1);
    V24WriteString(port, "PLV 200");
    V24WriteByte(port, 0);
    EXPECT_EQ(Read(port, 1000), 'r');
    EXPECT_TRUE(Name(port));

    // The tool may close and reopen the port.
    V24Close(port);
    port = V24Open("COM9", 1);
    ASSERT_GE(port, 0);
    V24SetLine(port, 19200, 8, 'N', 1);
    EXPECT_TRUE(Name(port));
    V24Close(port);

    sim.Terminate();
    EXPECT_EQ(sim.Finish(5000), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_EQ(fs::file_size(flashOut), 0x100000u);
    std::ifstream log(dir.path + "/box.log");
    std::string all((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("break"), std::string::npos) << all;
    EXPECT_NE(all.find("stats "), std::string::npos) << all;
}

TEST(BoxsimE2e, MakesSampleFilesAndRefusesBadArguments) {
    TempDir dir;
    const std::string image = dir.path + "/fw.bin", vme = dir.path + "/f.vme";
    ChildProcess makeImage({BOXSIM_PATH, "--make-image", image, "--size", "4096", "--firmware-name",
                            "TARSK880 V2", "--version", "01.23"},
                           dir.path);
    ASSERT_EQ(makeImage.Finish(5000), 0);
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(qel::sim::ReadFile(image, bytes));
    ASSERT_EQ(bytes.size(), 4096u);
    const std::string ids(reinterpret_cast<const char*>(&bytes[1280]), 30);
    EXPECT_EQ(ids, std::string("TARSK880 V2\0Release :: 01.23\0\0", 30));

    ChildProcess makeVme({BOXSIM_PATH, "--make-vme", vme, "--size", "65536", "--version", "123"},
                         dir.path);
    ASSERT_EQ(makeVme.Finish(5000), 0);
    ASSERT_TRUE(qel::sim::ReadFile(vme, bytes));
    ASSERT_EQ(bytes.size(), 65536u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 14), "coVersion 123 ");

    for (const auto& args : std::vector<std::vector<std::string>>{
             {BOXSIM_PATH},
             {BOXSIM_PATH, "--port", "COM9", "--fault", "refuse-block"},
             {BOXSIM_PATH, "--port", "LPT1", "--dir", dir.path},
             {BOXSIM_PATH, "--port", "COM9", "--mode", "sleepy"}}) {
        ChildProcess bad(args, dir.path);
        EXPECT_EQ(bad.Finish(5000), 2) << args.back();
    }
}

}  // namespace
