// The real bin2plv32 as a technician or a script starts it: exact console text, exit code,
// and how long it takes. No box is attached; QELFLASH_PORTS points at a folder of our own so
// that no real serial device is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const std::string kBanner = "\nORN KALVER QEL-flash\n";

// Typed from the tool's documentation, independently of app/usage_text.cpp.
const std::string kUsage =
    "QEL_flash (bin2Plv32.exe)                                                      \n"
    " Programm zum Laden von Binaerdateien in die PLV, RMX, Tarsk880 ueber eine     \n"
    " serielle Schnittstelle. Erfordert einen Bootloader auf der Box.               \n\n"
    " Aufruf:             bin2plv32 Binaerfilename COM-Port-Nummer                  \n"
    "  oder:              bin2plv32 Binaerfilename Zieladresse COM-Port-Nummer      \n\n"
    " 'Binaerfilename'    bezeichnet Ausgangsfile des Hicross-Burners               \n"
    "                     mit kompletter Pfadangabe.                                \n"
    " 'Zieladresse'       bezeichnet die Adresse des ersten Bytes des Bin-Files im  \n"
    "                     68332-Adressraum als HEX-Wert, z.B. 1C000. Die Zieladresse\n"
    "                     muss wegen 16bit-Speicherorganisation gerade sein!        \n"
    "                     Wenn dieser Parameter fehlt, wird die Zieladresse aus dem \n"
    "                     Bin-File entnommen                                        \n"
    " 'COM-Port (1-255)'  an dem die Box angeschlossen ist.                         \n\n"
    " Beispiel:           bin2plv32 c:\\project\\myfile.bin 2                       \n"
    "                     laedt 'myfile.bin' ueber COM2.                            \n\n"
    " Beispiel:           bin2plv32 c:\\project\\myfile.bin A1000 2                 \n\n"
    " Bitte Eingabetaste druecken!";

struct Outcome {
    std::string out;
    int exitCode = -1;  // -1: killed
    double ms = 0;
};

// A folder that stands in for the machine's COM ports; it holds no entries, so every
// COMn is missing.
class PortFolder {
  public:
    PortFolder() {
        char templ[] = "/tmp/qelflash-fe.XXXXXX";
        path_ = mkdtemp(templ) ? templ : "";
    }
    ~PortFolder() {
        for (const std::string& f : files_) unlink(f.c_str());
        rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string AddFile(const std::string& name, std::size_t size, char fill) {
        std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << std::string(size, fill);
        files_.push_back(file);
        return file;
    }

  private:
    std::string path_;
    std::vector<std::string> files_;
};

class Child {
  public:
    // Starts bin2plv32 with stdin on stdinFd (or /dev/null when -1) and stdout on a pipe.
    Child(const std::vector<std::string>& args, const std::string& ports, int stdinFd = -1) {
        std::vector<std::string> env{"QELFLASH_PORTS=" + ports};
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "QELFLASH_PORTS=", 15) != 0) env.push_back(*e);
        }
        std::vector<std::string> argv{BIN2PLV32_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
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
            dup2(stdinFd >= 0 ? stdinFd : devNull, 0);
            dup2(out[1], 1);
            dup2(devNull, 2);
            execve(cargv[0], cargv.data(), cenv.data());
            _exit(127);
        }
        close(out[1]);
        close(devNull);
        out_ = out[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    bool Running() {
        int status = 0;
        if (reaped_) return false;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
        Reaped(status);
        return false;
    }

    // Reads stdout until `until` appears in it (or EOF, or ms pass).
    const std::string& ReadUntil(const std::string& until, int ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (out_ >= 0 && (until.empty() || text_.find(until) == std::string::npos)) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count());
            if (left <= 0) break;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) break;
            char buf[4096];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) {
                close(out_);
                out_ = -1;
                break;
            }
            text_.append(buf, static_cast<std::size_t>(n));
        }
        return text_;
    }

    // All output and the exit; kills the tool when it has not ended within ms.
    Outcome Finish(int ms) {
        ReadUntil("", ms);
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (Running() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!reaped_) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            reaped_ = true;
        }
        return Outcome{text_, exitCode_, ms_};
    }

  private:
    void Reaped(int status) {
        reaped_ = true;
        ms_ = MsSince(start_);
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
    double ms_ = 0;
    std::string text_;
    Clock::time_point start_;
};

Outcome RunTool(const std::vector<std::string>& args, const std::string& ports, int limitMs) {
    Child child(args, ports);
    return child.Finish(limitMs);
}

