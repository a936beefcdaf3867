// The termios backend: port names, and the port library with its device on a real
// pseudo-terminal: exclusive access, bytes both ways, output the pty cannot take at once, and
// a device that vanishes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>

#include "e2e/scratch_dir.h"
#include "serial/device/posix_baud.h"
#include "serial/device/posix_device.h"
#include "sim/pty_master.h"
#include "tests/line/v24_line_fixture.h"

using namespace v24test;

namespace {

// A folder of port links of the test's own, named by QELFLASH_PORTS while it lives.
struct PortsFolder : qel::test::ScratchDir {
    PortsFolder() { setenv("QELFLASH_PORTS", path.c_str(), 1); }
    ~PortsFolder() { unsetenv("QELFLASH_PORTS"); }
    void Link(const std::string& name, const std::string& target) {
        [[maybe_unused]] int r = symlink(target.c_str(), (path + "/" + name).c_str());
    }
};

// A thread spinning on a device that is gone would use most of the next second's CPU time.
void ExpectNoSpinInTheNextSecond() {
    auto cpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
    };
    const double start = cpu();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double used = cpu() - start;
    ::testing::Test::RecordProperty("cpu_ms_after_gone", std::to_string(used));
    EXPECT_LT(used, 200) << "CPU time in the second after the device vanished";
}

// A pty linked as COM7 in a ports folder of the test's own; the test plays its master.
struct PosixPort : ::testing::Test {
    std::string error;
    std::shared_ptr<qel::sim::PtyMaster> pty = qel::sim::PtyMaster::Create(error);
    PortsFolder ports;
    void SetUp() override {
        ASSERT_TRUE(pty) << error;
        ports.Link("com7", pty->SlavePath());
    }
    void TearDown() override {
        for (int i = 0; i < V24_PORTS; ++i) V24Close(i);
    }
    // What reaches the master until n bytes came or ms passed without any.
    std::string FarEnd(std::size_t n, int ms) {
        std::string got;
        BYTE buf[4096];
        while (got.size() < n) {
            pty->WaitReadable(std::chrono::milliseconds(ms));
            const int r = pty->Read(buf, static_cast<int>(std::min(sizeof buf, n - got.size())));
            if (r <= 0) break;
            got.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(r));
        }
        return got;
    }
    void Send(const std::string& bytes) {
        pty->Write(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<int>(bytes.size()));
    }
    std::shared_ptr<Device> OpenCom7(bool exclusive) {
        DWORD error = 0;
        auto device = OpenDevice("\\\\.\\COM7", exclusive, error);
        EXPECT_TRUE(device && device->SetCommMask(EV_RXCHAR)) << "error " << error;
        return device;
    }
    // Queues n bytes of a pattern; they do not all fit into the pty at once.
    static std::string Queue(Device& device, std::size_t n, unsigned seed) {
        std::string s(n, '\0');
        for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed + i / 251));
        EXPECT_EQ(device.Write(s.data(), static_cast<DWORD>(n)).status, IoStatus::Pending);
        return s;
    }
    static DWORD OutQueue(Device& device) {
        COMSTAT st;
        DWORD errors = 0;
        EXPECT_TRUE(device.ClearCommError(errors, &st));
        return st.cbOutQue;
    }
    // The receive side's event wait, running until Close ends it.
    static std::thread EventWaiter(Device& device) {
        return std::thread([&device] {
            DWORD mask = 0;
            while (device.WaitCommEvent(mask)) {
            }
        });
    }
};

