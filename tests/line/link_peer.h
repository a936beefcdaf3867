// A scripted bootloader for tests of the link: it runs a script on its own thread at the far
// end of an in-memory line, records every byte the host sent, and knows the link's frames
// and blocks from the box's side (with its own bitwise checksum, not the client's).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download/download.h"
#include "serial/device/sync.h"
#include "serial/device/virtual_line.h"
#include "serial/v24.h"

namespace link_peer {

using Bytes = std::vector<std::uint8_t>;

// The link checksum, bit by bit: reflected 0x8408, 20 bits per update.
inline std::uint16_t Update(std::uint16_t crc, std::uint32_t value) {
    for (int bit = 0; bit < 20; ++bit) {
        bool feed = ((crc ^ (value >> bit)) & 1u) != 0;
        crc = static_cast<std::uint16_t>(crc >> 1);
        if (feed) crc ^= 0x8408;
    }
    return crc;
}

struct Frame {
    bool valid = false;
    std::string name;
    std::uint32_t p1 = 0;
    std::uint32_t p2 = 0;
    std::uint16_t crc = 0;
};

// Un-whitens a 21-byte frame as the box does.
inline Frame Decode(const Bytes& raw) {
    Frame frame;
    if (raw.size() != 21 || std::string(raw.begin(), raw.begin() + 7) != std::string("REMOTE\0", 7))
        return frame;
    std::uint16_t crc = 0;
    std::uint8_t plain[12];
    for (int i = 0; i < 12; ++i) {
        plain[i] = raw[7 + i] ^ static_cast<std::uint8_t>(crc & 0xFF);
        crc = Update(crc, plain[i]);
    }
    frame.crc = crc;
    frame.valid = raw[19] == (crc & 0xFF) && raw[20] == (crc >> 8) && plain[11] == 0;
    frame.p1 = std::uint32_t(plain[0]) << 24 | plain[1] << 16 | plain[2] << 8 | plain[3];
    frame.p2 = std::uint32_t(plain[4]) << 24 | plain[5] << 16 | plain[6] << 8 | plain[7];
    frame.name.assign(reinterpret_cast<char*>(plain + 8), 3);
    return frame;
}

class Peer {
  public:
    explicit Peer(std::shared_ptr<qel::dev::VirtualEnd> end) : end_(std::move(end)) {
        SetBaud(19200);
        // The box takes a whole block as it comes; only the host's queue is the port's.
        end_->SetupComm(1 << 20, 1 << 20);
    }
    ~Peer() { Join(); }

    void SetBaud(qel::dev::DWORD rate) {
        qel::dev::DCB dcb;
        end_->GetCommState(dcb);
        dcb.BaudRate = rate;
        end_->SetCommState(dcb);
    }
    qel::dev::VirtualEnd& End() { return *end_; }

