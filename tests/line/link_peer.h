// A scripted bootloader on its own thread at the far end of the in-memory line: records what
// the host sent, speaks the box's side with the simulator's checksum, not the client's.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

#include "line/verify_box_fixture.h"
#include "sim/link_checksum.h"

namespace link_peer {

using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;
using qel::sim::ChecksumByte;
using qel::sim::ChecksumWord;

struct Frame {
    bool valid = false;
    std::string name;
    std::uint32_t p1 = 0, p2 = 0;
    std::uint16_t crc = 0;
};

// Un-whitens a 21-byte frame as the box does.
inline Frame Decode(const Bytes& raw) {
    Frame f;
    if (raw.size() != 21 || !std::equal(raw.begin(), raw.begin() + 7, "REMOTE")) return f;
    std::uint8_t plain[12];
    for (int i = 0; i < 12; ++i) {
        plain[i] = raw[7 + i] ^ static_cast<std::uint8_t>(f.crc & 0xFF);
        f.crc = ChecksumByte(f.crc, plain[i]);
    }
    f.valid = raw[19] == (f.crc & 0xFF) && raw[20] == f.crc >> 8 && plain[11] == 0;
    for (int i = 0; i < 4; ++i) {
        f.p1 = f.p1 << 8 | plain[i];
        f.p2 = f.p2 << 8 | plain[4 + i];
    }
    f.name.assign(reinterpret_cast<char*>(plain + 8), 3);
    return f;
}

class Peer {
  public:
    Peer(std::shared_ptr<qel::dev::VirtualEnd> end, std::shared_ptr<qel::dev::VirtualEnd> host)
        : end_(std::move(end)), host_(std::move(host)) {
        SetBaud(19200);
    }
    ~Peer() { Join(); }

    void SetBaud(qel::dev::DWORD rate) {
        qel::dev::DCB dcb;
        end_->GetCommState(dcb);
        dcb.BaudRate = rate;
        end_->SetCommState(dcb);
    }
    qel::dev::VirtualEnd& End() { return *end_; }
    // Waits up to 5 s (real time) until the host's end runs at rate: a box that prompts
    // sooner is heard garbled, however long it settled first.
    bool AwaitHostBaud(qel::dev::DWORD rate) {
        for (int i = 0; i < 1000 && host_->BaudRate() != rate; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return host_->BaudRate() == rate;
    }
    // Runs a script for one exchange; heard then holds only what the host sends from now.
    void Start(std::function<void(Peer&)> script) {
        heard.clear();
        thread_ = std::thread([this, script] { script(*this); });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    // One byte from the host within 3 s (real time); -1 when none came.
    int Get() {
        std::uint8_t b = 0;
        if (!end_->WaitReadable(3000) || end_->Read(&b, 1).count != 1) return -1;
        heard.push_back(b);
        return b;
    }
    Bytes GetN(std::size_t n) {
        Bytes out;
        for (int b = 0; out.size() < n && (b = Get()) >= 0;) out.push_back(b);
        return out;
    }
    // Waits up to 5 s (real time) for a break from the host to begin and end.
    bool AwaitBreak() {
        const int before = end_->BreaksReceived();
        for (int i = 0; i < 1000; ++i) {
            if (end_->BreaksReceived() > before && !end_->BreakReceiving()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    void Put(const Bytes& bytes) {
        end_->Write(bytes.data(), static_cast<qel::dev::DWORD>(bytes.size()));
    }
    void Put(int byte) { Put(Bytes{static_cast<std::uint8_t>(byte)}); }
    // A byte of the host's that the box asks for with '*' when ask is set.
    int Pull(bool ask) {
        if (ask) Put('*');
        return Get();
    }

    // The box's side of one command: prompts, frame, checksum echo (its high byte spoiled by
    // echoHiDelta); returns the host's verdict ('+' or '-'), or -1.
    int Command(Frame& frame, int echoHiDelta = 0, std::size_t prompts = 1) {
        Put(Bytes(prompts, 'r'));
        frame = Decode(GetN(21));
        if (Get() != 'L') return -1;
        Put(frame.crc & 0xFF);
        if (Get() != 'H') return -1;
        Put(((frame.crc >> 8) + echoHiDelta) & 0xFF);
        return Get();
    }

    // The box's side of a word block the host sends, each byte asked for; its checksum is the
    // simulator's to check.
    Words TakeBlock() {
        Words words;
        const int lo = Pull(true), hi = Pull(true);
        for (int i = 0; lo >= 0 && hi >= 0 && i < hi * 256 + lo; ++i) {
            const int l = Pull(true);
            words.push_back(static_cast<std::uint16_t>(Pull(true) << 8 | l));
        }
        Pull(true);
        Pull(true);
        Put('+');
        return words;
    }

    // The box's side of a memory block the host receives in bulk; announced overrides the
    // count sent, crcDelta spoils the checksum. Returns the host's last answer byte.
    int GiveBlock(const Words& words, int announced = -1, int crcDelta = 0) {
        int count = announced >= 0 ? announced : static_cast<int>(words.size());
        std::uint16_t crc = 0;
        for (int b : {count & 0xFF, count >> 8}) {
            if (Get() != '*') return -1;
            Put(b);
            crc = ChecksumByte(crc, static_cast<std::uint8_t>(b));
        }
        Bytes burst;
        for (std::uint16_t w : words) {
            crc = ChecksumWord(crc, w);
            burst.push_back(w & 0xFF);
            burst.push_back(static_cast<std::uint8_t>(w >> 8));
        }
        Put(burst);
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
    std::shared_ptr<qel::dev::VirtualEnd> host_;
    std::thread thread_;
};

// A client at 19200 on one end of the in-memory line, the peer on the other.
class LinkTest : public box_test::BoxFixture {
  protected:
    void SetUp() override {
        BoxFixture::SetUp();
        OpenClient();
        V24SetLine(port, 19200, 8, 'N', 1);
        peer = std::make_unique<Peer>(line.b, line.a);
    }
    void TearDown() override {
        peer->Join();
        BoxFixture::TearDown();
    }
    int Port() const { return port; }

    std::unique_ptr<Peer> peer;
};

}  // namespace link_peer
