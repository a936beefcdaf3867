#include "sim/link.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace qel::sim {

namespace {
// How often a wait looks at the break state when no byte moves.
constexpr auto kBreakPoll = std::chrono::milliseconds(10);
constexpr auto kUnreadLoss = std::chrono::seconds(2);
}  // namespace

Link::Clock::duration Link::ByteTime() const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
        10'000'000'000LL / static_cast<long long>(rate_ == 0 ? 1 : rate_)));
}

void Link::CountLine(std::uint64_t in, std::uint64_t out) {
    std::lock_guard<std::mutex> lock(statsMutex_);
    stats_.bytesIn += in;
    stats_.bytesOut += out;
    stats_.lineMs += static_cast<double>(in + out) * 10000.0 / (rate_ == 0 ? 1 : rate_);
}

LineStats Link::Stats() const {
    std::lock_guard<std::mutex> lock(statsMutex_);
    return stats_;
}

void Link::AddBusy(double ms) {
    std::lock_guard<std::mutex> lock(statsMutex_);
    stats_.busyMs += ms;
}

void Link::Pump() {
    if (gone_) return;
    auto now = Clock::now();
    if (!out_.empty() && out_.front().at <= now) {
        std::vector<std::uint8_t> due;
        for (const auto& t : out_) {
            if (t.at > now) break;
            due.push_back(t.byte);
        }
        int put = wire_.Write(due.data(), static_cast<int>(due.size()));
        if (put < 0) {
            gone_ = true;
            return;
        }
        out_.erase(out_.begin(), out_.begin() + put);
        // A line does not wait for a receiver: what nobody has taken for a long time (no
        // program has the pty open) is lost, as it would be on a wire.
        while (!out_.empty() && now - out_.front().at > kUnreadLoss) out_.pop_front();
    }
    std::uint8_t buf[4096];
    for (;;) {
        int got = wire_.Read(buf, sizeof buf);
        if (got < 0) {
            gone_ = true;
            return;
        }
        if (got == 0) break;
        CountLine(static_cast<std::uint64_t>(got), 0);
        for (int i = 0; i < got; ++i) {
            auto at = now;
            if (pace_) {
                // A byte is complete at the box one byte time after the line was free for it.
                at = std::max(now, lastIn_) + ByteTime();
                lastIn_ = at;
            }
            in_.push_back({buf[i], at});
        }
        if (got < static_cast<int>(sizeof buf)) break;
    }
    int breaks = wire_.BreaksBegun();
    if (breaks != breaksSeen_ || wire_.BreakOn()) {
        breaksSeen_ = breaks;
        breakPending_ = true;
    }
}

void Link::Wait(Clock::time_point until) {
    auto now = Clock::now();
    if (!out_.empty()) until = std::min(until, out_.front().at);
    if (!in_.empty()) until = std::min(until, in_.front().at);
    until = std::min(until, now + kBreakPoll);
    if (until <= now) return;
    wire_.WaitReadable(std::chrono::duration_cast<std::chrono::microseconds>(until - now) +
                       std::chrono::microseconds(1));
}

int Link::Get(double ms) {
    auto deadline = Clock::now() + std::chrono::microseconds(static_cast<long long>(ms * 1000));
    for (;;) {
        if (Stopping()) return kInterrupted;
        Pump();
        if (breakPending_) return kInterrupted;
        auto now = Clock::now();
        if (!in_.empty() && in_.front().at <= now) {
            std::uint8_t b = in_.front().byte;
            in_.pop_front();
            return b;
        }
        if (now >= deadline) return kTimeout;
        Wait(deadline);
    }
}

void Link::Put(const std::uint8_t* bytes, int n) {
    auto now = Clock::now();
    for (int i = 0; i < n; ++i) {
        auto at = now;
        if (pace_) {
            at = std::max(now, lastOut_) + ByteTime();
            lastOut_ = at;
        }
        out_.push_back({bytes[i], at});
    }
    CountLine(0, static_cast<std::uint64_t>(n));
    Pump();
}

bool Link::Pause(double ms) {
    auto deadline = Clock::now() + std::chrono::microseconds(static_cast<long long>(ms * 1000));
    for (;;) {
        if (Stopping()) return false;
        Pump();
        if (breakPending_) return false;
        auto now = Clock::now();
        if (now >= deadline) return true;
        // Input stays queued for later, so only output and the break need waking for.
        auto until = std::min(deadline, now + kBreakPoll);
        if (!out_.empty()) until = std::min(until, out_.front().at);
        if (until > now) std::this_thread::sleep_until(until);
    }
}

bool Link::Drain() {
    // Bounded even if the host never reads: the line time of what is queued, plus slack.
    auto limit = Clock::now() + std::chrono::seconds(5) + ByteTime() * out_.size();
    while (!out_.empty()) {
        if (Stopping()) return false;
        Pump();
        if (breakPending_) return false;
        auto now = Clock::now();
        if (now >= limit) {
            out_.clear();
            return true;
        }
        auto until = std::min(now + kBreakPoll, out_.empty() ? now : out_.front().at);
        if (until > now)
            std::this_thread::sleep_until(until);
        else if (!out_.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Link::DiscardInput() {
    Pump();
    in_.clear();
}

void Link::DiscardOutput() {
    out_.clear();
}

void Link::SetRate(dev::DWORD baud) {
    rate_ = baud;
    wire_.SetRate(baud);
    auto now = Clock::now();
    lastIn_ = std::min(lastIn_, now);
    lastOut_ = std::min(lastOut_, now);
}

}  // namespace qel::sim
