// The far end of an in-memory line for the fuzz targets: it plays the box by answering each
// turn of the host with the next chunk of the fuzz input, at the rate the host listens at,
// and pulls the line away once the chunks are spent, so that every wait of the client ends
// at once instead of running out its time.
//
// Input: chunks, each a two-byte length (high byte first) and that many bytes; a short last
// chunk is taken as it is. Seeds are recorded from the simulated box (Record), so they hold
// what a real exchange looks like, turn by turn.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/sync.h"
#include "serial/device/virtual_line.h"
#include "sim/box.h"
#include "sim/wire.h"

namespace fuzz_line {

using Bytes = std::vector<std::uint8_t>;
using qel::dev::DWORD;

inline std::vector<Bytes> Chunks(const std::uint8_t* data, std::size_t size) {
    std::vector<Bytes> chunks;
    std::size_t at = 0;
    while (at + 2 <= size) {
        std::size_t n = static_cast<std::size_t>(data[at]) << 8 | data[at + 1];
        at += 2;
        if (n > size - at) n = size - at;
        chunks.emplace_back(data + at, data + at + n);
        at += n;
    }
    return chunks;
}

inline Bytes Encode(const std::vector<Bytes>& chunks) {
    Bytes out;
    for (const Bytes& c : chunks) {
        out.push_back(static_cast<std::uint8_t>(c.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(c.size()));
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

inline void SetRate(qel::dev::VirtualEnd& end, DWORD rate) {
    qel::dev::DCB dcb;
    end.GetCommState(dcb);
    dcb.BaudRate = rate;
    end.SetCommState(dcb);
}

// How a target's host ends a turn. Without complete, a turn ends after 1 ms without a byte.
struct Rules {
    std::function<bool(const Bytes& heard)> complete;
    // The rate the host listens at after this turn, when it changes it right after sending.
    std::function<DWORD(const Bytes& heard)> rateAfter;
};

class Feeder {
  public:
    Feeder(const std::string& port, std::vector<Bytes> chunks, Rules rules)
        : port_(port), chunks_(std::move(chunks)), rules_(std::move(rules)) {
        // The host's bytes are taken as it sends them, before the line garbles those sent at
        // a rate this end is not at: the host changes its rate whenever it likes.
        line_.a->SetFilter([this](std::uint8_t& byte) {
            std::lock_guard<std::mutex> lock(mutex_);
            sent_.push_back(byte);
            cv_.notify_all();
            return true;
        });
        qel::dev::RegisterVirtualPort(port_, line_.a);
        thread_ = std::thread([this] { Run(); });
    }
    ~Feeder() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            cv_.notify_all();
        }
        thread_.join();
        qel::dev::UnregisterVirtualPort(port_);
    }
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

  private:
    // Waits up to 1 ms for what the host sent since the last call; false once stopped.
    bool Listen(Bytes& heard) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(1),
                     [this] { return stop_ || !sent_.empty(); });
        heard.insert(heard.end(), sent_.begin(), sent_.end());
        sent_.clear();
        return !stop_;
    }

    void Run() {
        auto& box = *line_.b;
        for (const Bytes& chunk : chunks_) {
            Bytes heard;
            std::size_t before = 0;
            bool listening = true;
            while ((listening = Listen(heard))) {
                std::uint8_t drop[1024];
                while (box.Read(drop, sizeof drop).count > 0) {
                }
                if (heard.size() > before) {
                    before = heard.size();
                    if (rules_.complete && rules_.complete(heard)) break;
                } else if (!heard.empty() && !rules_.complete) {
                    break;  // 1 ms of quiet ends the turn
                }
            }
            if (!listening) break;
            DWORD rate = line_.a->BaudRate();
            if (rules_.rateAfter) {
                if (DWORD wanted = rules_.rateAfter(heard)) {
                    // The host switches right after its last byte; wait for it, briefly.
                    for (int i = 0; i < 100 && line_.a->BaudRate() != wanted; ++i)
                        std::this_thread::sleep_for(std::chrono::microseconds(200));
                    rate = wanted;
                }
            }
            SetRate(box, rate);
            box.Write(chunk.data(), static_cast<DWORD>(chunk.size()));
        }
        box.Disconnect();
    }

    const std::string port_;
    const std::vector<Bytes> chunks_;
    const Rules rules_;
    qel::dev::VirtualLine line_ = qel::dev::VirtualLine::Create();
    std::mutex mutex_;
    std::condition_variable cv_;
    Bytes sent_;
    bool stop_ = false;
    std::thread thread_;
};

// Runs operation against the simulated box on a line of its own and returns what the box
// sent, cut into one chunk per turn of the host: the seed that replays that exchange.
inline Bytes Record(const std::string& port, qel::sim::BoxOptions options,
                    const std::function<void(qel::sim::Box&)>& prepare,
                    const std::function<void()>& operation) {
    auto line = qel::dev::VirtualLine::Create();
    std::mutex mutex;
    std::vector<Bytes> chunks;
    bool hostSpoke = false;
    bool boxSpoke = true;  // so that the host's first byte opens the first turn
    line.a->SetFilter([&](std::uint8_t&) {
        std::lock_guard<std::mutex> lock(mutex);
        if (boxSpoke) chunks.emplace_back();
        hostSpoke = true;
        boxSpoke = false;
        return true;
    });
    line.b->SetFilter([&](std::uint8_t& byte) {
        std::lock_guard<std::mutex> lock(mutex);
        if (chunks.empty()) chunks.emplace_back();  // before the host said anything
        chunks.back().push_back(byte);
        boxSpoke = hostSpoke;
        return true;
    });
    qel::dev::RegisterVirtualPort(port, line.a);
    {
        qel::sim::Box box(qel::sim::MakeVirtualWire(line.b, line.a), std::move(options));
        prepare(box);
        box.Start();
        operation();
        box.Stop();
    }
    qel::dev::UnregisterVirtualPort(port);
    std::lock_guard<std::mutex> lock(mutex);
    return Encode(chunks);
}

inline bool WriteSeed(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace fuzz_line