TEST(PosixNames, ComNIsTheLowerCasePortTextInThePortsFolderElseTtySNMinusOne) {
    {
        PortsFolder ports;
        EXPECT_EQ(PosixPathFor("\\\\.\\COM3"), ports.path + "/com3");
        EXPECT_EQ(PosixPathFor("\\\\.\\COM07"), ports.path + "/com07");
        EXPECT_EQ(PosixPathFor("\\\\.\\COM2X"), ports.path + "/com2x");
        // Port text from the command line must not reach outside the folder.
        for (const char* outside : {"\\\\.\\..", "\\\\.\\../X", "COM3"}) {
            EXPECT_EQ(PosixPathFor(outside), "") << outside;
        }
    }
    setenv("QELFLASH_PORTS", "", 1);  // empty counts as unset
    EXPECT_EQ(PosixPathFor("\\\\.\\COM4"), "/dev/ttyS3");
    unsetenv("QELFLASH_PORTS");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM1"), "/dev/ttyS0");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM07"), "/dev/ttyS6");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM255"), "/dev/ttyS254");
    for (const char* none : {"\\\\.\\COM0", "\\\\.\\COM2X", "\\\\.\\LPT1"}) {
        EXPECT_EQ(PosixPathFor(none), "") << none;
    }
}

TEST_F(PosixPort, OpenTellsMissingFromBusyAndExclusiveAccessEndsWithTheHolder) {
    ports.Link("com5", ports.path + "/nothing-there");
    ports.Link("com6", "/dev/null");
    // Something that is no serial device (COM6) is neither missing nor busy.
    EXPECT_EQ(
        (Ints{V24Open("COM4", 1), V24Open("COM5", 1), V24Open("\\\\.\\..", 1), V24Open("COM6", 1)}),
        (Ints{V24_NO_DEVICE, V24_NO_DEVICE, V24_NO_DEVICE, V24_DEVICE_FAILED}));

    // Another program holding the device.
    int other = open(pty->SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(V24Open("COM7", 1), V24_ACCESS_DENIED);
    close(other);

    // Shared openings keep an exclusive one out, and the other way round.
    const int shared[] = {V24Open("COM7", 0), V24Open("COM7", 0)};
    EXPECT_TRUE(shared[0] >= 0 && shared[1] >= 0);
    EXPECT_EQ(V24Open("COM7", 1), V24_ACCESS_DENIED);
    for (int s : shared) V24Close(s);
    const int handle = V24Open("com7", 1);
    ASSERT_GE(handle, 0);
    EXPECT_EQ((Ints{V24Open("COM7", 1), V24Open("COM7", 0)}), Ints(2, V24_ACCESS_DENIED));

    // TIOCEXCL keeps ordinary users out while the port is held, and must not outlive it
    // while another descriptor (the simulator's) keeps the tty open.
    other = open(pty->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    int excl = 0;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    // Closing ends the receive thread's wait on the device at once.
    const double start = NowMs();
    EXPECT_EQ(V24Close(handle), 0);
    EXPECT_TRUE(TookBetween(start, 0, 1000));
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    close(other);
    const int again = V24Open("COM7", 1);
    EXPECT_GE(again, 0);
    V24Close(again);
}

TEST_F(PosixPort, BytesAndRatesReachTheOtherEndAndAPtyHasNoModemLines) {
    // What the driver holds, seen through a descriptor of the test's own.
    const int tty = open(pty->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int h = V24Open("COM7", 1);
    ASSERT_GE(h, 0);
    // A pty has no modem lines: that is the platform's failure, and the rest of a change to
    // the line settings (which drive DTR and RTS too) still takes effect.
    EXPECT_EQ(V24Dtr(h, 0), V24_DEVICE_FAILED);
    EXPECT_EQ(V24GetCts(h), 0);
    ASSERT_EQ(V24SetLine(h, 230400, 8, 'N', 1), 0);
    termios t{};
    tcgetattr(tty, &t);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B230400));
    ASSERT_EQ(V24SetLine(h, 250000, 0, 0, 0), 0);  // no Bxxx constant
    DWORD rate = 0;
    EXPECT_TRUE(PosixLineRate(tty, rate));
    int baud = 0;
    EXPECT_EQ(V24GetLine(h, &baud, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::make_pair(rate, baud), std::make_pair(250000u, 250000));
    // A change the line cannot carry is refused whole; a rate of 0 would hang the line up.
    EXPECT_EQ(V24SetLine(h, 9600, 16, 0, 0), V24_DEVICE_FAILED);
    V24LineSettings(h)->BaudRate = 0;
    EXPECT_EQ(V24SetLine(h, 0, 0, 0, 0), V24_DEVICE_FAILED);
    EXPECT_TRUE(PosixLineRate(tty, rate));
    EXPECT_EQ(rate, 250000u);

    // Raw both ways: no line end, control or 8-bit byte is changed, added or taken.
    EXPECT_EQ(V24WriteString(h, "RE\nM\rOTE\x03\xff"), 10);
    EXPECT_EQ(FarEnd(10, 300), "RE\nM\rOTE\x03\xff");
    Send("r\r\n\x03\x1a\xff");
    ASSERT_TRUE(WaitUntil([h] { return V24GetQueueCount(h, 0) == 6; }));
    EXPECT_EQ(Take(h, 6), "r\r\n\x03\x1a\xff");

    EXPECT_EQ(V24Close(h), 0);
    close(tty);
}

TEST_F(PosixPort, QueuedOutputGoesOutInOrderWhileOnlyTheEventWaitRunsOrIsPurged) {
    auto host = OpenCom7(true);
    ASSERT_TRUE(host);
    const std::string dropped = Queue(*host, 64 * 1024, 4);
    EXPECT_TRUE(host->PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR));
    DWORD count = 0;
    EXPECT_TRUE(host->WaitWrite(0, count));
    EXPECT_EQ(OutQueue(*host), 0u);
    EXPECT_LT(FarEnd(dropped.size(), 300).size(), dropped.size());
    Send("stale");
    SleepMs(20);
    EXPECT_TRUE(host->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR));
    char buf[8];
    EXPECT_EQ(host->Read(buf, sizeof buf).count, 0u);

    const std::string first = Queue(*host, 64 * 1024, 1);
    const double start = NowMs();
    EXPECT_FALSE(host->WaitWrite(200, count));
    EXPECT_TRUE(TookBetween(start, 180, 900));
    // A later write goes behind what is still queued.
    const std::string second = Queue(*host, 1000, 2);
    EXPECT_GT(OutQueue(*host), 40u * 1024);
    // Nobody calls the device again; only the receive side's wait keeps running.
    std::thread waiter = EventWaiter(*host);
    const std::string got = FarEnd(first.size() + second.size(), 5000);
    EXPECT_TRUE(got == first + second) << "bytes lost, doubled or out of order: " << got.size();
    EXPECT_TRUE(host->WaitWrite(2000, count));
    EXPECT_EQ(count, second.size());
    host->Close();
    waiter.join();
}

