#include "serial/device/virtual_line.h"

#include <gtest/gtest.h>

#include <thread>

#include "serial/device/sync.h"

using namespace qel::dev;

namespace {

struct Line : ::testing::Test {
    VirtualLine line = VirtualLine::Create();
    std::shared_ptr<Device> host;
    void SetUp() override {
        DWORD error = 0;
        host = line.a->OpenHandle(true, error);
        ASSERT_TRUE(host);
        host->SetCommMask(EV_RXCHAR);
    }
    std::string ReadAll(Device& dev) {
        char buf[64];
        IoResult r = dev.Read(buf, sizeof buf);
        return std::string(buf, r.count);
    }
};

TEST_F(Line, CarriesBytesBothWaysAndGarblesThemAtAWrongRate) {
    EXPECT_EQ(host->Write("abc", 3).count, 3u);
    EXPECT_EQ(ReadAll(*line.b), "abc");
    line.b->Write("r", 1);
    EXPECT_EQ(ReadAll(*host), "r");

    DCB dcb;
    host->GetCommState(dcb);
    dcb.BaudRate = 230400;
    host->SetCommState(dcb);
    host->Write("r", 1);
    std::string heard = ReadAll(*line.b);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_NE(heard[0], 'r');
}

TEST_F(Line, ExclusiveOpenRefusesASecondUserUntilClosed) {
    DWORD error = 0;
    EXPECT_FALSE(line.a->OpenHandle(false, error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    host->Close();
    EXPECT_TRUE(line.a->OpenHandle(true, error));
}

TEST_F(Line, BreakAndModemLinesReachTheOtherEnd) {
    host->SetCommBreak();
    EXPECT_TRUE(line.b->BreakReceiving());
    host->ClearCommBreak();
    EXPECT_FALSE(line.b->BreakReceiving());
    EXPECT_EQ(line.b->BreaksReceived(), 1);

    host->EscapeCommFunction(SETDTR);
    host->EscapeCommFunction(CLRRTS);
    DWORD bits = 0;
    line.b->GetCommModemStatus(bits);
    EXPECT_EQ(bits, MS_DSR_ON | MS_RLSD_ON);
    line.b->SetRing(true);
    line.b->EscapeCommFunction(SETRTS);
    host->GetCommModemStatus(bits);
    EXPECT_TRUE(bits & MS_RING_ON);
    EXPECT_TRUE(bits & MS_CTS_ON);
}

TEST_F(Line, CtsFlowControlHoldsBytesInOrderUntilReleased) {
    DCB dcb;
    host->GetCommState(dcb);
    dcb.fOutxCtsFlow = 1;
    host->SetCommState(dcb);
    line.b->EscapeCommFunction(CLRRTS);
    EXPECT_EQ(host->Write("12", 2).status, IoStatus::Pending);
    DWORD count = 0;
    EXPECT_FALSE(host->WaitWrite(10, count));
    EXPECT_EQ(host->Write("3", 1).status, IoStatus::Pending);
    COMSTAT st;
    DWORD errors;
    host->ClearCommError(errors, &st);
    EXPECT_EQ(st.cbOutQue, 3u);
    EXPECT_EQ(ReadAll(*line.b), "");
    line.b->EscapeCommFunction(SETRTS);
    EXPECT_TRUE(host->WaitWrite(10, count));
    EXPECT_EQ(ReadAll(*line.b), "123");
}

TEST_F(Line, ClosingEndsAnEventWaitAndAVanishedLineFailsReads) {
    std::thread waiter([&] {
        DWORD mask = 0;
        EXPECT_FALSE(host->WaitCommEvent(mask));
    });
    Sleep(20);
    host->Close();
    waiter.join();

    DWORD error = 0;
    auto again = line.a->OpenHandle(true, error);
    again->SetCommMask(EV_RXCHAR);
    line.b->Disconnect();
    DWORD mask = 0;
    EXPECT_TRUE(again->WaitCommEvent(mask));
    EXPECT_TRUE(mask & EV_ERR);
    char c;
    EXPECT_EQ(again->Read(&c, 1).status, IoStatus::Failed);
}

TEST_F(Line, AReaderKeepingUpWithAPacedBlockLosesNothing) {
    // A whole block written at once is on the wire, not yet in the 4096-byte input queue.
    DCB dcb;
    for (Device* end : {static_cast<Device*>(line.b.get()), host.get()}) {
        end->GetCommState(dcb);
        dcb.BaudRate = 460800;
        end->SetCommState(dcb);
    }
    host->SetupComm(4096, 2048);
    line.b->SetPacing(true);
    std::string block(6000, 'w');
    line.b->Write(block.data(), static_cast<DWORD>(block.size()));
    std::string got;
    while (got.size() < block.size() && line.a->WaitReadable(2000)) got += ReadAll(*host);
    EXPECT_EQ(got.size(), block.size());
    DWORD errors = 0;
    host->ClearCommError(errors, nullptr);
    EXPECT_EQ(errors & CE_RXOVER, 0u);
}

TEST_F(Line, PacingSpreadsBytesOverTheirLineTime) {
    DCB dcb;
    line.b->GetCommState(dcb);
    dcb.BaudRate = 9600;  // about 1 ms a byte
    line.b->SetCommState(dcb);
    host->GetCommState(dcb);
    dcb.BaudRate = 9600;
    host->SetCommState(dcb);
    line.b->SetPacing(true);
    std::string data(50, 'x');
    double start = NowMs();
    line.b->Write(data.data(), 50);
    std::string got;
    while (got.size() < 50 && line.a->WaitReadable(2000)) got += ReadAll(*host);
    EXPECT_EQ(got, data);
    EXPECT_GE(NowMs() - start, 50 * 10 * 1000.0 / 9600 - 1);
}

}  // namespace