TEST(FrontendE2e, WrongArgumentCountShowsUsageAndEndsWithoutWaiting) {
    PortFolder ports;
    const std::vector<std::vector<std::string>> calls = {
        {}, {"fw.bin"}, {"fw.bin", "1C000", "2", "extra"}};
    for (const auto& args : calls) {
        Outcome o = RunTool(args, ports.path(), 10000);
        EXPECT_EQ(o.exitCode, 1) << args.size();
        EXPECT_EQ(o.out, kBanner + kUsage) << args.size();
        EXPECT_LT(o.ms, 5000) << args.size();
    }
}

TEST(FrontendE2e, BadPortArgumentShowsUsage) {
    PortFolder ports;
    for (const char* port : {"0", "256", "-1", "COM2"}) {
        Outcome o = RunTool({"fw.bin", port}, ports.path(), 10000);
        EXPECT_EQ(o.exitCode, 1) << port;
        EXPECT_EQ(o.out, kBanner + kUsage) << port;
        EXPECT_LT(o.ms, 5000) << port;
    }
    Outcome o = RunTool({"fw.bin", "1C000", "256"}, ports.path(), 10000);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, kBanner + kUsage);
}

TEST(FrontendE2e, OnATerminalTheUsageWaitsForOneKeyWithoutEcho) {
    PortFolder ports;
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);  // the terminal's far side stays with the test
    Child child({"fw.bin"}, ports.path(), slave);
    EXPECT_EQ(child.ReadUntil("druecken!", 10000), kBanner + kUsage);

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(child.Running()) << "did not wait for a key";
    termios waiting{};
    ASSERT_EQ(tcgetattr(slave, &waiting), 0);
    EXPECT_EQ(waiting.c_lflag & (ECHO | ICANON), 0u);

    ASSERT_EQ(write(master, "k", 1), 1);
    Outcome o = child.Finish(5000);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, kBanner + kUsage);

    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u) << "terminal left without echo";
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    pollfd p{master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0) << "the key was echoed";
    close(master);
    close(slave);
}

TEST(FrontendE2e, ATerminalThatHangsUpEndsTheKeyWait) {
    PortFolder ports;
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);  // the terminal's far side stays with the test
    Child child({"fw.bin"}, ports.path(), slave);
    close(slave);
    child.ReadUntil("druecken!", 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(child.Running());
    close(master);
    Outcome o = child.Finish(5000);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_LT(o.ms, 3000);
}

TEST(FrontendE2e, MissingImageOnAPortThatCannotOpenReportsFileUnknown) {
    PortFolder ports;
    Outcome o = RunTool({ports.path() + "/none.bin", "7"}, ports.path(), 30000);
    EXPECT_EQ(o.out, kBanner + "Error 4 file unknown            ");
    EXPECT_EQ(o.exitCode, 4);

    Outcome fpga = RunTool({ports.path() + "/none.vme", "target=PLV", "7"}, ports.path(), 30000);
    EXPECT_EQ(fpga.out, kBanner + "FPGA-Programmierung \nFile: " + ports.path() +
                            "/none.vme\nPort:7\nError: 4 file unknown            ");
    EXPECT_EQ(fpga.exitCode, 4);
}

TEST(FrontendE2e, ImageOnAPortThatCannotOpenGivesNoAnswerInBoundedTime) {
    PortFolder ports;
    std::string image = ports.AddFile("fw.bin", 10000, '\x11');
    Outcome o = RunTool({image, "7"}, ports.path(), 60000);
    EXPECT_EQ(o.exitCode, 3);
    const std::string tail = "Error 3 no answwer              ";
    ASSERT_GE(o.out.size(), kBanner.size() + tail.size());
    EXPECT_EQ(o.out.substr(0, kBanner.size()), kBanner);
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
    EXPECT_LT(o.ms, 30000);
    RecordProperty("no_port_download_ms", static_cast<int>(o.ms));
    std::printf("download on a port that cannot open ended after %.0f ms\n", o.ms);
}

TEST(FrontendE2e, FpgaFileOnAPortThatCannotOpenGivesNoAnswer) {
    PortFolder ports;
    std::string header = "coVersion 123";
    std::string vme = ports.AddFile("cfg.vme", 65536, '\0');
    {
        std::fstream f(vme, std::ios::in | std::ios::out | std::ios::binary);
        f.write(header.data(), static_cast<std::streamsize>(header.size()));
    }
    Outcome o = RunTool({vme, "9"}, ports.path(), 60000);
    EXPECT_EQ(o.exitCode, 19);
    const std::string head = kBanner + "FPGA-Programmierung \nFile: " + vme + "\nPort:9\n";
    const std::string tail = "Error: 19 no Answer               ";
    ASSERT_GE(o.out.size(), head.size() + tail.size());
    EXPECT_EQ(o.out.substr(0, head.size()), head);
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
    EXPECT_LT(o.ms, 30000);
}

}  // namespace
