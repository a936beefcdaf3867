// The link operations against a scripted box on the in-memory line.
#include <algorithm>

#include "line/link_peer.h"

namespace {

using link_peer::Bytes;
using link_peer::Frame;
using link_peer::Peer;
using qel::dev::NowMs;
using Words = std::vector<std::uint16_t>;

struct Link : link_peer::LinkTest {};

// --- command frames ----------------------------------------------------------------------

TEST_F(Link, CommandWithoutPromptSendsNothingAndGivesUpAfterTwoSeconds) {
    double start = NowMs();
    EXPECT_EQ(client->SendCommand("NOP", 0, 0), -3);
    double took = NowMs() - start;
    EXPECT_GE(took, 0.9 * 2000);
    EXPECT_LE(took, 3 * 2000 + 300);
    EXPECT_FALSE(peer->End().WaitReadable(50));

    // Any first byte other than the prompt is no prompt either.
    peer->Start([](Peer& box) { box.Put('x'); });
    EXPECT_EQ(client->SendCommand("NOP", 0, 0), -3);
    peer->Join();
    EXPECT_FALSE(peer->End().WaitReadable(50));
}

TEST_F(Link, WrongHighEchoIsRejectedWithMinus) {
    int verdict = 0;
    Frame frame;
    peer->Start([&](Peer& box) { verdict = box.Command(frame, 1); });
    EXPECT_EQ(client->SendCommand("DEL", 0x8000, 0xFFFFF), -1);
    peer->Join();
    EXPECT_EQ(verdict, '-');
    EXPECT_TRUE(frame.valid);
    EXPECT_EQ(frame.p2, 0xFFFFFu);
}

TEST_F(Link, StalePromptsAreDroppedBeforeTheFrame) {
    int verdict = 0;
    Frame frame;
    peer->Start([&](Peer& box) {
        box.Put(Bytes{'r', 'r', 'r', 'r'});
        frame = link_peer::Decode(box.GetN(21));
        box.Get();
        box.Put(frame.crc & 0xFF);
        box.Get();
        box.Put(frame.crc >> 8);
        verdict = box.Get();
    });
    EXPECT_EQ(client->SendCommand("NOP", 0, 0), 0);
    peer->Join();
    EXPECT_EQ(verdict, '+');
}

// --- connecting ----------------------------------------------------------------------------

TEST_F(Link, ConnectToAListeningBoxSendsNoBreak) {
    peer->Start([](Peer& box) {
        box.GetN(8);
        box.Put('r');
    });
    EXPECT_EQ(client->Connect("PLV 200"), 0);
    peer->Join();
    EXPECT_EQ(peer->heard, (Bytes{'P', 'L', 'V', ' ', '2', '0', '0', 0}));
    EXPECT_EQ(peer->End().BreaksReceived(), 0);
    EXPECT_EQ(client->GetBaudRate(), 19200);
}

TEST_F(Link, ConnectWakesASilentBoxWithABreakAndTakesTheTenthByte) {
    peer->Start([](Peer& box) {
        box.GetN(9);  // "NUX_1000" and its NUL, unanswered
        while (!box.End().BreakReceiving()) qel::dev::Sleep(5);
        while (box.End().BreakReceiving()) qel::dev::Sleep(5);
        box.Put(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 'r'});
        box.heard.clear();
        Bytes again = box.GetN(9);
        if (again == Bytes{'N', 'U', 'X', '_', '1', '0', '0', '0', 0}) box.Put('r');
    });
    double start = NowMs();
    EXPECT_EQ(client->Connect(nullptr), 0);
    double took = NowMs() - start;
    peer->Join();
    EXPECT_EQ(peer->End().BreaksReceived(), 1);
    EXPECT_TRUE(peer->End().DtrOn());
    // DTR drops with the next change of the line, not at once.
    qel::dev::DCB* settings = V24LineSettings(Port());
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->fDtrControl, qel::dev::DTR_CONTROL_DISABLE);
    EXPECT_GE(took, 0.9 * (1000 + 100 + 1000 + 100));
}

