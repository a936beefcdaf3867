// A port of the library opened on one end of an in-memory line; the test plays the far end.
// The timing helpers serve the pseudo-terminal tests as well.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/sync.h"
#include "serial/device/virtual_line.h"
#include "serial/v24.h"

namespace v24test {

using namespace qel::dev;

// Results of calls made in order (a braced list evaluates left to right), compared at once.
using Ints = std::vector<long long>;

// Up to n bytes read through port h, as V24ReadBuffer gives them.
inline std::string Take(int h, int n) {
    std::string got(static_cast<size_t>(n), '\0');
    got.resize(static_cast<size_t>(std::max(V24ReadBuffer(h, got.data(), n), 0)));
    return got;
}

inline void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls cond until it holds or ms (real time) have passed.
inline bool WaitUntil(const std::function<bool()>& cond, double ms = 2000) {
    double end = NowMs() + ms;
    while (!cond()) {
        if (NowMs() > end) return false;
        SleepMs(2);
    }
    return true;
}

inline ::testing::AssertionResult TookBetween(double start, double low, double high) {
    const double took = NowMs() - start;
    if (took >= low && took <= high) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "took " << took << " ms, not " << low << " to " << high;
}

struct V24Line : ::testing::Test {
    VirtualLine line = VirtualLine::Create();
    int h = -1;

    void SetUp() override { RegisterVirtualPort("COM9", line.a); }
    void TearDown() override {
        for (int i = 0; i < V24_PORTS; ++i) V24Close(i);
        SetTimeScale(1);
        line.a->SetMaskHook(nullptr);
        UnregisterVirtualPort("COM9");
    }

    void Open() {
        h = V24Open("COM9", 1);
        ASSERT_GE(h, 0);
    }
    void Send(const std::string& bytes) { line.b->Write(bytes.data(), bytes.size()); }
    // What has reached the far end so far.
    std::string Received() {
        char buf[4096];
        IoResult r = line.b->Read(buf, sizeof buf);
        return std::string(buf, r.count);
    }
    // Both ends to one rate, so that bytes arrive ungarbled.
    void SetRate(int baud) {
        ASSERT_EQ(V24SetLine(h, baud, 0, 0, 0), 0);
        DCB dcb;
        line.b->GetCommState(dcb);
        dcb.BaudRate = static_cast<DWORD>(baud);
        line.b->SetCommState(dcb);
    }
};

}  // namespace v24test