    void Start(std::function<void(Peer&)> script) {
        thread_ = std::thread([this, script] { script(*this); });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    // One byte from the host within ms (real time); -1 when none came.
    int Get(int ms = 3000) {
        if (!end_->WaitReadable(ms)) return -1;
        std::uint8_t b = 0;
        if (end_->Read(&b, 1).count != 1) return -1;
        heard.push_back(b);
        return b;
    }
    Bytes GetN(std::size_t n, int ms = 3000) {
        Bytes out;
        while (out.size() < n) {
            int b = Get(ms);
            if (b < 0) break;
            out.push_back(static_cast<std::uint8_t>(b));
        }
        return out;
    }
    // Reads until the byte wanted came; false if the line went quiet first.
    bool Await(int wanted, int ms = 3000) {
        for (;;) {
            int b = Get(ms);
            if (b < 0) return false;
            if (b == wanted) return true;
        }
    }
    void Put(const Bytes& bytes) {
        end_->Write(bytes.data(), static_cast<qel::dev::DWORD>(bytes.size()));
    }
    void Put(int byte) { Put(Bytes{static_cast<std::uint8_t>(byte)}); }

    // The box's side of one command: prompt, frame, checksum echo; the host's verdict
    // ('+' or '-') is returned, or -1. echoHiDelta spoils the high echo byte.
    int Command(Frame& frame, int echoHiDelta = 0) {
        Put('r');
        frame = Decode(GetN(21));
        if (Get() != 'L') return -1;
        Put(frame.crc & 0xFF);
        if (Get() != 'H') return -1;
        Put(((frame.crc >> 8) + echoHiDelta) & 0xFF);
        return Get();
    }

    // The box's side of a word block that the host sends; refuseChecksum answers the
    // checksum's low byte with that byte instead of '*'.
    bool TakeBlock(bool bulk, std::vector<std::uint16_t>& words, int refuseChecksum = -1) {
        std::uint16_t crc = 0;
        Put('*');
        int lo = Get();
        Put('*');
        int hi = Get();
        if (lo < 0 || hi < 0) return false;
        crc = Update(Update(crc, lo), hi);
        int count = hi * 256 + lo;
        words.clear();
        for (int i = 0; i < count; ++i) {
            if (!bulk) Put('*');
            int l = Get();
            if (!bulk) Put('*');
            int h = Get();
            if (l < 0 || h < 0) return false;
            words.push_back(static_cast<std::uint16_t>(h << 8 | l));
            crc = Update(crc, words.back());
        }
        Put('*');
        if (Get() != (crc & 0xFF)) return false;
        if (refuseChecksum >= 0) {
            Put(refuseChecksum);
            return false;
        }
        Put('*');
        if (Get() != (crc >> 8)) return false;
        Put('+');
        return true;
    }

    // The box's side of a word block that the host receives; announced overrides the count
    // sent, crcDelta spoils the checksum. Returns the host's last answer byte.
    int GiveBlock(bool bulk, const std::vector<std::uint16_t>& words, int announced = -1,
                  int crcDelta = 0) {
        int count = announced >= 0 ? announced : static_cast<int>(words.size());
        std::uint16_t crc = 0;
        if (Get() != '*') return -1;
        Put(count & 0xFF);
        crc = Update(crc, count & 0xFF);
        if (Get() != '*') return -1;
        Put(count >> 8);
        crc = Update(crc, (count >> 8) & 0xFF);
        Bytes burst;
        for (std::uint16_t w : words) {
            crc = Update(crc, w);
            if (bulk) {
                burst.push_back(w & 0xFF);
                burst.push_back(static_cast<std::uint8_t>(w >> 8));
                continue;
            }
            if (Get() != '*') return -1;
            Put(w & 0xFF);
            if (Get() != '*') return -1;
            Put(w >> 8);
        }
        // The in-memory line delivers a write at once, so a burst larger than the host's
        // input queue is handed over in parts, as a line's pace would.
        for (std::size_t at = 0; at < burst.size(); at += 1024) {
            Put(Bytes(burst.begin() + at, burst.begin() + std::min(burst.size(), at + 1024)));
            qel::dev::Sleep(10);
        }
        crc = static_cast<std::uint16_t>(crc + crcDelta);
        if (Get() != '*') return -1;
        Put(crc & 0xFF);
        int answer = Get();
        if (answer != '*') return answer;
        Put(crc >> 8);
        return Get();
    }

    Bytes heard;

  private:
    std::shared_ptr<qel::dev::VirtualEnd> end_;
    std::thread thread_;
};

// A client on a port opened on one end of a fresh in-memory line, the peer on the other.
class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static int serial = 0;
        name_ = "COM" + std::to_string(60 + serial++ % 30);
        qel::dev::RegisterVirtualPort(name_, line_.a);
        port_ = V24Open(name_.c_str(), 1);
        ASSERT_GE(port_, 0);
        V24SetLine(port_, 19200, 8, 'N', 1);
        client = std::make_unique<CDownload>(port_);
        peer = std::make_unique<Peer>(line_.b);
    }
    void TearDown() override {
        peer->Join();
        V24Close(port_);
        client.reset();
        peer.reset();
        qel::dev::UnregisterVirtualPort(name_);
        qel::dev::SetTimeScale(1);
    }
    int Port() const { return port_; }

    std::unique_ptr<CDownload> client;
    std::unique_ptr<Peer> peer;

  private:
    qel::dev::VirtualLine line_ = qel::dev::VirtualLine::Create();
    std::string name_;
    int port_ = -1;
};

}  // namespace link_peer
