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
    std::string farEndSends;  // before each call
    std::function<int(CV24&, int)> object;
    std::function<int(int)> direct;
};

// Each method against the function it stands for. Calls that would end the port (Open,
// Close) are tested on their own below.
std::vector<Forward> Forwards() {
    static const std::string longText(300, 'L');
    return {
        {"GetLineErrors", "", [](CV24& o, int p) { return o.GetLineErrors(p); },
         [](int p) { return V24GetLineErrors(p); }},
        {"WriteByte", "", [](CV24& o, int p) { return o.WriteByte(p, 0x41); },
         [](int p) { return V24WriteByte(p, 0x41); }},
        {"WriteString", "", [](CV24& o, int p) { return o.WriteString(p, std::string("AB")); },
         [](int p) { return V24WriteString(p, "AB"); }},
        {"WriteBuffer", "", [](CV24& o, int p) { return o.WriteBuffer(p, "xyz", 3); },
         [](int p) { return V24WriteBuffer(p, "xyz", 3); }},
        {"Printf", "", [](CV24& o, int p) { return o.Printf(p, "%d-%s%c!", 42, "x", 0); },
         [](int p) { return V24Printf(p, "%d-%s%c!", 42, "x", 0); }},
        {"PrintfTooLong", "", [](CV24& o, int p) { return o.Printf(p, "%s", longText.c_str()); },
         [](int p) { return V24Printf(p, "%s", longText.c_str()); }},
        {"PrintfEmpty", "", [](CV24& o, int p) { return o.Printf(p, "%s", ""); },
         [](int p) { return V24Printf(p, "%s", ""); }},
        {"SetBreak", "", [](CV24& o, int p) { return o.SetBreak(p); },
         [](int p) { return V24SetBreak(p); }},
        {"ClearBreak", "", [](CV24& o, int p) { return o.ClearBreak(p); },
         [](int p) { return V24ClearBreak(p); }},
        {"PulseBreak", "", [](CV24& o, int p) { return o.PulseBreak(p); },
         [](int p) { return V24PulseBreak(p); }},
        {"ReadByteTimed", "q",
         [](CV24& o, int p) {
             unsigned char b = 0;
             return o.ReadByteTimed(p, &b, 100) * 1000 + b;
         },
         [](int p) {
             unsigned char b = 0;
             return V24ReadByteTimed(p, &b, 100) * 1000 + b;
         }},
        {"PeekByte", "", [](CV24& o, int p) { return o.PeekByte(p); },
         [](int p) { return V24PeekByte(p); }},
        {"WaitByte", "w", [](CV24& o, int p) { return o.WaitByte(p); },
         [](int p) { return V24WaitByte(p); }},
        {"ReadByte", "\xFF", [](CV24& o, int p) { return o.ReadByte(p); },
         [](int p) { return V24ReadByte(p); }},
        {"SetHandshake", "", [](CV24& o, int p) { return o.SetHandshake(p, 4); },
         [](int p) { return V24SetHandshake(p, 4); }},
        {"GetHandshake", "", [](CV24& o, int p) { return o.GetHandshake(p); },
         [](int p) { return V24GetHandshake(p); }},
        {"SetTimeout", "", [](CV24& o, int p) { return o.SetTimeout(p, 100); },
         [](int p) { return V24SetTimeout(p, 100); }},
        {"GetTimeout", "", [](CV24& o, int p) { return o.GetTimeout(p); },
         [](int p) { return V24GetTimeout(p); }},
        {"SetLine", "", [](CV24& o, int p) { return o.SetLine(p, 0, 8, 'e', 0); },
         [](int p) { return V24SetLine(p, 0, 8, 'e', 0); }},
        {"GetLine", "",
         [](CV24& o, int p) {
             int baud = 0, bits = 0, parity = 0, stop = 0;
             return o.GetLine(p, &baud, &bits, &parity, &stop) + baud + bits + parity + stop;
         },
         [](int p) {
             int baud = 0, bits = 0, parity = 0, stop = 0;
             return V24GetLine(p, &baud, &bits, &parity, &stop) + baud + bits + parity + stop;
         }},
        {"SetDefaultLine", "", [](CV24& o, int p) { return o.SetDefaultLine(p); },
         [](int p) { return V24SetDefaultLine(p); }},
        {"GetRlsd", "", [](CV24& o, int p) { return o.GetRlsd(p); },
         [](int p) { return V24GetRlsd(p); }},
        {"GetDsr", "", [](CV24& o, int p) { return o.GetDsr(p); },
         [](int p) { return V24GetDsr(p); }},
        {"GetCts", "", [](CV24& o, int p) { return o.GetCts(p); },
         [](int p) { return V24GetCts(p); }},
        {"GetRing", "", [](CV24& o, int p) { return o.GetRing(p); },
         [](int p) { return V24GetRing(p); }},
        {"Dtr", "", [](CV24& o, int p) { return o.Dtr(p, 2); }, [](int p) { return V24Dtr(p, 2); }},
        {"Rts", "", [](CV24& o, int p) { return o.Rts(p, 3); }, [](int p) { return V24Rts(p, 3); }},
        {"SetQueueSize", "", [](CV24& o, int p) { return o.SetQueueSize(p, 2, 64); },
         [](int p) { return V24SetQueueSize(p, 2, 64); }},
        {"GetQueueSize", "", [](CV24& o, int p) { return o.GetQueueSize(p, 1); },
         [](int p) { return V24GetQueueSize(p, 1); }},
        {"GetQueueCount", "abc",
         [](CV24& o, int p) { return o.GetQueueCount(p, 0) + o.Purge(p, 0); },
         [](int p) { return V24GetQueueCount(p, 0) + V24Purge(p, 0); }},
        {"IsQueueEmpty", "", [](CV24& o, int p) { return o.IsQueueEmpty(p, 0); },
         [](int p) { return V24IsQueueEmpty(p, 0); }},
        {"Purge", "", [](CV24& o, int p) { return o.Purge(p, 2); },
         [](int p) { return V24Purge(p, 2); }},
        {"SetNotify", "", [](CV24& o, int p) { return o.SetNotify(p, nullptr, 0x400); },
         [](int p) { return V24SetNotify(p, nullptr, 0x400); }},
        {"GetNotifyMessage", "",
         [](CV24& o, int p) { return static_cast<int>(o.GetNotifyMessage(p)); },
         [](int p) { return static_cast<int>(V24GetNotifyMessage(p)); }},
        {"Dial", "ATDT1\r\nBUSY\r\n", [](CV24& o, int p) { return o.Dial(p, 1, "1"); },
         [](int p) { return ModemDial(p, 1, "1"); }},
        {"HangUp", "OK", [](CV24& o, int p) { return o.HangUp(p); },
         [](int p) { return ModemHangUp(p); }},
        {"Answer", "", [](CV24& o, int p) { return o.Answer(p); },
         [](int p) { return ModemAnswer(p); }},
        {"InitModem", "OK", [](CV24& o, int p) { return o.InitModem(p); },
         [](int p) { return ModemInit(p); }},
        {"SetModemModes", "", [](CV24& o, int p) { return o.SetModemModes(p, 0, 0, 1); },
         [](int p) { return ModemSetEchoQuietVerbose(p, 0, 0, 1); }},
        {"ResetModem", "", [](CV24& o, int p) { return o.ResetModem(p); },
         [](int p) { return ModemReset(p); }},
    };
}