// A port read by the library and the device below it, opened again, with a write waiting.
TEST_F(PosixPort, AVanishedDeviceEndsEveryWaitAtOnceAndNothingSpinsOnIt) {
    const int h = V24Open("COM7", 0);
    ASSERT_GE(h, 0);
    auto device = OpenCom7(false);
    ASSERT_TRUE(device);
    Queue(*device, 64 * 1024, 5);
    // With an empty mask only Close ends the event wait; a gone device must not make it spin.
    device->SetCommMask(0);
    std::thread waiter = EventWaiter(*device);
    V24SetTimeout(h, 10000);
    auto read = std::async(std::launch::async, [&] { return V24ReadByte(h); });
    auto write = std::async(std::launch::async, [&] {
        DWORD count = 0;
        return device->WaitWrite(30000, count);
    });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    double start = NowMs();
    pty.reset();
    EXPECT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(write.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(TookBetween(start, 0, 1000)) << "the waits should end when the device goes";
    EXPECT_EQ((Ints{read.get(), write.get()}), (Ints{V24_TIMEOUT, false}));
    EXPECT_EQ((Ints{V24LastError(h), device->LastError()}), Ints(2, ERROR_DEVICE_REMOVED));

    // The port stays open with its receive thread.
    ExpectNoSpinInTheNextSecond();
    start = NowMs();
    EXPECT_EQ(V24ReadByte(h), V24_TIMEOUT);
    EXPECT_TRUE(TookBetween(start, 0, 1000));
    device->Close();
    waiter.join();
    start = NowMs();
    V24Close(h);
    EXPECT_TRUE(TookBetween(start, 0, 5000 * 3 + 300));
}

}  // namespace
