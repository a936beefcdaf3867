#include "serial/device/posix_termios.h"

#include <gtest/gtest.h>

#include <vector>

using namespace qel::dev;

TEST(PosixTermios, FramingAndFlowControlSurviveTheWayThroughTermiosOrAreRefused) {
    auto fields = [](const DCB& d) {
        return std::vector<long>{d.ByteSize,     d.Parity,  d.StopBits,    d.fOutX,   d.fInX,
                                 d.fOutxCtsFlow, d.XonChar, d.fRtsControl, d.XoffChar};
    };
    // Every size (5 to 8) with every parity and both stop bit counts.
    for (int i = 0; i < 40; ++i) {
        DCB in;
        in.ByteSize = static_cast<BYTE>(5 + i % 4);
        in.Parity = static_cast<BYTE>(i / 4 % 5);
        in.StopBits = i < 20 ? ONESTOPBIT : TWOSTOPBITS;
        in.fOutX = in.Parity & 1;
        in.fInX = i >= 20;
        in.fOutxCtsFlow = in.ByteSize == 7;
        in.fRtsControl = in.ByteSize == 7 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
        in.XonChar = static_cast<char>(0x20 + in.ByteSize);
        in.XoffChar = static_cast<char>(0x40 + in.Parity);
        termios t{};
        DWORD error = 0;
        ASSERT_TRUE(PosixDcbToTermios(in, t, error)) << i;
        DCB out;
        out.fRtsControl = in.fRtsControl;
        PosixTermiosToDcb(t, out);
        EXPECT_EQ(fields(out), fields(in)) << i;
    }
    // A round trip cannot tell a wrong parity mapping; the driver's bits can.
    DCB dcb;
    termios t{};
    DWORD error = 0;
    for (BYTE parity : {MARKPARITY, EVENPARITY}) {
        dcb.Parity = parity;
        ASSERT_TRUE(PosixDcbToTermios(dcb, t, error));
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR | CLOCAL | CREAD),
                  (parity == EVENPARITY ? PARENB : PARENB | PARODD | CMSPAR) | CLOCAL | CREAD);
    }
    // What a termios line cannot carry is refused: size, parity, stop bits.
    const BYTE refused[][3] = {{16, 0, 0}, {4, 0, 0}, {8, 0, ONE5STOPBITS}, {8, 0, 3}, {8, 5, 0}};
    for (const auto& c : refused) {
        dcb.ByteSize = c[0], dcb.Parity = c[1], dcb.StopBits = c[2];
        t = termios{}, error = 0;
        EXPECT_FALSE(PosixDcbToTermios(dcb, t, error)) << int(c[0]) << int(c[1]) << int(c[2]);
        EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
        EXPECT_EQ(t.c_cflag, 0u);
    }
}