TEST_F(Link, ConnectTakesNoStalePromptForTheAnswerToTheName) {
    // A prompt from before (at the rate the link used then) is already waiting.
    peer->Put('r');
    qel::dev::Sleep(20);
    qel::dev::SetTimeScale(10);
    peer->Start([](Peer& box) {
        box.GetN(9);  // unanswered: the box was not listening for a name
        while (!box.End().BreaksReceived() || box.End().BreakReceiving()) qel::dev::Sleep(5);
        box.Put('r');
        box.GetN(9);
        box.Put('r');
    });
    EXPECT_EQ(client->Connect(nullptr), 0);
    peer->Join();
    EXPECT_EQ(peer->End().BreaksReceived(), 1);
}

TEST_F(Link, ConnectFailsWhenNoPromptFollowsTheBreak) {
    qel::dev::SetTimeScale(10);
    peer->Start([](Peer& box) {
        while (!box.End().BreaksReceived() || box.End().BreakReceiving()) qel::dev::Sleep(5);
        box.Put(Bytes(10, 'x'));  // ten wrong bytes: the eleventh would be too late
        qel::dev::Sleep(20);
        box.Put('r');
    });
    EXPECT_EQ(client->Connect("ZAR_1000"), -1);
    peer->Join();
}

TEST_F(Link, EmptyDeviceNameSendsOnlyTheTerminator) {
    peer->Start([](Peer& box) {
        if (box.Get() == 0) box.Put('r');
    });
    EXPECT_EQ(client->Connect(""), 0);
    peer->Join();
    EXPECT_EQ(peer->heard, Bytes{0});
}

// --- word blocks ---------------------------------------------------------------------------

TEST_F(Link, SendBlockInBulkAndByteByByteCarriesWordsLowByteFirst) {
    Words words = {0x1234, 0xABCD, 0x00FF};
    for (bool bulk : {true, false}) {
        Words got;
        bool ok = false;
        peer->heard.clear();
        peer->Start([&](Peer& box) { ok = box.TakeBlock(bulk, got); });
        EXPECT_EQ(client->SendBlock(words.data(), 3, bulk), 0);
        peer->Join();
        EXPECT_TRUE(ok);
        EXPECT_EQ(got, words);
        EXPECT_EQ(Bytes(peer->heard.begin(), peer->heard.begin() + 4), (Bytes{3, 0, 0x34, 0x12}));
    }
}

TEST_F(Link, RefusedBlockLeavesTheBoxAnswerInTheState) {
    Words words = {1, 2};
    Words got;
    peer->Start([&](Peer& box) { box.TakeBlock(true, got, 'E'); });
    EXPECT_EQ(client->SendBlock(words.data(), 2, true), -1);
    peer->Join();
    EXPECT_EQ(client->GetState(), 'E');
}

TEST_F(Link, ReceiveBlockChecksCountAndChecksum) {
    Words words(3000);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(i * 7919);
    std::vector<std::uint16_t> buffer(2048);

    // More than 2048 announced: 2048 words are read and the next two bytes are the checksum.
    int answer = 0;
    Words first(words.begin(), words.begin() + 2048);
    peer->Start([&](Peer& box) { answer = box.GiveBlock(true, first, 3000); });
    // The checksum the peer sends covers the count it announced.
    EXPECT_EQ(client->ReceiveBlock(buffer.data(), true), 2048);
    peer->Join();
    EXPECT_EQ(answer, '+');
    EXPECT_EQ(buffer, first);

    Words few = {0x4142, 0x4300};
    peer->Start([&](Peer& box) { answer = box.GiveBlock(false, few, -1, 1); });
    EXPECT_EQ(client->ReceiveBlock(buffer.data(), false), -1);
    peer->Join();
    EXPECT_EQ(answer, '-');
}

TEST_F(Link, ReceiveStringPutsTheEarlierCharacterFirst) {
    std::vector<char> text(4096, 'z');
    Words words = {('G' << 8) | 'S', ('N' << 8) | '1', 0};
    peer->Start([&](Peer& box) { box.GiveBlock(false, words); });
    EXPECT_EQ(client->ReceiveString(text.data()), 0);
    peer->Join();
    EXPECT_STREQ(text.data(), "GSN1");

    // An empty block is a block but no text.
    peer->Start([&](Peer& box) { box.GiveBlock(false, {}); });
    EXPECT_EQ(client->ReceiveString(text.data()), -1);
    peer->Join();
}

