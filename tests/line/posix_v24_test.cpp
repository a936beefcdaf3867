// The port library on a real pseudo-terminal: names, exclusive access and a vanishing device.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>

#include <future>
#include <thread>

#include "posix_pty.h"
#include "serial/v24.h"

using qel::test::CpuMs;
using qel::test::PortsFolder;
using qel::test::Pty;
using qel::test::WallMs;

namespace {

struct PosixPort : ::testing::Test {
    Pty pty;
    PortsFolder ports;
    void SetUp() override {
        ASSERT_FALSE(pty.slave.empty());
        ports.Link("com7", pty.slave);
    }
};

}  // namespace

TEST_F(PosixPort, OpenTellsMissingFromBusy) {
    EXPECT_EQ(V24Open("COM4", 1), V24_NO_DEVICE);
    EXPECT_EQ(V24Open("\\\\.\\COM7X", 1), V24_NO_DEVICE);

    // Another program holding the device.
    const int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(V24Open("COM7", 1), V24_ACCESS_DENIED);
    close(other);

    const int handle = V24Open("com7", 1);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(V24Open("COM7", 1), V24_ACCESS_DENIED);
    EXPECT_EQ(V24Close(handle), 0);
    const int again = V24Open("COM7", 1);
    EXPECT_GE(again, 0);
    V24Close(again);
}

TEST_F(PosixPort, BytesAndRateReachTheOtherEnd) {
    const int h = V24Open("COM7", 1);
    ASSERT_GE(h, 0);
    ASSERT_EQ(V24SetLine(h, 230400, 8, 'N', 1), 0);
    termios t{};
    tcgetattr(pty.master, &t);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B230400));

    EXPECT_EQ(V24WriteString(h, "REMOTE"), 6);
    EXPECT_EQ(pty.Read(6), "REMOTE");
    pty.Write("r\xff");
    EXPECT_EQ(V24ReadByte(h), 'r');
    EXPECT_EQ(V24ReadByte(h), 0xFF);

    // More than the pty takes at once: the library's completion wait lets it drain.
    std::string block(40 * 1024, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i % 253);
    auto drained = std::async(std::launch::async, [&] { return pty.Read(block.size(), 5000); });
    EXPECT_EQ(V24WriteBuffer(h, block.data(), static_cast<int>(block.size())),
              static_cast<int>(block.size()));
    EXPECT_TRUE(drained.get() == block);
    EXPECT_EQ(V24Close(h), 0);
}

TEST_F(PosixPort, VanishedDeviceEndsAReadAtOnceAndCostsNoCpu) {
    const int h = V24Open("COM7", 1);
    ASSERT_GE(h, 0);
    V24SetTimeout(h, 10000);
    auto read = std::async(std::launch::async, [&] { return V24ReadByte(h); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    const double start = WallMs();
    pty.CloseMaster();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(read.get(), V24_TIMEOUT);
    const double ended = WallMs() - start;
    RecordProperty("read_end_ms", std::to_string(ended));
    EXPECT_LE(ended, 1000) << "the read should end when the device goes, not at its time-out";

    // The port stays open with its receive thread; nothing may spin on the dead device.
    const double cpu = CpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double used = CpuMs() - cpu;
    RecordProperty("cpu_ms_after_gone", std::to_string(used));
    EXPECT_LT(used, 200) << "CPU time in the second after the device vanished";

    // Further reads fail at once too.
    const double again = WallMs();
    EXPECT_EQ(V24ReadByte(h), V24_TIMEOUT);
    EXPECT_LE(WallMs() - again, 1000);
    const double closing = WallMs();
    V24Close(h);
    EXPECT_LE(WallMs() - closing, 5000 * 3 + 300);
}
