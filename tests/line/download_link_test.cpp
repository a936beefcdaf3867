// The link operations against a scripted box on the in-memory line, for what must be pinned
// byte for byte or needs a box the simulator does not play: the scripted box records what the
// host sent and speaks the box's side with the simulator's checksum, not the client's.
#include <algorithm>
#include <chrono>
#include <thread>

#include "line/verify_box_fixture.h"
#include "sim/link_checksum.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;
using qel::sim::ChecksumByte;
using qel::sim::ChecksumWord;

struct Frame {
    std::string name;
    std::uint32_t p1 = 0, p2 = 0;
    std::uint16_t crc = 0;
};

// Un-whitens a 21-byte frame as the box does (its checksum bytes are not checked).
Frame Decode(const Bytes& raw) {
    Frame f;
    if (raw.size() != 21 || !std::equal(raw.begin(), raw.begin() + 7, "REMOTE")) return f;
    std::uint8_t plain[12];
    for (int i = 0; i < 12; ++i) {
        plain[i] = raw[7 + i] ^ static_cast<std::uint8_t>(f.crc & 0xFF);
        f.crc = ChecksumByte(f.crc, plain[i]);
    }
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
class Link : public box_test::BoxFixture {
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
    std::unique_ptr<Peer> peer;
};

using qel::dev::NowMs;

TEST_F(Link, CommandFramesWaitForThePromptAndPassOnlyOnTheirOwnEcho) {
    // Without a prompt nothing is sent.
    double start = NowMs();
    EXPECT_EQ(client->SendCommand("NOP", 0, 0), -3);
    double took = NowMs() - start;
    EXPECT_GE(took, 0.9 * 2000);
    EXPECT_LE(took, 3 * 2000 + 300);
    // Any first byte other than the prompt is no prompt either.
    peer->Put('x');
    EXPECT_EQ(client->SendCommand("NOP", 0, 0), -3);
    EXPECT_FALSE(line.b->WaitReadable(50));

    Frame frame;
    // The frame is whitened with its running checksum; prompts beyond the first are dropped, not
    // taken for the echo.
    peer->Start([&](Peer& box) { box.Command(frame, 0, 4); });
    EXPECT_EQ(client->SendCommand("NOP", 0, 0), 0);
    peer->Join();
    EXPECT_EQ(peer->heard, (Bytes{'R', 'E', 'M',  'O',  'T',  'E',  0,    0,    0,   0,   0,  0, 0,
                                  0,   0,   0x4E, 0x8E, 0x9E, 0xF3, 0x0F, 0x89, 'L', 'H', '+'}));
}

TEST_F(Link, ConnectWakesASilentBoxWithABreakAndTakesAPromptUpToTheTenthByte) {
    for (int junk : {9, 10}) {
        // A prompt from before, at the rate the link used then, is no answer to the name.
        peer->Put('r');
        qel::dev::Sleep(20);
        peer->Start([junk](Peer& box) {
            box.GetN(9);  // "NUX_1000" and its NUL, unanswered
            if (!box.AwaitBreak()) return;
            box.Put(Bytes(junk, 'x'));
            box.Put('r');
            if (junk == 9 && box.GetN(9) == Bytes{'N', 'U', 'X', '_', '1', '0', '0', '0', 0})
                box.Put('r');
        });
        double start = NowMs();
        EXPECT_EQ(client->Connect(nullptr), junk == 9 ? 0 : -1);
        EXPECT_GE(NowMs() - start, 0.9 * (1000 + 100 + 1000 + 100));
        peer->Join();
        // A prompt after the tenth byte comes too late: the box is not named again.
        EXPECT_FALSE(line.b->WaitReadable(200));
    }
    EXPECT_EQ(line.b->BreaksReceived(), 2);
    EXPECT_TRUE(line.b->DtrOn());
    // DTR drops with the next change of the line, not at once.
    qel::dev::DCB* settings = V24LineSettings(port);
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->fDtrControl, qel::dev::DTR_CONTROL_DISABLE);
}

