// The port library on the Win32 backend against a real driver: a COM port whose far end
// echoes every byte (under Wine, a pseudo-terminal that the Linux harness in tests/wine
// serves). QEL_ECHO_PORT names the port; QEL_MODEM_LINES=1 says the line has modem lines
// with CTS and DSR on (under Wine: the modem shim is loaded), 0 that it has none.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/sync.h"
#include "serial/v24.h"

namespace {

using Bytes = std::vector<unsigned char>;
// Results of calls made in order (a braced list evaluates left to right), compared at once.
using Ints = std::vector<int>;

double ProcessCpuMs();
bool UnderWine();

struct EchoPort : ::testing::Test {
    const char* port = std::getenv("QEL_ECHO_PORT");
    int handle = -1;
    void SetUp() override {
        ASSERT_TRUE(port) << "QEL_ECHO_PORT names the echoing port";
        handle = V24Open(port, 1);
        ASSERT_GE(handle, 0) << port;
        ASSERT_EQ(V24SetLine(handle, 115200, 8, 'N', 1), 0);
    }
    void TearDown() override { EXPECT_TRUE(handle < 0 || V24Close(handle) == 0); }
};

TEST_F(EchoPort, OpeningIsExclusiveAndNamesTheSystemDoesNotKnowAreNoDevice) {
    if (UnderWine()) {
        // Wine lets a COM port be opened again whatever the share mode (a Windows serial
        // driver refuses every second opening); only the names are checked there.
        std::printf("[ wine     ] a second opening of %s is not refused\n", port);
    } else {
        EXPECT_EQ(V24Open(port, 1), V24_ACCESS_DENIED);
        EXPECT_EQ(V24Open(port, 0), V24_ACCESS_DENIED);
    }
    EXPECT_EQ(V24Open("COM231", 1), V24_NO_DEVICE);
    EXPECT_EQ(V24Open("\\\\.\\NOSUCHPORT", 1), V24_NO_DEVICE);
    // Closing lets the next opening in, and the slot serves it.
    ASSERT_EQ(V24Close(handle), 0);
    const int again = V24Open(port, 1);
    EXPECT_EQ(again, handle);
    handle = again;
}

// Bursts of every size up to two driver queues, some read byte by byte, some as blocks that
// reach past the staging buffer: no byte lost, doubled or out of order. Then input that
// waits is dropped by a purge, and the queue counts follow.
TEST_F(EchoPort, EchoedBurstsComeBackWholeAndInOrderAndAPurgeDropsWhatWaits) {
    std::mt19937 random(7);
    for (int size : {1, 2, 17, 511, 512, 513, 1500, 4096, 6000}) {
        Bytes sent(static_cast<std::size_t>(size)), got(sent.size());
        for (auto& b : sent) b = static_cast<unsigned char>(random());
        ASSERT_EQ(V24WriteBuffer(handle, sent.data(), size), size);
        int have = 0;
        if (size >= 20) have = V24ReadBuffer(handle, got.data(), size);
        for (int byte; size < 20 && have < size && (byte = V24ReadByte(handle)) >= 0; ++have)
            got[static_cast<std::size_t>(have)] = static_cast<unsigned char>(byte);
        EXPECT_EQ(have, size);
        EXPECT_EQ(got, sent) << size << " bytes";
        EXPECT_EQ(V24PeekByte(handle), -1) << "a byte came twice";
    }
    ASSERT_EQ(V24WriteString(handle, "purge me"), 8);
    // The echo is there once a wait sees it; all of it some moments later.
    ASSERT_EQ(V24WaitByte(handle), 'p');
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ((Ints{V24GetQueueCount(handle, 0), V24Purge(handle, 0), V24GetQueueCount(handle, 0),
                    V24IsQueueEmpty(handle, 0), V24PeekByte(handle)}),
              (Ints{8, 0, 0, 1, -1}));
}

TEST_F(EchoPort, SilentLineEndsAReadAfterTheTimeOutWithoutSpinning) {
    ASSERT_EQ(V24SetTimeout(handle, 400), 0);
    const double cpu = ProcessCpuMs();
    const double start = qel::dev::NowMs();
    EXPECT_EQ(V24ReadByte(handle), V24_TIMEOUT);
    const double took = qel::dev::NowMs() - start;
    EXPECT_GE(took, 350);
    EXPECT_LT(took, 5000);
    // A quiet second with the receive thread watching the line costs next to nothing.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(ProcessCpuMs() - cpu, 400) << "the receive thread spins on a quiet line";
    // And a byte that comes after a long silence is seen at once.
    ASSERT_EQ(V24WriteByte(handle, 0x5A), 0);
    EXPECT_EQ(V24ReadByte(handle), 0x5A);
}

TEST_F(EchoPort, ModemLinesWhereTheLineHasThemAndAFailureWhereItHasNone) {
    const Ints got{V24Dtr(handle, 0), V24Dtr(handle, 2), V24Dtr(handle, 1), V24Rts(handle, 0),
                   V24Rts(handle, 1), V24GetCts(handle), V24GetDsr(handle), V24GetRing(handle)};
    if (std::getenv("QEL_MODEM_LINES") && *std::getenv("QEL_MODEM_LINES") == '1') {
        EXPECT_EQ(got, (Ints{0, 0, 1, 0, 1, 0x10, 0x20, 0}));
    } else {
        // The driver refuses: each switch reports the device's failure and the state stays
        // off (not even the opening's switch-on took).
        const int failed = V24_DEVICE_FAILED;
        EXPECT_EQ(got, (Ints{failed, 0, failed, failed, failed, 0, 0, 0}));
    }
    // Whatever the modem lines do, the line still carries bytes.
    ASSERT_EQ(V24WriteByte(handle, 0xFF), 0);
    EXPECT_EQ(V24ReadByte(handle), 0xFF);
}

}  // namespace

#include "serial/device/win32_api.h"

namespace {

double ProcessCpuMs() {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace
