// The port object's file transfers against the functions they stand for.
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "serial/cv24/cv24.h"
#include "tests/line/v24_line_fixture.h"

namespace v24test {
namespace {

using PortObjectTransfer = V24Line;

struct TransferForward {
    const char* method;
    std::function<int(CV24&, int)> object;
    std::function<int(int)> direct;
};

// Each call fails before its first use of the port, so the table runs in no time; whole
// transfers through the object are shown end to end against lrzsz.
TEST_F(PortObjectTransfer, EveryTransferForwardsItsCalleesResult) {
    const char* missing = "/nonexistent/qel/file.bin";
    const std::vector<TransferForward> forwards = {
        {"SendFile", [&](CV24& o, int p) { return o.SendFile(p, missing, 1, nullptr); },
         [&](int p) { return XmSend(p, missing, 1, nullptr); }},
        {"ReceiveFile", [&](CV24& o, int p) { return o.ReceiveFile(p, missing, 1, nullptr); },
         [&](int p) { return XmReceive(p, missing, 1, nullptr); }},
        {"StreamSendFile", [&](CV24& o, int p) { return o.StreamSendFile(p, missing, 1, nullptr); },
         [&](int p) { return ZmSendFile(p, missing, 1, nullptr); }},
    };
    Open();
    CV24 port;
    for (const TransferForward& f : forwards) {
        SCOPED_TRACE(f.method);
        for (int handle : {h, 1, -1, 10}) {
            SCOPED_TRACE(handle);
            const int viaObject = f.object(port, handle);
            const std::string objectSent = Received();
            EXPECT_EQ(viaObject, f.direct(handle));
            EXPECT_EQ(objectSent, Received());
        }
    }
    // A receive would wait for a sender on an open port; elsewhere it fails at once.
    for (int handle : {1, -1, 10}) {
        EXPECT_EQ(port.StreamReceiveFiles(handle, nullptr), ZmReceive(handle, nullptr));
    }
}

}  // namespace
}  // namespace v24test
