// The real bin2plv32 loading firmware into boxsim over a pseudo-terminal: the console text a
// technician sees, the exit code a script sees, and what reached the box's flash.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sim/images.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const std::string kBanner = "\nORN KALVER QEL-flash\n";

// A started program with its standard output on a pipe.
class Process {
  public:
    Process(const std::vector<std::string>& args, const std::string& ports) {
        std::vector<std::string> env{"QELFLASH_PORTS=" + ports};
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "QELFLASH_PORTS=", 15) != 0) env.push_back(*e);
        std::vector<std::string> argv = args;
        std::vector<char*> cargv, cenv;
        for (std::string& a : argv) cargv.push_back(a.data());
        for (std::string& e : env) cenv.push_back(e.data());
        cargv.push_back(nullptr);
        cenv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        int devNull = open("/dev/null", O_RDWR);
        start_ = Clock::now();
        pid_ = fork();
        if (pid_ == 0) {
            dup2(devNull, 0);
            dup2(out[1], 1);
            dup2(devNull, 2);
            execve(cargv[0], cargv.data(), cenv.data());
            _exit(127);
        }
        close(out[1]);
        close(devNull);
        out_ = out[0];
    }
    ~Process() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    // Reads output until it contains text or ms pass; true when it does.
    bool ReadUntil(const std::string& text, int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (output.find(text) == std::string::npos) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0 || !ReadSome(left)) return false;
        }
        return true;
    }
    // Reads all output and waits for the exit, at most ms; the exit code, or -1.
    int Finish(int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0 || !ReadSome(left)) break;
        }
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) != pid_) {
            if (Clock::now() >= end) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reaped_ = true;
        seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Terminate() {
        if (pid_ > 0 && !reaped_) kill(pid_, SIGTERM);
    }

    std::string output;
    double seconds = 0;

  private:
    // false at end of output or time-out
    bool ReadSome(int ms) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return false;
        output.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    Clock::time_point start_;
};

class DownloadE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/qelflash-dl.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override {
        StopBox();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    void StartBox(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{BOXSIM_PATH, "--port",      "COM7",     "--dir",
                                      dir_,        "--flash-out", FlashPath()};
        args.insert(args.end(), extra.begin(), extra.end());
        box_ = std::make_unique<Process>(args, dir_);
        ASSERT_TRUE(box_->ReadUntil("boxsim ready", 10000)) << box_->output;
    }
    // Stops the box and returns its flash.
    Bytes StopBox() {
        Bytes flash;
        if (!box_) return flash;
        box_->Terminate();
        box_->Finish(10000);
        box_.reset();
        qel::sim::ReadFile(FlashPath(), flash);
        return flash;
    }

    std::string Image(const Bytes& bytes, const std::string& name = "fw.bin") {
        std::string path = dir_ + "/" + name;
        EXPECT_TRUE(qel::sim::WriteFile(path, bytes));
        return path;
    }

    struct Run {
        std::string out;
        int code = -1;
        double seconds = 0;
    };
    Run Flash(std::vector<std::string> args, int limitMs = 120000) {
        args.insert(args.begin(), BIN2PLV32_PATH);
        Process tool(args, dir_);
        Run run;
        run.code = tool.Finish(limitMs);
        run.out = tool.output;
        run.seconds = tool.seconds;
        return run;
    }

    std::string FlashPath() const { return dir_ + "/flash.bin"; }
    std::string LogPath() const { return dir_ + "/box.log"; }

  private:
    std::string dir_;
    std::unique_ptr<Process> box_;
};

Bytes At(const Bytes& flash, std::size_t address, std::size_t n) {
    if (flash.size() < address + n) return {};
    return Bytes(flash.begin() + address, flash.begin() + address + n);
}

