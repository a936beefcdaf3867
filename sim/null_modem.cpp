#include "sim/null_modem.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "serial/device/posix_baud.h"

namespace qel::sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
// Bytes due within this much of each other go in one write: fewer wake-ups, and a byte is
// never late by more than this (the last byte of a burst is never late at all).
constexpr auto kBatch = std::chrono::microseconds(1000);
// How often a closed terminal is looked at to see whether its port was opened again.
constexpr auto kReopenCheck = milliseconds(20);
// When no end is a terminal that can tell its rate.
constexpr unsigned kFallbackRate = 115200;
// A pty's master that closes throws away what its slave has not read yet; a cut this long
// after the last byte leaves the port time to take it, as a receiver's UART would have.
constexpr auto kHangupAfter = milliseconds(100);

}  // namespace

NullModem::NullModem(LineEnd ours, LineEnd peer, NullModemOptions options)
    : ends_{ours, peer}, options_(std::move(options)) {
    dirs_[0].from = &ends_[0];
    dirs_[0].to = &ends_[1];
    dirs_[0].out = true;
    dirs_[1].from = &ends_[1];
    dirs_[1].to = &ends_[0];
    dirs_[1].out = false;
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

NullModem::~NullModem() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

void NullModem::Stop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = write(wakeFd_, &one, sizeof one);
}

unsigned NullModem::RateOf(const Direction& d) const {
    if (options_.baud) return options_.baud;
    dev::DWORD rate = 0;
    if (d.from->pty && dev::PosixLineRate(d.from->in, rate) && rate) return rate;
    if (d.to->pty && dev::PosixLineRate(d.to->out, rate) && rate) return rate;
    return kFallbackRate;
}

void NullModem::TakeBytes(Direction& d, const std::uint8_t* buf, int n, Clock::time_point now) {
    const nanoseconds byteTime(options_.paced ? kBitsPerByte * 1000000000LL / RateOf(d) : 0);
    const bool faulty = options_.faults.Any() && options_.faults.Hits(d.out);
    for (int i = 0; i < n; ++i) {
        const ByteFate fate = faulty ? FateOf(options_.faults, d.offset) : ByteFate{};
        ++d.offset;
        Clock::time_point start = std::max(now, d.lineFree) + milliseconds(fate.stallMs);
        if (fate.hangup) {
            d.queue.push_back({0, true, start + kHangupAfter});
            d.cut = true;
            return;
        }
        d.lineFree = start + byteTime;
        if (!fate.drop)
            d.queue.push_back({fate.corrupt ? Corrupted(buf[i]) : buf[i], false, d.lineFree});
    }
}

int NullModem::Take(Direction& d, Clock::time_point now) {
    const int which = d.out ? 0 : 1;
    std::uint8_t buf[4096];
    const std::size_t room = options_.queueLimit - std::min(options_.queueLimit, d.queue.size());
    const ssize_t n = read(d.from->in, buf, std::min(room, sizeof buf));
    if (n > 0) {
        TakeBytes(d, buf, static_cast<int>(n), now);
        return static_cast<int>(n);
    }
    if (n == 0 && !d.from->pty) {
        state_[which].ended = true;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        if (d.from->pty) {
            // The port on this terminal was closed (after its last bytes were read).
            state_[which].closed = true;
            state_[which].closedSince = now;
            state_[which].lastCheck = now;
        } else {
            state_[which].ended = true;
        }
    }
    return 0;
}

bool NullModem::Deliver(Direction& d, Clock::time_point now) {
    std::vector<std::uint8_t> due;
    std::size_t count = 0;
    bool cut = false;
    for (const Entry& e : d.queue) {
        if (e.due > now) break;
        if (e.hangup) {
            cut = true;
            break;
        }
        due.push_back(e.byte);
        ++count;
    }
    if (!due.empty()) {
        const ssize_t n = write(d.to->out, due.data(), due.size());
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // The receiver stopped listening (a command that closed its input): the bytes
            // are lost on the line, as they would be on a cable nobody reads.
            d.queue.erase(d.queue.begin(), d.queue.begin() + static_cast<long>(count));
            d.blocked = false;
            return true;
        }
        const std::size_t put = n > 0 ? static_cast<std::size_t>(n) : 0;
        d.queue.erase(d.queue.begin(), d.queue.begin() + static_cast<long>(put));
        d.delivered += static_cast<long long>(put);
        d.blocked = put < count;
        if (d.blocked) return true;
    }
    return !cut;
}