TEST_F(Link, SendStringSendsTheTextAndItsNulInTextOrder) {
    Words got;
    peer->Start([&](Peer& box) { box.TakeBlock(false, got); });
    EXPECT_EQ(client->SendString("ABCD"), 0);
    peer->Join();
    EXPECT_EQ(got, (Words{('B' << 8) | 'A', ('D' << 8) | 'C', 0}));
}

TEST_F(Link, ReadMemoryAsksForTheByteRangeAndRefusesAShortAnswer) {
    std::vector<std::uint16_t> buffer(2048, 0xEEEE);
    Frame frame;
    peer->Start([&](Peer& box) {
        box.Command(frame);
        box.GiveBlock(true, {1, 2, 3});
    });
    EXPECT_EQ(client->ReadMemory(buffer.data(), 0x9000, 4), -1);
    peer->Join();
    EXPECT_EQ(frame.name, "RDM");
    EXPECT_EQ(frame.p1, 0x9000u);
    EXPECT_EQ(frame.p2, 0x9007u);

    peer->Start([&](Peer& box) {
        box.Command(frame);
        box.GiveBlock(true, {1, 2, 3, 4});
    });
    EXPECT_EQ(client->ReadMemory(buffer.data(), 0x9000, 4), 0);
    peer->Join();
    EXPECT_EQ(Words(buffer.begin(), buffer.begin() + 4), (Words{1, 2, 3, 4}));
}

// --- erase and program ---------------------------------------------------------------------

TEST_F(Link, EraseWaitsOnePeriodPer64KiBAndClosesWithN) {
    Frame frame;
    peer->Start([&](Peer& box) {
        box.Command(frame);
        qel::dev::Sleep(300);
        box.Put('+');
        box.Get();
    });
    EXPECT_EQ(client->EraseFlash(0x8000, 0x9000), 0);
    peer->Join();
    EXPECT_EQ(frame.name, "DEL");
    EXPECT_EQ(peer->heard.back(), 'n');

    // A silent box: 16 periods for 0x8000..0xFFFFF, run a hundred times faster.
    qel::dev::SetTimeScale(100);
    peer->Start([&](Peer& box) { box.Command(frame); });
    double start = NowMs();
    EXPECT_EQ(client->EraseFlash(0x8000, 0xFFFFF), -2);
    double took = NowMs() - start;
    peer->Join();
    EXPECT_GE(took, 0.9 * 16 * 82);
    EXPECT_LE(took, 3 * 16 * 82 + 300);
}

TEST_F(Link, ProgramBlockCutsTheCountAndAddsWhereItFailed) {
    Words words(5000, 0x5AA5);
    Words got;
    Frame frame;
    peer->Start([&](Peer& box) {
        box.Command(frame);
        box.TakeBlock(true, got);
        box.Put('+');
        box.Get();
    });
    EXPECT_EQ(client->ProgramBlock(words.data(), 0x8000, 5000), 0);
    peer->Join();
    EXPECT_EQ(frame.name, "PRO");
    EXPECT_EQ(frame.p1, 0x8000u);
    EXPECT_EQ(frame.p2, 0x8000u);
    EXPECT_EQ(got.size(), 2048u);
    EXPECT_EQ(peer->heard.back(), 'n');
    EXPECT_EQ(client->GetError(), 0);

    // The frame rejected: +100.
    peer->Start([&](Peer& box) { box.Command(frame, 1); });
    EXPECT_EQ(client->ProgramBlock(words.data(), 0x8000, 1), -1);
    peer->Join();
    EXPECT_EQ(client->GetError(), 100);

    // The block refused: +200.
    peer->Start([&](Peer& box) {
        box.Command(frame);
        box.TakeBlock(true, got, '-');
    });
    EXPECT_EQ(client->ProgramBlock(words.data(), 0x8000, 1), -1);
    peer->Join();
    EXPECT_EQ(client->GetError(), 300);

    // Another answer than "+": +400.
    peer->Start([&](Peer& box) {
        box.Command(frame);
        box.TakeBlock(true, got);
        box.Put('x');
    });
    EXPECT_EQ(client->ProgramBlock(words.data(), 0x8000, 1), -1);
    peer->Join();
    EXPECT_EQ(client->GetError(), 700);

    // No answer within 5000 ms: +300 and -2.
    qel::dev::SetTimeScale(10);
    peer->Start([&](Peer& box) {
        box.Command(frame);
        box.TakeBlock(true, got);
    });
    EXPECT_EQ(client->ProgramBlock(words.data(), 0x8000, 1), -2);
    peer->Join();
    EXPECT_EQ(client->GetError(), 1000);
}