TEST_F(DownloadE2e, FirmwareReachesTheFlashWithTheTechniciansText) {
    StartBox();
    Bytes image = qel::sim::MakeFirmwareImage(10000, "TARSK880 V2", "01.23");
    Run run = Flash({Image(image), "7"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, kBanner + "New firmware: TARSK880 V201.23\n 1.0% \n42.0% \n82.9% \n" +
                           "\nDownload erfolgreich");
    EXPECT_EQ(At(StopBox(), 0x8000, 10000), image);
}

TEST_F(DownloadE2e, TargetNameAndAddressFromTheCommandLine) {
    StartBox({"--name", "NUX_1000"});
    Bytes image = qel::sim::MakeFirmwareImage(6000, "TARSK880 V2", "01.23");
    Run run = Flash({Image(image), "target=NUX_1000", "7"});
    EXPECT_EQ(run.code, 0) << run.out;
    Bytes small = qel::sim::MakeFirmwareImage(100, "x", "1");
    run = Flash({Image(small, "small.bin"), "1C000", "7"});
    // No download has named the box in this run: the default name is NUX_1000.
    EXPECT_EQ(run.out, kBanner + " 1.0% \n\nDownload erfolgreich");
    EXPECT_EQ(run.code, 0);
    Bytes flash = StopBox();
    EXPECT_EQ(At(flash, 0x8000, 6000), image);
    EXPECT_EQ(At(flash, 0x1C000, 100), small);
}

TEST_F(DownloadE2e, RefusedBlockIsRetriedAtALowerRateAndStillSucceeds) {
    StartBox({"--fault", "refuse-block=1", "--log", LogPath()});
    Bytes image = qel::sim::MakeFirmwareImage(10000, "TARSK880 V2", "01.23");
    Run run = Flash({Image(image), "7"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, kBanner + "New firmware: TARSK880 V201.23\n 1.0% \n42.0% \n82.9% \n" +
                           "\nDownload erfolgreich");
    EXPECT_EQ(At(StopBox(), 0x8000, 10000), image);
    std::ifstream log(LogPath());
    std::string events((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(events.find("block 1 refused"), std::string::npos);
    // The rest went at a lower rate.
    std::size_t last = events.rfind("rate 230400");
    std::size_t lower = events.find("rate 115200") != std::string::npos ? events.find("rate 115200")
                                                                        : events.find("rate 57600");
    EXPECT_NE(lower, std::string::npos);
    EXPECT_GT(lower, last);
}

TEST_F(DownloadE2e, FailureRowsGiveTheirCodeAndMessage) {
    struct Row {
        const char* what;
        std::vector<std::string> box;
        std::vector<std::string> args;  // image and port appended
        int code;
        std::string text;
    };
    const Row rows[] = {
        {"erase refused twice", {"--fault", "refuse-erase=2"}, {}, 6, "error flash deleting    "},
        {"box dies after the first block",
         {"--fault", "die-after=0"},
         {},
         3,
         "no answwer              "},
        {"odd address", {}, {"8001"}, 10, "targetadress bad        "},
    };
    Bytes image = qel::sim::MakeFirmwareImage(10000, "TARSK880 V2", "01.23");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        StartBox(row.box);
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), Image(image));
        args.push_back("7");
        Run run = Flash(args);
        EXPECT_EQ(run.code, row.code);
        std::string tail = "Error " + std::to_string(row.code) + " " + row.text;
        EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), tail.size())), tail)
            << run.out;
        EXPECT_LT(run.seconds, 60);
        std::printf("[ timing   ] %s: %.1f s\n", row.what, run.seconds);
        StopBox();
    }
}

TEST_F(DownloadE2e, SilentBoxGivesUpInBoundedTime) {
    StartBox({"--fault", "silent"});
    Run run = Flash({Image(qel::sim::MakeFirmwareImage(3000, "TARSK880", "1.00")), "7"});
    EXPECT_EQ(run.code, 3);
    EXPECT_EQ(run.out, kBanner + "New firmware: TARSK880 1.00\nError 3 no answwer              ");
    // One read for the name, the break and ten reads for a prompt: about 12.2 s.
    EXPECT_GE(run.seconds, 0.9 * 12.2);
    EXPECT_LE(run.seconds, 3 * 12.2 + 0.3);
    std::printf("[ timing   ] silent box: %.1f s\n", run.seconds);
}

}  // namespace
