#include "serial/device/posix_device.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <future>
#include <thread>

#include "posix_pty.h"
#include "serial/device/posix_baud.h"

using namespace qel::dev;
using qel::test::CpuMs;
using qel::test::PortsFolder;
using qel::test::Pty;
using qel::test::WallMs;

namespace {

struct PosixLine : ::testing::Test {
    Pty pty;
    PortsFolder ports;
    std::shared_ptr<Device> host;

    void SetUp() override {
        ASSERT_FALSE(pty.slave.empty());
        ports.Link("com7", pty.slave);
        DWORD error = 0;
        host = OpenDevice("\\\\.\\COM7", true, error);
        ASSERT_TRUE(host) << "error " << error;
        ASSERT_TRUE(host->SetCommMask(EV_RXCHAR));
    }
    void TearDown() override {
        if (host) host->Close();
    }

    std::string ReadHost(std::size_t n, int ms = 2000) {
        std::string got;
        const double end = WallMs() + ms;
        while (got.size() < n && WallMs() < end) {
            char buf[256];
            IoResult r = host->Read(buf, sizeof buf);
            if (r.status != IoStatus::Done) break;
            got.append(buf, r.count);
            if (r.count == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return got;
    }

    termios MasterView() {
        termios t{};
        tcgetattr(pty.master, &t);
        return t;
    }
};

std::string Pattern(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xFF);
    return s;
}

}  // namespace

TEST_F(PosixLine, CarriesBytesBothWays) {
    IoResult w = host->Write("hello", 5);
    EXPECT_EQ(w.status, IoStatus::Done);
    EXPECT_EQ(w.count, 5u);
    EXPECT_EQ(pty.Read(5), "hello");

    char buf[8];
    IoResult empty = host->Read(buf, sizeof buf);
    EXPECT_EQ(empty.status, IoStatus::Done);
    EXPECT_EQ(empty.count, 0u);

    pty.Write(std::string("w\0rl\xff", 5));
    DWORD mask = 0;
    ASSERT_TRUE(host->WaitCommEvent(mask));
    EXPECT_EQ(mask, EV_RXCHAR);
    COMSTAT st;
    DWORD errors = 99;
    ASSERT_TRUE(host->ClearCommError(errors, &st));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(st.cbInQue, 5u);
    EXPECT_EQ(ReadHost(5), std::string("w\0rl\xff", 5));
}

TEST_F(PosixLine, ExclusiveOpenIsRefusedWhileHeld) {
    ports.Link("com8", pty.slave);
    DWORD error = 0;
    EXPECT_FALSE(OpenDevice("\\\\.\\COM8", true, error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    error = 0;
    EXPECT_FALSE(OpenDevice("\\\\.\\COM8", false, error));
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

    auto shared1 = OpenDevice("\\\\.\\COM8", false, error);
    auto shared2 = OpenDevice("\\\\.\\COM7", false, error);
    EXPECT_TRUE(shared1);
    EXPECT_TRUE(shared2);
    EXPECT_FALSE(OpenDevice("\\\\.\\COM7", true, error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    shared1.reset();
    shared2.reset();
    host = OpenDevice("\\\\.\\COM7", true, error);
    EXPECT_TRUE(host);
}

TEST_F(PosixLine, MasterSeesTheLineSettingsTheHostSets) {
    DCB dcb;
    ASSERT_TRUE(host->GetCommState(dcb));
    dcb.BaudRate = 230400;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x21;
    ASSERT_TRUE(host->SetCommState(dcb));
    termios t = MasterView();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B230400));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_EQ(t.c_cc[VSTART], 0x21);

    dcb.BaudRate = 250000;  // no Bxxx constant
    ASSERT_TRUE(host->SetCommState(dcb));
    DWORD rate = 0;
    ASSERT_TRUE(PosixLineRate(pty.master, rate));
    EXPECT_EQ(rate, 250000u);
    DCB back;
    ASSERT_TRUE(host->GetCommState(back));
    EXPECT_EQ(back.BaudRate, 250000u);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(back.XonChar, 0x21);

    dcb.BaudRate = 19200;
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(host->SetCommState(dcb));
    t = MasterView();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    ASSERT_TRUE(PosixLineRate(pty.master, rate));
    EXPECT_EQ(rate, 19200u);
}

TEST_F(PosixLine, RefusesSettingsATermiosLineCannotCarryAndKeepsTheOldOnes) {
    DCB dcb;
    ASSERT_TRUE(host->GetCommState(dcb));
    dcb.BaudRate = 57600;
    ASSERT_TRUE(host->SetCommState(dcb));
    for (int i = 0; i < 3; ++i) {
        DCB bad = dcb;
        bad.BaudRate = 9600;
        if (i == 0) bad.ByteSize = 16;
        if (i == 1) bad.StopBits = ONE5STOPBITS;
        if (i == 2) bad.BaudRate = 0;
        EXPECT_FALSE(host->SetCommState(bad)) << i;
        EXPECT_EQ(host->LastError(), ERROR_INVALID_PARAMETER) << i;
    }
    termios t = MasterView();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
}

TEST_F(PosixLine, ModemCallsFailCleanlyOnAPty) {
    DWORD bits = 0xFF;
    EXPECT_FALSE(host->GetCommModemStatus(bits));
    EXPECT_EQ(host->LastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(host->EscapeCommFunction(SETDTR));
    EXPECT_FALSE(host->EscapeCommFunction(CLRRTS));
    EXPECT_FALSE(host->EscapeCommFunction(42));
    EXPECT_EQ(host->LastError(), ERROR_INVALID_PARAMETER);

    // The termios part of a change still takes effect.
    DCB dcb;
    ASSERT_TRUE(host->GetCommState(dcb));
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.BaudRate = 4800;
    EXPECT_TRUE(host->SetCommState(dcb));
    termios t = MasterView();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));

    EXPECT_TRUE(host->SetCommBreak());
    EXPECT_TRUE(host->ClearCommBreak());
}

TEST_F(PosixLine, LargeWriteCompletesInOrderOnceTheMasterDrains) {
    const std::string first = Pattern(64 * 1024, 1);
    const std::string second = Pattern(1000, 2);
    IoResult w = host->Write(first.data(), static_cast<DWORD>(first.size()));
    ASSERT_EQ(w.status, IoStatus::Pending);
    DWORD count = 0;
    const double start = WallMs();
    EXPECT_FALSE(host->WaitWrite(200, count));
    const double waited = WallMs() - start;
    EXPECT_GE(waited, 180);
    EXPECT_LE(waited, 900);

    // A later write goes behind what is still queued.
    EXPECT_EQ(host->Write(second.data(), static_cast<DWORD>(second.size())).status,
              IoStatus::Pending);
    COMSTAT st;
    DWORD errors = 0;
    ASSERT_TRUE(host->ClearCommError(errors, &st));
    EXPECT_GT(st.cbOutQue, 40u * 1024);

    auto drained = std::async(std::launch::async,
                              [&] { return pty.Read(first.size() + second.size(), 5000); });
    EXPECT_TRUE(host->WaitWrite(20000, count));
    EXPECT_EQ(count, second.size());
    const std::string got = drained.get();
    ASSERT_EQ(got.size(), first.size() + second.size());
    EXPECT_TRUE(got == first + second) << "bytes lost, doubled or out of order";
}

TEST_F(PosixLine, QueuedBytesGoOutWhileOnlyTheEventWaitRuns) {
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        DWORD mask = 0;
        while (!stop && host->WaitCommEvent(mask)) {
        }
    });
    const std::string data = Pattern(100 * 1024, 3);
    ASSERT_EQ(host->Write(data.data(), static_cast<DWORD>(data.size())).status, IoStatus::Pending);
    // Nobody calls the device again; only the receive side's wait keeps running.
    EXPECT_TRUE(pty.Read(data.size(), 5000) == data);
    stop = true;
    host->Close();
    waiter.join();
}

