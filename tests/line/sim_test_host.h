// A hand-driven host on the other end of the in-memory line, for the box simulator's tests:
// raw bytes out, raw bytes in, nothing of the client's code.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/device/sync.h"
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
    void Send(const Bytes& b) { end->Write(b.data(), static_cast<dev::DWORD>(b.size())); }
    void Send(const std::string& s) { Send(Bytes(s.begin(), s.end())); }
    void Send(std::uint8_t b) { Send(Bytes{b}); }
    // The next byte within ms, or -1.
    int Get(int ms = 1000) {
        std::uint8_t b;
        return end->WaitReadable(static_cast<dev::DWORD>(ms)) && end->Read(&b, 1).count == 1 ? b
                                                                                             : -1;
    }
    // Up to n bytes, each within ms of the one before.
    Bytes GetN(std::size_t n, int ms = 1000) {
        Bytes out;
        for (int b = 0; out.size() < n && (b = Get(ms)) >= 0;)
            out.push_back(static_cast<std::uint8_t>(b));
        return out;
    }
    // Sends the name and NUL; true when the box answers "r".
    bool Name(const std::string& name) {
        Send(name + std::string(1, '\0'));
        return Get() == 'r';
    }
};

// The 21-byte REMOTE frame with whitening and the link checksum.
inline Bytes Frame(const std::string& name, std::uint32_t p1, std::uint32_t p2) {
    Bytes out{'R', 'E', 'M', 'O', 'T', 'E', 0}, plain;
    for (std::uint32_t p : {p1, p2})
        for (int s = 24; s >= 0; s -= 8) plain.push_back(static_cast<std::uint8_t>(p >> s));
    plain.insert(plain.end(), name.begin(), name.end());
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
    if (host.Get(2000) != 'r') return false;
    host.end->PurgeComm(dev::PURGE_RXCLEAR);  // later prompts, as a host drops them
    const Bytes frame = Frame(name, p1, p2);
    host.Send(frame);
    host.Send('L');
    const int lo = host.Get();
    host.Send('H');
    const bool ok = lo == frame[19] && host.Get() == frame[20];
    host.Send(ok ? '+' : '-');
    return ok;
}

// The host's half of a word block sent in bulk after a PRO frame: the box's answer to the
// checksum's low byte ('*' when it took it) and, after '*', its final answer.
struct BlockAnswer {
    int toLow = -1;
    int final = -1;
};

inline BlockAnswer SendWords(Host& host, const std::vector<std::uint16_t>& words) {
    BlockAnswer a;
    std::uint16_t crc = 0;
    for (std::uint8_t c : {words.size() & 0xFF, words.size() >> 8}) {
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
    if ((a.toLow = host.Get()) != '*') return a;
    host.Send(static_cast<std::uint8_t>(crc >> 8));
    a.final = host.Get();
    return a;
}

// The box on one end of the line, the host at 19200 on the other.
struct SimBox : ::testing::Test {
    dev::VirtualLine line = dev::VirtualLine::Create();
    Host host{line.a};
    std::unique_ptr<Box> box;

    void Start(BoxOptions opt = {}) {
        host.SetRate(19200);
        box = std::make_unique<Box>(MakeVirtualWire(line.b, line.a), std::move(opt));
        box->Start();
    }
    void TearDown() override {
        if (box) box->Stop();
    }
};

}  // namespace qel::sim::test
