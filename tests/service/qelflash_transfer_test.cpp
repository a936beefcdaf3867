// File transfers against Debian's lrzsz behind the paced null-modem cable: qelflash's side on
// the pseudo-terminal as COM5, sx, rx, sz and rz on pipes, as a cable would carry them.
#include <cstdlib>
#include <filesystem>
#include <random>

#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

TEST_F(Qelflash, TransfersCarryFilesBothWaysOrEndWithTheirCode) {
    // The transfers are tested against the real lrzsz or not at all: a missing one fails.
    for (const char* tool : {"sx", "rx", "sz", "rz"}) {
        ASSERT_EQ(std::system((std::string("command -v ") + tool + " >/dev/null").c_str()), 0)
            << tool << " missing: apt-get install lrzsz";
    }
    std::filesystem::create_directories(Path("peer"));
    std::filesystem::create_directories(Path("into"));
    Bytes bytes(3000);
    std::mt19937 random(7);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const std::string data(bytes.begin(), bytes.end());
    File("data.bin", bytes);

    const struct {
        const char* peer;  // run in peer/
        const char* args;
        int code;      // qelflash's
        int peerCode;  // -2: whatever
        const char* wants;
        std::string file = "";  // holds data afterwards (XMODEM: and the last block's filler)
    } cases[] = {
        {"rx -c got.bin", "xsend|@data.bin", 0, 0, "finished.message=sent|progress.port=COM5",
         "peer/got.bin"},
        {"sx ../data.bin", "xrecv|@back.bin", 0, -2, "", "back.bin"},
        {"rz -y", "zsend|@data.bin", 0, 0, "file.length=3000", "peer/data.bin"},
        {"sz ../data.bin", "zrecv|@into", 0, -2, "", "into/data.bin"},
        {"rx -c got.bin", "xsend|@none.bin", 1, -2, "finished.message=file cannot be opened"},
        // The batch was closed: the receiver ends on its own.
        {"rz -y", "zsend|@none.bin", 1, 0, "finished.message=file cannot be opened"},
        // A folder that takes no file: the line is not even opened.
        {"exit 0", "xrecv|@no/dir/x.bin", 4, -2, ""},
        {"exit 0", "zrecv|@nowhere", 4, -2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peer + std::string(" / ") + c.args);
        ChildProcess peer({NULLMODEM_PATH, "--port", "COM5", "--dir", dir.path, "--exec",
                           "cd " + Path("peer") + " && " + c.peer},
                          dir.path);
        ASSERT_TRUE(peer.ReadUntil("nullmodem ready", 10000)) << peer.output;
        const std::vector<Event> events = Run(Paths(c.args + std::string("|-p|5")), 200000);
        EXPECT_EQ(code, c.code) << out;
        if (c.code == 4) {
            EXPECT_EQ(Names(events), Split("started|finished"));
        }
        ExpectEvents(events, Split(c.wants));
        const int peerCode = peer.Finish(c.peerCode == -2 ? 1000 : 60000);
        if (c.peerCode != -2) {
            EXPECT_EQ(peerCode, c.peerCode);
        }
        const std::size_t filled = c.args[0] == 'x' ? data.size() : std::string::npos;
        if (!c.file.empty()) {
            EXPECT_EQ(dir.Read(c.file).substr(0, filled), data);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(Path("peer/none.bin")));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos);
}

}  // namespace
}  // namespace service_test
