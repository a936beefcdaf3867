#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/line/v24_line_fixture.h"

namespace v24test {
namespace {

using PortTable = V24Line;

TEST_F(PortTable, EveryOperationGuardsItsHandle) {
    int (*const single[])(int) = {V24Close,    V24SetDefaultLine, V24GetHandshake, V24GetTimeout,
                                  V24ReadByte, V24PeekByte,       V24WaitByte,     V24GetLineErrors,
                                  V24SetBreak, V24ClearBreak,     V24PulseBreak,   V24GetCts,
                                  V24GetDsr,   V24GetRing,        V24GetRlsd};
    int (*const withArgument[])(int, int) = {V24SetHandshake, V24SetTimeout,    V24GetQueueSize,
                                             V24Purge,        V24Dtr,           V24Rts,
                                             V24WriteByte,    V24GetQueueCount, V24IsQueueEmpty};
    unsigned char byte = 0;
    char text[8];
    std::vector<std::function<int(int)>> calls(std::begin(single), std::end(single));
    for (auto call : withArgument) calls.push_back([call](int p) { return call(p, 1); });
    calls.push_back([](int p) { return V24SetLine(p, 9600, 8, 'N', 1); });
    calls.push_back([](int p) { return V24GetLine(p, nullptr, nullptr, nullptr, nullptr); });
    calls.push_back([](int p) { return V24SetQueueSize(p, 0, 100); });
    calls.push_back([&](int p) { return V24ReadByteTimed(p, &byte, 0); });
    calls.push_back([&](int p) { return V24ReadLine(p, text, 4, '\r'); });
    calls.push_back([&](int p) { return V24ReadBuffer(p, text, 4); });
    calls.push_back([](int p) { return V24SetNotify(p, nullptr, 0); });
    calls.push_back([](int p) { return V24WriteString(p, "x"); });
    calls.push_back([](int p) { return V24WriteBuffer(p, "x", 1); });
    calls.push_back([](int p) { return V24Printf(p, "%d", 1); });
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i](-1), V24_BAD_HANDLE) << "call " << i;
        EXPECT_EQ(calls[i](10), V24_BAD_HANDLE) << "call " << i;
        EXPECT_EQ(calls[i](3), V24_NOT_OPEN) << "call " << i;
    }
    EXPECT_EQ(V24GetNotifyMessage(-1), 0u);
    EXPECT_EQ(V24GetNotifyMessage(3), 0u);
    EXPECT_EQ(V24LineSettings(3), nullptr);
}

TEST_F(PortTable, TenPortsOpenAnEleventhOrABusyDeviceIsRefusedAndAFreedSlotIsReused) {
    Open();
    EXPECT_EQ(V24Open("COM9", 1), V24_ACCESS_DENIED);
    EXPECT_EQ(V24GetTimeout(1), V24_NOT_OPEN);  // the refused opening left its slot free
    V24Close(h);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(V24Open("COM9", 0), i);
    EXPECT_EQ(V24Open("COM9", 0), V24_NO_SLOT);
    EXPECT_EQ(V24Close(4), 0);
    EXPECT_EQ(V24Close(4), V24_NOT_OPEN);
    EXPECT_EQ(V24Open("COM9", 0), 4);
}

// Boxes flashed side by side open their ports from threads of their own: every opening
// must get a slot of its own, and the eleventh at any moment is refused, never doubled up.
TEST_F(PortTable, OpeningsFromManyThreadsAtOnceNeverShareASlot) {
    constexpr int kThreads = 16;
    for (int round = 0; round < 25; ++round) {
        std::atomic<bool> go{false};
        std::vector<int> handles(kThreads, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                while (!go) std::this_thread::yield();
                handles[t] = V24Open("COM9", 0);
            });
        }
        go = true;
        for (auto& thread : threads) thread.join();
        std::vector<int> opened;
        for (int handle : handles) {
            if (handle >= 0)
                opened.push_back(handle);
            else
                EXPECT_EQ(handle, V24_NO_SLOT);
        }
        std::sort(opened.begin(), opened.end());
        ASSERT_EQ(opened, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9})) << "round " << round;
        threads.clear();
        for (int handle : opened)
            threads.emplace_back([handle] { EXPECT_EQ(V24Close(handle), 0); });
        for (auto& thread : threads) thread.join();
    }
}

TEST_F(PortTable, NamesAreCheckedAndMadeIntoOneDevicePath) {
    for (const char* other : {"COM123", "FOO"}) RegisterVirtualPort(other, line.a);
    for (const char* name :
         {"COM9", "com9", "\\\\.\\COM9", "\\\\.\\com9", "cOm1234567", "\\\\.\\foo"}) {
        int port = V24Open(name, 1);
        EXPECT_EQ(port, 0) << name;
        EXPECT_EQ(V24Close(port), 0) << name;
    }
    for (const char* name : {"LPT1", "\\\\.COM9", static_cast<const char*>(nullptr), "COMX"}) {
        EXPECT_EQ(V24Open(name, 1), V24_NO_DEVICE) << (name ? name : "null");
    }
    for (const char* other : {"COM123", "FOO"}) UnregisterVirtualPort(other);
}

