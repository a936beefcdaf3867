// The port library on a real pseudo-terminal: names, exclusive access and a vanishing device.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>

#include <future>

#include "posix_pty.h"
#include "serial/device/posix_baud.h"
#include "tests/line/v24_line_fixture.h"

using namespace v24test;
using PosixPort = qel::test::PtyAsCom7;

TEST_F(PosixPort, OpenTellsMissingFromBusyAndCloseEndsTheThreadAtOnce) {
    ports.Link("com5", ports.dir + "/nothing-there");
    ports.Link("com6", "/dev/null");
    // Something that is no serial device (COM6) is neither missing nor busy.
    EXPECT_EQ(
        (Ints{V24Open("COM4", 1), V24Open("COM5", 1), V24Open("\\\\.\\..", 1), V24Open("COM6", 1)}),
        (Ints{V24_NO_DEVICE, V24_NO_DEVICE, V24_NO_DEVICE, V24_DEVICE_FAILED}));

    // Another program holding the device.
    const int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(V24Open("COM7", 1), V24_ACCESS_DENIED);
    close(other);

    const int handle = V24Open("com7", 1);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(V24Open("COM7", 1), V24_ACCESS_DENIED);
    // Closing ends the receive thread's wait on the device at once.
    const double start = NowMs();
    EXPECT_EQ(V24Close(handle), 0);
    EXPECT_TRUE(TookBetween(start, 0, 1000));
    const int again = V24Open("COM7", 1);
    EXPECT_GE(again, 0);
    V24Close(again);
}

TEST_F(PosixPort, BytesAndRatesReachTheOtherEndAndAPtyHasNoModemLines) {
    const int h = V24Open("COM7", 1);
    ASSERT_GE(h, 0);
    // A pty has no modem lines: that is the platform's failure, and the rest of a change to
    // the line settings (which drive DTR and RTS too) still takes effect.
    EXPECT_EQ(V24Dtr(h, 0), V24_DEVICE_FAILED);
    EXPECT_EQ(V24GetCts(h), 0);
    ASSERT_EQ(V24SetLine(h, 230400, 8, 'N', 1), 0);
    termios t{};
    tcgetattr(pty.master, &t);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B230400));
    ASSERT_EQ(V24SetLine(h, 250000, 0, 0, 0), 0);  // no Bxxx constant
    DWORD rate = 0;
    EXPECT_TRUE(PosixLineRate(pty.master, rate));
    int baud = 0;
    EXPECT_EQ(V24GetLine(h, &baud, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::make_pair(rate, baud), std::make_pair(250000u, 250000));
    // A change the line cannot carry is refused whole; a rate of 0 would hang the line up.
    EXPECT_EQ(V24SetLine(h, 9600, 16, 0, 0), V24_DEVICE_FAILED);
    V24LineSettings(h)->BaudRate = 0;
    EXPECT_EQ(V24SetLine(h, 0, 0, 0, 0), V24_DEVICE_FAILED);
    EXPECT_TRUE(PosixLineRate(pty.master, rate));
    EXPECT_EQ(rate, 250000u);

    // Raw both ways: no line end, control or 8-bit byte is changed, added or taken.
    EXPECT_EQ(V24WriteString(h, "RE\nM\rOTE\x03\xff"), 10);
    EXPECT_EQ(pty.Read(10, 300), "RE\nM\rOTE\x03\xff");
    pty.Write("r\r\n\x03\x1a\xff");
    ASSERT_TRUE(WaitUntil([h] { return V24GetQueueCount(h, 0) == 6; }));
    EXPECT_EQ(Take(h, 6), "r\r\n\x03\x1a\xff");

    EXPECT_EQ(V24Close(h), 0);
}

TEST_F(PosixPort, AVanishedDeviceEndsAReadAtOnceAndCostsNoCpu) {
    const int h = V24Open("COM7", 1);
    ASSERT_GE(h, 0);
    V24SetTimeout(h, 10000);
    auto read = std::async(std::launch::async, [&] { return V24ReadByte(h); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    double start = NowMs();
    pty.CloseMaster();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(read.get(), V24_TIMEOUT);
    RecordProperty("read_end_ms", std::to_string(NowMs() - start));
    EXPECT_TRUE(TookBetween(start, 0, 1000)) << "the read should end when the device goes";
    EXPECT_EQ(V24LastError(h), ERROR_DEVICE_REMOVED);

    // The port stays open with its receive thread; nothing may spin on the dead device.
    qel::test::ExpectNoSpinInTheNextSecond();
    start = NowMs();
    EXPECT_EQ(V24ReadByte(h), V24_TIMEOUT);
    EXPECT_TRUE(TookBetween(start, 0, 1000));
    start = NowMs();
    V24Close(h);
    EXPECT_TRUE(TookBetween(start, 0, 5000 * 3 + 300));
}
