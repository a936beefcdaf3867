// The boxsim program on a pseudo-terminal: its ready line and link, the line's rate, the link it
// removes when stopped.
#include <stdlib.h>

#include <filesystem>

#include "download/download.h"
#include "e2e/programs.h"
#include "serial/v24.h"

namespace fs = std::filesystem;
using namespace qel::test;

namespace {

int Read(int port) {
    unsigned char b = 0;
    return V24ReadByteTimed(port, &b, 1000) == 1 ? b : -1;
}

int OpenAndName() {
    const int port = V24Open("COM9", 1);
    V24SetLine(port, 19200, 8, 'N', 1);
    V24WriteString(port, "PLV 200");
    V24WriteByte(port, 0);
    return Read(port) == 'r' ? port : (V24Close(port), -1);
}

TEST(BoxsimE2e, PlaysTheBoxOnAPtyAndCleansUpWhenStopped) {
    ScratchDir dir;
    ChildProcess sim({BOXSIM_PATH, "--port", "COM9"}, dir.path);
    ASSERT_TRUE(sim.ReadUntil("\n", 5000)) << sim.output;
    const fs::path link = dir.path + "/com9";
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(sim.output, "boxsim ready COM9 " + fs::read_symlink(link).string() + "\n");

    setenv("QELFLASH_PORTS", dir.path.c_str(), 1);
    int port = OpenAndName();
    ASSERT_GE(port, 0);
    // After SBD the box is at 115200. A host still at 19200 hears garbage.
    {
        CDownload client(port);
        EXPECT_EQ(client.SendCommand("SBD", 115200, 0), 0);
        const int heard = Read(port);
        EXPECT_NE(heard, 'r');
        EXPECT_NE(heard, -1);
    }
    V24Close(port);
    EXPECT_GE(port = OpenAndName(), 0) << "the tool may close and reopen the port";
    V24Close(port);

    sim.Terminate();
    EXPECT_EQ(sim.Finish(5000), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

}  // namespace