TEST_F(PosixLine, PurgeDropsQueuedOutputAndReceivedInput) {
    const std::string data = Pattern(64 * 1024, 4);
    ASSERT_EQ(host->Write(data.data(), static_cast<DWORD>(data.size())).status, IoStatus::Pending);
    EXPECT_TRUE(host->PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR));
    DWORD count = 0;
    EXPECT_TRUE(host->WaitWrite(0, count));
    COMSTAT st;
    DWORD errors = 0;
    ASSERT_TRUE(host->ClearCommError(errors, &st));
    EXPECT_EQ(st.cbOutQue, 0u);
    EXPECT_LT(pty.Read(data.size(), 300).size(), data.size());

    pty.Write("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(host->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_EQ(ReadHost(5, 100), "");
}

TEST_F(PosixLine, CloseFromAnotherThreadEndsTheEventWait) {
    auto wait = std::async(std::launch::async, [&] {
        DWORD mask = 0;
        return host->WaitCommEvent(mask);
    });
    EXPECT_EQ(wait.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    const double start = WallMs();
    host->Close();
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_FALSE(wait.get());
    EXPECT_LE(WallMs() - start, 1000);

    DWORD mask = 0;
    EXPECT_FALSE(host->WaitCommEvent(mask));
    char b;
    EXPECT_EQ(host->Read(&b, 1).status, IoStatus::Failed);
    EXPECT_EQ(host->Write("x", 1).status, IoStatus::Failed);
}

TEST_F(PosixLine, VanishedDeviceEndsTheEventWaitAtOnceWithAnError) {
    auto wait = std::async(std::launch::async, [&] {
        DWORD mask = 0;
        bool ok = host->WaitCommEvent(mask);
        return ok ? mask : 0u;
    });
    EXPECT_EQ(wait.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    const double start = WallMs();
    pty.CloseMaster();
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(wait.get(), EV_RXCHAR | EV_ERR);
    EXPECT_LE(WallMs() - start, 1000);

    char b;
    IoResult r = host->Read(&b, 1);
    EXPECT_EQ(r.status, IoStatus::Failed);
    EXPECT_EQ(r.error, ERROR_DEVICE_REMOVED);
    EXPECT_EQ(host->Write("x", 1).status, IoStatus::Failed);
    DWORD errors = 0;
    EXPECT_FALSE(host->ClearCommError(errors, nullptr));
    EXPECT_EQ(host->LastError(), ERROR_DEVICE_REMOVED);
    DWORD mask = 0;
    EXPECT_TRUE(host->WaitCommEvent(mask));
    EXPECT_EQ(mask, EV_RXCHAR | EV_ERR);
}

TEST_F(PosixLine, VanishedDeviceEndsAWriteWaitAndCostsNoCpuAfterwards) {
    const std::string data = Pattern(64 * 1024, 5);
    ASSERT_EQ(host->Write(data.data(), static_cast<DWORD>(data.size())).status, IoStatus::Pending);
    // The receive side keeps waiting for events with an empty mask, as the port library's
    // thread does at its end; a gone device must not make that wait spin.
    host->SetCommMask(0);
    std::thread waiter([&] {
        DWORD mask = 0;
        while (host->WaitCommEvent(mask)) {
        }
    });
    auto write = std::async(std::launch::async, [&] {
        DWORD count = 0;
        return host->WaitWrite(30000, count);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double start = WallMs();
    pty.CloseMaster();
    ASSERT_EQ(write.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(write.get());
    EXPECT_EQ(host->LastError(), ERROR_DEVICE_REMOVED);
    EXPECT_LE(WallMs() - start, 1000);

    const double cpu = CpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double used = CpuMs() - cpu;
    RecordProperty("cpu_ms_after_gone", std::to_string(used));
    EXPECT_LT(used, 200) << "CPU time in the second after the device vanished";
    host->Close();
    waiter.join();
}