// Each method's result is its callee's, whatever the port's state, and it sends the same.
TEST_F(PortObject, EveryMethodForwardsItsCalleesResult) {
    SetTimeScale(100);  // the modem commands' pauses
    Open();             // slot 1 stays free
    CV24 port;
    // The result, what went out, and what was left unread.
    auto outcome = [&](const Forward& f, const std::function<int()>& call) {
        Send(f.farEndSends);
        const int result = call();
        auto seen = std::make_tuple(result, Received(), V24GetQueueCount(h, 0));
        V24Purge(h, 0);
        return seen;
    };
    for (const Forward& f : Forwards()) {
        SCOPED_TRACE(f.method);
        for (int handle : {h, 1, -1, 10}) {
            SCOPED_TRACE(handle);
            EXPECT_EQ(outcome(f, [&] { return f.object(port, handle); }),
                      outcome(f, [&] { return f.direct(handle); }));
        }
    }
}

TEST_F(PortObject, OpenAndCloseForwardTooAndTheObjectIsAPlainCObject) {
    auto port = std::make_unique<CV24>();
    EXPECT_EQ(port->Open("COM9", 1), 0);
    EXPECT_EQ(port->Open("COM9", 1), V24Open("COM9", 1));  // the device is held: -1 both
    EXPECT_EQ(port->Open("LPT1", 0), V24_NO_DEVICE);
    EXPECT_EQ(port->Close(0), 0);
    EXPECT_EQ(port->Close(0), V24_NOT_OPEN);
    EXPECT_EQ(port->Close(10), V24_BAD_HANDLE);

    EXPECT_EQ(port->GetRuntimeClass(), &CObject::classCObject);
    std::unique_ptr<CObject> object(port.release());
    EXPECT_TRUE(object->IsKindOf(&CObject::classCObject));
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

    CByteArray grown;
    Send("xy");
    EXPECT_EQ(port.ReadBuffer(h, grown, 5), 2);
    EXPECT_EQ(grown.GetSize(), 2);
    EXPECT_EQ(grown.GetAt(1), 'y');

    // More than the 80-byte area holds is cut to what it holds; the rest stays on the port.
    std::string many;
    for (int i = 0; i < 150; ++i) many += static_cast<char>('0' + i % 64);
    Send(many);
    EXPECT_EQ(port.ReadBuffer(h, grown, 200), 79);
    EXPECT_EQ(grown.GetSize(), 79);
    EXPECT_EQ(grown.GetAt(78), static_cast<unsigned char>(many[78]));
    EXPECT_EQ(V24ReadByte(h), static_cast<unsigned char>(many[79]));

    // Nothing asked, or an error code: nothing is set anywhere.
    EXPECT_EQ(port.ReadBuffer(h, data, -5), 0);
    EXPECT_EQ(port.ReadBuffer(h, data, 0), 0);
    EXPECT_EQ(port.ReadBuffer(4, data, 10), V24_NOT_OPEN);
    EXPECT_EQ(port.ReadBuffer(-1, data, 10), V24_BAD_HANDLE);
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

    Send("OK\rnext");
    EXPECT_EQ(port.ReadLine(h, line, 40, '\r'), 2);
    EXPECT_EQ(line, "OK");
    EXPECT_EQ(port.ReadLine(h, line, 2, '\r'), 2);
    EXPECT_EQ(line, "ne");
    EXPECT_EQ(port.ReadLine(h, line, 40, '\r'), 2);
    EXPECT_EQ(line, "xt");

    // A longer request is cut to the 51 characters the area holds; the rest stays.
    std::string longLine;
    for (int i = 0; i < 70; ++i) longLine += static_cast<char>('A' + i % 26);
    Send(longLine + "\r");
    EXPECT_EQ(port.ReadLine(h, line, 100, '\r'), 51);
    EXPECT_EQ(line, longLine.substr(0, 51));
    EXPECT_EQ(port.ReadLine(h, line, 100, '\r'), 19);
    EXPECT_EQ(line, longLine.substr(51));

    line = "kept";
    EXPECT_EQ(port.ReadLine(3, line, 10, '\r'), V24_NOT_OPEN);
    EXPECT_EQ(port.ReadLine(-7, line, 10, '\r'), V24_BAD_HANDLE);
    EXPECT_EQ(line, "kept");
}

}  // namespace
}  // namespace v24test
