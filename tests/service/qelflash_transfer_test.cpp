// File transfers against Debian's lrzsz behind the paced null-modem cable: qelflash's side on
// the pseudo-terminal as COM5, sx, rx, sz and rz on pipes, as a cable would carry them.
#include <cstdlib>
#include <filesystem>
#include <random>

#include "service/qelflash_fixture.h"

namespace service_test {
namespace {

class QelflashTransfer : public Qelflash {
  protected:
    void SetUp() override {
        // The transfers are tested against the real lrzsz or not at all: a missing one fails.
        for (const char* tool : {"sx", "rx", "sz", "rz"}) {
            ASSERT_EQ(std::system((std::string("command -v ") + tool + " >/dev/null").c_str()), 0)
                << tool << " missing: apt-get install lrzsz";
        }
        std::filesystem::create_directory(Path("peer"));
        std::mt19937 random(7);
        for (auto& b : data) b = static_cast<std::uint8_t>(random());
        File("data.bin", data);
    }
    void TearDown() override {
        if (peer_) peer_->Finish(1000);
        Qelflash::TearDown();
    }
    // The peer's command runs in the folder peer/.
    void StartPeer(const std::string& command) {
        peer_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{NULLMODEM_PATH, "--port", "COM5", "--dir", dir.path, "--exec",
                                     "cd " + Path("peer") + " && " + command},
            dir.path);
        ASSERT_TRUE(peer_->ReadUntil("nullmodem ready", 10000)) << peer_->output;
    }
    int FinishPeer() { return peer_->Finish(60000); }
    std::string Data() const { return std::string(data.begin(), data.end()); }

    Bytes data = Bytes(3000);

  private:
    std::unique_ptr<ChildProcess> peer_;
};

TEST_F(QelflashTransfer, XmodemCarriesAFileBothWays) {
    StartPeer("rx -c got.bin");
    auto events = Run({"xsend", Path("data.bin"), "-p", "5"});
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(FinishPeer(), 0);
    // XMODEM fills the last block: the file is the data and the filler.
    EXPECT_EQ(dir.Read("peer/got.bin").substr(0, data.size()), Data());
    EXPECT_EQ(Last(events, "finished")->Text("message"), "sent");
    EXPECT_NE(Last(events, "progress"), nullptr);

    StartPeer("sx " + Path("data.bin"));
    events = Run({"xrecv", Path("back.bin"), "-p", "5"});
    EXPECT_EQ(code, 0) << out;
    FinishPeer();
    EXPECT_EQ(dir.Read("back.bin").substr(0, data.size()), Data());
}

TEST_F(QelflashTransfer, XmodemWithAWrongFileEndsWithItsCode) {
    StartPeer("rx -c got.bin");
    auto events = Run({"xsend", Path("none.bin"), "-p", "5"});
    EXPECT_EQ(code, 1) << out;
    EXPECT_EQ(Last(events, "finished")->Text("message"), "file cannot be opened");
    // A folder that takes no file: the line is not even opened.
    events = Run({"xrecv", Path("no/dir/x.bin"), "-p", "5"});
    EXPECT_EQ(code, 4) << out;
    EXPECT_EQ(Names(events), (std::vector<std::string>{"started", "finished"}));
}

TEST_F(QelflashTransfer, AFailedReceiveLeavesTheNameAlone) {
    // The sender gives up at once: the file asked for keeps what it held, and no part is left.
    StartPeer("exit 0");
    File("kept.bin", Bytes{7, 7});
    Run({"xrecv", Path("kept.bin"), "-p", "5"}, 200000);
    EXPECT_NE(code, 0) << out;
    EXPECT_EQ(dir.Read("kept.bin"), std::string("\7\7"));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos);
}

TEST_F(QelflashTransfer, ZmodemCarriesFilesIntoTheFolderBothWays) {
    StartPeer("rz -y");
    auto events = Run({"zsend", Path("data.bin"), "-p", "5"});
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(FinishPeer(), 0);
    EXPECT_EQ(dir.Read("peer/data.bin"), Data());
    const Event* file = Last(events, "file");
    ASSERT_NE(file, nullptr) << out;
    EXPECT_EQ(file->Number("length"), 3000);

    std::filesystem::create_directory(Path("into"));
    StartPeer("sz " + Path("data.bin"));
    events = Run({"zrecv", Path("into"), "-p", "5"});
    EXPECT_EQ(code, 0) << out;
    FinishPeer();
    EXPECT_EQ(dir.Read("into/data.bin"), Data());
}

TEST_F(QelflashTransfer, ZmodemWithAWrongFileOrFolderSaysSo) {
    StartPeer("rz -y");
    auto events = Run({"zsend", Path("none.bin"), "-p", "5"});
    EXPECT_EQ(code, 1) << out;
    EXPECT_EQ(Last(events, "finished")->Text("message"), "file cannot be opened");
    // The batch was closed: the receiver ends on its own, with nothing received.
    EXPECT_EQ(FinishPeer(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(Path("peer")));
    events = Run({"zrecv", Path("nowhere"), "-p", "5"});
    EXPECT_EQ(code, 4) << out;
    EXPECT_EQ(Names(events), (std::vector<std::string>{"started", "finished"}));
}

}  // namespace
}  // namespace service_test
