// A cable between two in-memory lines with a finite buffer, like a real line's: the sender's
// port is held back by CTS until the relay has room, bytes go on at a set rate, and the test may
// corrupt or drop bytes, stall the line or pull it. The sender's port is COM7, the receiver's
// COM8.
#pragma once
#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <thread>

#include "serial/device/sync.h"
#include "serial/device/virtual_line.h"

namespace zmtest {

using namespace qel::dev;

class ZmRelay {
  public:
    VirtualLine toSender = VirtualLine::Create();    // a: the sender's port
    VirtualLine toReceiver = VirtualLine::Create();  // b: the receiver's port

    // Called for every byte on its way; false drops it. Set before Start.
    std::function<bool(BYTE&)> forwardFault, backFault;
    std::size_t limit = 4096;
    double bytesPerMs = 2000;
    // After this many forwarded bytes the line stalls for stallMs, or is pulled.
    long stallAt = -1;
    double stallMs = 0;
    long hangUpAt = -1;

    std::atomic<long> forwarded{0};

    void SetRate(DWORD baud) {
        for (auto end : {toSender.b, toReceiver.a}) {
            DCB dcb;
            end->GetCommState(dcb);
            dcb.BaudRate = baud;
            end->SetCommState(dcb);
        }
    }
    void Start() {
        running_ = true;
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    ~ZmRelay() { Stop(); }

  private:
    void Run() {
        std::deque<BYTE> pending;
        BYTE buf[4096];
        double last = NowMs(), allowance = 0, stallUntil = 0;
        bool stalled = false;
        while (running_) {
            IoResult r = toReceiver.a->Read(buf, sizeof buf);
            for (DWORD i = 0; r.status == IoStatus::Done && i < r.count; ++i) {
                if (!backFault || backFault(buf[i])) toSender.b->Write(&buf[i], 1);
            }
            if (pending.size() < limit) {
                r = toSender.b->Read(
                    buf, static_cast<DWORD>(std::min(limit - pending.size(), sizeof buf)));
                for (DWORD i = 0; r.status == IoStatus::Done && i < r.count; ++i) {
                    if (!forwardFault || forwardFault(buf[i])) pending.push_back(buf[i]);
                }
            }
            // CTS is raised only for a moment when there is room, so that the sender's writes
            // wait for the relay as they would for a slow line.
            if (pending.size() < limit) {
                toSender.b->EscapeCommFunction(SETRTS);
                toSender.b->EscapeCommFunction(CLRRTS);
            }
            const double now = NowMs();
            allowance = std::min(allowance + (now - last) * bytesPerMs, 4096.0);
            last = now;
            if (!stalled && stallAt >= 0 && forwarded >= stallAt) {
                stalled = true;
                stallUntil = now + stallMs;
            }
            if (hangUpAt >= 0 && forwarded >= hangUpAt) {
                toSender.b->Disconnect();
                toReceiver.a->Disconnect();
                return;
            }
            if (now >= stallUntil) {
                DWORD n = 0;
                while (n < allowance && !pending.empty() && n < sizeof buf) {
                    buf[n++] = pending.front();
                    pending.pop_front();
                }
                allowance -= n;
                forwarded += n;
                if (n > 0) toReceiver.a->Write(buf, n);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    }

    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace zmtest
