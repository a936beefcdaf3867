// The box's running firmware as far as the FPGA update goes: request and handshake frames,
// reply frames with the box's own sequence numbers, 57600 baud during the transfer.
#include <algorithm>

#include "sim/box_impl.h"

namespace qel::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kStart = 0x04;
constexpr std::uint8_t kEnd = 0x03;
constexpr std::uint8_t kRequest = 0x1C;
constexpr std::uint8_t kHandshake = 0x09;
constexpr std::uint8_t kReply = 0x9C;
constexpr std::uint8_t kArgumentFailure = 27;

// The firmware gives up an update that stalls this long and listens at 19200 again.
constexpr auto kAbandonAfter = std::chrono::seconds(2);

const char* OpName(int op) {
    switch (op) {
        case kFpgaVersion:
            return "version";
        case kFpgaStart:
            return "start";
        case kFpgaData:
            return "data";
        case kFpgaEnd:
            return "end";
        default:
            return "unknown";
    }
}

}  // namespace

bool Box::Impl::WaitForHostRate(dev::DWORD baud) {
    // The host changes its rate after sending and then purges its input: a reply sent
    // before that purge would be lost, so wait for the host, then a little longer.
    const double settle = std::max(5.0, ModelMs(40));
    if (link.HostRate() == 0) return link.Pause(settle + std::max(5.0, ModelMs(20)));
    auto limit = Clock::now() + std::chrono::seconds(2);
    while (link.HostRate() != baud && Clock::now() < limit) {
        if (!link.Pause(1)) return false;
    }
    return link.Pause(settle);
}

void Box::Impl::FpgaReply(std::uint8_t type, std::uint8_t op, std::uint8_t status, int version) {
    const std::uint8_t seq = static_cast<std::uint8_t>(boxSeq);
    boxSeq = (boxSeq + 1) & 0xFF;
    expectSeq = (seq + 1) & 0xFF;
    std::uint8_t d1 = 0;
    std::uint8_t d2 = 0;
    if (version >= 0) {
        version %= 1000;
        d1 = static_cast<std::uint8_t>(version / 100);
        d2 = static_cast<std::uint8_t>(((version / 10 % 10) << 4) | (version % 10));
    }
    const std::uint8_t reply[] = {kStart, 0x00,   0x0B, 0x00, 0x00, seq,  type,
                                  op,     status, d1,   d2,   0x00, 0x00, kEnd};
    link.Put(reply, sizeof reply);
    Event("reply " + Hex(type) + " seq " + std::to_string(seq) + " status " +
          std::to_string(status));
}

void Box::Impl::FirmwareStep() {
    if (link.Rate() != 19200 && Clock::now() - lastFrame > kAbandonAfter) {
        Event("update abandoned");
        SetLinkRate(19200);
        expectSeq = -1;
        handshakeDue = false;
    }
    int b = link.Get(100);
    if (b != kStart) return;  // time-out, break, or noise between frames
    int hi = link.Get(500);
    int lo = hi < 0 ? hi : link.Get(500);
    if (lo < 0) {
        if (lo == Link::kTimeout) Violation("frame without its length");
        return;
    }
    const int n = (hi << 8) | lo;
    if (n < 7 || n > 1024) {
        Violation("frame length " + std::to_string(n));
        return;
    }
    std::vector<std::uint8_t> frame{kStart, static_cast<std::uint8_t>(hi),
                                    static_cast<std::uint8_t>(lo)};
    for (int i = 0; i < n; ++i) {
        int c = link.Get(500);
        if (c < 0) {
            if (c == Link::kTimeout) {
                Violation("frame cut short after " + std::to_string(i) + " of " +
                          std::to_string(n));
            }
            return;
        }
        frame.push_back(static_cast<std::uint8_t>(c));
    }
    lastFrame = Clock::now();

    FpgaFrameRecord rec;
    rec.type = frame[6];
    rec.op = rec.type == kRequest ? frame[8] : 0;
    rec.seq = frame[5];
    rec.length = static_cast<std::uint16_t>(n);
    rec.rate = link.Rate();
    {
        std::lock_guard<std::mutex> lock(mutex);
        fpgaFrames.push_back(rec);
    }
    Event("frame " + Hex(rec.type) +
          (rec.type == kRequest ? std::string(" ") + OpName(rec.op) : "") + " seq " +
          std::to_string(rec.seq) + " length " + std::to_string(n) + " at " +
          std::to_string(rec.rate));

    if (frame.back() != kEnd) Violation("frame does not end in 0x03");
    if (expectSeq >= 0 && rec.seq != expectSeq) {
        Violation("sequence number " + std::to_string(rec.seq) + ", expected " +
                  std::to_string(expectSeq));
    }
    if (rec.type == kHandshake) {
        if (n != 7) Violation("handshake of length " + std::to_string(n));
        if (frame[3] != rec.seq) Violation("handshake byte 3 differs from its sequence number");
        if (!handshakeDue) Violation("handshake without a request before it");
        handshakeDue = false;
        if (!fpgaSilent) FpgaReply(kHandshake, 0, 0, -1);
        return;
    }
    if (rec.type != kRequest) {
        Violation("frame type " + Hex(rec.type));
        return;
    }
    if (handshakeDue) Violation("request before the handshake of the one before");
    handshakeDue = true;
    if (frame[3] != 0 || frame[4] != 0 || frame[7] != 0x80 || frame[n] != 0 || frame[n + 1] != 0) {
        Violation("request with unexpected fixed bytes");
    }
    const int op = rec.op;
    const int opIndex = op < 5 ? opCount[op]++ : 0;
    const Faults f = CurrentFaults();
    if (f.fpgaSilentFrom.op == op && opIndex >= f.fpgaSilentFrom.index && !fpgaSilent) {
        fpgaSilent = true;
        Event("firmware falls silent");
    }
    std::uint8_t status = 0;
    if (f.fpgaStatusAt.op == op && f.fpgaStatusAt.index == opIndex) status = f.fpgaStatus;

    int version = -1;
    switch (op) {
        case kFpgaVersion:
            if (n != 9) Violation("version query of length " + std::to_string(n));
            {
                std::lock_guard<std::mutex> lock(mutex);
                version = fpgaVersion;
            }
            break;
        case kFpgaStart:
            if (!link.Drain()) return;
            SetLinkRate(57600);
            if (!WaitForHostRate(57600)) return;
            break;
        case kFpgaData: {
            const int bytes = n - 9;
            if (bytes < 1 || bytes > 512)
                Violation("data request of " + std::to_string(bytes) + " bytes");
            std::lock_guard<std::mutex> lock(mutex);
            fpgaData.insert(fpgaData.end(), frame.begin() + 9,
                            frame.begin() + 9 + std::max(0, bytes));
            break;
        }
        case kFpgaEnd: {
            if (!link.Drain()) return;
            SetLinkRate(19200);
            const double ms = ModelMs(opt.fpgaProgramMs);
            link.AddBusy(ms);
            if (!link.Pause(ms)) return;
            if (!WaitForHostRate(19200)) return;
            std::size_t total;
            {
                std::lock_guard<std::mutex> lock(mutex);
                total = fpgaData.size();
            }
            Event("fpga programmed with " + std::to_string(total) + " bytes");
            break;
        }
        default:
            Violation("request operation " + std::to_string(op));
            status = kArgumentFailure;
            break;
    }
    if (!fpgaSilent) FpgaReply(kReply, static_cast<std::uint8_t>(op), status, version);
}

}  // namespace qel::sim
