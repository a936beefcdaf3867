// The termios device on a pseudo-terminal, below the port library. What the library shows on
// a pty as well (bytes both ways, line settings, a read on a vanished device, close) is tested
// in posix_v24_test.
#include "serial/device/posix_device.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <future>
#include <thread>

#include "posix_pty.h"
#include "tests/line/v24_line_fixture.h"

using namespace qel::dev;
using v24test::TookBetween;

namespace {

struct PosixLine : qel::test::PtyAsCom7 {
    std::shared_ptr<Device> host;
    DWORD error = 0;

    void SetUp() override {
        PtyAsCom7::SetUp();
        host = OpenDevice("\\\\.\\COM7", true, error);
        ASSERT_TRUE(host) << "error " << error;
        ASSERT_TRUE(host->SetCommMask(EV_RXCHAR));
    }
    void TearDown() override {
        if (host) host->Close();
    }
    DWORD OutQueue() {
        COMSTAT st;
        DWORD errors = 0;
        EXPECT_TRUE(host->ClearCommError(errors, &st));
        return st.cbOutQue;
    }
    // Queues n bytes of a pattern; they do not all fit into the pty at once.
    std::string Queue(std::size_t n, unsigned seed) {
        std::string s(n, '\0');
        for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed + i / 251));
        EXPECT_EQ(host->Write(s.data(), static_cast<DWORD>(n)).status, IoStatus::Pending);
        return s;
    }
    // The receive side's event wait, running until Close ends it.
    std::thread EventWaiter() {
        return std::thread([this] {
            DWORD mask = 0;
            while (host->WaitCommEvent(mask)) {
            }
        });
    }
};

}  // namespace

TEST_F(PosixLine, SharedOpensExcludeAnExclusiveOneAndTiocexclEndsWithTheHolder) {
    EXPECT_FALSE(OpenDevice("\\\\.\\COM7", false, error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    // TIOCEXCL keeps ordinary users out while the port is held, and must not outlive it
    // while another descriptor (the simulator's) keeps the tty open.
    const int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    int excl = 0;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    host->Close();
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    close(other);

    auto shared1 = OpenDevice("\\\\.\\COM7", false, error);
    auto shared2 = OpenDevice("\\\\.\\COM7", false, error);
    EXPECT_TRUE(shared1 && shared2);
    EXPECT_FALSE(OpenDevice("\\\\.\\COM7", true, error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    shared1.reset();
    shared2.reset();
    host = OpenDevice("\\\\.\\COM7", true, error);
    EXPECT_TRUE(host);
}

TEST_F(PosixLine, QueuedWritesGoOutInOrderWhileOnlyTheEventWaitRuns) {
    const std::string first = Queue(64 * 1024, 1);
    DWORD count = 0;
    const double start = NowMs();
    EXPECT_FALSE(host->WaitWrite(200, count));
    EXPECT_TRUE(TookBetween(start, 180, 900));
    // A later write goes behind what is still queued.
    const std::string second = Queue(1000, 2);
    EXPECT_GT(OutQueue(), 40u * 1024);

    // Nobody calls the device again; only the receive side's wait keeps running.
    std::thread waiter = EventWaiter();
    const std::string got = pty.Read(first.size() + second.size(), 5000);
    EXPECT_TRUE(got == first + second) << "bytes lost, doubled or out of order: " << got.size();
    EXPECT_TRUE(host->WaitWrite(2000, count));
    EXPECT_EQ(count, second.size());
    host->Close();
    waiter.join();
}

TEST_F(PosixLine, PurgeDropsQueuedOutputAndReceivedInput) {
    const std::string data = Queue(64 * 1024, 4);
    EXPECT_TRUE(host->PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR));
    DWORD count = 0;
    EXPECT_TRUE(host->WaitWrite(0, count));
    EXPECT_EQ(OutQueue(), 0u);
    EXPECT_LT(pty.Read(data.size(), 300).size(), data.size());

    pty.Write("stale");
    v24test::SleepMs(20);
    EXPECT_TRUE(host->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR));
    char buf[8];
    EXPECT_EQ(host->Read(buf, sizeof buf).count, 0u);
}

TEST_F(PosixLine, AVanishedDeviceEndsAWriteWaitAndAnEmptyMaskWaitDoesNotSpin) {
    Queue(64 * 1024, 5);
    // With an empty mask only Close ends the event wait; a gone device must not make it spin.
    host->SetCommMask(0);
    std::thread waiter = EventWaiter();
    auto write = std::async(std::launch::async, [&] {
        DWORD count = 0;
        return host->WaitWrite(30000, count);
    });
    v24test::SleepMs(100);
    const double start = NowMs();
    pty.CloseMaster();
    ASSERT_EQ(write.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(write.get());
    EXPECT_EQ(host->LastError(), ERROR_DEVICE_REMOVED);
    EXPECT_TRUE(TookBetween(start, 0, 1000));
    qel::test::ExpectNoSpinInTheNextSecond();
    host->Close();
    waiter.join();
}
