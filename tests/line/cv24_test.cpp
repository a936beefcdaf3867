// The port object: the methods that do more than pass their arguments on (variable
// arguments, out parameters, the read areas), and the transfers it stands in for.
#include "serial/cv24/cv24.h"

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tests/line/v24_line_fixture.h"
#include "transfer/modem.h"

namespace v24test {
namespace {

using PortObject = V24Line;

struct Forward {
    const char* method;
    std::function<int(CV24&, int)> object;
    std::function<int(int)> direct;
};

// Each against the function it stands for, on an open port, a free slot and bad handles. The
// transfers fail before their first use of the port; whole ones run end to end.
TEST_F(PortObject, MethodsWithMoreThanOneArgumentForwardThemAll) {
    static const std::string longText(300, 'L');
    const char* missing = "/nonexistent/qel/file.bin";
    const Forward forwards[] = {
        {"Printf", [](CV24& o, int p) { return o.Printf(p, "%d-%s%c!", 42, "x", 0); },
         [](int p) { return V24Printf(p, "%d-%s%c!", 42, "x", 0); }},
        {"PrintfTooLong", [](CV24& o, int p) { return o.Printf(p, "%s", longText.c_str()); },
         [](int p) { return V24Printf(p, "%s", longText.c_str()); }},
        {"GetLine",
         [](CV24& o, int p) {
             int baud = 0, bits = 0, parity = 0, stop = 0;
             o.SetLine(p, 0, 7, 'e', 2);
             return o.GetLine(p, &baud, &bits, &parity, &stop) + baud + bits * 10 + parity * 100 +
                    stop * 1000;
         },
         [](int p) {
             int baud = 0, bits = 0, parity = 0, stop = 0;
             V24SetLine(p, 0, 7, 'e', 2);
             return V24GetLine(p, &baud, &bits, &parity, &stop) + baud + bits * 10 + parity * 100 +
                    stop * 1000;
         }},
        {"SetModemModes", [](CV24& o, int p) { return o.SetModemModes(p, 0, 1, 0); },
         [](int p) { return ModemSetEchoQuietVerbose(p, 0, 1, 0); }},
        {"SendFile", [&](CV24& o, int p) { return o.SendFile(p, missing, 1, nullptr); },
         [&](int p) { return XmSend(p, missing, 1, nullptr); }},
        {"ReceiveFile", [&](CV24& o, int p) { return o.ReceiveFile(p, missing, 1, nullptr); },
         [&](int p) { return XmReceive(p, missing, 1, nullptr); }},
        {"StreamSendFile", [&](CV24& o, int p) { return o.StreamSendFile(p, missing, 1, nullptr); },
         [&](int p) { return ZmSendFile(p, missing, 1, nullptr); }},
    };
    SetTimeScale(100);  // the modem commands' pauses
    Open();             // slot 1 stays free
    CV24 port;
    auto outcome = [&](const std::function<int()>& call) {
        const int result = call();
        return std::make_tuple(result, Received());
    };
    for (const Forward& f : forwards) {
        SCOPED_TRACE(f.method);
        for (int handle : {h, 1, -1, 10}) {
            SCOPED_TRACE(handle);
            EXPECT_EQ(outcome([&] { return f.object(port, handle); }),
                      outcome([&] { return f.direct(handle); }));
        }
    }
    // A receive would wait for a sender on an open port; elsewhere it fails at once.
    for (int handle : {1, -1, 10}) {
        EXPECT_EQ(port.StreamReceiveFiles(handle, nullptr), ZmReceive(handle, nullptr));
    }
    EXPECT_EQ(port.GetRuntimeClass(), &CObject::classCObject);
}

TEST_F(PortObject, ReadBufferSetsTheElementsReadGrowingButNeverShrinking) {
    Open();
    V24SetTimeout(h, 50);
    CV24 port;
    CByteArray data;
    data.SetSize(100);
    data.SetAtGrow(3, 0x33);
    Send("abc");
    EXPECT_EQ(port.ReadBuffer(h, data, 10), 3);
    EXPECT_EQ(data.GetSize(), 100);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.GetData()), 4), "abc\x33");

    // More than the 80-byte area holds is cut to what it holds; the rest stays on the port.
    CByteArray grown;
    std::string many;
    for (int i = 0; i < 150; ++i) many += static_cast<char>('0' + i % 64);
    Send(many);
    EXPECT_EQ(port.ReadBuffer(h, grown, 200), 79);
    EXPECT_EQ(grown.GetSize(), 79);
    EXPECT_EQ(grown.GetAt(78), static_cast<unsigned char>(many[78]));
    EXPECT_EQ(V24ReadByte(h), static_cast<unsigned char>(many[79]));

    // Nothing asked, or an error code: nothing is set anywhere.
    EXPECT_EQ(port.ReadBuffer(h, data, -5), 0);
    EXPECT_EQ(port.ReadBuffer(4, data, 10), V24_NOT_OPEN);
    EXPECT_EQ(data.GetSize(), 100);
    EXPECT_EQ(data.GetAt(0), 'a');
}

TEST_F(PortObject, ReadLineAssignsTheLineWithinItsArea) {
    Open();
    V24SetTimeout(h, 50);
    CV24 port;
    std::string line = "before";
    EXPECT_EQ(port.ReadLine(h, line, 40, '\r'), 0);  // a silent port
    EXPECT_EQ(line, "");

    // A longer request is cut to the 51 characters the area holds; the rest stays.
    std::string longLine;
    for (int i = 0; i < 70; ++i) longLine += static_cast<char>('A' + i % 26);
    Send(longLine + "\r");
    EXPECT_EQ(port.ReadLine(h, line, 100, '\r'), 51);
    EXPECT_EQ(line, longLine.substr(0, 51));
    EXPECT_EQ(port.ReadLine(h, line, 2, '\r'), 2);
    EXPECT_EQ(line, longLine.substr(51, 2));
    EXPECT_EQ(port.ReadLine(h, line, 100, '\r'), 17);
    EXPECT_EQ(line, longLine.substr(53));

    line = "kept";
    EXPECT_EQ(port.ReadLine(-7, line, 10, '\r'), V24_BAD_HANDLE);
    EXPECT_EQ(line, "kept");
}

}  // namespace
}  // namespace v24test