// --- baud rates ------------------------------------------------------------------------------

TEST_F(Link, SetBaudRateNeedsOnlyTheSecondNopAtTheNewRate) {
    for (int secondEcho : {0, 1}) {
        std::vector<Frame> frames(3);
        peer->Start([&](Peer& box) {
            box.SetBaud(19200);
            box.Command(frames[0]);
            qel::dev::Sleep(50);  // the box settles before it prompts at the new rate
            box.SetBaud(frames[0].p1);
            box.Command(frames[1], 1);  // the first command at the new rate goes wrong
            box.Command(frames[2], secondEcho);
        });
        EXPECT_EQ(client->SetBaudRate(115200), secondEcho == 0 ? 0 : -1);
        peer->Join();
        EXPECT_EQ(frames[0].name, "SBD");
        EXPECT_EQ(frames[0].p1, 115200u);
        // Heard intact at the new rate: the port followed.
        EXPECT_TRUE(frames[2].valid);
        EXPECT_EQ(frames[2].name, "NOP");
        EXPECT_EQ(client->GetBaudRate(), 115200);
        V24SetLine(Port(), 19200, 8, 'N', 1);
    }
}

TEST_F(Link, ResyncStepsDownOneRateBelowTheLastOne) {
    struct Case {
        int previous;
        std::uint32_t first;
    };
    for (Case c : {Case{230400, 115200}, Case{19200, 9600}}) {
        Frame sbd;
        peer->Start([&](Peer& box) {
            box.SetBaud(19200);
            box.GetN(9);  // the device name
            box.Put('r');
            Frame nop;
            box.Command(sbd);
            qel::dev::Sleep(50);
            box.SetBaud(sbd.p1);
            box.Command(nop);
            box.Command(nop);
        });
        client->SetPortBaud(c.previous);
        EXPECT_EQ(client->Resync(), 0);
        peer->Join();
        EXPECT_EQ(sbd.p1, c.first);
        EXPECT_EQ(client->GetBaudRate(), static_cast<int>(c.first));
    }

    // From the lowest rate there is nowhere to go: connect once more and fail.
    peer->heard.clear();
    peer->Start([](Peer& box) {
        box.SetBaud(19200);
        for (int i = 0; i < 2; ++i) {
            box.GetN(9);
            box.Put('r');
        }
    });
    client->SetPortBaud(4800);
    EXPECT_EQ(client->Resync(), -1);
    peer->Join();
    EXPECT_EQ(peer->heard.size(), 18u);
    EXPECT_FALSE(peer->End().WaitReadable(2500));  // no frame follows
}

TEST_F(Link, ResyncFallsThroughEveryRateWhileTheBoxRefusesThem) {
    std::vector<std::uint32_t> tried;
    peer->Start([&](Peer& box) {
        for (;;) {
            box.SetBaud(19200);
            if (box.GetN(9).size() != 9) return;  // the name after every failed rate
            box.Put('r');
            Frame sbd;
            if (box.Command(sbd) != '+') return;
            tried.push_back(sbd.p1);
            if (sbd.p1 == 4800) return;  // and this one never answers either
        }
    });
    qel::dev::SetTimeScale(10);
    client->SetPortBaud(230400);
    EXPECT_EQ(client->Resync(), -1);
    peer->Join();
    EXPECT_EQ(tried, (std::vector<std::uint32_t>{115200, 57600, 38400, 19200, 9600, 4800}));
}

}  // namespace
