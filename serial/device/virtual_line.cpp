#include "serial/device/virtual_line.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "serial/device/sync.h"

namespace qel::dev {

using Clock = std::chrono::steady_clock;

namespace {

struct Side {
    DCB dcb;
    DWORD inQueue = 4096;
    DWORD outQueue = 2048;
    bool dtr = false;
    bool rts = false;
    bool breakOn = false;
    int breaksReceived = 0;
    bool ringOut = false;
    DWORD mask = 0;
    DWORD errors = 0;
    DWORD lastError = 0;
    // Bytes on their way to this end, and those arrived and not yet read. A byte moves into
    // the input queue when its time has come; a paced byte that finds the queue full is lost
    // (overrun), an unpaced one waits on the wire, since its sender's time is not modelled.
    struct WireByte {
        BYTE value;
        Clock::time_point ready;
        bool paced;
    };
    std::deque<WireByte> wire;
    std::deque<BYTE> rx;
    std::vector<BYTE> held;  // bytes stopped by flow control, in order
    bool writePending = false;
    DWORD pendingCount = 0;
    std::function<bool(BYTE&)> filter;
    std::function<bool(DWORD)> maskHook;
    double delayMs = 0;
    bool pacing = false;
    Clock::time_point lastReady{};
    int handles = 0;
    bool exclusive = false;
};

DWORD BitsPerByte(const DCB& dcb) {
    DWORD bits = 1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0);
    bits += dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    return bits;
}

}  // namespace

struct VirtualLineState {
    std::mutex mutex;
    std::condition_variable cv;
    Side sides[2];
    bool disconnected = false;

    Side& self(int s) { return sides[s]; }
    Side& peer(int s) { return sides[1 - s]; }

    void Arrive(Side& side, Clock::time_point now) {
        while (!side.wire.empty() && side.wire.front().ready <= now) {
            const auto& b = side.wire.front();
            if (side.rx.size() >= side.inQueue) {
                if (!b.paced) break;
                side.errors |= CE_RXOVER;
            } else {
                side.rx.push_back(b.value);
            }
            side.wire.pop_front();
        }
    }

    bool ReadyByte(Side& side, Clock::time_point now) {
        Arrive(side, now);
        return !side.rx.empty();
    }

    void Deliver(int s, BYTE byte) {
        Side& from = self(s);
        Side& to = peer(s);
        if (from.filter && !from.filter(byte)) return;
        if (from.dcb.BaudRate != to.dcb.BaudRate) byte ^= 0xA5;  // heard at the wrong rate
        auto now = Clock::now();
        auto ready = now + std::chrono::microseconds(static_cast<long long>(from.delayMs * 1000));
        if (from.pacing && from.dcb.BaudRate > 0) {
            auto byteTime =
                std::chrono::microseconds(1000000LL * BitsPerByte(from.dcb) / from.dcb.BaudRate);
            ready = std::max(ready, std::max(from.lastReady, now) + byteTime);
            from.lastReady = ready;
        }
        to.wire.push_back({byte, ready, from.pacing || from.delayMs > 0});
    }

    // Sends what flow control held back once the other end's RTS allows it.
    void ReleaseHeld(int s) {
        Side& from = self(s);
        if (from.held.empty()) return;
        if (from.dcb.fOutxCtsFlow && !peer(s).rts) return;
        for (BYTE b : from.held) Deliver(s, b);
        from.held.clear();
        from.writePending = false;
        cv.notify_all();
    }

    void ApplyLines(int s) {
        Side& side = self(s);
        side.dtr = side.dcb.fDtrControl != DTR_CONTROL_DISABLE;
        side.rts = side.dcb.fRtsControl == RTS_CONTROL_ENABLE ||
                   side.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
        ReleaseHeld(s);
        ReleaseHeld(1 - s);
    }
};

// A port's open handle on one end: closing it ends its event wait and makes every further
// call fail, while the end itself lives on for the next opening.
class VirtualHandle : public Device {
  public:
    explicit VirtualHandle(std::shared_ptr<VirtualEnd> end) : end_(std::move(end)) {}
    ~VirtualHandle() override { Close(); }

