// The download client borrows a port: it takes the time-out it needs and gives the port back
// as it found it, and a client that never got a usable port leaves the port's settings alone.
#include "line/verify_box_fixture.h"

using namespace qel::dev;

namespace {

struct FrontendClientPort : box_test::BoxFixture {
    void Open() {
        port = V24Open(name_.c_str(), 1);
        ASSERT_GE(port, 0);
        ASSERT_EQ(V24SetLine(port, 9600, 7, 'E', 2), 0);
        ASSERT_EQ(V24SetHandshake(port, V24_HANDSHAKE_XONXOFF), 0);
        ASSERT_EQ(V24SetTimeout(port, 250), 0);
    }
    void ExpectSettingsAsOpened() {
        int got[4] = {};
        ASSERT_EQ(V24GetLine(port, &got[0], &got[1], &got[2], &got[3]), 0);
        EXPECT_EQ(std::vector<int>(got, got + 4), (std::vector<int>{9600, 7, 'E', 2}));
        EXPECT_EQ(V24GetHandshake(port), 1);
        EXPECT_EQ(V24GetTimeout(port), 250);
        EXPECT_EQ(line.a->BaudRate(), 9600u);
    }
};

TEST_F(FrontendClientPort, TakesOneSecondTimeoutAndGivesThePortBackAsFoundWithDtrOff) {
    Open();
    {
        CDownload client(port);
        EXPECT_EQ(client.GetError(), RESULT_OK);
        EXPECT_EQ(client.GetState(), STATE_STARTED);
        EXPECT_EQ(V24GetTimeout(port), 1000);
        // What an operation might leave behind.
        V24SetLine(port, 57600, 8, 'N', 1);
        V24SetHandshake(port, V24_HANDSHAKE_NONE);
        V24SetTimeout(port, 40);
    }
    ExpectSettingsAsOpened();
    EXPECT_FALSE(line.a->DtrOn());
    EXPECT_EQ(V24Dtr(port, V24_ASK), 0);
    // A fresh client restarts nothing: the box hears neither a command nor a break.
    EXPECT_FALSE(line.b->WaitReadable(50));
    EXPECT_EQ(line.b->BreaksReceived(), 0);
}

TEST_F(FrontendClientPort, ClientWithoutUsablePortReportsItAndOnlyPurgesAtTheEnd) {
    {
        CDownload rejected(V24_NO_DEVICE);
        EXPECT_EQ(rejected.GetError(), RESULT_PORT_NOT_OPEN);
        EXPECT_EQ(rejected.GetState(), STATE_FAILED);
    }
    // A client built on a handle whose slot was not open yet: whatever opens there later
    // keeps its settings, only its queues are emptied when the client goes.
    ASSERT_LT(V24GetTimeout(0), 0) << "slot 0 is in use by another test";
    auto client = std::make_unique<CDownload>(0);
    EXPECT_EQ(client->GetError(), RESULT_PORT_NOT_OPEN);
    Open();
    ASSERT_EQ(port, 0);
    ASSERT_EQ(line.b->Write("xyz", 3).status, IoStatus::Done);
    for (int i = 0; i < 200 && V24GetQueueCount(port, 0) < 3; ++i) Sleep(5);
    ASSERT_EQ(V24GetQueueCount(port, 0), 3);

    client.reset();
    EXPECT_EQ(V24GetQueueCount(port, 0), 0);
    ExpectSettingsAsOpened();
    EXPECT_TRUE(line.a->DtrOn());
}

}  // namespace