void NullModem::CheckReopened(int which, Clock::time_point now) {
    EndState& s = state_[which];
    if (!s.closed || now - s.lastCheck < kReopenCheck) return;
    s.lastCheck = now;
    pollfd p{ends_[which].in, POLLIN, 0};
    if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) s.closed = false;
}

bool NullModem::ClosedForGood(int which, Clock::time_point now) const {
    const EndState& s = state_[which];
    return s.closed && now - s.closedSince >= milliseconds(options_.closeGraceMs);
}

NullModemEnd NullModem::Run() {
    if (wakeFd_ < 0) return NullModemEnd::Failed;
    for (;;) {
        Clock::time_point now = Clock::now();
        for (Direction& d : dirs_) {
            if (!Deliver(d, now)) return NullModemEnd::HungUp;
        }
        for (int which = 0; which < 2; ++which) {
            if (ends_[which].pty) CheckReopened(which, now);
        }

        const bool peerDone = state_[1].ended || (ends_[1].pty && ClosedForGood(1, now));
        if (peerDone && dirs_[1].queue.empty()) {
            // Everything the peer said has reached our pseudo-terminal; give our side the
            // time to read it before the line (and with it the terminal) goes.
            if (!lingering_) {
                lingering_ = true;
                lingerEnd_ = now + milliseconds(options_.lingerMs);
            }
            if (state_[0].closed || now >= lingerEnd_) return NullModemEnd::PeerEnded;
        }
        if (ClosedForGood(0, now) && dirs_[0].queue.empty()) return NullModemEnd::OursClosed;

        std::vector<pollfd> fds;
        fds.push_back({wakeFd_, POLLIN, 0});
        int reading[2] = {-1, -1};
        int writing[2] = {-1, -1};
        for (int i = 0; i < 2; ++i) {
            Direction& d = dirs_[i];
            const int from = d.out ? 0 : 1;
            if (!state_[from].ended && !state_[from].closed && !d.cut &&
                d.queue.size() < options_.queueLimit) {
                reading[i] = static_cast<int>(fds.size());
                fds.push_back({d.from->in, POLLIN, 0});
            }
            if (d.blocked) {
                writing[i] = static_cast<int>(fds.size());
                fds.push_back({d.to->out, POLLOUT, 0});
            }
        }
        int exitIndex = -1;
        if (ends_[1].exitFd >= 0 && !state_[1].exited) {
            exitIndex = static_cast<int>(fds.size());
            fds.push_back({ends_[1].exitFd, POLLIN, 0});
        }

        Clock::time_point wake = now + std::chrono::seconds(1);
        for (const Direction& d : dirs_) {
            if (d.queue.empty() || d.blocked) continue;
            const Clock::time_point first = d.queue.front().due;
            const Clock::time_point last = d.queue.back().due;
            wake = std::min(wake, last <= first + kBatch ? last : first + kBatch);
        }
        for (int which = 0; which < 2; ++which) {
            const EndState& s = state_[which];
            if (!s.closed) continue;
            wake = std::min(wake, s.lastCheck + kReopenCheck);
            wake = std::min(wake, s.closedSince + milliseconds(options_.closeGraceMs));
        }
        if (lingering_) wake = std::min(wake, lingerEnd_);

        const auto left = std::max(nanoseconds(0), wake - now);
        timespec ts{static_cast<time_t>(left.count() / 1000000000),
                    static_cast<long>(left.count() % 1000000000)};
        if (ppoll(fds.data(), fds.size(), &ts, nullptr) < 0 && errno != EINTR) {
            return NullModemEnd::Failed;
        }
        if (fds[0].revents & POLLIN) return NullModemEnd::Stopped;
        now = Clock::now();
        for (int i = 0; i < 2; ++i) {
            if (writing[i] >= 0 && fds[writing[i]].revents) dirs_[i].blocked = false;
            if (reading[i] >= 0 && fds[reading[i]].revents) Take(dirs_[i], now);
        }
        if (exitIndex >= 0 && fds[exitIndex].revents) state_[1].exited = true;
        // An ended command has said all once its pipe is empty (a process it left behind
        // may hold the pipe open, so its end of file cannot be waited for).
        if (state_[1].exited && !state_[1].ended && !dirs_[1].cut &&
            dirs_[1].queue.size() < options_.queueLimit && Take(dirs_[1], now) == 0) {
            state_[1].ended = true;
        }
    }
}

}  // namespace qel::sim
