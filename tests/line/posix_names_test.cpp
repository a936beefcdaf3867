#include <gtest/gtest.h>

#include "posix_pty.h"
#include "serial/device/posix_device.h"

using namespace qel::dev;
using qel::test::PortsFolder;

TEST(PosixNames, PortsFolderHoldsTheLowerCasePortTextAsTyped) {
    PortsFolder ports;
    EXPECT_EQ(PosixPathFor("\\\\.\\COM3"), ports.dir + "/com3");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM07"), ports.dir + "/com07");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM2X"), ports.dir + "/com2x");
    // Port text from the command line must not reach outside the folder.
    EXPECT_EQ(PosixPathFor("\\\\.\\.."), "");
    EXPECT_EQ(PosixPathFor("\\\\.\\../X"), "");
    EXPECT_EQ(PosixPathFor("COM3"), "");
}

TEST(PosixNames, WithoutTheVariableComNIsTtySNMinusOne) {
    unsetenv("QELFLASH_PORTS");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM1"), "/dev/ttyS0");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM07"), "/dev/ttyS6");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM255"), "/dev/ttyS254");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM0"), "");
    EXPECT_EQ(PosixPathFor("\\\\.\\COM2X"), "");
    EXPECT_EQ(PosixPathFor("\\\\.\\LPT1"), "");
    setenv("QELFLASH_PORTS", "", 1);  // empty counts as unset
    EXPECT_EQ(PosixPathFor("\\\\.\\COM4"), "/dev/ttyS3");
    unsetenv("QELFLASH_PORTS");
}

TEST(PosixNames, MissingOrDanglingEntryIsNotFound) {
    PortsFolder ports;
    ports.Link("com5", ports.dir + "/nothing-there");
    DWORD error = 0;
    EXPECT_FALSE(OpenPosixDevice("\\\\.\\COM4", true, error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    error = 0;
    EXPECT_FALSE(OpenPosixDevice("\\\\.\\COM5", true, error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    error = 0;
    EXPECT_FALSE(OpenPosixDevice("\\\\.\\..", true, error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST(PosixNames, AnEntryThatIsNoSerialDeviceIsRefusedAsAFailedOpen) {
    PortsFolder ports;
    ports.Link("com6", "/dev/null");
    DWORD error = 0;
    EXPECT_FALSE(OpenPosixDevice("\\\\.\\COM6", true, error));
    EXPECT_NE(error, ERROR_SUCCESS);
    EXPECT_NE(error, ERROR_FILE_NOT_FOUND);
    EXPECT_NE(error, ERROR_ACCESS_DENIED);
}
