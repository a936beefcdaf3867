#include <gtest/gtest.h>

#include "posix_pty.h"
#include "serial/device/posix_device.h"

using qel::dev::PosixPathFor;

TEST(PosixNames, ComNIsTheLowerCasePortTextInThePortsFolderElseTtySNMinusOne) {
    {
        qel::test::PortsFolder ports;
        EXPECT_EQ(PosixPathFor("\\\\.\\COM3"), ports.dir + "/com3");
        EXPECT_EQ(PosixPathFor("\\\\.\\COM07"), ports.dir + "/com07");
        EXPECT_EQ(PosixPathFor("\\\\.\\COM2X"), ports.dir + "/com2x");
        // Port text from the command line must not reach outside the folder.
        for (const char* outside : {"\\\\.\\..", "\\\\.\\../X", "COM3"}) {
            EXPECT_EQ(PosixPathFor(outside), "") << outside;
        }
    }
    setenv("QELFLASH_PORTS", "", 1);  // empty counts as unset
    EXPECT_EQ(PosixPathFor("\\\\.\\COM4"), "/dev/ttyS3");
    unsetenv("QELFLASH_PORTS");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM1"), "/dev/ttyS0");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM07"), "/dev/ttyS6");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM255"), "/dev/ttyS254");
    for (const char* none : {"\\\\.\\COM0", "\\\\.\\COM2X", "\\\\.\\LPT1"}) {
        EXPECT_EQ(PosixPathFor(none), "") << none;
    }
}
