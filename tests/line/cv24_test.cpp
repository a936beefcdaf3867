// The port object: the methods that do more than pass their arguments on (variable
// arguments, the read areas). The plain forwarders are left to the programs that use them.
#include "serial/cv24/cv24.h"

#include <string>

#include "tests/line/v24_line_fixture.h"

namespace v24test {
namespace {

using PortObject = V24Line;

// The arguments reach the formatter whole, a NUL among them; a text longer than the
// formatting area, a free slot and bad handles fare as they do without the object.
TEST_F(PortObject, PrintfPassesItsArgumentsOn) {
    Open();  // slot 1 stays free
    CV24 port;
    EXPECT_EQ(port.Printf(h, "%d-%s%c!", 42, "x", 0), 6);
    EXPECT_EQ(Received(), std::string("42-x\0!", 6));
    const std::string longText(300, 'L');
    for (int handle : {h, 1, -1, 10}) {
        SCOPED_TRACE(handle);
        const int result = port.Printf(handle, "%s", longText.c_str());
        const std::string sent = Received();
        EXPECT_EQ(result, V24Printf(handle, "%s", longText.c_str()));
        EXPECT_EQ(sent, Received());
    }
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
