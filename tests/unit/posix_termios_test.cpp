#include "serial/device/posix_termios.h"

#include <gtest/gtest.h>

using namespace qel::dev;

TEST(PosixTermios, FramingAndFlowControlSurviveTheWayThroughTermios) {
    for (BYTE size = 5; size <= 8; ++size) {
        for (BYTE parity = NOPARITY; parity <= SPACEPARITY; ++parity) {
            for (BYTE stop : {ONESTOPBIT, TWOSTOPBITS}) {
                DCB in;
                in.ByteSize = size;
                in.Parity = parity;
                in.StopBits = stop;
                in.fOutX = parity & 1;
                in.fInX = stop == TWOSTOPBITS;
                in.fOutxCtsFlow = size == 7;
                in.fRtsControl = size == 7 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
                in.XonChar = static_cast<char>(0x20 + size);
                in.XoffChar = static_cast<char>(0x40 + parity);
                termios t{};
                DWORD error = 0;
                ASSERT_TRUE(PosixDcbToTermios(in, t, error));
                DCB out;
                out.fRtsControl = in.fRtsControl;
                PosixTermiosToDcb(t, out);
                const std::string what = std::to_string(size) + "/" + std::to_string(parity) + "/" +
                                         std::to_string(stop);
                EXPECT_EQ(out.ByteSize, size) << what;
                EXPECT_EQ(out.Parity, parity) << what;
                EXPECT_EQ(out.StopBits, stop) << what;
                EXPECT_EQ(out.fOutX, in.fOutX) << what;
                EXPECT_EQ(out.fInX, in.fInX) << what;
                EXPECT_EQ(out.fOutxCtsFlow, in.fOutxCtsFlow) << what;
                EXPECT_EQ(out.fRtsControl, in.fRtsControl) << what;
                EXPECT_EQ(out.XonChar, in.XonChar) << what;
                EXPECT_EQ(out.XoffChar, in.XoffChar) << what;
            }
        }
    }
}

TEST(PosixTermios, ParityBitsAreTheOnesTheDriverKnows) {
    DCB dcb;
    termios t{};
    DWORD error = 0;
    dcb.Parity = MARKPARITY;
    ASSERT_TRUE(PosixDcbToTermios(dcb, t, error));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t(PARENB | PARODD | CMSPAR));
    dcb.Parity = EVENPARITY;
    ASSERT_TRUE(PosixDcbToTermios(dcb, t, error));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t(PARENB));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
}

TEST(PosixTermios, RefusesWhatATermiosLineCannotCarry) {
    const DCB good;
    for (int i = 0; i < 5; ++i) {
        DCB dcb = good;
        if (i == 0) dcb.ByteSize = 16;
        if (i == 1) dcb.ByteSize = 4;
        if (i == 2) dcb.StopBits = ONE5STOPBITS;
        if (i == 3) dcb.StopBits = 3;
        if (i == 4) dcb.Parity = 5;
        termios t{};
        const tcflag_t before = t.c_cflag;
        DWORD error = 0;
        EXPECT_FALSE(PosixDcbToTermios(dcb, t, error)) << i;
        EXPECT_EQ(error, ERROR_INVALID_PARAMETER) << i;
        EXPECT_EQ(t.c_cflag, before) << i;
    }
}

TEST(PosixTermios, RawModeKeepsFramingAndMakesEmptyReadsDistinguishable) {
    termios t{};
    t.c_cflag = CS7 | PARENB;
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_iflag = ICRNL | IXON | BRKINT;
    t.c_oflag = OPOST;
    PosixMakeRaw(t);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), tcflag_t(CS7 | PARENB));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // VMIN 0 would make an empty non-blocking read return 0, like a hang-up.
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}
