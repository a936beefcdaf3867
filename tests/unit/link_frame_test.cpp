#include "line/link_peer.h"

namespace {

using link_peer::Bytes;

struct LinkFrame : link_peer::LinkTest {
    // Runs SendCommand against a peer that prompts, takes the 21 frame bytes and answers
    // the echo requests with the given bytes; returns what the host sent.
    Bytes Capture(const char* name, std::uint32_t p1, std::uint32_t p2, Bytes echo, int& result) {
        peer->Start([echo](link_peer::Peer& box) {
            box.Put('r');
            box.GetN(21);
            if (box.Get() == 'L') box.Put(echo[0]);
            if (box.Get() == 'H') box.Put(echo[1]);
            box.Get();
        });
        result = client->SendCommand(name, p1, p2);
        peer->Join();
        return peer->heard;
    }
};

TEST_F(LinkFrame, NopFrameAndItsChecksumEcho) {
    int result = 0;
    Bytes sent = Capture("NOP", 0, 0, {0x0F, 0x89}, result);
    Bytes expected = {0x52, 0x45, 0x4D, 0x4F, 0x54, 0x45, 0x00, 0,    0,    0,   0,   0,
                      0,    0,    0,    0x4E, 0x8E, 0x9E, 0xF3, 0x0F, 0x89, 'L', 'H', '+'};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(result, 0);
}

TEST_F(LinkFrame, RstFrameTail) {
    int result = 0;
    Bytes sent = Capture("RST", 0, 0, {0x3E, 0x9E}, result);
    ASSERT_GE(sent.size(), 21u);
    EXPECT_EQ(Bytes(sent.begin() + 15, sent.begin() + 21),
              (Bytes{0x52, 0xD0, 0xA8, 0x33, 0x3E, 0x9E}));
    EXPECT_EQ(result, 0);
}

TEST_F(LinkFrame, ParametersGoOutMostSignificantFirstAndWhitened) {
    int result = 0;
    Bytes sent = Capture("SBD", 230400, 0, {0, 0}, result);
    link_peer::Frame frame = link_peer::Decode(Bytes(sent.begin(), sent.begin() + 21));
    EXPECT_TRUE(frame.valid);
    EXPECT_EQ(frame.name, "SBD");
    EXPECT_EQ(frame.p1, 230400u);
    EXPECT_EQ(sent[7], 0x00);     // nothing to whiten with before the first byte
    EXPECT_EQ(sent.back(), '-');  // the echo was wrong
    EXPECT_EQ(result, -1);
}

}  // namespace