    bool SetupComm(DWORD in, DWORD out) override { return Open() && end_->SetupComm(in, out); }
    bool GetCommState(DCB& dcb) override { return Open() && end_->GetCommState(dcb); }
    bool SetCommState(const DCB& dcb) override { return Open() && end_->SetCommState(dcb); }
    bool SetCommTimeouts(const COMMTIMEOUTS& t) override {
        return Open() && end_->SetCommTimeouts(t);
    }
    IoResult Read(void* buf, DWORD n) override {
        if (!Open()) return {IoStatus::Failed, 0, ERROR_INVALID_HANDLE};
        return end_->Read(buf, n);
    }
    IoResult Write(const void* buf, DWORD n) override {
        if (!Open()) return {IoStatus::Failed, 0, ERROR_INVALID_HANDLE};
        return end_->Write(buf, n);
    }
    bool WaitWrite(DWORD ms, DWORD& count) override { return Open() && end_->WaitWrite(ms, count); }
    bool SetCommMask(DWORD mask) override;
    bool WaitCommEvent(DWORD& mask) override;
    bool ClearCommError(DWORD& e, COMSTAT* st) override {
        return Open() && end_->ClearCommError(e, st);
    }
    bool PurgeComm(DWORD flags) override { return Open() && end_->PurgeComm(flags); }
    bool SetCommBreak() override { return Open() && end_->SetCommBreak(); }
    bool ClearCommBreak() override { return Open() && end_->ClearCommBreak(); }
    bool GetCommModemStatus(DWORD& bits) override {
        return Open() && end_->GetCommModemStatus(bits);
    }
    bool EscapeCommFunction(DWORD f) override { return Open() && end_->EscapeCommFunction(f); }
    void Close() override;
    DWORD LastError() const override { return closed_ ? ERROR_INVALID_HANDLE : end_->LastError(); }

  private:
    bool Open() {
        std::lock_guard<std::mutex> lock(end_->line_->mutex);
        return !closed_;
    }
    std::shared_ptr<VirtualEnd> end_;
    bool closed_ = false;  // guarded by the line's mutex
};

// Level-triggered, like poll(): reports as long as a byte is ready to be read.
static bool WaitEvent(VirtualLineState& line, int s, const bool* closed, DWORD& mask) {
    std::unique_lock<std::mutex> lock(line.mutex);
    mask = 0;
    for (;;) {
        if (closed && *closed) return false;
        Side& side = line.self(s);
        if (line.disconnected) {
            mask = EV_RXCHAR | EV_ERR;
            return true;
        }
        if ((side.mask & EV_RXCHAR) == 0) {
            line.cv.wait(lock);
            continue;
        }
        auto now = Clock::now();
        if (line.ReadyByte(side, now)) {
            mask = EV_RXCHAR;
            return true;
        }
        if (!side.wire.empty()) {
            line.cv.wait_until(lock, side.wire.front().ready);
        } else {
            line.cv.wait(lock);
        }
    }
}

bool VirtualHandle::SetCommMask(DWORD mask) {
    std::function<bool(DWORD)> hook;
    {
        std::lock_guard<std::mutex> lock(end_->line_->mutex);
        hook = end_->line_->self(end_->side_).maskHook;
    }
    if (hook && !hook(mask)) {
        std::lock_guard<std::mutex> lock(end_->line_->mutex);
        end_->line_->self(end_->side_).lastError = ERROR_GEN_FAILURE;
        return false;
    }
    return Open() && end_->SetCommMask(mask);
}

bool VirtualHandle::WaitCommEvent(DWORD& mask) {
    return WaitEvent(*end_->line_, end_->side_, &closed_, mask);
}

void VirtualHandle::Close() {
    auto& line = *end_->line_;
    std::lock_guard<std::mutex> lock(line.mutex);
    if (closed_) return;
    closed_ = true;
    Side& side = line.self(end_->side_);
    if (--side.handles == 0) {
        side.exclusive = false;
        // A closed port drops its modem outputs.
        side.dtr = false;
        side.rts = false;
        side.mask = 0;
    }
    line.cv.notify_all();
}

VirtualEnd::VirtualEnd(std::shared_ptr<VirtualLineState> line, int side)
    : line_(std::move(line)), side_(side) {}
VirtualEnd::~VirtualEnd() = default;

#define QEL_LOCK std::lock_guard<std::mutex> lock(line_->mutex)
#define QEL_GONE_FAILS                                       \
    if (line_->disconnected) {                               \
        line_->self(side_).lastError = ERROR_DEVICE_REMOVED; \
        return false;                                        \
    }

bool VirtualEnd::SetupComm(DWORD in, DWORD out) {
    QEL_LOCK;
    QEL_GONE_FAILS;
    Side& side = line_->self(side_);
    side.inQueue = in == 0 ? 1 : in;
    side.outQueue = out;
    return true;
}

bool VirtualEnd::GetCommState(DCB& dcb) {
    QEL_LOCK;
    QEL_GONE_FAILS;
    dcb = line_->self(side_).dcb;
    return true;
}