TEST_F(Link, ReadMemoryTakesExactlyTheWordsAskedForWithTheirChecksum) {
    Words words(2048), buffer(2048);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(i * 7919);
    struct Case {
        Words answer;
        int announced, crcDelta, result, verdict;
    };
    // A wrong checksum is refused; of more than 2048 words announced 2048 are read, and the
    // next two bytes are the checksum over the count announced.
    for (const Case& c : {Case{words, -1, 1, -1, '-'}, Case{words, 3000, 0, 0, '+'}}) {
        Frame frame;
        int verdict = 0;
        peer->Start([&](Peer& box) {
            box.Command(frame);
            verdict = box.GiveBlock(c.answer, c.announced, c.crcDelta);
        });
        EXPECT_EQ(client->ReadMemory(buffer.data(), 0x9000, 2048), c.result);
        peer->Join();
        EXPECT_EQ(verdict, c.verdict);
        EXPECT_EQ(frame.name, "RDM");
        EXPECT_EQ(frame.p2, 0x9000u + 4095);
    }
    EXPECT_EQ(buffer, words);
}

TEST_F(Link, SendStringSendsTheTextAndItsNulInTextOrderAskedForByteByByte) {
    Words got;
    peer->Start([&](Peer& box) { got = box.TakeBlock(); });
    EXPECT_EQ(client->SendString("ABCD"), 0);
    peer->Join();
    EXPECT_EQ(got, (Words{('B' << 8) | 'A', ('D' << 8) | 'C', 0}));
}

TEST_F(Link, EraseOfASilentBoxWaitsOnePeriodPer64KiB) {
    Frame frame;
    // 16 periods for 0x8000..0xFFFFF, run a hundred times faster.
    qel::dev::SetTimeScale(100);
    peer->Start([&](Peer& box) { box.Command(frame); });
    double start = NowMs();
    EXPECT_EQ(client->EraseFlash(0x8000, 0xFFFFF), -2);
    double took = NowMs() - start;
    peer->Join();
    EXPECT_GE(took, 0.9 * 16 * 82);
    EXPECT_LE(took, 3 * 16 * 82 + 300);
}

TEST_F(Link, ResyncStepsDownOneRateBelowTheLastAndOnlyTheSecondNopAtARateCounts) {
    std::vector<std::uint32_t> tried;
    // The box takes the name after every failed rate; it prompts only at the rate it accepts.
    auto box = [&](std::uint32_t accepted) {
        return [&tried, accepted](Peer& box) {
            for (Frame sbd, nop; box.GetN(9).size() == 9;) {
                box.Put('r');
                if (box.Command(sbd) != '+') return;
                tried.push_back(sbd.p1);
                if (sbd.p1 != accepted) continue;
                box.SetBaud(accepted);
                // The box prompts at the new rate once the host has followed.
                if (!box.AwaitHostBaud(accepted)) return;
                box.Command(nop, 1);  // the first command at the new rate goes wrong
                box.Command(nop);
                return;
            }
        };
    };
    qel::dev::SetTimeScale(10);
    client->SetPortBaud(230400);
    for (std::uint32_t accepted : {115200, 4800}) {
        peer->SetBaud(19200);
        peer->Start(box(accepted));
        EXPECT_EQ(client->Resync(), 0);
        peer->Join();
        EXPECT_EQ(client->GetBaudRate(), static_cast<int>(accepted));
    }
    EXPECT_EQ(tried, (std::vector<std::uint32_t>{115200, 57600, 38400, 19200, 9600, 4800}));

    // Nowhere lower to go: the box is named once more and the resync fails.
    peer->SetBaud(19200);
    peer->Start([](Peer& box) {
        for (int i = 0; i < 2; ++i) {
            box.GetN(9);
            box.Put('r');
        }
    });
    EXPECT_EQ(client->Resync(), -1);
    peer->Join();
    EXPECT_EQ(peer->heard.size(), 18u);
}

}  // namespace
