// A hand-driven host on the other end of the in-memory line, for the box simulator's tests:
// raw bytes out, raw bytes in, nothing of the client's code.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/virtual_line.h"
#include "sim/box.h"
#include "sim/link_checksum.h"

namespace qel::sim::test {

using Bytes = std::vector<std::uint8_t>;

struct Host {
    std::shared_ptr<dev::VirtualEnd> end;

    void SetRate(dev::DWORD baud) {
        dev::DCB dcb;
        end->GetCommState(dcb);
        dcb.BaudRate = baud;
        end->SetCommState(dcb);
    }
    void Send(const Bytes& bytes) {
        end->Write(bytes.data(), static_cast<dev::DWORD>(bytes.size()));
    }
    void Send(const std::string& s) { Send(Bytes(s.begin(), s.end())); }
    void Send(std::uint8_t b) { Send(Bytes{b}); }
    // The next byte within ms, or -1.
    int Get(int ms = 1000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            std::uint8_t b;
            if (end->Read(&b, 1).count == 1) return b;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return -1;
            end->WaitReadable(static_cast<dev::DWORD>(left.count()));
        }
    }
    Bytes GetN(std::size_t n, int ms = 1000) {
        Bytes out;
        while (out.size() < n) {
            int b = Get(ms);
            if (b < 0) break;
            out.push_back(static_cast<std::uint8_t>(b));
        }
        return out;
    }
    // Everything that arrives within the next ms.
    Bytes Drain(int ms) {
        Bytes out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            int b = Get(static_cast<int>(std::max<long long>(0, left.count())));
            if (b < 0) return out;
            out.push_back(static_cast<std::uint8_t>(b));
        }
    }
    // Sends the name and NUL; true when the box answers "r".
    bool Name(const std::string& name) {
        Send(name);
        Send(std::uint8_t{0});
        return Get() == 'r';
    }
    // Waits for a ready prompt, skipping nothing else.
    bool Prompt(int ms = 1000) { return Get(ms) == 'r'; }
};

// The 21-byte REMOTE frame with whitening and the link checksum.
inline Bytes Frame(const std::string& name, std::uint32_t p1, std::uint32_t p2) {
    Bytes out{'R', 'E', 'M', 'O', 'T', 'E', 0};
    Bytes plain;
    for (int s = 24; s >= 0; s -= 8) plain.push_back(static_cast<std::uint8_t>(p1 >> s));
    for (int s = 24; s >= 0; s -= 8) plain.push_back(static_cast<std::uint8_t>(p2 >> s));
    for (char c : name) plain.push_back(static_cast<std::uint8_t>(c));
    plain.push_back(0);
    std::uint16_t crc = 0;
    for (std::uint8_t b : plain) {
        out.push_back(static_cast<std::uint8_t>(b ^ (crc & 0xFF)));
        crc = ChecksumByte(crc, b);
    }
    out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    out.push_back(static_cast<std::uint8_t>(crc >> 8));
    return out;
}

// Sends a frame after the prompt, checks the echo and confirms it; true when the echo was
// the frame's own checksum.
inline bool Command(Host& host, const std::string& name, std::uint32_t p1, std::uint32_t p2) {
    if (!host.Prompt(2000)) return false;
    host.end->PurgeComm(dev::PURGE_RXCLEAR);  // later prompts, as a host drops them
    Bytes frame = Frame(name, p1, p2);
    host.Send(frame);
    host.Send('L');
    int lo = host.Get();
    host.Send('H');
    int hi = host.Get();
    bool ok = lo == frame[19] && hi == frame[20];
    host.Send(ok ? '+' : '-');
    return ok;
}

}  // namespace qel::sim::test

namespace qel::sim::test {

// The host's half of a word block sent in bulk after a PRO or WRM frame; returns the box's
// answer to the checksum low byte ('*' when it took it) and, after '*', the final answer.
struct BlockAnswer {
    int toLow = -1;
    int final = -1;
};

inline BlockAnswer SendWords(Host& host, const std::vector<std::uint16_t>& words) {
    BlockAnswer a;
    std::uint16_t crc = 0;
    const std::uint8_t count[2] = {static_cast<std::uint8_t>(words.size() & 0xFF),
                                   static_cast<std::uint8_t>(words.size() >> 8)};
    for (std::uint8_t c : count) {
        if (host.Get() != '*') return a;
        host.Send(c);
        crc = ChecksumByte(crc, c);
    }
    Bytes data;
    for (std::uint16_t w : words) {
        data.push_back(static_cast<std::uint8_t>(w & 0xFF));
        data.push_back(static_cast<std::uint8_t>(w >> 8));
        crc = ChecksumWord(crc, w);
    }
    host.Send(data);
    if (host.Get(3000) != '*') return a;
    host.Send(static_cast<std::uint8_t>(crc & 0xFF));
    a.toLow = host.Get();
    if (a.toLow != '*') return a;
    host.Send(static_cast<std::uint8_t>(crc >> 8));
    a.final = host.Get();
    return a;
}

}  // namespace qel::sim::test