bool VirtualEnd::SetCommState(const DCB& dcb) {
    QEL_LOCK;
    QEL_GONE_FAILS;
    Side& side = line_->self(side_);
    bool sizeOk = (dcb.ByteSize >= 5 && dcb.ByteSize <= 8) || dcb.ByteSize == 16;
    if (dcb.BaudRate == 0 || !sizeOk || dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) {
        side.lastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    side.dcb = dcb;
    line_->ApplyLines(side_);
    return true;
}

bool VirtualEnd::SetCommTimeouts(const COMMTIMEOUTS&) {
    QEL_LOCK;
    QEL_GONE_FAILS;
    return true;
}

IoResult VirtualEnd::Read(void* buf, DWORD n) {
    QEL_LOCK;
    Side& side = line_->self(side_);
    auto now = Clock::now();
    DWORD got = 0;
    auto* out = static_cast<BYTE*>(buf);
    while (got < n && line_->ReadyByte(side, now)) {
        out[got++] = side.rx.front();
        side.rx.pop_front();
    }
    if (got == 0 && line_->disconnected) {
        side.lastError = ERROR_DEVICE_REMOVED;
        return {IoStatus::Failed, 0, ERROR_DEVICE_REMOVED};
    }
    return {IoStatus::Done, got, 0};
}

IoResult VirtualEnd::Write(const void* buf, DWORD n) {
    QEL_LOCK;
    Side& side = line_->self(side_);
    if (line_->disconnected) {
        side.lastError = ERROR_DEVICE_REMOVED;
        return {IoStatus::Failed, 0, ERROR_DEVICE_REMOVED};
    }
    const auto* in = static_cast<const BYTE*>(buf);
    bool blocked = side.dcb.fOutxCtsFlow && !line_->peer(side_).rts;
    for (DWORD i = 0; i < n; ++i) {
        if (blocked || !side.held.empty()) {
            side.held.push_back(in[i]);
        } else {
            line_->Deliver(side_, in[i]);
        }
    }
    line_->cv.notify_all();
    if (!side.held.empty()) {
        side.writePending = true;
        side.pendingCount = n;
        return {IoStatus::Pending, 0, ERROR_IO_PENDING};
    }
    return {IoStatus::Done, n, 0};
}

bool VirtualEnd::WaitWrite(DWORD ms, DWORD& count) {
    std::unique_lock<std::mutex> lock(line_->mutex);
    Side& side = line_->self(side_);
    bool done = line_->cv.wait_for(lock, Scaled(ms),
                                   [&] { return !side.writePending || line_->disconnected; });
    if (!done) return false;
    if (line_->disconnected && side.writePending) {
        side.lastError = ERROR_DEVICE_REMOVED;
        return false;
    }
    count = side.pendingCount;
    return true;
}

bool VirtualEnd::SetCommMask(DWORD mask) {
    QEL_LOCK;
    QEL_GONE_FAILS;
    line_->self(side_).mask = mask;
    line_->cv.notify_all();
    return true;
}

bool VirtualEnd::WaitCommEvent(DWORD& mask) {
    return WaitEvent(*line_, side_, nullptr, mask);
}

bool VirtualEnd::ClearCommError(DWORD& errors, COMSTAT* status) {
    QEL_LOCK;
    QEL_GONE_FAILS;
    Side& side = line_->self(side_);
    line_->Arrive(side, Clock::now());
    errors = side.errors;
    side.errors = 0;
    if (status) {
        status->cbInQue = static_cast<DWORD>(side.rx.size());
        status->cbOutQue = static_cast<DWORD>(side.held.size());
    }
    return true;
}

bool VirtualEnd::PurgeComm(DWORD flags) {
    QEL_LOCK;
    QEL_GONE_FAILS;
    Side& side = line_->self(side_);
    if (flags & PURGE_RXCLEAR) {
        // Everything that has reached this end goes, including unpaced bytes held back
        // for want of room.
        auto now = Clock::now();
        side.rx.clear();
        while (!side.wire.empty() && side.wire.front().ready <= now) side.wire.pop_front();
    }
    if (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) {
        if (flags & PURGE_TXCLEAR) side.held.clear();
        side.writePending = false;
        line_->cv.notify_all();
    }
    return true;
}

bool VirtualEnd::SetCommBreak() {
    QEL_LOCK;
    QEL_GONE_FAILS;
    Side& side = line_->self(side_);
    if (!side.breakOn) {
        side.breakOn = true;
        line_->peer(side_).breaksReceived++;
        line_->peer(side_).errors |= CE_BREAK;
    }
    line_->cv.notify_all();
    return true;
}

bool VirtualEnd::ClearCommBreak() {
    QEL_LOCK;
    QEL_GONE_FAILS;
    line_->self(side_).breakOn = false;
    line_->cv.notify_all();
    return true;
}

bool VirtualEnd::GetCommModemStatus(DWORD& bits) {
    QEL_LOCK;
    QEL_GONE_FAILS;
    const Side& other = line_->peer(side_);
    bits = 0;
    if (other.rts) bits |= MS_CTS_ON;
    if (other.dtr) bits |= MS_DSR_ON | MS_RLSD_ON;
    if (other.ringOut) bits |= MS_RING_ON;
    return true;
}

bool VirtualEnd::EscapeCommFunction(DWORD function) {
    QEL_LOCK;
    QEL_GONE_FAILS;
    Side& side = line_->self(side_);
    switch (function) {
        case SETDTR:
            side.dtr = true;
            break;
        case CLRDTR:
            side.dtr = false;
            break;
        case SETRTS:
        case CLRRTS:
            if (side.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
                side.lastError = ERROR_INVALID_PARAMETER;
                return false;
            }
            side.rts = function == SETRTS;
            line_->ReleaseHeld(1 - side_);
            break;
        default:
            side.lastError = ERROR_INVALID_PARAMETER;
            return false;
    }
    line_->cv.notify_all();
    return true;
}

void VirtualEnd::Close() {}

DWORD VirtualEnd::LastError() const {
    std::lock_guard<std::mutex> lock(line_->mutex);
    return line_->sides[side_].lastError;
}

bool VirtualEnd::WaitReadable(DWORD ms) {
    std::unique_lock<std::mutex> lock(line_->mutex);
    Side& side = line_->self(side_);
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto now = Clock::now();
        if (line_->ReadyByte(side, now)) return true;
        if (now >= deadline) return false;
        auto until = deadline;
        if (!side.wire.empty()) until = std::min(until, side.wire.front().ready);
        line_->cv.wait_until(lock, until);
    }
}

