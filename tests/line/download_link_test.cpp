// The link operations against a scripted box on the in-memory line.
#include "line/link_peer.h"

namespace {

using namespace link_peer;
using qel::dev::NowMs;
using Link = LinkTest;

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
    EXPECT_FALSE(peer->End().WaitReadable(50));

    int verdict = 0;
    Frame frame;
    // The frame is whitened with its running checksum; prompts beyond the first are dropped, not
    // taken for the echo.
    peer->Start([&](Peer& box) { box.Command(frame, 0, 4); });
    EXPECT_EQ(client->SendCommand("NOP", 0, 0), 0);
    peer->Join();
    EXPECT_EQ(peer->heard, (Bytes{'R', 'E', 'M',  'O',  'T',  'E',  0,    0,    0,   0,   0,  0, 0,
                                  0,   0,   0x4E, 0x8E, 0x9E, 0xF3, 0x0F, 0x89, 'L', 'H', '+'}));

    peer->Start([&](Peer& box) { box.Command(frame); });
    EXPECT_EQ(client->SendCommand("RST", 0, 0), 0);
    peer->Join();
    EXPECT_EQ(Bytes(peer->heard.begin() + 15, peer->heard.begin() + 21),
              (Bytes{0x52, 0xD0, 0xA8, 0x33, 0x3E, 0x9E}));

    peer->Start([&](Peer& box) { verdict = box.Command(frame, 1); });
    EXPECT_EQ(client->SendCommand("DEL", 0x8000, 0xFFFFF), -1);
    peer->Join();
    EXPECT_EQ(verdict, '-');
    EXPECT_EQ(frame.p2, 0xFFFFFu);
}

TEST_F(Link, ConnectToAListeningBoxSendsTheNameAndNoBreak) {
    for (std::string name : {"PLV 200", ""}) {
        peer->Start([](Peer& box) {
            while (box.Get() > 0) {
            }
            box.Put('r');
        });
        EXPECT_EQ(client->Connect(name.c_str()), 0);
        peer->Join();
        EXPECT_EQ(peer->heard, Bytes(name.c_str(), name.c_str() + name.size() + 1));
    }
    EXPECT_EQ(peer->End().BreaksReceived(), 0);
    EXPECT_EQ(client->GetBaudRate(), 19200);
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
        EXPECT_FALSE(peer->End().WaitReadable(200));
    }
    EXPECT_EQ(peer->End().BreaksReceived(), 2);
    EXPECT_TRUE(peer->End().DtrOn());
    // DTR drops with the next change of the line, not at once.
    qel::dev::DCB* settings = V24LineSettings(Port());
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