TEST_F(PortTable, OpeningKeepsTheRateAndLineSettingsAreCheckedAppliedAndReadBack) {
    DCB dcb;
    line.a->GetCommState(dcb);
    dcb.BaudRate = 4800;
    dcb.fOutX = 1;
    line.a->SetCommState(dcb);
    Open();
    int baud = 0, bits = 0, parity = 0, stop = 0;
    auto read = [&] {
        return Ints{V24GetLine(h, &baud, &bits, &parity, &stop), baud, bits, parity, stop};
    };
    EXPECT_EQ(read(), (Ints{0, 4800, 8, 'N', 1}));
    EXPECT_EQ((Ints{line.a->DtrOn(), line.a->RtsOn(), V24GetTimeout(h), V24GetQueueSize(h, 0)}),
              (Ints{1, 1, 1000, 4096}));
    line.a->GetCommState(dcb);
    EXPECT_EQ((Ints{dcb.fOutX, dcb.XoffLim}), (Ints{0, 1024}));

    // A smaller input queue moves the flow control limits with it.
    EXPECT_EQ(V24SetQueueSize(h, 0, 1000), 0);
    EXPECT_EQ((Ints{V24LineSettings(h)->XonLim, V24LineSettings(h)->XoffLim, V24GetQueueSize(h, 0),
                    V24SetQueueSize(h, 2, 512), V24GetQueueSize(h, 2)}),
              (Ints{250, 250, 1000, V24_BAD_ARGUMENT, V24_BAD_ARGUMENT}));

    EXPECT_EQ(V24SetLine(h, 19200, 7, 'E', 2), 0);
    EXPECT_EQ(line.a->BaudRate(), 19200u);
    EXPECT_EQ(read(), (Ints{0, 19200, 7, 'E', 2}));

    // Refused values change nothing.
    EXPECT_EQ((Ints{V24SetLine(h, 9600, 0, 'e', 0), V24SetLine(h, 9600, 9, 0, 0),
                    V24SetLine(h, 9600, 0, 0, 3)}),
              Ints(3, V24_BAD_ARGUMENT));
    EXPECT_EQ(line.a->BaudRate(), 19200u);

    // The interface takes sizes that reading back cannot represent.
    EXPECT_EQ(V24SetLine(h, 2400, 16, 'O', 1), 0);
    baud = 0;
    EXPECT_EQ(V24GetLine(h, &baud, &bits, nullptr, nullptr), V24_BAD_ARGUMENT);
    EXPECT_EQ(baud, 2400);

    // Stored settings changed in place reach the device with the next apply.
    V24LineSettings(h)->fDtrControl = DTR_CONTROL_DISABLE;
    EXPECT_TRUE(line.a->DtrOn());
    EXPECT_EQ(V24SetLine(h, 0, 0, 0, 0), 0);
    EXPECT_FALSE(line.a->DtrOn());
}

TEST_F(PortTable, FlowControlModesAndTheRtsLineUnderHardwareFlowControl) {
    Open();
    DCB before = *V24LineSettings(h);
    EXPECT_EQ(V24SetHandshake(h, 4), V24_BAD_ARGUMENT);
    EXPECT_EQ(std::memcmp(&before, V24LineSettings(h), sizeof before), 0);

    EXPECT_EQ(V24SetHandshake(h, 1), 0);
    DCB one = *V24LineSettings(h);
    EXPECT_EQ(one.fOutX + one.fInX, 2u);
    EXPECT_EQ(V24SetHandshake(h, 2), 0);
    EXPECT_EQ(std::memcmp(&one, V24LineSettings(h), sizeof one), 0);
    EXPECT_EQ(V24GetHandshake(h), 2);

    EXPECT_EQ(V24SetHandshake(h, 3), 0);
    EXPECT_EQ((Ints{V24LineSettings(h)->fOutxCtsFlow, V24LineSettings(h)->fOutX}), (Ints{1, 0}));
    for (int op : {0, 1, 2}) EXPECT_EQ(V24Rts(h, op), V24_RTS_HANDSHAKE);

    EXPECT_EQ(V24SetHandshake(h, 0), 0);
    EXPECT_EQ((Ints{V24Rts(h, 2), line.a->RtsOn(), V24Rts(h, 0), line.a->RtsOn(), V24Dtr(h, 0),
                    line.a->DtrOn(), V24Dtr(h, 2), V24Dtr(h, 3)}),
              (Ints{1, 1, 0, 0, 0, 0, 0, V24_BAD_ARGUMENT}));
}

}  // namespace
}  // namespace v24test