int VirtualEnd::BreaksReceived() const {
    std::lock_guard<std::mutex> lock(line_->mutex);
    return line_->sides[side_].breaksReceived;
}

bool VirtualEnd::BreakReceiving() const {
    std::lock_guard<std::mutex> lock(line_->mutex);
    return line_->sides[1 - side_].breakOn;
}

void VirtualEnd::SetRing(bool on) {
    QEL_LOCK;
    line_->self(side_).ringOut = on;
}

void VirtualEnd::SetFilter(std::function<bool(BYTE&)> filter) {
    QEL_LOCK;
    line_->self(side_).filter = std::move(filter);
}

void VirtualEnd::SetMaskHook(std::function<bool(DWORD)> hook) {
    QEL_LOCK;
    line_->self(side_).maskHook = std::move(hook);
}

void VirtualEnd::SetDelayMs(double ms) {
    QEL_LOCK;
    line_->self(side_).delayMs = ms;
}

void VirtualEnd::SetPacing(bool on) {
    QEL_LOCK;
    line_->self(side_).pacing = on;
}

void VirtualEnd::Disconnect() {
    QEL_LOCK;
    line_->disconnected = true;
    line_->cv.notify_all();
}

DWORD VirtualEnd::BaudRate() const {
    std::lock_guard<std::mutex> lock(line_->mutex);
    return line_->sides[side_].dcb.BaudRate;
}

bool VirtualEnd::DtrOn() const {
    std::lock_guard<std::mutex> lock(line_->mutex);
    return line_->sides[side_].dtr;
}

bool VirtualEnd::RtsOn() const {
    std::lock_guard<std::mutex> lock(line_->mutex);
    return line_->sides[side_].rts;
}

std::shared_ptr<Device> VirtualEnd::OpenHandle(bool exclusive, DWORD& error) {
    std::shared_ptr<VirtualEnd> self;
    {
        QEL_LOCK;
        Side& side = line_->self(side_);
        if (line_->disconnected) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        if (side.exclusive || (exclusive && side.handles > 0)) {
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        side.handles++;
        side.exclusive = exclusive;
    }
    error = ERROR_SUCCESS;
    return std::make_shared<VirtualHandle>(shared_from_this());
}

VirtualLine VirtualLine::Create() {
    auto state = std::make_shared<VirtualLineState>();
    return {std::make_shared<VirtualEnd>(state, 0), std::make_shared<VirtualEnd>(state, 1)};
}

namespace {
std::mutex g_registryMutex;
std::map<std::string, std::shared_ptr<VirtualEnd>>& Registry() {
    static std::map<std::string, std::shared_ptr<VirtualEnd>> registry;
    return registry;
}
}  // namespace

void RegisterVirtualPort(const std::string& name, std::shared_ptr<VirtualEnd> end) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    Registry()[name] = std::move(end);
}

void UnregisterVirtualPort(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    Registry().erase(name);
}

std::shared_ptr<VirtualEnd> FindVirtualPort(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    auto it = Registry().find(name);
    return it == Registry().end() ? nullptr : it->second;
}

}  // namespace qel::dev
