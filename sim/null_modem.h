// The paced null-modem: a relay between our side (the master of a pseudo-terminal that our
// port opens) and a peer (a second pseudo-terminal, or a command on pipes), carrying each
// byte no sooner than the line's rate allows (10 bits a byte), with optional faults. A peer
// on pipes never sees a terminal, so lrzsz's own flushes cannot throw our bytes away.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "sim/line_faults.h"

namespace qel::sim {

// One end of the line as descriptors, all non-blocking.
struct LineEnd {
    int in = -1;       // what this end sends is read here
    int out = -1;      // what this end receives is written here
    bool pty = false;  // a pseudo-terminal's master (in == out); its termios gives the rate
    int exitFd = -1;   // pipe ends: readable once the process behind has ended (a pidfd)
};

struct NullModemOptions {
    unsigned baud = 0;  // 0: the rate the sending side's terminal is set to (else ours)
    bool paced = true;
    LineFaults faults;  // "out" is what our side sends
    // Our side may close and reopen its port; closed this long it has gone for good.
    int closeGraceMs = 1000;
    // After the peer ended and all its bytes were delivered, how long our side may keep its
    // port open before the line ends anyway (it may still be reading the last bytes).
    int lingerMs = 10000;
    // Bytes taken from a sender ahead of the line, as a UART's driver buffer holds them.
    std::size_t queueLimit = 4096;
};

enum class NullModemEnd {
    Stopped,     // Stop was called
    PeerEnded,   // the command ended, or the peer's terminal closed for good
    OursClosed,  // our side closed its port for good
    HungUp,      // the line was cut by the hang-up fault
    Failed,      // a descriptor failed in a way the relay cannot carry on from
};

class NullModem {
  public:
    NullModem(LineEnd ours, LineEnd peer, NullModemOptions options);
    ~NullModem();
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;

    // Carries bytes both ways until one of the ends above.
    NullModemEnd Run();
    // Ends Run soon; safe to call from a signal handler or another thread.
    void Stop();

    // Bytes delivered so far: from our side to the peer, and to our side.
    long long DeliveredOut() const { return dirs_[0].delivered; }
    long long DeliveredIn() const { return dirs_[1].delivered; }

  private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        std::uint8_t byte;
        bool hangup;
        Clock::time_point due;
    };
    struct Direction {
        LineEnd* from;
        LineEnd* to;
        bool out;
        std::deque<Entry> queue;
        Clock::time_point lineFree{};
        long long offset = 0;
        long long delivered = 0;
        bool blocked = false;  // the receiver is full for now
        bool cut = false;      // the hang-up is on its way: nothing more goes on the line
    };
    struct EndState {
        bool ended = false;   // a command's output ended, or it exited and said all
        bool exited = false;  // the command has ended; its pipe may still hold bytes
        bool closed = false;  // a terminal whose port is closed now
        Clock::time_point closedSince{};
        Clock::time_point lastCheck{};
    };

    bool Deliver(Direction& d, Clock::time_point now);
    // Bytes read from the sender, 0 when none were there.
    int Take(Direction& d, Clock::time_point now);
    void TakeBytes(Direction& d, const std::uint8_t* buf, int n, Clock::time_point now);
    void CheckReopened(int which, Clock::time_point now);
    bool ClosedForGood(int which, Clock::time_point now) const;
    unsigned RateOf(const Direction& d) const;

    LineEnd ends_[2];  // 0 ours, 1 peer
    EndState state_[2];
    Direction dirs_[2];  // 0 ours -> peer, 1 peer -> ours
    NullModemOptions options_;
    int wakeFd_ = -1;
    bool lingering_ = false;
    Clock::time_point lingerEnd_{};
};

}  // namespace qel::sim
